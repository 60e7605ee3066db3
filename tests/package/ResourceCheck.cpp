// Reads a program's version resource and manifest back as Windows sees them:
//   resource_check PROGRAM.exe VERSION    (MAJOR.MINOR.PATCH.BUILD; exit status 0: both as declared)
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const char* program = argv[1];
    const std::string version = argv[2];
    std::vector<std::string> missing;

    DWORD ignored = 0;
    std::vector<char> data(::GetFileVersionInfoSizeA(program, &ignored));
    VS_FIXEDFILEINFO* fixed = nullptr;
    char* text = nullptr;
    UINT size = 0;
    unsigned major = 0, minor = 0, patch = 0, build = 0;
    if (std::sscanf(version.c_str(), "%u.%u.%u.%u", &major, &minor, &patch, &build) != 4)
        return 2;
    const DWORD high = major << 16 | minor;
    const DWORD low = patch << 16 | build;
    if (data.empty() || !::GetFileVersionInfoA(program, 0, static_cast<DWORD>(data.size()), data.data()) ||
        !::VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &size) ||
        fixed->dwFileVersionMS != high || fixed->dwFileVersionLS != low ||
        fixed->dwProductVersionMS != fixed->dwFileVersionMS || fixed->dwProductVersionLS != fixed->dwFileVersionLS ||
        !::VerQueryValueA(data.data(), "\\StringFileInfo\\041004B0\\ProductVersion", reinterpret_cast<void**>(&text),
                          &size) ||
        version != text)
        missing.push_back("version resource " + version);

    const HMODULE image = ::LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    const HRSRC found = image ? ::FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
    const HGLOBAL loaded = found ? ::LoadResource(image, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    const std::string manifest = bytes ? std::string(bytes, ::SizeofResource(image, found)) : "";
    for (const char* wanted : {"level=\"asInvoker\"", "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                               ">true/pm<", ">PerMonitorV2<", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        if (manifest.find(wanted) == std::string::npos)
            missing.push_back(std::string("manifest ") + wanted);
    }
    // Windows 7, 8 and 8.1: Qt 6 does not run there, so the program claims none of them.
    for (const char* unwanted : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                                 "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"}) {
        if (manifest.find(unwanted) != std::string::npos)
            missing.push_back(std::string("no manifest entry ") + unwanted);
    }
    if (image)
        ::FreeLibrary(image);
    for (const std::string& what : missing)
        std::printf("missing: %s\n", what.c_str());
    return missing.empty() ? 0 : 1;
}
