#pragma once

#include <string>

// The batch's reads and updates straight through the client library: one
// forward-only select, one prepared update executed per row, one commit.
struct RawBatchResult {
    long long rows = 0;
    double seconds = 0; // from the open cursor to the commit
};

RawBatchResult RunRawBatch(const std::string& databaseName, const std::string& user,
                           const std::string& password);
