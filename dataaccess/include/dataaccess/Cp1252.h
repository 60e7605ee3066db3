#pragma once

#include <string>
#include <string_view>

// Windows-1252 text, converted by the program itself: Qt finds named code
// pages through ICU, which Qt for Windows lacks.
namespace cp1252 {

// Every byte has a character; 0x81, 0x8D, 0x8F, 0x90 and 0x9D stand for the
// C1 controls of the same number, as on Windows.
std::string ToUtf8(std::string_view bytes);

// A character without a code (or a byte that is not UTF-8) becomes 0x1A and
// sets *lossy when given.
std::string FromUtf8(std::string_view utf8, bool* lossy = nullptr);

} // namespace cp1252
