#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace dataaccess { class Connection; class SqlStatement; class Transaction; }

namespace parcels {

// Status words of the scan log.
inline constexpr const char* kBarCodeSpeedSconosciuto = "BarCodeSpeedSconosciuto";
inline constexpr const char* kCodiceEanSconosciuto = "CodiceEanSconosciuto";
inline constexpr const char* kEanErrato = "EanErrato";
inline constexpr const char* kEanCorretto = "EanCorretto";

// What the operator is told about one log row.
enum class LogOutcome {
    Recorded,    // committed: nothing to show
    NotRecorded, // refused, or never sent: the scan may be repeated
    NotYetKnown, // sent, answer lost, server not reachable to ask: must not be repeated
};

struct LogResult {
    LogOutcome outcome = LogOutcome::Recorded;
    std::string message;  // the operator's text (UTF-8), empty when recorded
    std::int64_t id = 0;  // the row's ID when recorded and known
};

// The station's scan log. The insert is prepared once per attachment and runs
// in a transaction that commits each statement with the statement itself and
// stays open, so a row costs one round trip; the server gives the row its ID
// and time. Every row carries a ticket of its own: when the answer is lost,
// the row is "pending" until, on a new attachment and with the old one gone,
// the server says whether the ticket's row exists. An insert is sent again only
// when the server cannot have committed it.
class ScanLogWriter {
public:
    // reads: a transaction kept open for reading (read committed); writes: one
    // set to commit by itself. note: one line for the diagnostic log (UTF-8).
    ScanLogWriter(dataaccess::Connection& connection, dataaccess::Transaction& reads,
                  dataaccess::Transaction& writes, std::function<void(const std::string&)> note = {});
    ~ScanLogWriter();
    ScanLogWriter(const ScanLogWriter&) = delete;
    ScanLogWriter& operator=(const ScanLogWriter&) = delete;

    // Starts the write transaction and prepares the insert on the current
    // attachment; a database without the ticket column gets the older insert.
    void Prepare();

    // Values are Windows-1252 bytes; an empty eanRead writes NULL. A row still
    // pending is settled first. Failing to start the write transaction for a
    // reason other than a lost link is not shown: it reaches the caller.
    LogResult Write(const std::string& barcodeSpeed, const std::string& eanRead, const std::string& status);

    bool Pending() const;
    // Finds out what became of the pending row when the server can be asked,
    // sends it again when it proves not recorded, and notes the resolution.
    // False while the server cannot be asked.
    bool Settle();

    // For tests: runs between drawing the ticket and sending the insert.
    void SetBeforeSend(std::function<void()> hook);

private:
    struct Row;
    LogResult Send(Row row);
    bool Resolve();
    void RemoveAttachment(std::int64_t attachmentId);
    void Note(const std::string& text) const;

    dataaccess::Connection& connection_;
    dataaccess::Transaction& reads_;
    dataaccess::Transaction& writes_;
    std::function<void(const std::string&)> note_;
    std::function<void()> beforeSend_;
    std::unique_ptr<dataaccess::SqlStatement> insert_;
    bool tickets_ = true; // the database has the ticket column
    std::unique_ptr<Row> pending_;
    LogResult resolution_;   // of the pending row settled last
    std::string unanswered_; // why the server could not be asked, last time
    bool resending_ = false;
};

// Character widths of LOGSPARATE's code columns in the attached database,
// read in one round trip in the given transaction (started when needed and
// left open); 0 for a column that is missing.
struct CodeWidths {
    int barcodeSpeed = 0;
    int codiceEanLetto = 0;
};
CodeWidths ReadScanLogCodeWidths(dataaccess::Connection& connection, dataaccess::Transaction& transaction);

// When rows locked by another transaction made the error, a line (after a CR)
// that says who may hold them; otherwise empty.
std::string LockHint(const std::exception& error);

// A value as a single-quoted SQL literal, inner quotes doubled.
std::string QuotedLiteral(const std::string& value);

// 32 lowercase hex digits of 128 bits from the system's secure random source.
std::string NewScanTicket();

} // namespace parcels
