#include "dblocate/ProgramDrive.h"

#ifdef _WIN32
#include <windows.h>
#include <winnetwk.h>
#endif

#include <cctype>

namespace dblocate {

namespace {

bool HasDrive(const std::string& path)
{
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// "\Device\LanmanRedirector\;P:0000000000012345\server\share" (also behind
// "\Device\Mup\;LanmanRedirector\"): the share follows the ";P:..." part.
std::string ShareOfRedirector(const std::string& device)
{
    const auto marker = device.find(";");
    if (marker == std::string::npos)
        return {};
    auto at = device.find(':', marker);
    if (at == std::string::npos)
        return {};
    at = device.find('\\', at);
    if (at == std::string::npos || device.find('\\', at + 1) == std::string::npos)
        return {};
    return "\\" + device.substr(at);
}

std::string WithSlash(std::string folder)
{
    if (!folder.empty() && folder.back() != '\\')
        folder += '\\';
    return folder;
}

#ifdef _WIN32
std::wstring Wide(const std::string& utf8)
{
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), size);
    return out;
}

std::string Utf8(const wchar_t* text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back();
    return out;
}

class WindowsDrives final : public DriveSystem {
public:
    bool IsRemote(char letter) const override
    {
        const std::wstring root = Wide(std::string(1, letter) + ":\\");
        return ::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE;
    }
    std::string Connection(char letter) const override
    {
        const std::wstring drive = Wide(std::string(1, letter) + ":");
        wchar_t remote[MAX_PATH + 1] = {};
        DWORD size = MAX_PATH;
        if (::WNetGetConnectionW(drive.c_str(), remote, &size) != NO_ERROR)
            return {};
        return Utf8(remote);
    }
    std::string DosDevice(char letter) const override
    {
        const std::wstring drive = Wide(std::string(1, letter) + ":");
        wchar_t target[4 * MAX_PATH] = {};
        if (::QueryDosDeviceW(drive.c_str(), target, DWORD(std::size(target))) == 0)
            return {};
        return Utf8(target);
    }
};
#else
class NoDrives final : public DriveSystem {
public:
    bool IsRemote(char) const override { return false; }
    std::string Connection(char) const override { return {}; }
    std::string DosDevice(char) const override { return {}; }
};
#endif

} // namespace

const DriveSystem& SystemDrives()
{
#ifdef _WIN32
    static const WindowsDrives drives;
#else
    static const NoDrives drives;
#endif
    return drives;
}

ResolvedFolder ResolveProgramFolder(const std::string& folder, const DriveSystem& drives)
{
    std::string current = folder;
    // A subst drive may name another subst drive; there are only 26 letters.
    for (int step = 0; step < 26 && HasDrive(current); ++step) {
        const char letter = char(std::toupper(static_cast<unsigned char>(current[0])));
        const std::string rest = current.substr(2); // "\Colli\"
        const std::string device = drives.DosDevice(letter);
        if (StartsWithNoCase(device, "\\??\\UNC\\")) {
            current = WithSlash("\\\\" + device.substr(8)) + (rest.empty() ? rest : rest.substr(1));
            break;
        }
        if (StartsWithNoCase(device, "\\??\\") && HasDrive(device.substr(4))) {
            const std::string target = WithSlash(device.substr(4));
            const std::string next = target + (rest.empty() ? rest : rest.substr(1));
            if (next == current)
                break;
            current = next;
            continue;
        }
        if (!drives.IsRemote(letter))
            break;
        std::string share = drives.Connection(letter);
        if (share.empty())
            share = ShareOfRedirector(device);
        if (share.rfind("\\\\", 0) != 0)
            return {folder, std::string(1, letter) + ":"};
        current = WithSlash(share) + (rest.empty() ? rest : rest.substr(1));
        break;
    }
    return {current, {}};
}

} // namespace dblocate
