#include "dblocate/DatabaseLocator.h"

#include "dblocate/ProgramDrive.h"
#include "dblocate/SettingsFile.h"

#include <dataaccess/ClientLibrary.h>
#include <dataaccess/Connection.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>

#include <QString>

#include <cctype>
#include <exception>
#include <filesystem>
#include <system_error>

namespace dblocate {

namespace {

constexpr const char* SettingsFileName = "dati.ini";
constexpr const char* Section = "CONFIG";
constexpr const char* KeyServerName = "Nome Server";
constexpr const char* KeyAlias = "Alias";
constexpr const char* KeyDatabaseFolder = "PercorsoDatabase";
constexpr const char* KeyServerFolder = "Percorso Nel Server";
constexpr const char* KeyDriveLetter = "Lettera Disco Server";
constexpr const char* KeyUserName = "Utente";
constexpr const char* KeyPassword = "Password";
constexpr const char* KeyRole = "Ruolo";
constexpr const char* KeySecureLink = "Collegamento Cifrato";
// What the station's own account asks of every attachment, whatever the
// workstation's client configuration says: an encrypted link and an Srp login,
// never the legacy hash of the password.
constexpr const char* SecureLinkConfig = "WireCrypt = Required\nAuthClient = Srp256, Srp";

constexpr const char* DefaultFileName = "archivio.fdb";
constexpr const char* DefaultUserName = "SYSDBA";
constexpr const char* DefaultPassword = "plumtrove";

constexpr const char* MessageCreated = "Effettuata creazione data base";
constexpr const char* MessageNetworkPath =
    "Errore: nonostante le configurazioni, il particolare percorso di rete sta rendendo "
    "impossibile l'attivazione del database";
constexpr const char* MessageNotOpened = "Apertura / creazione del database non riuscita!";
constexpr const char* MessageNotFound = "Non trovato dati.ini";
constexpr const char* MessageRefused = "\rNessun database \xC3\xA8 stato aperto n\xC3\xA9 creato.";
constexpr const char* MessageNoAnswerRetry =
    "\rNessun database \xC3\xA8 stato aperto n\xC3\xA9 creato. Riprovare?";

// What the operator reads when a server turns an attempt down: the server,
// the reason in words, the client's own lines for whoever looks after it.
std::string RefusalMessage(const std::string& name, const std::string& user, const dataaccess::DatabaseError& error)
{
    const std::string server = "\"" + dataaccess::ServerOf(name) + "\"";
    std::string reason;
    switch (error.refusal()) {
    case dataaccess::AttachRefusal::NoConnection:
        reason = "Il server " + server + " non accetta il collegamento: il servizio Firebird \xC3\xA8 fermo, la porta "
                 "\xC3\xA8 chiusa o il nome del server non \xC3\xA8 giusto";
        break;
    case dataaccess::AttachRefusal::LoginRefused:
        reason = "Il server " + server + " ha rifiutato l'accesso dell'utente \"" + user +
                 "\": nome utente o password non validi";
        break;
    case dataaccess::AttachRefusal::ShutDown:
        reason = "Il server " + server + " risponde che il database \xC3\xA8 chiuso (shutdown) e non ammette "
                 "collegamenti";
        break;
    case dataaccess::AttachRefusal::NotAllowed:
        reason = "Il server " + server + " non consente l'accesso al database: percorso non ammesso dalla sua "
                 "configurazione o file non accessibile";
        break;
    case dataaccess::AttachRefusal::NoSuchDatabase:
    case dataaccess::AttachRefusal::Other:
        reason = "Il server " + server + " non ha aperto il database";
        break;
    }
    return reason + "\r" + error.what() + MessageRefused;
}

std::string RemoteDriveMessage(const std::string& drive)
{
    return "Il programma si trova sul disco di rete " + drive
        + ", di cui non \xC3\xA8 noto il percorso di rete: un database locale non pu\xC3\xB2 stare su quel "
          "disco. Avviare il programma dal percorso di rete (\\\\server\\cartella) oppure indicare il server "
          "nel file dati.ini";
}

bool StartsWithDrive(const std::string& path)
{
    const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    return path.size() >= 2 && isLetter(path[0]) && path[1] == ':';
}

// A value between double quotes in the create statement; a quote inside is doubled.
std::string DoubleQuoted(const std::string& value)
{
    std::string out = "\"";
    for (char c : value) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

// The client library would happily create over nothing but an existing file is
// someone's database, even when it does not attach (not a database, bad password
// on a local engine that ignores it, locked by another process).
bool LocalFileExists(const std::string& name)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::u8path(name), error);
}

// Whether the client library takes name for a file of this machine: "host:path"
// (also "inet://...") names a server; on Windows a single letter before the
// colon is a drive and "\\host\path" is a named pipe to a server.
bool IsLocalName(const std::string& name)
{
    const auto colon = name.find(':');
#ifdef _WIN32
    if (name.rfind("\\\\", 0) == 0)
        return false;
    return colon == std::string::npos || colon <= 1;
#else
    return colon == std::string::npos || colon == 0;
#endif
}

// What a server takes for the path: the part after "host:" or "\\host\".
std::string ServerPath(const std::string& name)
{
    if (name.rfind("\\\\", 0) == 0) {
        const auto slash = name.find('\\', 2);
        return slash == std::string::npos ? std::string() : name.substr(slash + 1);
    }
    const auto hostEnd = name.rfind('[', 0) == 0 ? name.find(']') : 0; // "[v6 address]/port:path"
    const auto colon = hostEnd == std::string::npos ? hostEnd : name.find(':', hostEnd);
    return colon == std::string::npos ? std::string() : name.substr(colon + 1);
}

bool IsAbsoluteServerPath(const std::string& path)
{
    if (!path.empty() && (path[0] == '/' || path[0] == '\\'))
        return true;
    return path.size() >= 3 && StartsWithDrive(path) && (path[2] == '\\' || path[2] == '/');
}

// A name may only be created when it is an absolute path, and a local one
// only when it is free: a relative one would land in whatever folder the
// program (or, on a server, the service) runs in, and a name the server took
// for an alias it does not know is such a relative path.
bool MayCreate(const std::string& name)
{
    if (!IsLocalName(name))
        return IsAbsoluteServerPath(ServerPath(name));
    return std::filesystem::u8path(name).is_absolute() && !LocalFileExists(name);
}

} // namespace

std::string SecureLinkFor(const std::string& userName, const std::string& setting)
{
    QString value = QString::fromStdString(setting).trimmed();
    if (userName.empty() || value.compare(QLatin1String("No"), Qt::CaseInsensitive) == 0)
        return {};
    return SecureLinkConfig;
}

std::string MissingRoleText(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                            const std::string& programFolder)
{
    const SettingsFile settings(programFolder + SettingsFileName);
    const std::string user = settings.ReadString(Section, KeyUserName);
    if (user.empty() || !settings.ReadString(Section, KeyRole).empty())
        return {};
    try {
        dataaccess::SqlQuery probe(connection, transaction);
        probe.SetParamCheck(false);
        probe.AddLine("SELECT FIRST 1 BARCODESPEED FROM COLLI");
        probe.Open();
        probe.Close();
    } catch (const dataaccess::DatabaseError& error) {
        if (std::string(error.what()).find("no permission") == std::string::npos)
            return {};
        return "L'utente \"" + user + "\" indicato in " + SettingsFileName +
               " non ha diritti sui colli (tabella COLLI): nella sezione [" + Section + "] manca la chiave \"" +
               KeyRole + "\" con il ruolo dato all'utente da colli-admin station-user.";
    }
    return {};
}

std::string ConnectionName(const std::string& name, const std::string& serverName,
                           const std::string& driveLetter)
{
    if (serverName.empty())
        return name;
    // Only a path that starts with a local drive has a letter to swap.
    if (!driveLetter.empty() && StartsWithDrive(name))
        return serverName + ":" + driveLetter + name.substr(1);
    return serverName + ":" + name;
}

bool OpenOrCreateDatabase(dataaccess::Connection& connection, const std::string& name,
                          const std::string& serverName, const std::string& driveLetter,
                          const std::string& userName, const std::string& password,
                          LocationUi& ui, const std::string& role, const std::string& linkConfig)
{
    const std::string user = userName.empty() ? DefaultUserName : userName;
    const std::string secret = password.empty() ? DefaultPassword : password;

    connection.SetConnected(false);
    connection.SetLoginPrompt(false);
    connection.Params().clear();
    connection.Params().push_back("user_name=" + user);
    connection.Params().push_back("password=" + secret);
    if (!role.empty())
        connection.Params().push_back("sql_role_name=" + role);
    if (!linkConfig.empty())
        connection.Params().push_back("config=" + linkConfig);
    connection.SetDatabaseName(ConnectionName(name, serverName, driveLetter));

    try {
        connection.SetConnected(true);
        return true;
    } catch (const dataaccess::ClientLibraryError&) {
        throw; // without the client library no name can work: no more attempts, no dialog
    } catch (const dataaccess::NoAnswerError&) {
        throw; // no answer is not "not there": nothing may be created in its place
    } catch (const dataaccess::WaitCancelledError&) {
        throw;
    } catch (const dataaccess::DatabaseError& error) {
        // Only the server's word that nothing is there lets a new database,
        // or the next name of the search, take the place of the one it keeps.
        if (!IsLocalName(connection.DatabaseName()) &&
            error.refusal() != dataaccess::AttachRefusal::NoSuchDatabase)
            throw ServerRefusedError(RefusalMessage(connection.DatabaseName(), user, error), error.refusal());
    } catch (const std::exception&) {
        // any other reason to fail leads to the creation attempt
    }
    // A create statement cannot carry the link's requirements, and an account
    // that has them is no one who should create databases.
    if (!linkConfig.empty())
        return false;

    connection.Params().clear();
    connection.Params().push_back("USER " + DoubleQuoted(user));
    connection.Params().push_back("PASSWORD " + DoubleQuoted(secret));
    if (!role.empty())
        connection.Params().push_back("ROLE " + DoubleQuoted(role));
    connection.Params().push_back("PAGE_SIZE 4096");
    connection.SetSQLDialect(3);

    if (!MayCreate(connection.DatabaseName()))
        return false;
    try {
        connection.CreateDatabase();
    } catch (const std::exception&) {
        return false;
    }
    ui.ShowMessage(MessageCreated);
    return true;
}

bool UncToServerPath(const std::string& uncFolder, const std::string& serverFolderSetting,
                     std::string& path, bool& shareNamed, LocationUi& ui)
{
    std::string s = uncFolder.size() > 2 ? uncFolder.substr(2) : std::string();

    std::string computer;
    if (const auto slash = s.find('\\'); slash != std::string::npos) {
        computer = s.substr(0, slash);
        s.erase(0, slash + 1);
    } else {
        computer = s;
        s.clear();
    }

    std::string share = s.substr(0, s.find('\\'));
    // An administrative share ("D$") names the server's drive D as well, unless
    // the site says where the folder is on the server, as for any share.
    if (share.size() == 2 && share[1] == '$' && std::isalpha(static_cast<unsigned char>(share[0]))) {
        if (!serverFolderSetting.empty()) {
            shareNamed = true;
            path = computer + ":" + serverFolderSetting;
            return false;
        }
        s.erase(1, 1);
        share.pop_back();
    }
    bool problemReported = false;
    if (share.size() < 2) {
        // shared by drive letter: computer:letter:\rest
        s = computer + ":" + s;
        const auto slash = s.find('\\');
        s.insert(slash == std::string::npos ? 0 : slash, ":");
    } else {
        shareNamed = true;
        if (!serverFolderSetting.empty()) {
            s = computer + ":" + serverFolderSetting;
        } else {
            ui.ShowMessage("Attenzione: il disco con gli archivi è stato condiviso in rete con un nome - "
                           + share
                           + " - e non con la lettera che lo identifica. Si consiglia di correggere la "
                             "condivisione oppure "
                             "di correggere manualmente la sezione Percorso Nel Server nel file Dati.ini "
                             "accanto al database");
            problemReported = true;
        }
    }
    path = s;
    return problemReported;
}

void AskServerLocation(const std::string& programFolder, LocationUi& ui,
                       std::string& serverName, std::string& driveLetter)
{
    serverName.clear();
    driveLetter.clear();
    SettingsFile settings(programFolder + SettingsFileName);
    serverName = settings.ReadString(Section, KeyServerName);
    driveLetter = settings.ReadString(Section, KeyDriveLetter);
    if (!serverName.empty())
        return;

    ui.ShowMessage(MessageNotFound);
    const LocationUi::ServerAnswer answer = ui.AskServerDialog();
    if (answer.pressedButton != 1)
        return;
    serverName = answer.serverName;
    driveLetter = answer.driveLetter;
    settings.WriteString(Section, KeyServerName, serverName);
    if (!driveLetter.empty())
        settings.WriteString(Section, KeyDriveLetter, driveLetter);
}

bool SearchDatabase(const std::string& programFolder, const std::string& fileName,
                    LocationUi& ui, const OpenAttempt& attempt, const DriveSystem& drives)
{
    std::string baseFolder = programFolder;
    bool shareNamed = false;
    bool problemReported = false;
    const std::string file = fileName.empty() ? DefaultFileName : fileName;
    const SettingsFile settings(programFolder + SettingsFileName);

    // 1: alias on the server
    {
        const std::string server = settings.ReadString(Section, KeyServerName);
        const std::string alias = settings.ReadString(Section, KeyAlias);
        if (!server.empty() && !alias.empty() && attempt(server + ":" + alias, {}, {}))
            return true;
    }

    // 2: configured folder on the server, the last word when present
    if (const std::string folder = settings.ReadString(Section, KeyDatabaseFolder); !folder.empty()) {
#ifdef _WIN32
        baseFolder = "\\\\" + settings.ReadString(Section, KeyServerName) + "\\" + folder;
        if (baseFolder.back() != '\\')
            baseFolder += '\\';
        return attempt(baseFolder + file, {}, {});
#else
        // "\\server\folder\" is a named pipe, which only the Windows client
        // knows; any other client takes it for a relative local file.
        return false;
#endif
    }

    // 3: the program's own folder, turned into a server name when it is a UNC
    // folder or a drive that stands for one
    const ResolvedFolder resolved = ResolveProgramFolder(programFolder, drives);
    const bool uncFolder = resolved.folder.rfind("\\\\", 0) == 0;
    if (uncFolder)
        problemReported = UncToServerPath(resolved.folder, settings.ReadString(Section, KeyServerFolder),
                                          baseFolder, shareNamed, ui);
    else
        baseFolder = resolved.folder;
    bool result = false;
    // No local name on a network drive whose share is unknown: the client
    // would take its letter for a host.
    if (!resolved.remoteDrive.empty())
        ui.ShowMessage(RemoteDriveMessage(resolved.remoteDrive));
    else if (!problemReported) {
        result = attempt(baseFolder + file, {}, {});
        // A share already names its server: another server could not open
        // that name, so no server is asked for.
        if (uncFolder && !result) {
            problemReported = true;
            ui.ShowMessage(MessageNetworkPath);
        }
    }

    // 4: a server computer, from the settings file or the operator
    if (!result && !problemReported) {
        std::string server;
        std::string drive;
        AskServerLocation(programFolder, ui, server, drive);
        if (!server.empty()) {
            result = attempt(baseFolder + file, server, drive);
        } else {
            ui.ShowMessage(MessageNotOpened);
        }
    }
    return result;
}

bool LocateAndOpenDatabase(dataaccess::Connection& connection, const std::string& programFolder,
                           const std::string& fileName, const std::string& userName,
                           const std::string& password, LocationUi& ui, const WorkWithout& workWithout)
{
    // A site that locks its server down names the station's own account here;
    // without these keys the station keeps the defaults.
    const SettingsFile settings(programFolder + SettingsFileName);
    const std::string user = userName.empty() ? settings.ReadString(Section, KeyUserName) : userName;
    const std::string secret = password.empty() ? settings.ReadString(Section, KeyPassword) : password;
    const std::string role = settings.ReadString(Section, KeyRole);
    const std::string linkConfig = SecureLinkFor(user, settings.ReadString(Section, KeySecureLink));
    for (;;) {
        try {
            return SearchDatabase(programFolder, fileName, ui,
                                  [&](const std::string& name, const std::string& server, const std::string& drive) {
                                      return OpenOrCreateDatabase(connection, name, server, drive, user, secret,
                                                                  ui, role, linkConfig);
                                  });
        } catch (const dataaccess::WaitCancelledError&) {
            return false; // the station is closing
        } catch (const ServerRefusedError& error) {
            if (error.refusal() == dataaccess::AttachRefusal::NoConnection && workWithout &&
                workWithout(connection.DatabaseName()))
                return false;
            ui.ShowMessage(error.what());
            return false;
        } catch (const dataaccess::NoAnswerError& error) {
            if (workWithout && workWithout(connection.DatabaseName()))
                return false;
            // A later name would only hide the server that is away behind an
            // empty database: the operator waits for it instead.
            if (!ui.AskRetry(std::string(error.what()) + MessageNoAnswerRetry))
                return false;
        }
    }
}

} // namespace dblocate
