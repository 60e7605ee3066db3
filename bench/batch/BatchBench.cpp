// The wrong-EAN batch on a large parcel table, timed from the operator's
// confirmation to the commit, beside a raw client doing the same reads and
// per-row updates on an identical table.
//   batch_bench [--rows N] [--server 127.0.0.1/PORT]
#include "RawBatch.h"

#include <TestDatabase.h>
#include <dataaccess/Connection.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>
#include <parcels/WrongEanBatch.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
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
    std::string unexpected;
    void Warning(const std::string& text) override { unexpected = text; }
    void Error(const std::string& text) override { unexpected = text; }
    void Information(const std::string&) override { completed = Clock::now(); }
    bool Confirm(const std::string&) override
    {
        confirmed = Clock::now();
        return true;
    }
    void Progress(long long, long long) override {}
    void ProgressFinished() override {}
};

int Run(long long rows, const std::string& server)
{
    const auto where = server.empty() ? testsupport::Where::Embedded : testsupport::Where::Server;
    std::printf("rows: %lld, %s\n", rows, server.empty() ? "embedded" : ("server " + server).c_str());

    testsupport::TestDatabase rawDatabase(where);
    testsupport::TestDatabase batchDatabase(where);
    auto start = Clock::now();
    Fill(rawDatabase.Name(), rows);
    Fill(batchDatabase.Name(), rows);
    std::printf("fill (both tables): %.2f s\n", Seconds(start, Clock::now()));

    const RawBatchResult raw = RunRawBatch(rawDatabase.Name(), kUser, kPassword);
    std::printf("raw:   %.2f s  %lld rows  %.0f rows/s\n", raw.seconds, raw.rows, raw.rows / raw.seconds);

    TimingUi ui;
    start = Clock::now();
    {
        Attached station(batchDatabase.Name());
        parcels::RunWrongEanBatch(station.connection, station.transaction, ui);
    }
    if (!ui.unexpected.empty()) {
        std::fprintf(stderr, "batch: %s\n", ui.unexpected.c_str());
        return 1;
    }
    const double batch = Seconds(ui.confirmed, ui.completed);
    std::printf("batch: %.2f s  (%.2f s with the row and count queries)\n", batch,
                Seconds(start, ui.completed));

    const long long rawFilled = Filled(rawDatabase);
    const long long batchFilled = Filled(batchDatabase);
    if (rawFilled != rows || batchFilled != rows) {
        std::fprintf(stderr, "filled rows: raw %lld, batch %lld of %lld\n", rawFilled, batchFilled, rows);
        return 1;
    }
    std::printf("batch/raw ratio: %.2f\n", batch / raw.seconds);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    long long rows = 1000000;
    std::string server;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rows" && i + 1 < argc) {
            rows = std::atoll(argv[++i]);
        } else if (arg == "--server" && i + 1 < argc) {
            server = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--rows N] [--server 127.0.0.1/PORT]\n", argv[0]);
            return 2;
        }
    }
    // The throwaway databases are made on the server named here.
    if (!server.empty())
        setenv("COLLI_FB_SERVER", server.c_str(), 1);
    try {
        return Run(rows, server);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "batch_bench: %s\n", error.what());
        return 1;
    }
}
