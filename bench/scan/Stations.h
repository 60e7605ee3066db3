#pragma once

#include <chrono>
#include <string>
#include <vector>

// N stations at once against one server: each a thread with its own
// attachment and the station's own lookup and log writer, a pair every `pace`
// (zero: as fast as it can) for `length`.
struct StationsResult {
    long pairs = 0;
    long failures = 0;
    double seconds = 0;
    std::vector<double> pairMs; // each pair, lookup to log row committed
    double serverCpuSeconds = 0;
};

StationsResult PlayStations(const std::string& databaseName, int stations, std::chrono::milliseconds pace,
                            std::chrono::seconds length, long parcels, int serverPid);

// Processor time used so far by a process (user and system), from /proc.
double ProcessCpuSeconds(int pid);
