#pragma once

#include <string>

namespace admin {

// The text of parcels/schema.sql, built into the program.
const std::string& SchemaScript();

} // namespace admin
