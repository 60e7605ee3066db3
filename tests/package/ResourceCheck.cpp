// Reads a program's version resource and manifest back as Windows sees them:
//   resource_check PROGRAM.exe VERSION
// Exit status 0 when both carry VERSION and everything the programs declare.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool Check(bool ok, const std::string& what)
{
    if (!ok)
        std::printf("missing: %s\n", what.c_str());
    return ok;
}

bool VersionResource(const char* program, const std::string& version)
{
    DWORD ignored = 0;
    std::vector<char> data(::GetFileVersionInfoSizeA(program, &ignored));
    if (!Check(!data.empty() && ::GetFileVersionInfoA(program, 0, static_cast<DWORD>(data.size()), data.data()),
               "version resource"))
        return false;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    unsigned major = 0, minor = 0, patch = 0;
    std::sscanf(version.c_str(), "%u.%u.%u", &major, &minor, &patch);
    bool ok = Check(::VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &size) && fixed,
                    "fixed file information");
    if (ok) {
        const DWORD high = MAKELONG(minor, major);
        const DWORD low = MAKELONG(0, patch);
        ok &= Check(fixed->dwFileVersionMS == high && fixed->dwFileVersionLS == low, "file version " + version);
        ok &= Check(fixed->dwProductVersionMS == high && fixed->dwProductVersionLS == low,
                    "product version " + version);
    }
    for (const char* name : {"FileVersion", "ProductVersion"}) {
        char* text = nullptr;
        const std::string path = std::string("\\StringFileInfo\\041004B0\\") + name;
        ok &= Check(::VerQueryValueA(data.data(), path.c_str(), reinterpret_cast<void**>(&text), &size) && text &&
                        version == text,
                    std::string(name) + " text " + version);
    }
    return ok;
}

bool Manifest(const char* program)
{
    const HMODULE image = ::LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    const HRSRC found = image ? ::FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
    const HGLOBAL loaded = found ? ::LoadResource(image, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    bool ok = Check(bytes != nullptr, "manifest");
    if (ok) {
        const std::string text(bytes, ::SizeofResource(image, found));
        for (const char* wanted : {"level=\"asInvoker\"", "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                                   ">true/pm<", ">PerMonitorV2<", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                                   "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                                   "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
            ok &= Check(text.find(wanted) != std::string::npos, std::string("manifest ") + wanted);
    }
    if (image)
        ::FreeLibrary(image);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("usage: resource_check PROGRAM.exe VERSION\n");
        return 2;
    }
    const bool version = VersionResource(argv[1], argv[2]);
    const bool manifest = Manifest(argv[1]);
    return version && manifest ? 0 : 1;
}
