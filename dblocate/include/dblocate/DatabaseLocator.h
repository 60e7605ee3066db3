#pragma once

#include "dblocate/ProgramDrive.h"

#include <dataaccess/Errors.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace dataaccess { class Connection; class Transaction; }

namespace dblocate {

// What the location routines need from the operator: plain message boxes and
// the server-location dialog. The station answers with real windows, tests with scripts.
class LocationUi {
public:
    virtual ~LocationUi() = default;

    // Plain message box (application title, OK). UTF-8 text.
    virtual void ShowMessage(const std::string& text) = 0;

    struct ServerAnswer {
        int pressedButton = 0; // 0 closed, 1 OK, 2 Cancel (TQuenIn2Form::PressedButton)
        std::string serverName;
        std::string driveLetter;
    };
    // Shows TQuenIn2Form modally, already captioned and laid out.
    virtual ServerAnswer AskServerDialog() = 0;
    // The server gave no answer: true to try the whole search again. UTF-8
    // text; without a way to ask, the message is shown and the search ends.
    virtual bool AskRetry(const std::string& text)
    {
        ShowMessage(text);
        return false;
    }
};

// A server turned an attempt down for a reason other than "no such database"
// (no link, login refused, shut down, path not allowed): no other name and no
// new database may stand in for it. The text, for the operator, names the
// server and the reason.
class ServerRefusedError : public std::runtime_error {
public:
    explicit ServerRefusedError(const std::string& text,
                                dataaccess::AttachRefusal refusal = dataaccess::AttachRefusal::Other)
        : std::runtime_error(text), refusal_(refusal)
    {
    }
    dataaccess::AttachRefusal refusal() const noexcept { return refusal_; }

private:
    dataaccess::AttachRefusal refusal_;
};

// All folders and names are UTF-8; programFolder ends with the path delimiter.
// A non-empty role is asked for at attach (and named at creation). A non-empty
// linkConfig (client configuration lines) goes with the attach, and then no
// database is created. A name on a server that the server refuses for any
// reason but a missing file raises ServerRefusedError instead of a creation.
bool OpenOrCreateDatabase(dataaccess::Connection& connection, const std::string& name,
                          const std::string& serverName, const std::string& driveLetter,
                          const std::string& userName, const std::string& password,
                          LocationUi& ui, const std::string& role = {},
                          const std::string& linkConfig = {});

// The client configuration the station's own account (dati.ini "Utente") attaches
// with: an encrypted link and Srp only, unless "Collegamento Cifrato" says "No".
// Empty for the default account.
std::string SecureLinkFor(const std::string& userName, const std::string& setting);

// Told once the database is open: when dati.ini names an account ("Utente")
// but no role ("Ruolo") and the account may not read COLLI, the operator's
// text naming the missing key; empty otherwise (any other failure is left to
// the scans). The query runs in transaction and is closed again.
std::string MissingRoleText(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                            const std::string& programFolder);

bool UncToServerPath(const std::string& uncFolder, const std::string& serverFolderSetting,
                     std::string& path, bool& shareNamed, LocationUi& ui);

void AskServerLocation(const std::string& programFolder, LocationUi& ui,
                       std::string& serverName, std::string& driveLetter);

// The server of the name cannot be reached now (no answer, no link): true
// when the caller works without it for now.
using WorkWithout = std::function<bool(const std::string& databaseName)>;

// userName and password empty: those of dati.ini ("Utente", "Password"), and
// failing those the defaults; the role is always the one of dati.ini ("Ruolo"),
// the link's requirements those of SecureLinkFor. A server's refusal ends the
// search with a message naming the server and the reason (result false). A
// server that cannot be reached ends it without a word when workWithout says
// so (result false): the connection then keeps the name and its attach lines,
// detached, for attaching later.
bool LocateAndOpenDatabase(dataaccess::Connection& connection, const std::string& programFolder,
                           const std::string& fileName, const std::string& userName,
                           const std::string& password, LocationUi& ui, const WorkWithout& workWithout = {});

// The name handed to the client library for one attempt: name itself without a
// server; otherwise serverName ":" name, where a leading local drive ("Z:") has
// its letter replaced by driveLetter when one is given.
std::string ConnectionName(const std::string& name, const std::string& serverName,
                           const std::string& driveLetter);

// One attempt of the search: name, serverName, driveLetter as OpenOrCreateDatabase takes them.
using OpenAttempt = std::function<bool(const std::string& name, const std::string& serverName,
                                       const std::string& driveLetter)>;

// The order of attempts of LocateAndOpenDatabase, each attempt made through
// attempt; result true when an attempt succeeded.
// drives tells where a program folder on a drive letter really lies.
bool SearchDatabase(const std::string& programFolder, const std::string& fileName,
                    LocationUi& ui, const OpenAttempt& attempt, const DriveSystem& drives = SystemDrives());

} // namespace dblocate
