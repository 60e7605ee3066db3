#include "dataaccess/DllSearch.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace dataaccess {

void RestrictDllSearch()
{
#ifdef _WIN32
    // Looked up rather than linked: a Windows 7 without its 2011 loader update
    // lacks the call and would refuse to start the program at all.
    using SetDefaultDirs = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto setDefault =
        kernel ? reinterpret_cast<SetDefaultDirs>(
                     reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "SetDefaultDllDirectories")))
               : nullptr;
    if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
        ::SetDllDirectoryW(L""); // at least the current folder goes
#endif
}

} // namespace dataaccess
