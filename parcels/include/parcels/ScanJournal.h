#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace parcels {

// The journal could not be written or read: the operator's text (UTF-8).
class JournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One scan outcome kept on the workstation until the server has it.
struct JournalRow {
    std::string ticket;       // 32 hex digits, the row's IDSCANSIONE
    std::string database;     // the database name it was scanned for
    std::string barcodeSpeed; // Windows-1252 bytes
    std::string eanRead;      // empty: NULL
    std::string status;
    std::string scanTime;     // the workstation's local time, "YYYY-MM-DD HH:MM:SS.mmm"
    std::string refusal;      // why the server refused it; empty while it may still go
    bool fromCopy = false;    // decided from the station's copy of the parcels, the server away
};

struct JournalCounts {
    long long waiting = 0;        // this database's rows still to forward
    long long refused = 0;        // this database's rows the server refused
    long long otherDatabases = 0; // rows scanned for another database
};

// The workstation's own durable store of scan outcomes: an SQLite file in
// WAL mode, every change synced to disk before the call returns. A row is
// added "held" while its outcome is being given (the window, the reprint),
// then released for forwarding, or discarded when the step failed before
// the outcome was complete. One object per thread; several may share a file.
class ScanJournal {
public:
    static constexpr const char* kFileName = "giornale-scansioni.sqlite";

    // Opens the file, creating it and its table when missing.
    explicit ScanJournal(const std::string& path);
    ~ScanJournal();
    ScanJournal(const ScanJournal&) = delete;
    ScanJournal& operator=(const ScanJournal&) = delete;

    const std::string& Path() const { return path_; }

    // Durable when it returns; the row gets a new ticket and the current time.
    JournalRow Add(const std::string& database, const std::string& barcodeSpeed, const std::string& eanRead,
                   const std::string& status, bool fromCopy = false);
    void Release(const std::string& ticket);
    void Discard(const std::string& ticket);
    // Rows left held by a run that ended while showing their outcome (the
    // outcome was given): released for forwarding. Returns how many.
    long long ReleaseLeftOver();

    // This database's released rows not refused, oldest first.
    std::vector<JournalRow> Waiting(const std::string& database, int most) const;
    std::vector<JournalRow> Refused(const std::string& database) const;
    void Remove(const std::string& ticket);
    void MarkRefused(const std::string& ticket, const std::string& reason);
    // Refused rows get another chance (a right granted since, a trigger mended).
    void ClearRefusals(const std::string& database);
    JournalCounts Count(const std::string& database) const;

    struct Handle;

private:
    void Execute(const char* sql) const;
    std::string path_;
    std::unique_ptr<Handle> db_;
};

// The folder for the journal: the first of the candidates that exists (or can
// be made) and can be written; empty when none can.
std::string JournalFolder(const std::vector<std::string>& candidates);

// Windows: every user of the workstation may change what is in the folder and
// what will be made in it; ProgramData lets a user only read what another one
// made there. False when that could not be done (a folder of another user's).
// Elsewhere nothing to do: true.
bool OpenToWorkstationUsers(const std::string& folder);

// A row as the diagnostic log names it (UTF-8): code, status, time, ticket.
std::string Described(const JournalRow& row);

// The workstation's local time as the journal keeps it.
std::string LocalScanTime();

} // namespace parcels
