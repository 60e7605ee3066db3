#include "SystemCodePage.h"

#include "dataaccess/Errors.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace dataaccess {

namespace {

constexpr unsigned Utf8CodePage = 65001;

} // namespace

unsigned SystemCodePage()
{
#ifdef _WIN32
    return ::GetACP();
#else
    return Utf8CodePage;
#endif
}

std::string InCodePage(const std::string& utf8, unsigned codePage, const std::string& what)
{
    // The text is UTF-8 already; a code page that is UTF-8 takes no best-fit
    // flag (the call would fail with ERROR_INVALID_FLAGS).
    if (utf8.empty() || codePage == Utf8CodePage)
        return utf8;
#ifdef _WIN32
    const int wideSize =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (wideSize <= 0)
        return utf8; // not UTF-8: already bytes of the code page
    std::wstring wide(static_cast<size_t>(wideSize), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), wideSize);
    // No best fit: "Ł" must not quietly become "L" and name another file.
    BOOL lossy = FALSE;
    const int size = ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), wideSize, nullptr, 0, nullptr,
                                           &lossy);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), wideSize, out.data(), size, nullptr, &lossy);
    if (lossy || size <= 0)
        throw DatabaseError(what + " has characters that the system code page lacks");
    return out;
#else
    (void)what;
    return utf8;
#endif
}

std::string FileNameForClient(const std::string& utf8, unsigned codePage)
{
    return InCodePage(utf8, codePage, "The database name \"" + utf8 + "\"");
}

} // namespace dataaccess
