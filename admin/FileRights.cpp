#include "FileRights.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>

#include <QString>

#include <stdexcept>
#include <system_error>
#endif

namespace admin {

#ifdef _WIN32
namespace {

class LocalMemory {
public:
    LocalMemory() = default;
    ~LocalMemory()
    {
        if (memory_)
            ::LocalFree(memory_);
    }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    void** Slot() { return &memory_; }

private:
    void* memory_ = nullptr;
};

[[noreturn]] void Refused(const std::string& what, DWORD code)
{
    throw std::runtime_error(what + ": " + std::system_category().message(static_cast<int>(code)));
}

struct UsersSid {
    UsersSid()
    {
        DWORD size = sizeof bytes;
        if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, bytes, &size))
            Refused("no SID for BUILTIN\\Users", ::GetLastError());
    }
    BYTE bytes[SECURITY_MAX_SID_SIZE]{};
};

TRUSTEEW Trustee(UsersSid& users)
{
    TRUSTEEW trustee{};
    trustee.TrusteeForm = TRUSTEE_IS_SID;
    trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    trustee.ptstrName = reinterpret_cast<LPWSTR>(users.bytes);
    return trustee;
}

} // namespace

void LetUsersWrite(const std::string& utf8Path)
{
    std::wstring path = QString::fromStdString(utf8Path).toStdWString();
    PACL current = nullptr;
    LocalMemory descriptor;
    DWORD code = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         &current, nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Slot()));
    if (code != ERROR_SUCCESS)
        Refused("cannot read the rights of " + utf8Path, code);
    UsersSid users;
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee = Trustee(users);
    PACL updated = nullptr;
    LocalMemory updatedMemory;
    code = ::SetEntriesInAclW(1, &access, current, &updated);
    *updatedMemory.Slot() = updated;
    if (code != ERROR_SUCCESS)
        Refused("cannot make the rights of " + utf8Path, code);
    code = ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, updated,
                                   nullptr);
    if (code != ERROR_SUCCESS)
        Refused("cannot set the rights of " + utf8Path, code);
}

bool UsersMayWrite(const std::string& utf8Path)
{
    const std::wstring path = QString::fromStdString(utf8Path).toStdWString();
    PACL current = nullptr;
    LocalMemory descriptor;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                                nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Slot())) != ERROR_SUCCESS)
        return false;
    if (!current)
        return true; // no DACL at all: everyone may do anything
    // The entries themselves, in their order: a denial before a grant wins.
    UsersSid users;
    ACL_SIZE_INFORMATION size{};
    if (!::GetAclInformation(current, &size, sizeof size, AclSizeInformation))
        return false;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(current, i, &entry))
            return false;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            // Both kinds lay out mask and SID alike.
            const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
            if (!::EqualSid(const_cast<DWORD*>(&ace->SidStart), users.bytes) || !(ace->Mask & FILE_WRITE_DATA))
                continue;
            return header->AceType == ACCESS_ALLOWED_ACE_TYPE;
        }
    }
    return false;
}
#else
void LetUsersWrite(const std::string&) {}

bool UsersMayWrite(const std::string&) { return false; }
#endif

} // namespace admin
