#pragma once

#include <string>
#include <vector>

namespace dataaccess {

// Splits a script into statements at the semicolons outside quotes, comments and
// block bodies (EXECUTE BLOCK, procedures, triggers); statements come back trimmed.
std::vector<std::string> SplitSqlScript(const std::string& script);

} // namespace dataaccess
