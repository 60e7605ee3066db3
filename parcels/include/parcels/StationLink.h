#pragma once

#include <string>
#include <vector>

namespace parcels {

// How a background worker of the station reaches the station's database: the
// station's own name, attach lines and bounds, on an attachment of its own.
struct StationLink {
    std::string databaseName;
    std::vector<std::string> params;
    int waitBound = 10;  // seconds
    int lockTimeout = 6; // seconds a locked row is waited for
    int idleEndSeconds = 5; // with nothing to do this long, a transaction is ended
};

} // namespace parcels
