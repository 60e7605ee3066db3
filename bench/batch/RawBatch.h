#pragma once

#include <string>

// The batch's reads and updates straight through the client library: one
// forward-only select, one prepared update executed per row, one commit.
struct RawBatchResult {
    long long rows = 0;
    double seconds = 0;    // from the open cursor to the commit
    double cpuSeconds = 0; // processor time of the whole process over the same span
};

// Processor time used so far by this process (with the embedded engine, its work too).
double ProcessCpuSeconds();

RawBatchResult RunRawBatch(const std::string& databaseName, const std::string& user,
                           const std::string& password);

// Switches synchronous page writes of a database on or off (owner or SYSDBA only).
void SetForcedWrites(const std::string& databaseName, const std::string& user,
                     const std::string& password, bool on);
