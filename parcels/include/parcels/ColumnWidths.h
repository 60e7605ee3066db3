#pragma once

#include <map>
#include <string>

namespace dataaccess {
class Connection;
class Transaction;
} // namespace dataaccess

namespace parcels {

// Character widths of the columns of one table in the attached database, by
// column name; an empty map when the table is missing. Read in the caller's
// transaction, which the read starts when needed and leaves open.
std::map<std::string, int> ReadColumnWidths(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                                            const std::string& table);

} // namespace parcels
