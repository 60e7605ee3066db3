#pragma once

#include <stdexcept>
#include <string>

class QLocale;

namespace dataaccess { class Connection; class Transaction; }

namespace parcels {

// The operator side of the batch: standard message boxes and the progress window.
class BatchUi {
public:
    virtual ~BatchUi() = default;
    virtual void Warning(const std::string& text) = 0;
    virtual void Error(const std::string& text) = 0;
    virtual void Information(const std::string& text) = 0;
    virtual bool Confirm(const std::string& text) = 0; // true for Yes
    // Called when the update loop starts and then every kProgressStep rows read
    // and every kProgressStep rows updated; done of total, reading the rows
    // counting for the first half and updating them for the second.
    virtual void Progress(long long done, long long total) = 0;
    // Called once when a started update loop is left, whichever way, before any
    // further message; never when the loop did not start.
    virtual void ProgressFinished() = 0;
    // The operator asked to stop a started update loop: the run is rolled back.
    virtual bool StopAsked() { return false; }
    // Every update was sent: from here the run is committed, not stopped.
    virtual void Committing() {}
};

// A text that is not a decimal integer: "'<text>' is not a valid integer value".
class InvalidIntegerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The faulty EAN of a 13-character CODICEEAN: characters 2 to 13 and a new
// EAN-13 check digit. A non-digit raises InvalidIntegerError naming the first
// offending character in conversion order (even positions first, then odd).
std::string FaultyEan(const std::string& codiceEan);

// "###,###,##0": digit groups of three joined by the locale's thousands
// separator; the first form uses the system locale. UTF-8 text.
std::string FormatCount(long long count);
std::string FormatCount(long long count, const QLocale& locale);

// Rows handled between two Progress calls.
inline constexpr long long kProgressStep = 256;

// Most updates sent to the server in one round trip (fewer when long courier
// codes fill the chunk first); a multiple of kProgressStep.
inline constexpr long long kBatchChunkRows = 1024;

// Told when the operator stopped the run: nothing of it was committed.
inline constexpr const char* kBatchStoppedText =
    "Integrazione EAN errati interrotta: nessun record \xC3\xA8 stato modificato";

// Fills CODICEEAN_ERRATO of every eligible parcel in one fresh transaction,
// all or nothing. Errors other than a failed update reach the caller after the
// transaction was rolled back.
void RunWrongEanBatch(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                      BatchUi& ui);

} // namespace parcels
