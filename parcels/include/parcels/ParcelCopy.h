#pragma once

#include "parcels/CourierLookup.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace dataaccess { class Connection; class SqlQuery; class Transaction; }

namespace parcels {

// The copy's store on the workstation could not be written or read (UTF-8).
class CopyStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The database gives no copy: it keeps no log of parcel changes (colli-admin
// init makes it), or the account may not read it. The text is for the
// diagnostic log (UTF-8).
class CopyUnavailableError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CopyState {
    bool filled = false;
    std::string database;     // the name it was filled from
    std::int64_t settled = 0; // every change numbered up to this is in the copy
    std::string refreshedAt;  // the workstation's local time of the last fill or refresh
};

struct RefreshResult {
    long long changes = 0;  // change rows read and applied
    bool needsFill = false; // nothing applied: the copy belongs to another database (or none), or
                            // changes it lacks were pruned; only a new Fill brings it up to date
};

// The workstation's copy of what the courier lookup reads from COLLI, in an
// SQLite file (it may be the journal's): one row per record of COLLI, keyed by
// the record's number, so that parcels sharing a courier barcode are answered
// as the server answers them, the record read first winning. A fill copies the
// whole table; a refresh asks the server's change log (COLLI_MODIFICHE_DOPO)
// for what changed since the copy's number and takes each changed parcel as it
// is now. Neither shows a half-done state to Find: a fill is built aside and
// swapped in at once. One object per thread; several may share a file.
class ParcelCopy {
public:
    // Lookups only: Fill and Refresh refuse.
    explicit ParcelCopy(const std::string& path);
    // Fills and refreshes from `reads` on `connection`, which must outlive the
    // copy. `reads` must be read committed (read-only, so that it holds nothing
    // back at the server however long it stays open); kept open, a refresh that
    // finds nothing new costs one round trip.
    ParcelCopy(const std::string& path, dataaccess::Connection& connection, dataaccess::Transaction& reads);
    ~ParcelCopy();
    ParcelCopy(const ParcelCopy&) = delete;
    ParcelCopy& operator=(const ParcelCopy&) = delete;

    const std::string& Path() const { return path_; }
    CopyState State() const;
    long long Rows() const; // counts them

    // As CourierLookup::Find answers: the code compared as the server compares
    // it (blanks at the end ignored, case kept), the first record winning.
    std::optional<Parcel> Find(const std::string& barcodeSpeed);

    // Copies the whole table, in place of what the copy held. keepGoing is
    // asked now and then; false stops the fill and keeps the old copy (returns
    // false). CopyUnavailableError when the database keeps no change log.
    bool Fill(const std::function<bool()>& keepGoing = {});
    // Applies what changed since the copy's number; deletes included.
    RefreshResult Refresh();

    struct Store;

private:
    dataaccess::Transaction& Reads() const;
    dataaccess::SqlQuery& Changes(const std::string& after);

    std::string path_;
    std::unique_ptr<Store> store_;
    dataaccess::Connection* connection_ = nullptr;
    dataaccess::Transaction* reads_ = nullptr;
    std::unique_ptr<dataaccess::SqlQuery> changes_;
    std::unique_ptr<dataaccess::SqlQuery> records_;
};

} // namespace parcels
