#pragma once

#include <memory>
#include <string>

// The least this client API needs for a scan pair, written by hand: one
// attachment, the lookup prepared once and run in a read-committed read-only
// transaction kept open (execute and first fetch: one round trip), the log
// insert prepared once and run in an autocommitting transaction (one round
// trip). What the station's own code is measured against.
class RawPair {
public:
    RawPair(const std::string& databaseName, const std::string& user, const std::string& password);
    ~RawPair();
    RawPair(const RawPair&) = delete;
    RawPair& operator=(const RawPair&) = delete;

    // The parcel's EAN, empty when none is found.
    std::string Lookup(const std::string& barcodeSpeed);
    void Log(const std::string& barcodeSpeed, const std::string& eanRead, const std::string& status);

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
};
