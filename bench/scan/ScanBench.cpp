// scan_bench: how fast the station answers a scan on a 1,000,000-parcel database.
//
//   scan_bench [--server] [--parcels N] [--pairs N] [--folder DIR]
//
// Embedded by default; --server goes through the private server named by
// COLLI_FB_SERVER ("127.0.0.1/PORT"; start one with scripts/fb-test-server.sh).
// The database is generated once per folder and reused by later runs.
//
// Measured, over every pair: from the Enter release reaching the barcode field's
// handler until the outcome window is on screen (EAN step, and an unknown courier
// barcode), the courier lookup alone, and the whole pair until its log row is
// committed. The operator closes each window at once.
#include "ColliApplication.h"
#include "MainForm.h"
#include "MessageBoxes.h"
#include "MessaggioForm.h"

#include <dataaccess/Connection.h>
#include <dataaccess/SqlQuery.h>
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
};

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
    std::stringstream text(script);
    std::string statementText, line;
    auto run = [&] {
        if (statementText.find_first_not_of(" \r\n\t") == std::string::npos)
            return;
        transaction.SetActive(true);
        dataaccess::SqlStatement statement(connection, transaction);
        statement.SetParamCheck(false);
        statement.AddLine(statementText);
        statement.ExecQuery();
        transaction.Commit();
        statementText.clear();
    };
    bool inComment = false;
    while (std::getline(text, line)) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (inComment) {
                if (line.compare(i, 2, "*/") == 0) {
                    inComment = false;
                    ++i;
                }
            } else if (line.compare(i, 2, "/*") == 0) {
                inComment = true;
                ++i;
            } else if (line[i] == ';') {
                run();
            } else {
                statementText += line[i];
            }
        }
        statementText += '\n';
    }
    run();
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
    connection.CreateDatabase();
    dataaccess::Transaction transaction(connection);
    connection.SetDefaultTransaction(&transaction);

    std::ifstream schemaFile(COLLI_SCHEMA_SQL_PATH);
    std::stringstream schema;
    schema << schemaFile.rdbuf();
    RunScript(connection, transaction, schema.str());

    transaction.SetActive(true);
    dataaccess::SqlStatement insert(connection, transaction);
    insert.SetParamCheck(true);
    insert.AddLine("INSERT INTO COLLI (BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO) VALUES (:B, :E, :F)");
    insert.Prepare();
    for (long i = 0; i < parcels; ++i) {
        insert.SetParamText("B", Barcode(i));
        insert.SetParamText("E", Ean(i));
        if (i % 3 == 0)
            insert.SetParamNull("F");
        else
            insert.SetParamText("F", FaultyEan(i));
        insert.ExecQuery();
    }
    transaction.Commit();
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
    const char* what;
    std::vector<double> ms;

    void Report() const
    {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        auto at = [&](double q) { return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * sorted.size()))]; };
        std::printf("  %-46s median %7.3f ms   p99 %7.3f ms   max %7.3f ms   (n=%zu)\n", what, at(0.5), at(0.99),
                    sorted.back(), sorted.size());
    }
};

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
        std::ofstream(options.folder + "ETICHETTA.TXT") << "^XA^FD<CODICEEAN>^FS^XZ\r\n";
        std::filesystem::remove(options.folder + "dati.ini");
        if (!server.empty())
            std::ofstream(options.folder + "dati.ini")
                << "[CONFIG]\r\nNome Server=" << server << "\r\nAlias=" << databasePath << "\r\n";

        TimedBoxes boxes;
        ColliApplication application(argc, argv, boxes);
        NullPrintPlatform printer;
        TMainForm form(StationServices{printer, boxes, options.folder});
        form.show();
        if (!form.DatabaseColli().Connected() || !form.EditBarcode->isEnabled())
            throw std::runtime_error("the station did not open its database");

        auto release = [&](const std::string& code) {
            form.EditBarcode->setText(QString::fromStdString(code));
            QKeyEvent event(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
            const auto start = Clock::now();
            QCoreApplication::sendEvent(form.EditBarcode, &event);
            return start;
        };

        Series lookup{"courier barcode found (lookup, no window)", {}};
        Series eanWindow{"Enter on EAN -> outcome window shown", {}};
        Series pair{"whole pair -> log row committed", {}};
        Series unknownWindow{"Enter on unknown barcode -> window shown", {}};
        Series unknownLogged{"unknown barcode -> log row committed", {}};

        std::mt19937 random(12345);
        std::uniform_int_distribution<long> pick(0, options.parcels - 1);
        for (int n = 0; n < options.pairs; ++n) {
            const long i = pick(random);
            const auto first = release(Barcode(i));
            const auto found = Clock::now();
            if (form.ScanState() != 1)
                throw std::runtime_error("parcel " + Barcode(i) + " not found");
            // Mostly correct labels, now and then a faulty one that is reprinted.
            const bool faulty = (n % 10 == 0) && (i % 3 != 0);
            const auto second = release(faulty ? FaultyEan(i) : Ean(i));
            const auto done = Clock::now();
            if (form.ScanState() != 0)
                throw std::runtime_error("pair not completed");
            lookup.ms.push_back(Milliseconds(found - first));
            eanWindow.ms.push_back(Milliseconds(boxes.shownAt - second));
            pair.ms.push_back(Milliseconds(done - first));

            const auto unknown = release("NOPE" + std::to_string(n));
            unknownWindow.ms.push_back(Milliseconds(boxes.shownAt - unknown));
            unknownLogged.ms.push_back(Milliseconds(Clock::now() - unknown));
        }

        std::printf("scan_bench: %ld parcels, %d pairs, %s\n", options.parcels, options.pairs,
                    server.empty() ? "embedded" : ("server " + server).c_str());
        for (const Series* series : {&lookup, &eanWindow, &pair, &unknownWindow, &unknownLogged})
            series->Report();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "scan_bench: %s\n", error.what());
        return 1;
    }
}
