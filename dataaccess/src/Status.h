#pragma once

#include <ibase.h>

#include <string>
#include <string_view>

namespace dataaccess {

// A status vector for one client-library call.
struct Status {
    ISC_STATUS_ARRAY vector{};

    ISC_STATUS* operator&() noexcept { return vector; }
    bool Failed() const noexcept { return vector[0] == 1 && vector[1] != 0; }
};

// Raises the error the status vector describes: the client library's message
// lines joined by CR LF, with the GDS code, SQLCODE and SQLSTATE attached.
[[noreturn]] void RaiseStatus(const ISC_STATUS* status);

// Raises when the last call failed.
inline void Check(const Status& status)
{
    if (status.Failed())
        RaiseStatus(status.vector);
}

// The server speaks Windows-1252 (no character set is declared); the operator
// reads UTF-8.
std::string Windows1252ToUtf8(std::string_view text);

// The client library's message text as UTF-8. It comes in the code page of the
// system the client runs on (what Windows itself says, file names it was given
// in that code page), in UTF-8 (names it was given as UTF-8), or in Windows-1252
// (a server's text, on a system whose code page is UTF-8).
std::string ClientTextToUtf8(std::string_view text, unsigned codePage);

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept;

// text without the blanks at either end.
std::string_view Trimmed(std::string_view text, std::string_view blanks = " \t\r") noexcept;

} // namespace dataaccess
