#include "LogDays.h"
#include "ShiftReport.h"

#include "TestDatabase.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <optional>
#include <string>
#include <vector>

using testsupport::TestDatabase;
using testsupport::Where;

namespace {

struct Run {
    int status;
    std::string out;
    std::string err;
};

// The real program, so that its own start (the offscreen painting) is tested too.
Run Admin(const std::vector<std::string>& args)
{
    QProcess process;
    QStringList arguments;
    for (const auto& a : args)
        arguments << QString::fromStdString(a);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ISC_PASSWORD", "plumtrove");
    process.setProcessEnvironment(environment);
    process.start(COLLI_ADMIN_PROGRAM, arguments);
    process.waitForFinished(120000);
    return {process.exitCode(), process.readAllStandardOutput().toStdString(),
            process.readAllStandardError().toStdString()};
}

std::string ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// The text of one section of the page, from its heading to its end; empty when missing.
std::string Section(const std::string& html, const std::string& title)
{
    const auto start = html.find("<h2>" + title + "</h2>");
    if (start == std::string::npos)
        return {};
    return html.substr(start, html.find("</section>", start) - start);
}

struct LogRow {
    const char* at;
    const char* code;
    const char* ean; // nullptr: NULL
    const char* status;
};

// One day's shift with its edges: the rows of the day before and of the next
// midnight stay out. 0xE9 is an e with an accent in Windows-1252.
const LogRow kRows[] = {
    {"2026-03-01 23:59:59", "SPD9", "8009", "EanCorretto"},
    {"2026-03-02 06:05:00", "SPD1", "8001", "EanCorretto"},
    {"2026-03-02 06:10:00", "SPD2", "0002", "EanErrato"},
    {"2026-03-02 06:20:00", "NOPE1", nullptr, "BarCodeSpeedSconosciuto"},
    {"2026-03-02 06:21:00", "NOPE1", nullptr, "BarCodeSpeedSconosciuto"},
    {"2026-03-02 06:30:00", "SPD3", "999", "CodiceEanSconosciuto"},
    {"2026-03-02 06:31:00", "SPD3", "8003", "EanCorretto"},
    {"2026-03-02 07:00:00", "SPD4", "999", "CodiceEanSconosciuto"},
    {"2026-03-02 07:01:00", "SPD4", "998", "CodiceEanSconosciuto"},
    {"2026-03-02 07:15:00", "SPD1", "8001", "EanCorretto"},
    {"2026-03-02 07:40:00", "<b>&\xE9", nullptr, "BarCodeSpeedSconosciuto"},
    {"2026-03-02 09:00:00", "SPD5", "0005", "EanErrato"},
    {"2026-03-02 09:05:00", "SPD6", "8006", "Manuale"},
    {"2026-03-02 23:59:59", "SPD7", "8007", "EanCorretto"},
    {"2026-03-03 00:00:00", "SPD8", "8008", "EanCorretto"},
};

std::string Quoted(const char* text)
{
    if (!text)
        return "NULL";
    std::string out = "'";
    for (const char* c = text; *c; ++c)
        out += *c == '\'' ? std::string("''") : std::string(1, *c);
    return out + "'";
}

void Fill(TestDatabase& db)
{
    // The rows keep the times given here instead of the server's, in a log
    // as an older version kept it: without the writer's and the copy's columns.
    db.Execute("DROP TRIGGER LOGSPARATE_BI");
    db.Execute("ALTER TABLE LOGSPARATE DROP UTENTE, DROP POSTAZIONE, DROP DACOPIA");
    std::string sql;
    int id = 0;
    for (const LogRow& row : kRows)
        sql += "INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS) VALUES (" +
               std::to_string(++id) + ", '" + row.at + "', " + Quoted(row.code) + ", " + Quoted(row.ean) + ", " +
               Quoted(row.status) + ");\n";
    db.Execute(sql);
}

} // namespace

TEST(ShiftReport, DaysAndUsage)
{
    const QDate today(2026, 3, 10);
    const struct {
        std::optional<std::string> from, to;
        QDate first, last;
    } days[] = {
        {{}, {}, today, today},
        {"2026-03-02", {}, QDate(2026, 3, 2), today},
        {{}, "2026-03-02", QDate(2026, 3, 2), QDate(2026, 3, 2)},
        {"2026-03-12", {}, QDate(2026, 3, 12), QDate(2026, 3, 12)},
        {"2026-02-27", "2026-03-01", QDate(2026, 2, 27), QDate(2026, 3, 1)},
    };
    for (const auto& d : days) {
        const admin::LogDays got = admin::ReportDays(admin::ParseLogDays(d.from, d.to), today);
        EXPECT_EQ(*got.first, d.first) << d.from.value_or("-") << " " << d.to.value_or("-");
        EXPECT_EQ(*got.last, d.last) << d.from.value_or("-") << " " << d.to.value_or("-");
    }
    EXPECT_EQ(admin::LogDaysCondition(admin::ParseLogDays("2026-02-28", "2026-02-28")),
              "DATAORA >= TIMESTAMP '2026-02-28 00:00:00' AND DATAORA < TIMESTAMP '2026-03-01 00:00:00'");
    EXPECT_THROW(admin::ParseLogDays("2026-03-02", "2026-03-01"), std::invalid_argument);

    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
             {"report", "a.fdb"},
             {"report", "a.fdb", "--html"},
             {"export-log", "a.fdb", "--csv", "-"},
             {"report", "a.fdb", "--csv", "-", "--from", "2026-03-02", "--to", "2026-03-01"},
             {"report", "a.fdb", "--csv", "-", "--from", "2.3.2026"},
         })
        EXPECT_EQ(Admin(wrong).status, 2) << wrong.back();
}

TEST(ShiftReport, CountsAndSectionsOfKnownRows)
{
    if (testsupport::ServerAddress().empty())
        GTEST_SKIP() << "no private server";
    TestDatabase db(Where::Server);
    Fill(db);
    QTemporaryDir dir;
    const QString html = dir.filePath("rapporto.html");
    const QString pdf = dir.filePath("rapporto.pdf");
    const std::vector<std::string> report = {"report",          db.Name(),          "--from", "2026-03-02",
                                             "--to",            "2026-03-02",       "--csv",  "-",
                                             "--html",          html.toStdString(), "--pdf",  pdf.toStdString()};
    auto run = Admin(report);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "\xEF\xBB\xBF"
                       "Ora;EanCorretto;EanErrato;CodiceEanSconosciuto;BarCodeSpeedSconosciuto;Totale\n"
                       "2026-03-02 06:00;2;1;1;2;6\n"
                       "2026-03-02 07:00;1;0;2;1;4\n"
                       "2026-03-02 09:00;0;1;0;0;2\n"
                       "2026-03-02 23:00;1;0;0;0;1\n"
                       "Totale;4;2;3;3;13\n");
    EXPECT_EQ(ReadAll(pdf).substr(0, 5), "%PDF-");

    std::string page = ReadAll(html);
    const struct {
        const char* section;
        std::vector<std::string> holds;
    } sections[] = {
        {"Esiti per ora", {"<svg"}},
        {"Totali", {"<b>2</b> (15,4 %", "<b>6</b> (46,2 %", "(altri valori)", ">13<"}},
        {"Codici corriere sconosciuti", {"<b>2</b>", "<td>NOPE1</td><td class=\"n\" align=\"right\">2<",
                                         "<td>&lt;b&gt;&amp;\xC3\xA9</td>"}},
        {"EAN sconosciuti", {"<b>2</b>", "<td>999</td><td class=\"n\" align=\"right\">2<", "<td>998</td>"}},
        {"Verifiche incomplete", {"<b>1</b>", "<td>SPD4</td><td class=\"n\" align=\"right\">2<", "02/03/2026 07:01"}},
        {"Colli confermati più volte", {"<b>1</b>", "<td>SPD1</td><td class=\"n\" align=\"right\">2<"}},
        {"Registrazione delle righe", {"<b>13</b>"}},
    };
    for (const auto& s : sections) {
        const std::string text = Section(page, s.section);
        ASSERT_FALSE(text.empty()) << s.section;
        for (const auto& piece : s.holds)
            EXPECT_NE(text.find(piece), std::string::npos) << s.section << ": " << piece << "\n" << text;
    }
    EXPECT_EQ(Section(page, "Verifiche incomplete").find("SPD3"), std::string::npos);
    EXPECT_EQ(page.find("<b>&"), std::string::npos);
    for (const char* section : {"Per utente e postazione", "Esiti decisi dalla copia della stazione"})
        EXPECT_TRUE(Section(page, section).empty()) << section;

    // The columns other versions of the station write: their sections come with them.
    db.Execute("ALTER TABLE LOGSPARATE ADD UTENTE VARCHAR(31); ALTER TABLE LOGSPARATE ADD POSTAZIONE VARCHAR(64); "
               "ALTER TABLE LOGSPARATE ADD DACOPIA SMALLINT");
    db.Execute("UPDATE LOGSPARATE SET UTENTE = IIF(ID <= 7, 'CASSA1', 'CASSA2'), "
               "POSTAZIONE = IIF(ID <= 7, '10.0.0.5', '10.0.0.6'); "
               "UPDATE LOGSPARATE SET DACOPIA = 1 WHERE ID IN (7, 12); "
               "UPDATE LOGSPARATE SET DACOPIA = 0 WHERE ID = 2; "
               "UPDATE LOGSPARATE SET DATAORASCANSIONE = DATEADD(-10 MINUTE TO DATAORA) WHERE ID = 3");
    run = Admin(report);
    ASSERT_EQ(run.status, 0) << run.err;
    page = ReadAll(html);
    const std::string stations = Section(page, "Per utente e postazione");
    // Rows 2 to 7 are the day's first six, all CASSA1's, counted by outcome.
    EXPECT_NE(stations.find("<td>CASSA1</td><td>10.0.0.5</td><td class=\"n\" align=\"right\">2</td>"
                            "<td class=\"n\" align=\"right\">1</td><td class=\"n\" align=\"right\">1</td>"
                            "<td class=\"n\" align=\"right\">2</td><td class=\"n\" align=\"right\">6</td>"),
              std::string::npos)
        << stations;
    EXPECT_NE(stations.find("<td>CASSA2</td><td>10.0.0.6</td>"), std::string::npos) << stations;
    const std::string copy = Section(page, "Esiti decisi dalla copia della stazione");
    EXPECT_NE(copy.find("<b>2</b>"), std::string::npos) << copy;
    EXPECT_NE(copy.find("<td>EanErrato</td><td class=\"n\" align=\"right\">1</td>"), std::string::npos) << copy;
    EXPECT_NE(Section(page, "Registrazione delle righe").find("dopo la scansione (attese nel giornale della stazione): <b>1</b>"),
              std::string::npos);
}

TEST(ShiftReport, PageLoadsNothingFromOutside)
{
    // Codes are whatever a scanner typed: markup and addresses among them.
    admin::ShiftReport report;
    report.first = report.last = QDate(2026, 3, 2);
    report.made = QDateTime(QDate(2026, 3, 2), QTime(18, 0));
    report.database = "server:/dati/<ARCHIVIO>.FDB";
    for (int h = 6; h < 14; ++h) {
        admin::HourCounts hour;
        hour.hour = QDateTime(report.first, QTime(h, 0));
        hour.counts = {100 + h, 5, 3, h};
        hour.total = 108 + 2 * h;
        report.hours.push_back(hour);
    }
    report.unknownCourierCodes = {{{"<img src=http://example.org/x.png>", 3, {}}, {"url(http://example.org/f)", 1, {}}}, 2};
    report.unknownEans = {{{"<script src=\"//example.org/s.js\"></script>", 1, {}}}, 1};
    report.unfinished = {{{"<link rel=stylesheet href=https://example.org/c.css>", 1, report.made}}, 1};
    report.optional.hasAccount = true;
    report.optional.stations = {{"@import 'http://example.org/i.css';", "", {}, 0}};
    const std::string page = admin::ReportHtml(report);

    ASSERT_NE(page.find("<svg"), std::string::npos);
    // Namespace names are names, not loads; with them gone no address is left in markup.
    static const QRegularExpression namespaces(R"(\sxmlns(:\w+)?="[^"]*")");
    static const QRegularExpression tags(R"(<[^>]*>)");
    QString markup;
    auto it = tags.globalMatch(QString::fromStdString(page).remove(namespaces));
    while (it.hasNext())
        markup += it.next().captured(0);
    for (const char* loads : {"src=", "href=", "url(", "@import", "<script", "<link", "<img", "<iframe", "<object",
                              "<embed", "<image", "<use", "//"}) {
        EXPECT_FALSE(markup.contains(loads, Qt::CaseInsensitive)) << loads;
    }
    // The style sheet, too, fetches nothing: no address, font file or import in it.
    const std::string style = page.substr(page.find("<style>"), page.find("</style>") - page.find("<style>"));
    for (const char* loads : {"url(", "@import", "@font-face", "//"})
        EXPECT_EQ(style.find(loads), std::string::npos) << loads;
}

int main(int argc, char** argv)
{
    // The page's chart is painted, which wants fonts and so a GUI application.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
