#include "SystemCodePage.h"

#include "dataaccess/Errors.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace dataaccess {

std::string FileNameForClient(const std::string& utf8)
{
#ifdef _WIN32
    if (utf8.empty())
        return utf8;
    const int wideSize =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (wideSize <= 0)
        return utf8; // not UTF-8: already bytes of the code page
    std::wstring wide(static_cast<size_t>(wideSize), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), wideSize);
    // No best fit: "Ł" must not quietly become "L" and name another file.
    BOOL lossy = FALSE;
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideSize, nullptr, 0, nullptr,
                                           &lossy);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideSize, out.data(), size, nullptr, &lossy);
    if (lossy || size <= 0)
        throw DatabaseError("The database name \"" + utf8 + "\" has characters that the system code page lacks");
    return out;
#else
    return utf8;
#endif
}

} // namespace dataaccess
