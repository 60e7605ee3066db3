// copy_bench: the station's copy of the parcels on a large parcel table.
//
//   copy_bench [--server 127.0.0.1/PORT] [--parcels N] [--finds K] [--refreshes R] [--folder DIR]
//
// The private server is --server, else COLLI_FB_SERVER (scripts/fb-test-server.sh
// starts one). On a throwaway database of N parcels (1,000,000 unless told; a
// small N keeps a CI run short) it measures:
//   - what the change log costs a bulk insert on the server (trigger on and off,
//     on at most 100,000 rows);
//   - the first fill of the copy over TCP loopback, into an SQLite file;
//   - a refresh that finds nothing new, and one that finds 100 changes, through
//     the loopback proxy of bench/wire, which counts the request turns;
//   - a lookup in the copy (K found, K/10 not found), in microseconds;
//   - the process's resident memory attached without a copy, after the fill,
//     and with the copy open for lookups after them.
#include <TestDatabase.h>
#include <WireProxy.h>

#include <dataaccess/Connection.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>
#include <parcels/ParcelCopy.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "SYSDBA";
constexpr const char* kPassword = "plumtrove";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The process's resident set and its peak, in MB, from /proc (0 elsewhere).
struct Memory {
    double rss = 0;
    double peak = 0;
};

Memory ResidentMemory()
{
    Memory memory;
#ifdef __linux__
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            memory.rss = std::atof(line.c_str() + 6) / 1024.0;
        else if (line.rfind("VmHWM:", 0) == 0)
            memory.peak = std::atof(line.c_str() + 6) / 1024.0;
    }
#endif
    return memory;
}

// An attachment with the read committed, read-only transaction the copy reads in.
struct Reader {
    dataaccess::Connection connection;
    dataaccess::Transaction reads{connection};
    explicit Reader(const std::string& name)
    {
        connection.SetDatabaseName(name);
        connection.Params() = {std::string("user_name=") + kUser, std::string("password=") + kPassword};
        connection.SetSQLDialect(3);
        connection.SetLoginPrompt(false);
        reads.SetReadCommitted(true);
        reads.SetReadOnly(true);
        connection.SetConnected(true);
    }
};

std::string Code(long long i)
{
    char code[16];
    std::snprintf(code, sizeof code, "SP%010lld", i);
    return code;
}

// `rows` parcels SP0000000001... in one transaction on the server; seconds taken.
double InsertParcels(const std::string& name, long long rows)
{
    Reader station(name);
    dataaccess::Transaction writes(station.connection);
    writes.SetActive(true);
    dataaccess::SqlStatement fill(station.connection, writes);
    fill.SetParamCheck(false);
    fill.AddLine("EXECUTE BLOCK AS DECLARE I INTEGER = 1; BEGIN WHILE (I <= " + std::to_string(rows) +
                 ") DO BEGIN INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ("
                 "'SP' || LPAD(:I, 10, '0'), '8' || LPAD(:I * 7919, 12, '0')); I = I + 1; END END");
    dataaccess::LongWork longWork(station.connection, dataaccess::LongWork::kMostSeconds);
    const auto start = Clock::now();
    fill.ExecQuery();
    writes.Commit();
    return Seconds(Clock::now() - start);
}

struct Options {
    std::string server;
    long long parcels = 1000000;
    int finds = 100000;
    int refreshes = 50;
    std::string folder;
};

struct Turns {
    long long turns = 0;
    double ms = 0;
    double worstMs = 0;
};

// Refreshes through the proxy, each one's turns and time.
Turns Refreshes(parcels::ParcelCopy& copy, wire::WireProxy& proxy, int count, long long expectedChanges)
{
    Turns total;
    for (int i = 0; i < count; ++i) {
        const wire::WireCounts before = proxy.Total();
        const auto start = Clock::now();
        const parcels::RefreshResult result = copy.Refresh();
        const double ms = Milliseconds(Clock::now() - start);
        if (result.needsFill || result.changes != expectedChanges)
            throw std::runtime_error("refresh: " + std::to_string(result.changes) + " changes, expected " +
                                     std::to_string(expectedChanges));
        total.turns += (proxy.Total() - before).turns;
        total.ms += ms;
        total.worstMs = std::max(total.worstMs, ms);
    }
    return total;
}

int Run(const Options& options)
{
    const long long n = options.parcels;
    std::printf("parcels: %lld, lookups: %d (+%d not found), refreshes: %d\n", n, options.finds,
                options.finds / 10, options.refreshes);

    // What the change log's trigger costs a bulk insert.
    {
        // Twice each, alternating, the best time of each: a shared machine swings.
        const long long rows = std::min(n, 100000LL);
        double on = 1e9, off = 1e9;
        for (int round = 0; round < 4; ++round) {
            const bool logged = round == 1 || round == 2;
            testsupport::TestDatabase scratch(testsupport::Where::Server);
            if (!logged)
                scratch.Execute("ALTER TRIGGER COLLI_MODIFICHE_AIUD INACTIVE");
            double& best = logged ? on : off;
            best = std::min(best, InsertParcels(scratch.Name(), rows));
        }
        std::printf("server insert of %lld parcels in one transaction: %.2f s with the change log, %.2f s without "
                    "(%.1f us more a row), best of 2 each\n",
                    rows, on, off, (on - off) * 1e6 / static_cast<double>(rows));
        std::fflush(stdout);
    }

    testsupport::TestDatabase database(testsupport::Where::Server);
    std::printf("server: %lld parcels inserted in %.1f s\n", n, InsertParcels(database.Name(), n));
    std::fflush(stdout);

    const std::string folder = options.folder.empty() ? testsupport::MakeScratchFolder("copy-bench-") : options.folder;
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/giornale-scansioni.sqlite";
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path + suffix);

    auto reader = std::make_unique<Reader>(database.Name());
    const Memory without = ResidentMemory();
    {
        parcels::ParcelCopy copy(path, reader->connection, reader->reads);
        const auto start = Clock::now();
        if (!copy.Fill())
            throw std::runtime_error("the fill stopped");
        const double seconds = Seconds(Clock::now() - start);
        if (copy.Rows() != n)
            throw std::runtime_error("the copy holds " + std::to_string(copy.Rows()) + " parcels");
        double bytes = 0;
        for (const char* suffix : {"", "-wal"})
            if (std::filesystem::exists(path + suffix))
                bytes += static_cast<double>(std::filesystem::file_size(path + suffix));
        std::printf("first fill over TCP loopback: %lld parcels in %.2f s (%.0f parcels/s), file and log %.1f MB\n",
                    n, seconds, static_cast<double>(n) / seconds, bytes / (1024.0 * 1024.0));
        std::fflush(stdout);
    }
    const Memory afterFill = ResidentMemory();
    reader.reset();

    // The refreshes, on an attachment through the proxy that counts turns.
    {
        const std::size_t slash = database.Name().find('/');
        const std::size_t colon = database.Name().find(':', slash);
        wire::WireProxy proxy(std::stoi(database.Name().substr(slash + 1, colon - slash - 1)),
                              std::chrono::microseconds(0));
        Reader viaProxy(proxy.Name(database.Path()));
        // A copy of its own: a copy belongs to the database name it was filled from.
        const std::string proxyPath = folder + "/via-proxy.sqlite";
        parcels::ParcelCopy copy(proxyPath, viaProxy.connection, viaProxy.reads);
        const wire::WireCounts before = proxy.Total();
        const auto start = Clock::now();
        copy.Fill();
        std::printf("fill through the proxy: %.2f s, %lld turns (attached, nothing prepared before)\n",
                    Seconds(Clock::now() - start), (proxy.Total() - before).turns);
        const Turns idle = Refreshes(copy, proxy, options.refreshes, 0);
        std::printf("refresh with nothing changed: %.2f turns, %.2f ms on average (worst %.2f ms) over %d\n",
                    static_cast<double>(idle.turns) / options.refreshes, idle.ms / options.refreshes, idle.worstMs,
                    options.refreshes);
        database.Execute("UPDATE COLLI SET CODICEEAN_ERRATO = '0000000000000' WHERE BARCODESPEED <= '" + Code(100) +
                         "'");
        const Turns some = Refreshes(copy, proxy, 1, std::min(n, 100LL));
        std::printf("refresh with %lld changes: %lld turns, %.2f ms\n", std::min(n, 100LL), some.turns, some.ms);
        std::fflush(stdout);
    }

    // Lookups in the copy, as the station's window would make them.
    parcels::ParcelCopy lookups(path);
    {
        const auto start = Clock::now();
        lookups.Find(Code(1));
        std::printf("first lookup of a new copy object (prepares its select): %.1f us\n",
                    Microseconds(Clock::now() - start));
    }
    std::mt19937_64 random(42);
    std::uniform_int_distribution<long long> pick(1, n);
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(options.finds));
    for (int i = 0; i < options.finds; ++i) {
        const std::string code = Code(pick(random));
        const auto start = Clock::now();
        const auto parcel = lookups.Find(code);
        times.push_back(Microseconds(Clock::now() - start));
        if (!parcel)
            throw std::runtime_error(code + " not found in the copy");
    }
    double missTotal = 0;
    for (int i = 0; i < options.finds / 10; ++i) {
        const auto start = Clock::now();
        const auto parcel = lookups.Find("XX" + std::to_string(i));
        missTotal += Microseconds(Clock::now() - start);
        if (parcel)
            throw std::runtime_error("a code that is not there was found");
    }
    std::sort(times.begin(), times.end());
    double total = 0;
    for (double t : times)
        total += t;
    const auto at = [&](double share) {
        return times.empty() ? 0.0 : times[std::min(times.size() - 1, static_cast<std::size_t>(share * times.size()))];
    };
    std::printf("lookup in the copy: %.1f us on average, median %.1f us, 99th percentile %.1f us, worst %.1f us; "
                "not found %.1f us on average\n",
                times.empty() ? 0.0 : total / static_cast<double>(times.size()), at(0.5), at(0.99),
                times.empty() ? 0.0 : times.back(), options.finds >= 10 ? missTotal / (options.finds / 10) : 0.0);

    const Memory withCopy = ResidentMemory();
    std::printf("resident memory: %.1f MB attached without a copy, %.1f MB after the fill, %.1f MB with the copy "
                "open for lookups (+%.1f MB); peak %.1f MB\n",
                without.rss, afterFill.rss, withCopy.rss, withCopy.rss - without.rss, withCopy.peak);
    if (options.folder.empty())
        std::filesystem::remove_all(folder);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--server" && i + 1 < argc) {
            options.server = argv[++i];
        } else if (arg == "--parcels" && i + 1 < argc) {
            options.parcels = std::max(1LL, std::atoll(argv[++i]));
        } else if (arg == "--finds" && i + 1 < argc) {
            options.finds = std::max(0, std::atoi(argv[++i]));
        } else if (arg == "--refreshes" && i + 1 < argc) {
            options.refreshes = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--folder" && i + 1 < argc) {
            options.folder = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--server 127.0.0.1/PORT] [--parcels N] [--finds K] [--refreshes R] "
                         "[--folder DIR]\n",
                         argv[0]);
            return 2;
        }
    }
    // The throwaway databases are made on the server named here.
    if (!options.server.empty())
        setenv("COLLI_FB_SERVER", options.server.c_str(), 1);
    if (testsupport::ServerAddress().empty()) {
        std::fprintf(stderr, "copy_bench: no server: give --server or set COLLI_FB_SERVER\n");
        return 2;
    }
    try {
        return Run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "copy_bench: %s\n", error.what());
        return 1;
    }
}
