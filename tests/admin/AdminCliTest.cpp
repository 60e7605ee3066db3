#include "AdminCli.h"
#include "ConsoleStream.h"

#include "PrivateServer.h"
#include "TestDatabase.h"

#include <dataaccess/Connection.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>
#include <parcels/ParcelCopy.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QString>
#include <QTemporaryDir>

#ifndef _WIN32
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

using testsupport::TestDatabase;
using testsupport::Where;

namespace {

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

CliResult RunCli(std::vector<std::string> args, const admin::PasswordPrompt& ask = {})
{
    std::ostringstream out, err;
    const int status = admin::RunAdminCli(args, out, err, false, ask);
    return {status, out.str(), err.str()};
}

// Answers the password prompts in turn, as an operator at the terminal would.
admin::PasswordPrompt Answers(std::vector<std::string> answers)
{
    auto next = std::make_shared<std::size_t>(0);
    return [answers, next](const std::string&) {
        if (*next >= answers.size())
            throw std::runtime_error("asked once too often");
        return answers[(*next)++];
    };
}

std::string WriteFile(const QTemporaryDir& dir, const std::string& name, const std::string& bytes)
{
    const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

} // namespace

TEST(AdminCli, UsageAndHelp)
{
    EXPECT_EQ(RunCli({}).status, 2);
    EXPECT_EQ(RunCli({"--help"}).status, 0);
    const auto importHelp = RunCli({"import", "--help"});
    EXPECT_EQ(importHelp.status, 0);
    EXPECT_NE(importHelp.out.find("colli-admin import DB FILE.csv"), std::string::npos);
    EXPECT_EQ(RunCli({"frobnicate", "x"}).status, 2);
    EXPECT_EQ(RunCli({"init"}).status, 2);
    EXPECT_EQ(RunCli({"init", "a.fdb", "--from", "2026-01-01"}).status, 2);
    EXPECT_EQ(RunCli({"export-log", "a.fdb", "--from", "yesterday"}).status, 2);
    for (const char* wait : {"0", "3601", "5s", ""})
        EXPECT_EQ(RunCli({"--wait", wait, "export-log", "a.fdb"}).status, 2) << wait;
}

TEST(AdminCli, InitCreatesDatabaseAndSchemaOnceOnly)
{
    QTemporaryDir dir;
    const std::string db = dir.filePath("NUOVO.FDB").toStdString();
    const auto first = RunCli({"init", db});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("created database"), std::string::npos);
    EXPECT_NE(first.out.find("created COLLI"), std::string::npos);
    EXPECT_NE(first.out.find("created IDLOGSPARATECOUNTER"), std::string::npos);

    const auto second = RunCli({"init", db});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, "nothing to create\n");

    const auto log = RunCli({"export-log", db});
    ASSERT_EQ(log.status, 0) << log.err;
    EXPECT_EQ(log.out, "\xEF\xBB\xBFID;DATAORA;BARCODESPEED;CODICEEANLETTO;STATUS;UTENTE;POSTAZIONE;DATAORASCANSIONE;DACOPIA\n");
}

TEST(AdminCli, InitFillsInWhatAnOlderDatabaseLacks)
{
    TestDatabase db(Where::Embedded, false);
    db.Execute("CREATE TABLE COLLI (BARCODESPEED VARCHAR(64), CODICEEAN VARCHAR(64), CODICEEAN_ERRATO VARCHAR(64))");
    const auto result = RunCli({"init", db.Name()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.find("created COLLI\n"), std::string::npos);
    EXPECT_NE(result.out.find("created LOGSPARATE\n"), std::string::npos);
}

// What older colli-admins left: no ticket, no log trigger, a role that could
// move the counter; the later ones named their station roles in COLLI_BU.
// Only a role named there is taken for a station role.
TEST(AdminCli, InitUpgradesTheLogAndTheStationRoleOfAnOlderSite)
{
    for (const bool guarded : {false, true}) {
        TestDatabase db(Where::Embedded, false);
        for (const char* sql : {
                 "CREATE TABLE COLLI (BARCODESPEED VARCHAR(64) NOT NULL, CODICEEAN VARCHAR(64), CODICEEAN_ERRATO VARCHAR(64))",
                 "CREATE TABLE LOGSPARATE (ID BIGINT NOT NULL PRIMARY KEY, DATAORA TIMESTAMP, BARCODESPEED VARCHAR(64), "
                 "CODICEEANLETTO VARCHAR(64), STATUS VARCHAR(32))",
                 "CREATE GENERATOR IDLOGSPARATECOUNTER", "CREATE INDEX IDX_COLLI_BARCODESPEED ON COLLI (BARCODESPEED)",
                 "CREATE ROLE STAZIONI", "GRANT SELECT ON COLLI TO ROLE STAZIONI",
                 "GRANT UPDATE (CODICEEAN_ERRATO) ON COLLI TO ROLE STAZIONI", "GRANT INSERT ON LOGSPARATE TO ROLE STAZIONI",
                 "GRANT USAGE ON GENERATOR IDLOGSPARATECOUNTER TO ROLE STAZIONI"})
            db.Execute(sql);
        if (guarded)
            db.Execute("CREATE TRIGGER COLLI_BU FOR COLLI ACTIVE BEFORE UPDATE POSITION 0 AS BEGIN "
                       "IF (CURRENT_ROLE IN ('STAZIONI') AND NEW.CODICEEAN_ERRATO IS DISTINCT FROM "
                       "OLD.CODICEEAN_ERRATO AND OLD.CODICEEAN_ERRATO IS NOT NULL) THEN EXCEPTION; END");
        const auto result = RunCli({"init", db.Name()});
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<const char*> lines = {"created LOGSPARATE.IDSCANSIONE\n", "created LOGSPARATE_BI\n",
                                          "created SCANSIONE_REGISTRATA\n", "created COLLI_MODIFICHE_AIUD\n",
                                          "created COLLI_MODIFICHE_DOPO\n", "created LOGSPARATE_COMMIT\n"};
        if (guarded) {
            lines.insert(lines.end(), {"role STAZIONI: recorded as a station role (named by COLLI_BU)\n",
                                       "role STAZIONI: given exactly the station's rights\n", "updated COLLI_BU\n"});
        } else {
            lines.push_back("role STAZIONI: may update CODICEEAN_ERRATO but is no station role of station-user");
        }
        for (const char* line : lines)
            EXPECT_NE(result.out.find(line), std::string::npos) << line << " in:\n" << result.out;
        const std::vector<std::vector<std::string>> stationRights = {
            {"COLLI S"}, {"COLLI U"}, {"COLLI_MODIFICHE_DOPO X"}, {"LOGSPARATE I"}, {"SCANSIONE_REGISTRATA X"}};
        const std::vector<std::vector<std::string>> oldRights = {
            {"COLLI S"}, {"COLLI U"}, {"IDLOGSPARATECOUNTER G"}, {"LOGSPARATE I"}};
        EXPECT_EQ(db.Query("SELECT TRIM(RDB$RELATION_NAME) || ' ' || TRIM(RDB$PRIVILEGE) FROM RDB$USER_PRIVILEGES "
                           "WHERE RDB$USER='STAZIONI' ORDER BY 1"),
                  guarded ? stationRights : oldRights);
        if (guarded) {
            EXPECT_EQ(RunCli({"init", db.Name()}).out, "nothing to create\n");
        }
    }
}

TEST(AdminCli, ImportInsertsAndUpdatesByBarcode)
{
    TestDatabase db(Where::Embedded);
    db.Execute("INSERT INTO COLLI (BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO) VALUES ('S1', 'old', 'known')");
    QTemporaryDir dir;
    const auto csv = WriteFile(dir, "p.csv", "BARCODESPEED;CODICEEAN;CODICEEAN_ERRATO\nS1;2001234567890\nS2;2001111111111;\nS3;x'y;0011111111110\nS4;first\nS4;second;\n");
    const auto result = RunCli({"import", db.Name(), csv});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "imported 5 parcels\n");

    const auto rows = db.Query("SELECT BARCODESPEED, CODICEEAN, COALESCE(CODICEEAN_ERRATO, '<null>') FROM COLLI ORDER BY 1");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"S1", "2001234567890", "known"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"S2", "2001111111111", "<null>"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"S3", "x'y", "0011111111110"}));
    EXPECT_EQ(rows[3], (std::vector<std::string>{"S4", "second", "<null>"}));
}

TEST(AdminCli, AnyBadLineImportsNothing)
{
    TestDatabase db(Where::Embedded);
    QTemporaryDir dir;
    const std::string longCode(200, '7');
    const auto tooLong = WriteFile(dir, "long.csv", "S1;1\nS2;" + longCode + "\n");
    const auto result = RunCli({"import", db.Name(), tooLong});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("long.csv:2: CODICEEAN is longer than"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("nothing imported"), std::string::npos);

    const auto badCount = WriteFile(dir, "bad.csv", "S1;1\nS2\n");
    EXPECT_EQ(RunCli({"import", db.Name(), badCount}).status, 1);
    EXPECT_TRUE(db.Query("SELECT * FROM COLLI").empty());

    EXPECT_EQ(RunCli({"import", db.Name(), dir.filePath("missing.csv").toStdString()}).status, 1);
}

// A console gets whole characters only: a cut one waits for its other bytes.
TEST(ConsoleText, WholeUtf8Prefix)
{
    const std::pair<std::string, std::size_t> cases[] = {
        {"", 0}, {"abc", 3}, {"Per\xC3\xB2", 5}, {"Per\xC3", 3}, {"\xE2\x82\xAC", 3}, {"a\xE2\x82", 1},
        {"a\xF0\x9F\x93", 1}, {"\xF0\x9F\x93\xA6", 4}, {"\x80\x80\x80\x80\x80", 5},
    };
    for (const auto& [text, whole] : cases)
        EXPECT_EQ(admin::WholeUtf8Prefix(text), whole) << text;
}

TEST(AdminCli, ExportLogOldestFirstWithinDays)
{
    TestDatabase db(Where::Embedded);
    db.Execute("ALTER TRIGGER LOGSPARATE_BI INACTIVE"); // rows of other days, as they were written then
    db.Execute("INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS) VALUES (2, '2026-12-02 10:00:00', 'S;2', NULL, 'BarCodeSpeedSconosciuto')");
    db.Execute("INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS) VALUES (1, '2026-12-01 09:00:00', 'S\xE8', '123', 'EanCorretto')");
    db.Execute("INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS) VALUES (3, '2026-12-03 23:59:59', 'S3', '9', 'EanErrato')");

    const auto all = RunCli({"export-log", db.Name()});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out,
              "\xEF\xBB\xBFID;DATAORA;BARCODESPEED;CODICEEANLETTO;STATUS;UTENTE;POSTAZIONE;DATAORASCANSIONE;DACOPIA\n"
              "1;2026-12-01 09:00:00.0000;S\xC3\xA8;123;EanCorretto;;;;\n"
              "2;2026-12-02 10:00:00.0000;\"S;2\";;BarCodeSpeedSconosciuto;;;;\n"
              "3;2026-12-03 23:59:59.0000;S3;9;EanErrato;;;;\n");

    const auto some = RunCli({"export-log", db.Name(), "--from", "2026-12-02", "--to", "2026-12-03"});
    ASSERT_EQ(some.status, 0) << some.err;
    EXPECT_EQ(some.out.find("1;"), std::string::npos);
    EXPECT_NE(some.out.find("\n2;"), std::string::npos);
    EXPECT_NE(some.out.find("\n3;"), std::string::npos);
}

TEST(AdminCli, WorksOverTheServer)
{
    if (testsupport::ServerAddress().empty())
        GTEST_SKIP() << "no private server";
    TestDatabase db(Where::Server);
    QTemporaryDir dir;
    const auto csv = WriteFile(dir, "p.csv", "S1;2001234567890\n");
    const auto result =
        RunCli({"--user", "SYSDBA", "--password", "plumtrove", "--wait", "3600", "import", db.Name(), csv});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(db.Query("SELECT BARCODESPEED FROM COLLI").size(), 1u);

    const auto wrong = RunCli({"--password", "wrong", "export-log", db.Name()});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err.find("terminate"), std::string::npos);
}

TEST(AdminCli, PasswordComesFromAFileOrTheTerminalOrTheEnvironment)
{
    if (testsupport::ServerAddress().empty())
        GTEST_SKIP() << "no private server";
    TestDatabase db(Where::Server);
    QTemporaryDir dir;
    const auto right = WriteFile(dir, "right", "plumtrove\r\nsecond line\n");
    const auto wrong = WriteFile(dir, "wrong", "wrong\n");
    const struct {
        std::vector<std::string> options;
        admin::PasswordPrompt ask;
        int status;
    } cases[] = {
        {{"--password-file", right}, {}, 0},
        {{"--password-file", wrong}, {}, 1},
        {{"--password-file", dir.filePath("missing").toStdString()}, {}, 1},
        {{"--ask-password"}, Answers({"plumtrove"}), 0},
        {{"--ask-password"}, Answers({"wrong"}), 1},
        {{"--ask-password"}, {}, 1}, // no terminal
        {{"--password", "wrong", "--password-file", right}, {}, 0}, // the last option wins
    };
    for (const auto& c : cases) {
        auto args = c.options;
        args.insert(args.end(), {"export-log", db.Name()});
        const auto result = RunCli(args, c.ask);
        EXPECT_EQ(result.status, c.status) << args[0] << " " << args[1] << ": " << result.err;
    }

    qputenv("ISC_PASSWORD", "wrong");
    EXPECT_EQ(RunCli({"export-log", db.Name()}).status, 1);
    EXPECT_EQ(RunCli({"--password-file", right, "export-log", db.Name()}).status, 0);
    qunsetenv("ISC_PASSWORD");

    // A file every user may read still works, with a word about it; nothing is
    // a password against a server.
#ifndef _WIN32 // Windows keeps its rights in ACLs, not in the mode bits
    std::filesystem::permissions(right, std::filesystem::perms::others_read, std::filesystem::perm_options::add);
    const auto readable = RunCli({"--password-file", right, "export-log", db.Name()});
    EXPECT_EQ(readable.status, 0);
    EXPECT_NE(readable.err.find("warning: every user of this machine can read the password file " + right),
              std::string::npos) << readable.err;
#endif
    const auto none = RunCli({"export-log", db.Name()});
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("no password given"), std::string::npos) << none.err;

    const auto onCommandLine = RunCli({"--password", "plumtrove", "export-log", db.Name()});
    EXPECT_EQ(onCommandLine.status, 0);
    EXPECT_NE(onCommandLine.err.find("warning: --password"), std::string::npos);
}

TEST(AdminCli, StationUserRefusesBadNamesAndPasswordsBeforeTouchingTheDatabase)
{
    QTemporaryDir dir;
    const std::string db = dir.filePath("NONE.FDB").toStdString();
    const struct {
        std::vector<std::string> args;
        admin::PasswordPrompt ask;
    } cases[] = {
        {{"station-user", db, "1abc"}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "a;DROP"}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "sysdba"}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "SYSDBA\n"}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "PUBLIC\n"}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "COLLI_STATION\n"}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "stazione "}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "stazione", "--role", "RUOLO\n"}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "stazione"}, Answers({"Caff\xE8", "Caff\xE8"})}, // not UTF-8
        {{"station-user", db, "stazione", "--role", "RDB$ADMIN"}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "stazione", "--role", "STAZIONE"}, Answers({"Buona1", "Buona1"})},
        {{"station-user", db, "stazione"}, Answers({"Buona1", "Buona2"})},
        {{"station-user", db, "stazione"}, Answers({""})},
        {{"station-user", db, "stazione"}, Answers({" Buona1"})},
        {{"station-user", db, "stazione"}, Answers({"\"Buona1\""})},
        {{"station-user", db, "stazione", "extra"}, {}},
        {{"init", db, "--role", "X"}, {}},
    };
    for (const auto& c : cases) {
        const auto result = RunCli(c.args, c.ask);
        EXPECT_EQ(result.status, 2) << c.args.back() << ": " << result.err;
    }
    EXPECT_EQ(RunCli({"station-user", db, "stazione"}).status, 1); // nobody to ask
    EXPECT_FALSE(std::filesystem::exists(db));
}

TEST(AdminCli, StationUserRunAgainSetsThePasswordAndStripsExtraRights)
{
    if (testsupport::ServerAddress().empty())
        GTEST_SKIP() << "no private server";
    testsupport::PrivateServer server; // users belong to the whole server: one of its own
    ASSERT_TRUE(server.Running());
    const std::string db = server.Address() + ":" + server.Folder() + "A.FDB";
    testsupport::CreateDatabaseAt(db, true);
    testsupport::ExecuteOn(db, "CREATE TABLE ALTRO (X INTEGER)");
    QTemporaryDir dir;
    const auto sysdba = WriteFile(dir, "sysdba", "plumtrove\n");
    EXPECT_EQ(RunCli({"station-user", db, "stazione"}, Answers({"Primo1", "Primo1"})).status, 2); // no password
    const auto first = RunCli({"--password-file", sysdba, "station-user", db, "stazione"}, Answers({"Primo1", "Primo1"}));
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("user STAZIONE: created"), std::string::npos) << first.out;
    // What an operator or a careless administrator may have added since.
    for (const char* sql : {"GRANT SELECT ON ALTRO TO ROLE COLLI_STATION", "GRANT SELECT ON LOGSPARATE TO USER STAZIONE",
                            "CREATE ROLE ALTRO_RUOLO", "GRANT ALTRO_RUOLO TO USER STAZIONE"})
        testsupport::ExecuteOn(db, sql);

    // Not ASCII: the station sends it as UTF-8, as dati.ini gives it.
    const std::string password = "Caff\xC3\xA8\xE2\x82\xAC" "2";
#ifdef _WIN32
    // As Windows keeps it, in UTF-16 (a narrow one would pass through the ANSI code page).
    _wputenv_s(L"COLLI_STATION_PASSWORD", QString::fromStdString(password).toStdWString().c_str());
#else
    qputenv("COLLI_STATION_PASSWORD", QByteArray::fromStdString(password));
#endif
    const auto second = RunCli({"--password-file", sysdba, "station-user", db, "stazione"});
    qunsetenv("COLLI_STATION_PASSWORD");
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.out.find("user STAZIONE: password set"), std::string::npos) << second.out;

    auto granted = [&](const std::string& grantee) {
        std::vector<std::string> lines;
        for (const auto& row : testsupport::QueryOn(
                 db, "SELECT TRIM(RDB$RELATION_NAME) || ' ' || TRIM(RDB$PRIVILEGE) || COALESCE(' ' || "
                     "TRIM(RDB$FIELD_NAME), '') FROM RDB$USER_PRIVILEGES WHERE RDB$USER='" + grantee + "' ORDER BY 1"))
            lines.push_back(row.at(0));
        return lines;
    };
    EXPECT_EQ(granted("COLLI_STATION"),
              (std::vector<std::string>{"COLLI S", "COLLI U CODICEEAN_ERRATO", "COLLI_MODIFICHE_DOPO X",
                                        "LOGSPARATE I", "SCANSIONE_REGISTRATA X"}));
    EXPECT_EQ(granted("STAZIONE"), (std::vector<std::string>{"COLLI_STATION M"}));

    // Only the new password opens the account.
    const auto oldPassword = WriteFile(dir, "old", "Primo1\n");
    const auto newPassword = WriteFile(dir, "new", "\xEF\xBB\xBF" + password + "\n"); // as Notepad saves it
    EXPECT_EQ(RunCli({"--user", "stazione", "--password-file", oldPassword, "export-log", db}).status, 1);
    const auto asStation = RunCli({"--user", "stazione", "--password-file", newPassword, "export-log", db});
    EXPECT_EQ(asStation.status, 1); // logged in, but the log is not the station's to read
    EXPECT_NE(asStation.err.find("no permission for SELECT"), std::string::npos) << asStation.err;

    // Accounts that are more than a station are refused, before anything changes.
    for (const char* sql : {"CREATE USER CAPO PASSWORD 'x1' GRANT ADMIN ROLE", "CREATE USER VICE PASSWORD 'x2'",
                            "GRANT RDB$ADMIN TO USER VICE"})
        testsupport::ExecuteOn(db, sql);
    for (const auto& [user, reason] : {std::pair<std::string, std::string>{"capo", "is a server administrator"},
                                       {"vice", "holds RDB$ADMIN"}, {"stazione", "nothing"}}) {
        const auto result = RunCli({"--password-file", sysdba, "station-user", db, user, "--role", "ALTRO_RUOLO"},
                                   Answers({"Buona1", "Buona1"}));
        EXPECT_EQ(result.err.find(reason) != std::string::npos, result.status != 0) << user << ": " << result.err;
    }
    EXPECT_EQ(granted("CAPO"), std::vector<std::string>{});
}

// The station's account keeps its copy of the parcels through the one
// procedure it was granted, and reaches the change log no other way.
TEST(AdminCli, StationAccountKeepsACopyOfTheParcelsAndNothingMore)
{
    if (testsupport::ServerAddress().empty())
        GTEST_SKIP() << "no private server";
    testsupport::PrivateServer server; // users belong to the whole server: one of its own
    ASSERT_TRUE(server.Running());
    const std::string db = server.Address() + ":" + server.Folder() + "COPIA.FDB";
    testsupport::CreateDatabaseAt(db, true);
    testsupport::ExecuteOn(db, "INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ('SP1', '2001234567890')");
    QTemporaryDir dir;
    const auto sysdba = WriteFile(dir, "sysdba", "plumtrove\n");
    const auto password = WriteFile(dir, "station", "Stazione1\n");
    ASSERT_EQ(RunCli({"--password-file", sysdba, "station-user", db, "stazione", "--station-password-file", password})
                  .status,
              0);

    dataaccess::Connection station;
    station.SetDatabaseName(db);
    station.Params() = {"user_name=STAZIONE", "password=Stazione1", "sql_role_name=COLLI_STATION"};
    station.SetConnected(true);
    dataaccess::Transaction reads(station);
    reads.SetReadCommitted(true);
    reads.SetReadOnly(true);
    const std::string store = dir.filePath("copia.sqlite").toStdString();
    {
        parcels::ParcelCopy copy(store, station, reads);
        ASSERT_TRUE(copy.Fill());
        EXPECT_TRUE(copy.Find("SP1"));
        // The station's own batch fills a faulty EAN: the change is logged for it too.
        dataaccess::Transaction writes(station);
        writes.SetActive(true);
        dataaccess::SqlStatement fill(station, writes);
        fill.AddLine("UPDATE COLLI SET CODICEEAN_ERRATO = '0012345678905' WHERE BARCODESPEED = 'SP1'");
        fill.ExecQuery();
        writes.Commit();
        testsupport::ExecuteOn(db, "INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ('SP2', '2001111111111')");
        EXPECT_EQ(copy.Refresh().changes, 2);
        ASSERT_TRUE(copy.Find("SP1"));
        EXPECT_EQ(copy.Find("SP1")->codiceEanErrato, "0012345678905");
        EXPECT_TRUE(copy.Find("SP2"));
    }

    for (const char* sql : {"SELECT N FROM COLLI_MODIFICHE", "SELECT PRIMA FROM COLLI_SCRITTORI",
                            "DELETE FROM COLLI_MODIFICHE", "EXECUTE PROCEDURE COLLI_MODIFICHE_POTA(0)",
                            "SELECT GEN_ID(COLLI_MODIFICHE_N, 1) FROM RDB$DATABASE",
                            "SELECT GEN_ID(COLLI_MODIFICHE_POTATE, 0) FROM RDB$DATABASE"}) {
        dataaccess::Transaction transaction(station);
        transaction.SetActive(true);
        dataaccess::SqlStatement statement(station, transaction);
        statement.AddLine(sql);
        try {
            statement.ExecQuery();
            ADD_FAILURE() << "the server allowed: " << sql;
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find("no permission"), std::string::npos) << sql << ": " << e.what();
        }
    }

    // A role without the procedure gives no copy, and says why.
    testsupport::ExecuteOn(db, "REVOKE EXECUTE ON PROCEDURE COLLI_MODIFICHE_DOPO FROM ROLE COLLI_STATION");
    station.SetConnected(false);
    std::filesystem::remove(store);
    parcels::ParcelCopy copy(store, station, reads);
    try {
        copy.Fill();
        ADD_FAILURE() << "filled without the right to read the changes";
    } catch (const parcels::CopyUnavailableError& e) {
        EXPECT_NE(std::string(e.what()).find("COLLI_MODIFICHE_DOPO"), std::string::npos) << e.what();
    }
}

#ifndef _WIN32
// A pseudo-terminal: the Windows console prompt is left to a real console.
TEST(AdminCli, PasswordAskedOnTheTerminalIsNotShown)
{
    QTemporaryDir dir;
    const std::string db = dir.filePath("T.FDB").toStdString();
    ASSERT_EQ(RunCli({"init", db}).status, 0);

    const struct {
        std::string typed;
        int status;
    } cases[] = {
        {"segreto42\n", 0},
        {"segr\x03", 130}, // Ctrl+C at the prompt
    };
    for (const auto& c : cases) {
        int terminal = -1;
        const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
        ASSERT_GE(child, 0);
        if (child == 0) {
            execl(COLLI_ADMIN_PROGRAM, "colli-admin", "--ask-password", "export-log", db.c_str(), nullptr);
            _exit(127);
        }
        std::string seen;
        auto readUntil = [&](const std::string& wanted) {
            char buffer[256];
            while (seen.find(wanted) == std::string::npos) {
                const ssize_t n = read(terminal, buffer, sizeof buffer);
                if (n <= 0)
                    return false;
                seen.append(buffer, static_cast<size_t>(n));
            }
            return true;
        };
        ASSERT_TRUE(readUntil("Password of SYSDBA: ")) << seen;
        ASSERT_EQ(write(terminal, c.typed.data(), c.typed.size()), static_cast<ssize_t>(c.typed.size()));
        int status = 0;
        waitpid(child, &status, 0);
        termios after{};
        ASSERT_EQ(tcgetattr(terminal, &after), 0);
        readUntil("never there"); // to the end of the output
        close(terminal);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status << ": " << seen;
        EXPECT_NE(after.c_lflag & ECHO, 0u) << "the terminal was left without echo";
        EXPECT_EQ(seen.find("segr"), std::string::npos) << seen;
        if (c.status == 0) {
            EXPECT_NE(seen.find("ID;DATAORA"), std::string::npos) << seen;
        }
    }
}

#endif

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
