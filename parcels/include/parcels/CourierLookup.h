#pragma once

#include <memory>
#include <optional>
#include <string>

namespace dataaccess { class Connection; class SqlQuery; class Transaction; }

namespace parcels {

// The courier barcode's parcel, its EANs as Windows-1252 bytes (NULL read as empty).
struct Parcel {
    std::string codiceEan;
    std::string codiceEanErrato;
};

// The scan workflow's select of a parcel by courier barcode: prepared once per
// attachment and executed with the code as a parameter in a transaction kept
// open for reading (read committed, so new parcels are seen), one round trip a
// lookup. The first row read wins when several parcels share the code.
class CourierLookup {
public:
    CourierLookup(dataaccess::Connection& connection, dataaccess::Transaction& reads);
    ~CourierLookup();
    CourierLookup(const CourierLookup&) = delete;
    CourierLookup& operator=(const CourierLookup&) = delete;

    // Attaches, starts the transaction and prepares, so the first lookup only executes.
    void Prepare();
    // A link that turns out broken under the read (a server restart) is read once
    // more on a new attachment; when attaching was what failed, the error goes on.
    std::optional<Parcel> Find(const std::string& barcodeSpeed);

private:
    dataaccess::Connection& connection_;
    std::unique_ptr<dataaccess::SqlQuery> query_;
};

} // namespace parcels
