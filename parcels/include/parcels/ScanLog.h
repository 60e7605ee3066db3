#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace dataaccess { class Connection; class DatabaseError; class SqlStatement; class Transaction; }

namespace parcels {

// Status words of the scan log.
inline constexpr const char* kBarCodeSpeedSconosciuto = "BarCodeSpeedSconosciuto";
inline constexpr const char* kCodiceEanSconosciuto = "CodiceEanSconosciuto";
inline constexpr const char* kEanErrato = "EanErrato";
inline constexpr const char* kEanCorretto = "EanCorretto";

struct JournalRow;

// What became of one row sent to the server.
enum class SendOutcome {
    Recorded,        // committed by this insert: id is the row's ID
    AlreadyRecorded, // the ticket's row was there already (id when it could be read)
    Refused,         // the server will not take it as it is: reason says why
    Later,           // another transaction holds the ticket or the table: try again later
};

struct SendResult {
    SendOutcome outcome = SendOutcome::Recorded;
    std::int64_t id = 0;
    std::string reason; // UTF-8
};

// Inserts journal rows into LOGSPARATE, each with its ticket, the station's
// scan time and, for outcomes decided from the station's copy, their mark, in
// a transaction that commits every statement with the statement itself: one
// round trip a row. The server gives the row its ID and
// time of arrival. An older database gets the insert its columns allow.
class ScanLogWriter {
public:
    // note: one line for the diagnostic log (UTF-8).
    ScanLogWriter(dataaccess::Connection& connection, dataaccess::Transaction& writes,
                  std::function<void(const std::string&)> note = {});
    ~ScanLogWriter();
    ScanLogWriter(const ScanLogWriter&) = delete;
    ScanLogWriter& operator=(const ScanLogWriter&) = delete;

    // Starts the transaction and prepares the insert on the current attachment.
    void Prepare();

    // A failed insert or commit is rolled back before this returns, so a row
    // told refused is never committed later. A lost link raises
    // ConnectionLostError: the row may or may not be at the server, and its
    // ticket tells when it is sent again. On a database without tickets such
    // a row is Refused instead, with the reason that nobody can tell.
    SendResult Send(const JournalRow& row);

    // For tests: runs between setting the values and sending the insert.
    void SetBeforeSend(std::function<void()> hook);

private:
    enum class Shape { FromCopy, ScanTime, Ticket, Plain };
    void Undo();
    void Note(const std::string& text) const;

    dataaccess::Connection& connection_;
    dataaccess::Transaction& writes_;
    std::function<void(const std::string&)> note_;
    std::function<void()> beforeSend_;
    std::unique_ptr<dataaccess::SqlStatement> insert_;
    Shape shape_ = Shape::FromCopy;
};

// Character widths of LOGSPARATE's code columns in the attached database,
// read in one round trip in the given transaction (started when needed and
// left open); 0 for a column that is missing.
struct CodeWidths {
    int barcodeSpeed = 0;
    int codiceEanLetto = 0;
};
CodeWidths ReadScanLogCodeWidths(dataaccess::Connection& connection, dataaccess::Transaction& transaction);

// Another transaction holds the rows (or the ticket) the statement needed.
bool IsLockConflict(const dataaccess::DatabaseError& error);
// A second copy of a unique value.
bool IsDuplicateKey(const dataaccess::DatabaseError& error);

// The ID of the log row with this ticket, 0 when there is none, asked through
// SCANSIONE_REGISTRATA (a station may not read the log itself).
std::int64_t RecordedId(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                        const std::string& ticket);

// When rows locked by another transaction made the error, a line (after a CR)
// that says who may hold them; otherwise empty.
std::string LockHint(const std::exception& error);

// A value as a single-quoted SQL literal, inner quotes doubled.
std::string QuotedLiteral(const std::string& value);

// 32 lowercase hex digits of 128 bits from the system's secure random source.
std::string NewScanTicket();

} // namespace parcels
