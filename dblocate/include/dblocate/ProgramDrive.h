#pragma once

#include <optional>
#include <string>

namespace dblocate {

// What Windows says about one drive letter. Behind an interface so that the
// resolution below is the same on every platform and in every test.
class DriveSystem {
public:
    virtual ~DriveSystem() = default;

    // GetDriveTypeW says DRIVE_REMOTE.
    virtual bool IsRemote(char letter) const = 0;
    // The "\\server\share" a network drive is connected to (WNetGetConnectionW); empty when unknown.
    virtual std::string Connection(char letter) const = 0;
    // The drive's target (QueryDosDeviceW): "\??\C:\Dati" for a subst drive,
    // "\Device\..." for anything else; empty when unknown. UTF-8.
    virtual std::string DosDevice(char letter) const = 0;
};

// The machine's own drives; on systems without drive letters every drive is local.
const DriveSystem& SystemDrives();

// A program folder as the database server can see it.
struct ResolvedFolder {
    std::string folder;      // a local folder or "\\server\share\..."; unchanged when local
    std::string remoteDrive; // "P:" when the folder lies on a network drive whose share is unknown
};

// Follows subst drives to the folder they stand for and network drives to their
// "\\server\share": a drive the service or the client cannot see as local
// (the client takes a remote one-letter name for a host) must not be named as one.
ResolvedFolder ResolveProgramFolder(const std::string& folder, const DriveSystem& drives);

} // namespace dblocate
