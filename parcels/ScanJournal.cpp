#include "parcels/ScanJournal.h"

#include "parcels/ScanLog.h"

#include "SqliteFile.h"

#include <dataaccess/Cp1252.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <sqlite3.h>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#endif

namespace parcels {

struct ScanJournal::Handle {
    sqlite3* db = nullptr;
    ~Handle() { sqlite::Close(db); }
};

namespace {

constexpr const char* kNotWritten = "Impossibile scrivere il giornale delle scansioni sulla postazione (";

[[noreturn]] void RaiseJournal(const std::string& path, const std::string& reason)
{
    throw JournalError(kNotWritten + path + "): " + reason);
}

class Statement : public sqlite::Statement {
public:
    Statement(sqlite3* db, const char* sql, const std::string& path)
        : sqlite::Statement(db, sql, path, &RaiseJournal)
    {
    }
};

// Rows as the queries below give them back.
constexpr const char* kRowColumns =
    "BIGLIETTO, DATABASE, BARCODESPEED, CODICEEANLETTO, STATUS, DATAORA, RIFIUTO, DACOPIA";

JournalRow ReadRow(const Statement& statement)
{
    return {statement.Text(0), statement.Text(1), statement.Text(2), statement.Text(3),
            statement.Text(4), statement.Text(5), statement.Text(6), statement.Integer(7) != 0};
}

} // namespace

ScanJournal::ScanJournal(const std::string& path) : path_(path), db_(std::make_unique<Handle>())
{
    const bool existed = QFileInfo::exists(QString::fromStdString(path));
    db_->db = sqlite::Open(path, &RaiseJournal);
    // WAL with FULL syncs the log at every commit: a row acknowledged is on
    // the disk, through a power cut.
    Execute("PRAGMA synchronous=FULL");
    Execute("CREATE TABLE IF NOT EXISTS RIGHE ("
            "N INTEGER PRIMARY KEY AUTOINCREMENT, "
            "BIGLIETTO TEXT NOT NULL UNIQUE, "
            "DATABASE TEXT NOT NULL, "
            "BARCODESPEED BLOB NOT NULL, "
            "CODICEEANLETTO BLOB, "
            "STATUS TEXT NOT NULL, "
            "DATAORA TEXT NOT NULL, "
            "TRATTENUTA INTEGER NOT NULL, "
            "RIFIUTO TEXT, "
            "DACOPIA INTEGER NOT NULL DEFAULT 0)");
    // A journal of an earlier version: its rows were all decided by the server.
    bool markKept = false;
    {
        Statement columns(db_->db, "SELECT 1 FROM pragma_table_info('RIGHE') WHERE name = 'DACOPIA'", path_);
        markKept = columns.Step();
    }
    if (!markKept)
        Execute("ALTER TABLE RIGHE ADD COLUMN DACOPIA INTEGER NOT NULL DEFAULT 0");
#ifndef _WIN32
    // Every operator of the workstation writes the same journal (the folder's
    // group); SQLite gives its side files the main file's mode.
    if (!existed)
        QFile::setPermissions(QString::fromStdString(path), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                                QFileDevice::ReadGroup | QFileDevice::WriteGroup);
#else
    (void)existed;
#endif
}

ScanJournal::~ScanJournal() = default;

void ScanJournal::Execute(const char* sql) const { sqlite::Execute(db_->db, sql, path_, &RaiseJournal); }

JournalRow ScanJournal::Add(const std::string& database, const std::string& barcodeSpeed,
                            const std::string& eanRead, const std::string& status, bool fromCopy)
{
    JournalRow row{NewScanTicket(), database, barcodeSpeed, eanRead, status, LocalScanTime(), {}, fromCopy};
    Statement insert(db_->db,
                     "INSERT INTO RIGHE (BIGLIETTO, DATABASE, BARCODESPEED, CODICEEANLETTO, STATUS, DATAORA, "
                     "TRATTENUTA, DACOPIA) VALUES (?, ?, ?, ?, ?, ?, 1, ?)",
                     path_);
    insert.Bind(1, row.ticket).Bind(2, row.database).Bind(3, row.barcodeSpeed);
    if (row.eanRead.empty())
        insert.BindNull(4);
    else
        insert.Bind(4, row.eanRead);
    insert.Bind(5, row.status).Bind(6, row.scanTime).BindInt(7, fromCopy ? 1 : 0);
    insert.Step();
    return row;
}

void ScanJournal::Release(const std::string& ticket)
{
    Statement(db_->db, "UPDATE RIGHE SET TRATTENUTA = 0 WHERE BIGLIETTO = ?", path_).Bind(1, ticket).Step();
}

void ScanJournal::Discard(const std::string& ticket)
{
    Statement(db_->db, "DELETE FROM RIGHE WHERE BIGLIETTO = ? AND TRATTENUTA = 1", path_).Bind(1, ticket).Step();
}

long long ScanJournal::ReleaseLeftOver()
{
    Statement(db_->db, "UPDATE RIGHE SET TRATTENUTA = 0 WHERE TRATTENUTA = 1", path_).Step();
    return sqlite3_changes64(db_->db);
}

std::vector<JournalRow> ScanJournal::Waiting(const std::string& database, int most) const
{
    Statement select(db_->db,
                     (std::string("SELECT ") + kRowColumns +
                      " FROM RIGHE WHERE DATABASE = ? AND TRATTENUTA = 0 AND RIFIUTO IS NULL ORDER BY N LIMIT ?")
                         .c_str(),
                     path_);
    select.Bind(1, database).BindInt(2, most);
    std::vector<JournalRow> rows;
    while (select.Step())
        rows.push_back(ReadRow(select));
    return rows;
}

std::vector<JournalRow> ScanJournal::Refused(const std::string& database) const
{
    Statement select(
        db_->db,
        (std::string("SELECT ") + kRowColumns + " FROM RIGHE WHERE DATABASE = ? AND RIFIUTO IS NOT NULL ORDER BY N")
            .c_str(),
        path_);
    select.Bind(1, database);
    std::vector<JournalRow> rows;
    while (select.Step())
        rows.push_back(ReadRow(select));
    return rows;
}

void ScanJournal::Remove(const std::string& ticket)
{
    Statement(db_->db, "DELETE FROM RIGHE WHERE BIGLIETTO = ?", path_).Bind(1, ticket).Step();
}

void ScanJournal::MarkRefused(const std::string& ticket, const std::string& reason)
{
    Statement(db_->db, "UPDATE RIGHE SET RIFIUTO = ? WHERE BIGLIETTO = ?", path_).Bind(1, reason).Bind(2, ticket).Step();
}

void ScanJournal::ClearRefusals(const std::string& database)
{
    Statement(db_->db, "UPDATE RIGHE SET RIFIUTO = NULL WHERE DATABASE = ?", path_).Bind(1, database).Step();
}

JournalCounts ScanJournal::Count(const std::string& database) const
{
    Statement select(db_->db,
                     "SELECT "
                     "COALESCE(SUM(DATABASE = ?1 AND RIFIUTO IS NULL), 0), "
                     "COALESCE(SUM(DATABASE = ?1 AND RIFIUTO IS NOT NULL), 0), "
                     "COALESCE(SUM(DATABASE <> ?1), 0) FROM RIGHE",
                     path_);
    select.Bind(1, database);
    select.Step();
    return {select.Integer(0), select.Integer(1), select.Integer(2)};
}

std::string JournalFolder(const std::vector<std::string>& candidates)
{
    for (const std::string& candidate : candidates) {
        if (candidate.empty())
            continue;
        const QString folder = QString::fromStdString(candidate);
        if (!QDir().mkpath(folder))
            continue;
        // Permissions alone do not tell (ACLs, read-only mounts): try it.
        QTemporaryFile probe(QDir(folder).filePath(QStringLiteral("prova-XXXXXX")));
        if (probe.open())
            return candidate;
    }
    return {};
}

bool OpenToWorkstationUsers(const std::string& folder)
{
#ifdef _WIN32
    const std::wstring name = QString::fromStdString(folder).toStdWString();
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const std::unique_ptr<void, decltype(&LocalFree)> ownDescriptor(descriptor, &LocalFree);
    // BUILTIN\Users by its SID: the group's name is another in every language.
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    if (!CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sid, &sidSize))
        return false;
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid);
    PACL widened = nullptr;
    if (SetEntriesInAclW(1, &access, current, &widened) != ERROR_SUCCESS)
        return false;
    const std::unique_ptr<void, decltype(&LocalFree)> ownAcl(widened, &LocalFree);
    // Also what the folder already holds (the journal's side files) inherits it.
    return SetNamedSecurityInfoW(const_cast<LPWSTR>(name.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, widened, nullptr) == ERROR_SUCCESS;
#else
    (void)folder;
    return true;
#endif
}

std::string Described(const JournalRow& row)
{
    return "riga \"" + cp1252::ToUtf8(row.barcodeSpeed) + "\" / " + row.status + " delle " + row.scanTime +
           (row.fromCopy ? " decisa sulla copia dei colli" : "") + " (biglietto " + row.ticket + ")";
}

std::string LocalScanTime()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toStdString();
}

} // namespace parcels
