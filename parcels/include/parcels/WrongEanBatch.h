#pragma once

#include <string>

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
    // Called now and then during the update loop; done of total rows.
    virtual void Progress(long long done, long long total) = 0;
    virtual void ProgressFinished() = 0;
};

// The faulty EAN of a 13-character CODICEEAN: characters 2 to 13 and a new
// EAN-13 check digit. A non-digit raises "'<c>' is not a valid integer value".
std::string FaultyEan(const std::string& codiceEan);

// "###,###,##0" with the thousands separator of the system locale.
std::string FormatCount(long long count);

void RunWrongEanBatch(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                      BatchUi& ui);

} // namespace parcels
