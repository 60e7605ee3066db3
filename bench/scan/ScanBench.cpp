// scan_bench: how fast the station answers a scan on a 1,000,000-parcel database.
//
//   scan_bench [--server] [--parcels N] [--pairs N] [--folder DIR]
//   scan_bench --wire [--delays 0,5,10] [--pairs N] ...
//   scan_bench --stations 1,10,50 [--pace-ms 1000] [--seconds 20] ...
//
// Embedded by default; --server goes through the private server named by
// COLLI_FB_SERVER ("127.0.0.1/PORT"; start one with scripts/fb-test-server.sh).
// The database is generated once per folder and reused by later runs.
//
// --wire (implies --server): the station reaches the server through the
// delay-and-count proxy of bench/wire, once per one-way delay in ms, and each
// step reports its request turns, counted by the proxy, beside its times (the
// start-up's too); the same pairs made by a minimal raw client through the same
// proxy follow.
//
// --stations (implies --server): that many stations at once, each a thread with
// its own attachment and the station's own lookup and log writer, a pair every
// --pace-ms (0: as fast as it can); pairs per second, pair -> committed times
// and the server's processor time (COLLI_FB_SERVER_PID).
//
// Measured, over every pair: from the Enter release reaching the barcode field's
// handler until the outcome window is on screen (EAN step, and an unknown courier
// barcode), the courier lookup alone, and the whole pair until its log row is
// committed. The operator closes each window at once.
#include "ColliApplication.h"
#include "MainForm.h"
#include "MessageBoxes.h"
#include "MessaggioForm.h"
#include "RawPair.h"
#include "Stations.h"

#include <WireProxy.h>

#include <dataaccess/Connection.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlScript.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>
#include <printing/PrintPlatform.h>

#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Options {
    bool server = false;
    long parcels = 1000000;
    int pairs = 1000;
    std::string folder;
    bool wire = false;
    std::vector<int> delays{0, 5, 10};
    std::vector<int> stations;
    int paceMs = 1000;
    int seconds = 20;
};

std::vector<int> Numbers(const std::string& list)
{
    std::vector<int> numbers;
    std::stringstream text(list);
    for (std::string item; std::getline(text, item, ',');)
        numbers.push_back(std::stoi(item));
    return numbers;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--server")
            options.server = true;
        else if (arg == "--parcels")
            options.parcels = std::stol(next());
        else if (arg == "--pairs")
            options.pairs = std::stoi(next());
        else if (arg == "--folder")
            options.folder = next();
        else if (arg == "--wire")
            options.wire = options.server = true;
        else if (arg == "--delays")
            options.delays = Numbers(next());
        else if (arg == "--stations")
            options.stations = Numbers(next()), options.server = true;
        else if (arg == "--pace-ms")
            options.paceMs = std::stoi(next());
        else if (arg == "--seconds")
            options.seconds = std::stoi(next());
        else
            throw std::runtime_error("unknown option " + arg);
    }
    if (options.folder.empty())
        options.folder = "/tmp/colli-scan-bench-" + std::to_string(options.parcels) + (options.server ? "-server" : "");
    if (options.folder.back() != '/')
        options.folder += '/';
    return options;
}

std::string Barcode(long i)
{
    char text[32];
    std::snprintf(text, sizeof text, "SPD%09ld", i);
    return text;
}

std::string Ean(long i)
{
    char text[32];
    std::snprintf(text, sizeof text, "80%011ld", i);
    return text;
}

std::string FaultyEan(long i)
{
    char text[32];
    std::snprintf(text, sizeof text, "0%012ld", i);
    return text;
}

void Attach(dataaccess::Connection& connection, const std::string& name)
{
    connection.SetDatabaseName(name);
    connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    connection.SetConnected(true);
}

void RunScript(dataaccess::Connection& connection, dataaccess::Transaction& transaction, const std::string& script)
{
    for (const std::string& text : dataaccess::SplitSqlScript(script)) {
        transaction.SetActive(true);
        dataaccess::SqlStatement statement(connection, transaction);
        statement.SetParamCheck(false);
        statement.AddLine(text);
        statement.ExecQuery();
        transaction.Commit();
    }
}

long CountParcels(const std::string& name)
{
    dataaccess::Connection connection;
    dataaccess::Transaction transaction(connection);
    Attach(connection, name);
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine("SELECT COUNT(*) AS N FROM COLLI");
    query.Open();
    return static_cast<long>(query.FieldInteger("N"));
}

// One prepared insert, one transaction: the quickest way to a large table.
void Generate(const std::string& name, long parcels)
{
    std::printf("generating %ld parcels in %s ...\n", parcels, name.c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    dataaccess::Connection connection;
    connection.SetDatabaseName(name);
    connection.Params() = {"USER \"SYSDBA\"", "PASSWORD \"plumtrove\"", "PAGE_SIZE 4096"};
    connection.SetSQLDialect(3);
    connection.SetWaitBound(600); // generating is long work, not a scan
    connection.CreateDatabase();
    dataaccess::Transaction transaction(connection);
    connection.SetDefaultTransaction(&transaction);

    std::ifstream schemaFile(COLLI_SCHEMA_SQL_PATH);
    std::stringstream schema;
    schema << schemaFile.rdbuf();
    RunScript(connection, transaction, schema.str());

    // The server makes the rows itself: a statement per 250,000 instead of a round trip per row.
    for (long from = 0; from < parcels; from += 250000) {
        const long to = std::min(parcels, from + 250000);
        transaction.SetActive(true);
        dataaccess::SqlStatement fill(connection, transaction);
        fill.SetParamCheck(false);
        fill.AddLine("EXECUTE BLOCK AS DECLARE I BIGINT = " + std::to_string(from) + "; BEGIN WHILE (I < " +
                     std::to_string(to) + ") DO BEGIN INSERT INTO COLLI (BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO) "
                     "VALUES ('SPD' || LPAD(:I, 9, '0'), '80' || LPAD(:I, 11, '0'), "
                     "IIF(MOD(:I, 3) = 0, NULL, '0' || LPAD(:I, 12, '0'))); I = I + 1; END END");
        fill.ExecQuery();
        transaction.Commit();
    }
    std::printf("generated in %.1f s\n", Milliseconds(Clock::now() - start) / 1000.0);
}

// No printer hardware: a label job goes nowhere.
class NullPrintPlatform : public printing::PrintPlatform {
public:
    std::vector<printing::PrinterRecord> ListPrinters() override { return {{"Bench", "bench", "null"}}; }
    std::string ReadDefaultDevice() override { return device_; }
    void WriteDefaultDevice(const std::string& device) override { device_ = device; }
    bool SupportsPassThrough() override { return true; }
    void BeginJob() override {}
    void SendRaw(const std::string&) override {}
    void EndPage() override {}
    void EndJob() override {}
    void SetClipboardText(const std::string&) override {}

private:
    std::string device_ = ",,,";
};

// The real outcome window; the operator closes it as soon as it is on screen.
class TimedBoxes : public MessageBoxes {
public:
    void Outcome(QWidget* owner, std::uint8_t kind, const QString& text) override
    {
        TMessaggioForm form(owner, kind, text);
        QTimer::singleShot(0, &form, [&] {
            shownAt = Clock::now();
            form.ButtonChiudi->click();
        });
        form.exec();
    }
    void Error(QWidget*, const QString& text) override { Fail(text); }
    void Warning(QWidget*, const QString& text) override { Fail(text); }
    void ApplicationError(QWidget*, const QString& text) override { Fail(text); }
    void Plain(QWidget*, const QString& text) override { std::printf("message: %s\n", qPrintable(text)); }

    Clock::time_point shownAt;

private:
    [[noreturn]] static void Fail(const QString& text)
    {
        throw std::runtime_error("unexpected message: " + text.toStdString());
    }
};

struct Series {
    std::string what;
    std::vector<double> ms;
    std::vector<long long> turns; // per sample, when counted

    static double At(std::vector<double> values, double q)
    {
        std::sort(values.begin(), values.end());
        return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
    }
    double Median() const { return At(ms, 0.5); }

    void Report() const
    {
        if (ms.empty())
            return;
        std::printf("  %-46s median %8.3f ms   p99 %8.3f ms   max %8.3f ms   (n=%zu)", what.c_str(), At(ms, 0.5),
                    At(ms, 0.99), *std::max_element(ms.begin(), ms.end()), ms.size());
        if (!turns.empty())
            std::printf("   turns %lld (max %lld)", static_cast<long long>(At({turns.begin(), turns.end()}, 0.5)),
                        *std::max_element(turns.begin(), turns.end()));
        std::printf("\n");
    }
};

// The station's pairs, timed (and counted when a proxy carries them): a known
// parcel and its EAN, now and then the faulty one, and an unknown barcode.
struct StationSeries {
    Series lookup{"courier barcode found (lookup, no window)", {}, {}};
    Series eanWindow{"Enter on EAN -> outcome window shown", {}, {}};
    Series eanLogged{"Enter on EAN -> log row committed", {}, {}};
    Series pair{"whole pair -> log row committed", {}, {}};
    Series unknownWindow{"Enter on unknown barcode -> window shown", {}, {}};
    Series unknownLogged{"unknown barcode -> log row committed", {}, {}};

    void Report() const
    {
        for (const Series* series : {&lookup, &eanWindow, &eanLogged, &pair, &unknownWindow, &unknownLogged})
            series->Report();
    }
};

StationSeries RunStationPairs(TMainForm& form, TimedBoxes& boxes, const Options& options, int pairs,
                              const wire::WireProxy* proxy)
{
    auto release = [&](const std::string& code) {
        form.EditBarcode->setText(QString::fromStdString(code));
        QKeyEvent event(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
        const auto start = Clock::now();
        QCoreApplication::sendEvent(form.EditBarcode, &event);
        return start;
    };
    auto turns = [&] { return proxy ? proxy->Total().turns : 0; };
    auto count = [&](Series& series, long long before) {
        if (proxy)
            series.turns.push_back(turns() - before);
    };

    StationSeries s;
    std::mt19937 random(12345);
    std::uniform_int_distribution<long> pick(0, options.parcels - 1);
    for (int n = 0; n < pairs; ++n) {
        const long i = pick(random);
        const long long t0 = turns();
        const auto first = release(Barcode(i));
        const auto found = Clock::now();
        if (form.ScanState() != 1)
            throw std::runtime_error("parcel " + Barcode(i) + " not found");
        count(s.lookup, t0);
        // Mostly correct labels, now and then a faulty one that is reprinted.
        const bool faulty = (n % 10 == 0) && (i % 3 != 0);
        const long long t1 = turns();
        const auto second = release(faulty ? FaultyEan(i) : Ean(i));
        const auto done = Clock::now();
        if (form.ScanState() != 0)
            throw std::runtime_error("pair not completed");
        count(s.eanLogged, t1);
        count(s.pair, t0);
        s.lookup.ms.push_back(Milliseconds(found - first));
        s.eanWindow.ms.push_back(Milliseconds(boxes.shownAt - second));
        s.eanLogged.ms.push_back(Milliseconds(done - second));
        s.pair.ms.push_back(Milliseconds(done - first));

        const long long t2 = turns();
        const auto unknown = release("NOPE" + std::to_string(n));
        s.unknownWindow.ms.push_back(Milliseconds(boxes.shownAt - unknown));
        s.unknownLogged.ms.push_back(Milliseconds(Clock::now() - unknown));
        count(s.unknownLogged, t2);
    }
    return s;
}

// The same pairs by the minimal raw client: lookup, then the log row.
StationSeries RunRawPairs(const std::string& name, const Options& options, int pairs, const wire::WireProxy& proxy)
{
    RawPair raw(name, "SYSDBA", "plumtrove");
    StationSeries s;
    std::mt19937 random(12345);
    std::uniform_int_distribution<long> pick(0, options.parcels - 1);
    for (int n = 0; n < pairs; ++n) {
        const long i = pick(random);
        const long long t0 = proxy.Total().turns;
        const auto first = Clock::now();
        if (raw.Lookup(Barcode(i)) != Ean(i))
            throw std::runtime_error("raw client: parcel " + Barcode(i) + " not found");
        const auto found = Clock::now();
        const long long t1 = proxy.Total().turns;
        raw.Log(Barcode(i), Ean(i), "EanCorretto");
        const auto done = Clock::now();
        const long long t2 = proxy.Total().turns;
        s.lookup.ms.push_back(Milliseconds(found - first));
        s.lookup.turns.push_back(t1 - t0);
        s.eanLogged.ms.push_back(Milliseconds(done - found));
        s.eanLogged.turns.push_back(t2 - t1);
        s.pair.ms.push_back(Milliseconds(done - first));
        s.pair.turns.push_back(t2 - t0);
    }
    s.eanLogged.what = "log row committed";
    return s;
}

void WriteSettings(const Options& options, const std::string& server, const std::string& databasePath)
{
    std::filesystem::remove(options.folder + "dati.ini");
    if (!server.empty())
        std::ofstream(options.folder + "dati.ini")
            << "[CONFIG]\r\nNome Server=" << server << "\r\nAlias=" << databasePath << "\r\n";
}

void RunWire(const Options& options, TimedBoxes& boxes, NullPrintPlatform& printer, const std::string& server,
             const std::string& databasePath)
{
    const int serverPort = std::stoi(server.substr(server.find('/') + 1));
    for (int delay : options.delays) {
        wire::WireProxy proxy(serverPort, std::chrono::milliseconds(delay), std::chrono::seconds(1800));
        const std::string via = "127.0.0.1/" + std::to_string(proxy.Port());
        WriteSettings(options, via, databasePath);
        StationSeries station;
        wire::WireCounts startup;
        double startupMs = 0;
        {
            const auto began = Clock::now();
            TMainForm form(StationServices{printer, boxes, options.folder});
            form.show();
            startupMs = Milliseconds(Clock::now() - began);
            startup = proxy.Total();
            if (!form.DatabaseColli().Connected() || !form.EditBarcode->isEnabled())
                throw std::runtime_error("the station did not open its database through the proxy");
            station = RunStationPairs(form, boxes, options, options.pairs, &proxy);
        }
        const StationSeries raw = RunRawPairs(proxy.Name(databasePath), options, options.pairs, proxy);
        std::printf("wire: one-way delay %d ms (round trip %d ms), %d pairs\n", delay, 2 * delay, options.pairs);
        std::printf("  start-up: %lld request turns on %d links (the probe's included), %.1f ms; first pair %lld "
                    "turns (its statements are prepared then)\n",
                    startup.turns, startup.links, startupMs, station.pair.turns.empty() ? 0LL : station.pair.turns[0]);
        std::printf(" station:\n");
        station.Report();
        std::printf(" raw client minimum:\n");
        raw.Report();
        std::printf("  pair -> committed, station/raw median: %.2fx\n", station.pair.Median() / raw.pair.Median());
        std::fflush(stdout);
    }
}

void RunStations(const Options& options, const std::string& databaseName)
{
    const char* pid = std::getenv("COLLI_FB_SERVER_PID");
    const int serverPid = pid ? std::atoi(pid) : 0;
    for (int stations : options.stations) {
        const StationsResult result = PlayStations(databaseName, stations, std::chrono::milliseconds(options.paceMs),
                                                   std::chrono::seconds(options.seconds), options.parcels, serverPid);
        if (result.pairMs.empty())
            throw std::runtime_error("no pair was made");
        std::printf("stations %3d, %s: %ld pairs in %.1f s = %.1f pairs/s, pair -> committed p50 %.2f ms p99 "
                    "%.2f ms, failures %ld, server CPU %.0f%% of one core\n",
                    stations, options.paceMs > 0 ? ("a pair every " + std::to_string(options.paceMs) + " ms").c_str()
                                                 : "as fast as they can",
                    result.pairs, result.seconds, result.pairs / result.seconds, Series::At(result.pairMs, 0.5),
                    Series::At(result.pairMs, 0.99), result.failures,
                    serverPid > 0 ? 100.0 * result.serverCpuSeconds / result.seconds : -1.0);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    try {
        const Options options = ParseOptions(argc, argv);
        std::string server;
        if (options.server) {
            const char* address = std::getenv("COLLI_FB_SERVER");
            if (!address || !*address)
                throw std::runtime_error("--server needs COLLI_FB_SERVER=127.0.0.1/PORT of a private server");
            server = address;
        }

        std::filesystem::create_directories(options.folder);
        std::filesystem::permissions(options.folder, std::filesystem::perms::all);
        const std::string databasePath = options.folder + "ARCHIVIOCOLLI.FDB";
        const std::string databaseName = server.empty() ? databasePath : server + ":" + databasePath;
        if (!std::filesystem::exists(databasePath) || CountParcels(databaseName) != options.parcels) {
            std::filesystem::remove(databasePath);
            Generate(databaseName, options.parcels);
        }
        if (!options.stations.empty()) {
            RunStations(options, databaseName);
            return 0;
        }
        std::ofstream(options.folder + "ETICHETTA.TXT") << "^XA^FD<CODICEEAN>^FS^XZ\r\n";

        TimedBoxes boxes;
        ColliApplication application(argc, argv, boxes);
        NullPrintPlatform printer;
        if (options.wire) {
            RunWire(options, boxes, printer, server, databasePath);
            return 0;
        }
        WriteSettings(options, server, databasePath);
        TMainForm form(StationServices{printer, boxes, options.folder});
        form.show();
        if (!form.DatabaseColli().Connected() || !form.EditBarcode->isEnabled())
            throw std::runtime_error("the station did not open its database");
        const StationSeries series = RunStationPairs(form, boxes, options, options.pairs, nullptr);
        std::printf("scan_bench: %ld parcels, %d pairs, %s\n", options.parcels, options.pairs,
                    server.empty() ? "embedded" : ("server " + server).c_str());
        series.Report();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "scan_bench: %s\n", error.what());
        return 1;
    }
}
