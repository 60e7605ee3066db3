// The wrong-EAN batch on a large parcel table, timed from the operator's
// confirmation to the commit, beside a raw client doing the same reads and
// per-row updates on an identical table.
//   batch_bench [--rows N] [--server 127.0.0.1/PORT] [--forced-writes] [--rounds K]
// Synchronous page writes are off unless asked for, so that the figures show the
// work of the client and the engine rather than the disk's flush latency.
#include "RawBatch.h"

#include <TestDatabase.h>
#include <dataaccess/Connection.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>
#include <parcels/WrongEanBatch.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "SYSDBA";
constexpr const char* kPassword = "plumtrove";

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

struct Attached {
    dataaccess::Connection connection;
    dataaccess::Transaction transaction{connection};
    explicit Attached(const std::string& name)
    {
        connection.SetDatabaseName(name);
        connection.Params() = {std::string("user_name=") + kUser, std::string("password=") + kPassword};
        connection.SetSQLDialect(3);
        connection.SetLoginPrompt(false);
        connection.SetDefaultTransaction(&transaction);
        connection.SetConnected(true);
    }
};

// `rows` eligible parcels with distinct courier codes and EANs.
void Fill(const std::string& name, long long rows)
{
    Attached station(name);
    station.transaction.SetActive(true);
    dataaccess::SqlStatement fill(station.connection, station.transaction);
    fill.SetParamCheck(false);
    fill.AddLine("EXECUTE BLOCK AS DECLARE I INTEGER = 1; BEGIN WHILE (I <= " + std::to_string(rows) +
                 ") DO BEGIN INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ("
                 "'SP' || LPAD(:I, 10, '0'), '8' || LPAD(:I * 7919, 12, '0')); I = I + 1; END END");
    fill.ExecQuery();
    station.transaction.Commit();
}

long long Filled(testsupport::TestDatabase& database)
{
    return std::stoll(
        database.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL")[0][0]);
}

// Answers Yes and notes when the run was confirmed and when it completed.
class TimingUi : public parcels::BatchUi {
public:
    Clock::time_point confirmed, completed;
    double cpuConfirmed = 0, cpuCompleted = 0;
    std::string unexpected;
    void Warning(const std::string& text) override { unexpected = text; }
    void Error(const std::string& text) override { unexpected = text; }
    void Information(const std::string&) override
    {
        completed = Clock::now();
        cpuCompleted = ProcessCpuSeconds();
    }
    bool Confirm(const std::string&) override
    {
        confirmed = Clock::now();
        cpuConfirmed = ProcessCpuSeconds();
        return true;
    }
    void Progress(long long, long long) override {}
    void ProgressFinished() override {}
};

struct RoundTimes {
    double raw = 0;
    double batch = 0;
    double rawCpu = 0;
    double batchCpu = 0;
};

// One round on a fresh pair of identical tables; batchFirst swaps the order of the
// two runs so that neither always meets the warmer caches.
RoundTimes Round(long long rows, testsupport::Where where, bool forcedWrites, bool batchFirst)
{
    testsupport::TestDatabase rawDatabase(where);
    testsupport::TestDatabase batchDatabase(where);
    for (const auto* database : {&rawDatabase, &batchDatabase})
        SetForcedWrites(database->Name(), kUser, kPassword, forcedWrites);
    auto start = Clock::now();
    Fill(rawDatabase.Name(), rows);
    Fill(batchDatabase.Name(), rows);
    std::printf("fill (both tables): %.2f s\n", Seconds(start, Clock::now()));

    RoundTimes times;
    auto runRaw = [&] {
        const RawBatchResult raw = RunRawBatch(rawDatabase.Name(), kUser, kPassword);
        times.raw = raw.seconds;
        times.rawCpu = raw.cpuSeconds;
        std::printf("raw:   %.2f s  %.0f rows/s  cpu %.2f s\n", raw.seconds, raw.rows / raw.seconds,
                    raw.cpuSeconds);
    };
    auto runBatch = [&] {
        TimingUi ui;
        const auto begin = Clock::now();
        {
            Attached station(batchDatabase.Name());
            parcels::RunWrongEanBatch(station.connection, station.transaction, ui);
        }
        if (!ui.unexpected.empty())
            throw std::runtime_error("batch: " + ui.unexpected);
        times.batch = Seconds(ui.confirmed, ui.completed);
        times.batchCpu = ui.cpuCompleted - ui.cpuConfirmed;
        std::printf("batch: %.2f s  %.0f rows/s  cpu %.2f s  (%.2f s with the row and count queries)\n",
                    times.batch, rows / times.batch, times.batchCpu, Seconds(begin, ui.completed));
    };
    if (batchFirst) {
        runBatch();
        runRaw();
    } else {
        runRaw();
        runBatch();
    }

    const long long rawFilled = Filled(rawDatabase);
    const long long batchFilled = Filled(batchDatabase);
    if (rawFilled != rows || batchFilled != rows)
        throw std::runtime_error("filled rows: raw " + std::to_string(rawFilled) + ", batch " +
                                 std::to_string(batchFilled) + " of " + std::to_string(rows));
    return times;
}

int Run(long long rows, const std::string& server, bool forcedWrites, int rounds)
{
    const auto where = server.empty() ? testsupport::Where::Embedded : testsupport::Where::Server;
    std::printf("rows: %lld, %s, forced writes %s, %d round(s)\n", rows,
                server.empty() ? "embedded" : ("server " + server).c_str(), forcedWrites ? "on" : "off",
                rounds);
    RoundTimes total;
    for (int round = 0; round < rounds; ++round) {
        const RoundTimes times = Round(rows, where, forcedWrites, round % 2 == 1);
        total.raw += times.raw;
        total.batch += times.batch;
        total.rawCpu += times.rawCpu;
        total.batchCpu += times.batchCpu;
    }
    std::printf("total: raw %.2f s, batch %.2f s\n", total.raw, total.batch);
    // Processor time is steadier than the clock on a busy machine; over a server it
    // covers the client side only.
    std::printf("cpu: raw %.2f s, batch %.2f s, batch/raw %.2f\n", total.rawCpu, total.batchCpu,
                total.batchCpu / total.rawCpu);
    std::printf("batch/raw ratio: %.2f\n", total.batch / total.raw);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    long long rows = 1000000;
    std::string server;
    bool forcedWrites = false;
    int rounds = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rows" && i + 1 < argc) {
            rows = std::atoll(argv[++i]);
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--forced-writes") {
            forcedWrites = true;
        } else if (arg == "--server" && i + 1 < argc) {
            server = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--rows N] [--server 127.0.0.1/PORT] [--forced-writes] [--rounds K]\n",
                         argv[0]);
            return 2;
        }
    }
    // The throwaway databases are made on the server named here.
    if (!server.empty())
        setenv("COLLI_FB_SERVER", server.c_str(), 1);
    try {
        return Run(rows, server, forcedWrites, rounds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "batch_bench: %s\n", error.what());
        return 1;
    }
}
