#pragma once

#ifdef _WIN32

#include <string>

namespace printing {

// UTF-8 inside the program, UTF-16 at the Win32 calls.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);

} // namespace printing

#endif
