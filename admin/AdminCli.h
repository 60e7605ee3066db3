#pragma once

#include "Passwords.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace admin {

// Runs colli-admin with its arguments (without the program name); returns the
// exit status: 0 done, 1 failed, 2 wrong usage. ask, when set, asks the
// operator for a password that no option, file or variable gives.
int RunAdminCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool progressOnTerminal, const PasswordPrompt& ask = {});

} // namespace admin
