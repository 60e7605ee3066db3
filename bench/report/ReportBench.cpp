// report_bench: colli-admin's shift report on a large scan log.
//
//   report_bench [--server 127.0.0.1/PORT] [--rows N] [--runs K] [--log-as-today]
//
// The private server is --server, else COLLI_FB_SERVER (scripts/fb-test-server.sh
// starts one). A throwaway database gets a log of N rows (1,000,000 unless told)
// over one ten-hour shift, made on the server itself: mostly EanCorretto, 4% of
// EanErrato, 3% of unknown EANs (two thirds of them confirmed afterwards), 2% of
// unknown courier codes, 1% of parcels confirmed a second time; ten stations
// in turn (UTENTE, POSTAZIONE, added when the log lacks them), one row in 50
// decided on the station's copy (DACOPIA); --log-as-today leaves those three
// columns out, as parcels/schema.sql has none of them yet. The report of
// that day is then read K times (3 unless told) over TCP loopback, and written
// as CSV, HTML and PDF once. Every count is checked against the log as made;
// a wrong one ends the run with status 1, so a small run is a test as well.
#include "ShiftReport.h"

#include <TestDatabase.h>

#include <dataaccess/Connection.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <QGuiApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The CPU seconds the server process has used (COLLI_FB_SERVER_PID, from /proc),
// or a negative number when that cannot be read. On a machine shared with
// other work the wall time swings with the load; this does not.
double ServerCpuSeconds()
{
#ifdef __linux__
    const char* pid = std::getenv("COLLI_FB_SERVER_PID");
    if (!pid || !*pid)
        return -1;
    std::ifstream stat(std::string("/proc/") + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14 || i == 15)
            ticks += std::atof(field.c_str());
        if (i == 15)
            return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
#endif
    return -1;
}

struct Options {
    std::string server;
    long long rows = 1000000;
    int runs = 3;
    bool stationColumns = true; // --log-as-today: the log without UTENTE, POSTAZIONE and DACOPIA
};

// What the fill makes, worked out the same way on this side.
struct Expected {
    admin::Counts totals{};
    std::int64_t fromCopy = 0;
    std::map<int, std::int64_t> perHour;
    std::set<std::string> unknownCodes, unknownEans;
    std::int64_t unfinished = 0;
    std::int64_t confirmedTwice = 0;
};

// The fill, one loop on the server (its DML names the variables with ':'). Row R is stamped R * 10 h / N after 06:00.
std::string FillBlock(long long rows, bool stationColumns)
{
    const std::string n = std::to_string(rows);
    const std::string at = "DATEADD(CAST(:R AS BIGINT) * 36000000 / " + n + " MILLISECOND TO TIMESTAMP '2026-03-02 06:00:00')";
    auto insert = [&](const std::string& code, const std::string& ean, const char* status) {
        if (!stationColumns)
            return "INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS) VALUES (:R + 1, " + at +
                   ", " + code + ", " + ean + ", '" + status + "');\n";
        return "INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS, UTENTE, POSTAZIONE, DACOPIA) "
               "VALUES (:R + 1, " + at + ", " + code + ", " + ean + ", '" + status +
               "', 'STAZIONE' || MOD(:R, 10), '192.168.1.' || (11 + MOD(:R, 10)), IIF(MOD(:R, 50) = 0, 1, NULL));\n";
    };
    return "EXECUTE BLOCK AS\n"
           "DECLARE I INTEGER = 0;\nDECLARE R INTEGER = 0;\nDECLARE M INTEGER;\n"
           "BEGIN\n"
           "  WHILE (R < " + n + ") DO BEGIN\n"
           "    M = MOD(I, 100);\n"
           "    IF (M < 2) THEN " + insert("'X' || MOD(:I, 500)", "NULL", "BarCodeSpeedSconosciuto") +
           "    ELSE IF (M < 5) THEN BEGIN\n"
           "      " + insert("'SPD' || :I", "'99' || MOD(:I, 300)", "CodiceEanSconosciuto") +
           "      IF (M < 4 AND R + 1 < " + n + ") THEN BEGIN\n"
           "        R = R + 1;\n"
           "        " + insert("'SPD' || :I", "'80' || :I", "EanCorretto") +
           "      END\n"
           "    END\n"
           "    ELSE IF (M < 9) THEN " + insert("'SPD' || :I", "'81' || :I", "EanErrato") +
           "    ELSE IF (M = 9 AND I >= 50) THEN " + insert("'SPD' || (:I - 50)", "'80' || (:I - 50)", "EanCorretto") +
           "    ELSE " + insert("'SPD' || :I", "'80' || :I", "EanCorretto") +
           "    R = R + 1;\n"
           "    I = I + 1;\n"
           "  END\n"
           "END";
}

Expected Expect(long long rows)
{
    Expected e;
    long long r = 0;
    auto row = [&](int outcome) {
        ++e.totals[static_cast<std::size_t>(outcome)];
        e.fromCopy += r % 50 == 0 ? 1 : 0;
        ++e.perHour[static_cast<int>(6 + r * 36000000 / rows / 3600000)];
    };
    for (long long i = 0; r < rows; ++i) {
        const long long m = i % 100;
        if (m < 2) {
            row(admin::kBarCodeSpeedSconosciuto);
            e.unknownCodes.insert("X" + std::to_string(i % 500));
        } else if (m < 5) {
            row(admin::kCodiceEanSconosciuto);
            e.unknownEans.insert("99" + std::to_string(i % 300));
            if (m < 4 && r + 1 < rows) {
                ++r;
                row(admin::kEanCorretto);
            } else {
                ++e.unfinished;
            }
        } else if (m < 9) {
            row(admin::kEanErrato);
        } else {
            row(admin::kEanCorretto);
            if (m == 9 && i >= 50)
                ++e.confirmedTwice;
        }
        ++r;
    }
    return e;
}

void Check(bool ok, const std::string& what, std::vector<std::string>& wrong)
{
    if (!ok)
        wrong.push_back(what);
}

std::vector<std::string> Compare(const admin::ShiftReport& report, const Expected& e, long long rows,
                                 bool stationColumns)
{
    std::vector<std::string> wrong;
    Check(report.rows == rows, "rows " + std::to_string(report.rows), wrong);
    Check(report.totals == e.totals, "totals", wrong);
    std::map<int, std::int64_t> perHour;
    for (const auto& hour : report.hours)
        perHour[hour.hour.time().hour()] += hour.total;
    Check(perHour == e.perHour, "rows per hour", wrong);
    Check(report.unknownCourierCodes.total == static_cast<std::int64_t>(e.unknownCodes.size()), "unknown courier codes", wrong);
    Check(report.unknownEans.total == static_cast<std::int64_t>(e.unknownEans.size()), "unknown EANs", wrong);
    Check(report.unfinished.total == e.unfinished, "unfinished " + std::to_string(report.unfinished.total), wrong);
    Check(report.confirmedTwice.total == e.confirmedTwice, "confirmed twice " + std::to_string(report.confirmedTwice.total), wrong);
    if (!stationColumns) {
        Check(!report.optional.fromCopy && report.optional.stations.empty(), "sections of missing columns", wrong);
        return wrong;
    }
    std::int64_t fromCopy = 0;
    for (const auto n : report.optional.fromCopy.value_or(admin::Counts{}))
        fromCopy += n;
    Check(fromCopy == e.fromCopy, "from the copy " + std::to_string(fromCopy), wrong);
    std::int64_t atStations = 0;
    for (const auto& station : report.optional.stations)
        atStations += station.total;
    Check(report.optional.stations.size() == std::min<std::size_t>(10, static_cast<std::size_t>(rows)) &&
              atStations == rows,
          "rows per station", wrong);
    return wrong;
}

// An attachment whose calls may take minutes, as colli-admin's do.
struct Session {
    dataaccess::Connection connection;
    dataaccess::Transaction transaction{connection};
    dataaccess::LongWork longWork{connection, dataaccess::LongWork::kDefaultSeconds};
    explicit Session(const std::string& name)
    {
        connection.SetDatabaseName(name);
        connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
        connection.SetSQLDialect(3);
        connection.SetLoginPrompt(false);
        connection.SetDefaultTransaction(&transaction);
        connection.SetConnected(true);
    }
};

int Run(const Options& options)
{
    testsupport::TestDatabase database(testsupport::Where::Server);
    // The rows carry their own key and time, as an older log's rows do.
    database.Execute("ALTER TRIGGER LOGSPARATE_BI INACTIVE");
    // The columns newer stations write, where the schema has them not yet.
    for (const auto& [column, type] : {std::pair{"UTENTE", "VARCHAR(31)"}, std::pair{"POSTAZIONE", "VARCHAR(64)"},
                                       std::pair{"DACOPIA", "SMALLINT"}}) {
        if (!options.stationColumns)
            break;
        const auto found = database.Query(std::string("SELECT 1 FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = "
                                                      "'LOGSPARATE' AND RDB$FIELD_NAME = '") + column + "'");
        if (found.empty())
            database.Execute(std::string("ALTER TABLE LOGSPARATE ADD ") + column + " " + type);
    }
    auto start = Clock::now();
    {
        Session session(database.Name());
        session.transaction.SetActive(true);
        dataaccess::SqlStatement fill(session.connection, session.transaction);
        fill.SetParamCheck(false);
        fill.AddLine(FillBlock(options.rows, options.stationColumns));
        fill.ExecQuery();
        session.transaction.Commit();
    }
    std::printf("fill: %lld rows in %.1f s (on the server)\n", options.rows, Seconds(Clock::now() - start));
    const Expected expected = Expect(options.rows);

    admin::LogDays day;
    day.first = day.last = QDate(2026, 3, 2);
    std::vector<double> times, cpu;
    admin::ShiftReport report;
    for (int run = 0; run < options.runs; ++run) {
        Session session(database.Name());
        const double cpuBefore = ServerCpuSeconds();
        start = Clock::now();
        // Each query's share: the time from one step to the next.
        std::vector<double> steps;
        auto last = start;
        report = admin::ReadShiftReport(session.connection, session.transaction, day, [&](int, int) {
            const auto now = Clock::now();
            steps.push_back(Seconds(now - last));
            last = now;
        });
        steps.push_back(Seconds(Clock::now() - last));
        times.push_back(Seconds(Clock::now() - start));
        cpu.push_back(cpuBefore < 0 ? -1 : ServerCpuSeconds() - cpuBefore);
        std::printf("report %d: %.2f s, server CPU %.2f s (columns %.2f, hours and stations %.2f, unknown codes %.2f, "
                    "parcels %.2f)\n",
                    run + 1, times.back(), cpu.back(), steps.at(0), steps.at(1), steps.at(2), steps.at(3));
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("report of %lld rows: median %.2f s, best %.2f s, worst %.2f s over %d runs; server CPU median %.2f s\n",
                options.rows, times[times.size() / 2], times.front(), times.back(), options.runs, cpu[cpu.size() / 2]);

    QTemporaryDir folder;
    start = Clock::now();
    std::ostringstream csv;
    admin::WriteReportCsv(report, csv);
    const std::string html = admin::ReportHtml(report);
    admin::WriteReportPdf(report, folder.filePath("rapporto.pdf").toStdString());
    std::printf("writing CSV (%zu bytes), HTML (%zu bytes) and PDF: %.2f s\n", csv.str().size(), html.size(),
                Seconds(Clock::now() - start));

    const auto wrong = Compare(report, expected, options.rows, options.stationColumns);
    for (const auto& what : wrong)
        std::fprintf(stderr, "report_bench: wrong count: %s\n", what.c_str());
    if (!wrong.empty())
        return 1;
    std::printf("every count matches the log as made\n");
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
        } else if (arg == "--rows" && i + 1 < argc) {
            options.rows = std::max(1LL, std::atoll(argv[++i]));
        } else if (arg == "--runs" && i + 1 < argc) {
            options.runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--log-as-today") {
            options.stationColumns = false;
        } else {
            std::fprintf(stderr, "usage: %s [--server 127.0.0.1/PORT] [--rows N] [--runs K] [--log-as-today]\n", argv[0]);
            return 2;
        }
    }
    if (!options.server.empty())
        setenv("COLLI_FB_SERVER", options.server.c_str(), 1);
    if (testsupport::ServerAddress().empty()) {
        std::fprintf(stderr, "report_bench: no server: give --server or set COLLI_FB_SERVER\n");
        return 2;
    }
    // The PDF is painted: fonts need a GUI application, the offscreen one here.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    try {
        return Run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "report_bench: %s\n", error.what());
        return 1;
    }
}
