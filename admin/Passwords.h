#pragma once

#include <functional>
#include <optional>
#include <string>

namespace admin {

// Asks the operator for a password with the prompt shown; throws when nobody can be asked.
using PasswordPrompt = std::function<std::string(const std::string& prompt)>;

// Asks on the controlling terminal (the console on Windows) with echo off, so
// the password is neither shown nor kept in the shell's history. Ctrl+C at the
// prompt puts the echo back and ends the program with status 130.
std::string AskOnTerminal(const std::string& prompt);

// The first line of the file, without its line end or a UTF-8 byte order mark;
// "-" reads standard input.
std::string ReadPasswordFile(const std::string& path);

// An environment variable as UTF-8 (read in UTF-16 on Windows); nothing when unset.
std::optional<std::string> EnvironmentText(const char* name);

// Empty, or a warning when everyone on the machine may read the file.
std::string PasswordFileWarning(const std::string& path);

// Empty when the password can stand in dati.ini and in a connection parameter,
// otherwise what is wrong with it.
std::string PasswordProblem(const std::string& password);

} // namespace admin
