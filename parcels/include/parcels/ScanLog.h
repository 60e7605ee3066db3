#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace dataaccess { class Connection; class Transaction; }

namespace parcels {

// Status words of the scan log.
inline constexpr const char* kBarCodeSpeedSconosciuto = "BarCodeSpeedSconosciuto";
inline constexpr const char* kCodiceEanSconosciuto = "CodiceEanSconosciuto";
inline constexpr const char* kEanErrato = "EanErrato";
inline constexpr const char* kEanCorretto = "EanCorretto";

// Appends one LOGSPARATE row and commits it at once. Values are Windows-1252
// bytes; an empty eanRead writes NULL. A failed insert or commit is shown through
// showError (UTF-8 text) and yields false; the transaction then stays open.
// Failing to start the transaction is not shown: it reaches the caller, unless
// the link was found lost there, which is shown like a lost insert.
// An insert that fails on a lost link is made once more after attaching again;
// a link lost during the commit is only reported. beforeCommit runs between the
// executed insert and the commit.
bool WriteScanLog(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                  const std::string& barcodeSpeed, const std::string& eanRead,
                  const std::string& status,
                  const std::function<void(const std::string&)>& showError,
                  const std::function<void()>& beforeCommit = {});

// Character widths of LOGSPARATE's code columns in the attached database,
// read in the given transaction (started when needed and committed when this
// call started it); 0 for a column that is missing.
struct CodeWidths {
    int barcodeSpeed = 0;
    int codiceEanLetto = 0;
};
CodeWidths ReadScanLogCodeWidths(dataaccess::Connection& connection, dataaccess::Transaction& transaction);

// When rows locked by another transaction made the error, a line (after a CR)
// that says who may hold them; otherwise empty.
std::string LockHint(const std::exception& error);

// The lines of the literal log insert, values quoted with QuotedLiteral.
std::vector<std::string> ScanLogInsertLines(const std::string& barcodeSpeed,
                                            const std::string& eanRead,
                                            const std::string& status);

// A value as a single-quoted SQL literal, inner quotes doubled.
std::string QuotedLiteral(const std::string& value);

} // namespace parcels
