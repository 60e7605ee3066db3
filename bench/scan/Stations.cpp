#include "Stations.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Transaction.h>
#include <parcels/CourierLookup.h>
#include <parcels/ScanJournal.h>
#include <parcels/ScanLog.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::string Code(const char* format, long i)
{
    char text[32];
    std::snprintf(text, sizeof text, format, i);
    return text;
}

// One station's data path as the window sets it up: one attachment, one kept
// read-committed autocommitting transaction shared by the lookup and the log.
void PlayOne(const std::string& name, int seat, std::chrono::milliseconds pace, Clock::time_point end, long parcels,
             std::mutex& mutex, StationsResult& result)
{
    dataaccess::Connection connection;
    dataaccess::Transaction scan(connection);
    scan.SetReadCommitted(true);
    scan.SetAutoCommit(true);
    connection.SetDatabaseName(name);
    connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    connection.SetConnected(true);
    parcels::CourierLookup lookup(connection, scan);
    parcels::ScanLogWriter log(connection, scan);
    lookup.Prepare();
    log.Prepare();

    std::mt19937 random(static_cast<unsigned>(seat) * 7919u + 1u);
    std::uniform_int_distribution<long> pick(0, parcels - 1);
    std::vector<double> ms;
    long failures = 0;
    auto next = Clock::now() + std::chrono::milliseconds(random() % std::max<long>(1, pace.count()));
    while (Clock::now() < end) {
        if (pace.count() > 0) {
            std::this_thread::sleep_until(next);
            next += pace;
        }
        const long i = pick(random);
        const auto start = Clock::now();
        const auto parcel = lookup.Find(Code("SPD%09ld", i));
        const parcels::JournalRow row{parcels::NewScanTicket(), name, Code("SPD%09ld", i), parcel ? parcel->codiceEan : "",
                                      parcels::kEanCorretto, parcels::LocalScanTime(), {}};
        const bool logged = parcel && log.Send(row).outcome == parcels::SendOutcome::Recorded;
        if (!logged)
            ++failures;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::lock_guard lock(mutex);
    result.pairs += static_cast<long>(ms.size());
    result.failures += failures;
    result.pairMs.insert(result.pairMs.end(), ms.begin(), ms.end());
}

} // namespace

double ProcessCpuSeconds(int pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis; utime and stime are the 14th and 15th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int n = 3; fields >> field && n <= 15; ++n)
        if (n == 14 || n == 15)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

StationsResult PlayStations(const std::string& databaseName, int stations, std::chrono::milliseconds pace,
                            std::chrono::seconds length, long parcels, int serverPid)
{
    StationsResult result;
    std::mutex mutex;
    const double cpuBefore = serverPid > 0 ? ProcessCpuSeconds(serverPid) : 0;
    const auto start = Clock::now();
    const auto end = start + length;
    {
        std::vector<std::jthread> threads;
        for (int seat = 0; seat < stations; ++seat)
            threads.emplace_back([&, seat] {
                try {
                    PlayOne(databaseName, seat, pace, end, parcels, mutex, result);
                } catch (const std::exception& error) {
                    std::lock_guard lock(mutex);
                    ++result.failures;
                    std::fprintf(stderr, "station %d: %s\n", seat, error.what());
                }
            });
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.serverCpuSeconds = serverPid > 0 ? ProcessCpuSeconds(serverPid) - cpuBefore : 0;
    return result;
}
