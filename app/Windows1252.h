#pragma once

#include <QString>

#include <optional>
#include <string>

// Text in the database is Windows-1252; the widgets hold Unicode.
// Nullopt when a character has no Windows-1252 byte (or is NUL), so it is never
// silently replaced by another character.
std::optional<std::string> ToWindows1252(const QString& text);
QString FromWindows1252(const std::string& bytes);
