#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace admin {

// Runs colli-admin with its arguments (without the program name); returns the
// exit status: 0 done, 1 failed, 2 wrong usage.
int RunAdminCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool progressOnTerminal);

} // namespace admin
