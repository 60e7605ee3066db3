#include "AdminCli.h"

#include "TestDatabase.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <fstream>
#include <sstream>

using testsupport::TestDatabase;
using testsupport::Where;

namespace {

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

CliResult RunCli(std::vector<std::string> args)
{
    std::ostringstream out, err;
    const int status = admin::RunAdminCli(args, out, err, false);
    return {status, out.str(), err.str()};
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
    EXPECT_EQ(log.out, "ID;DATAORA;BARCODESPEED;CODICEEANLETTO;STATUS\n");
}

TEST(AdminCli, InitFillsInWhatAnOlderDatabaseLacks)
{
    TestDatabase db(Where::Embedded, false);
    db.Execute("CREATE TABLE COLLI (BARCODESPEED VARCHAR(64), CODICEEAN VARCHAR(64), CODICEEAN_ERRATO VARCHAR(64))");
    const auto result = RunCli({"init", db.Name()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.find("created COLLI"), std::string::npos);
    EXPECT_NE(result.out.find("created LOGSPARATE"), std::string::npos);
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

TEST(AdminCli, ExportLogOldestFirstWithinDays)
{
    TestDatabase db(Where::Embedded);
    db.Execute("INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS) VALUES (2, '2026-12-02 10:00:00', 'S;2', NULL, 'BarCodeSpeedSconosciuto')");
    db.Execute("INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS) VALUES (1, '2026-12-01 09:00:00', 'S\xE8', '123', 'EanCorretto')");
    db.Execute("INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS) VALUES (3, '2026-12-03 23:59:59', 'S3', '9', 'EanErrato')");

    const auto all = RunCli({"export-log", db.Name()});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out,
              "ID;DATAORA;BARCODESPEED;CODICEEANLETTO;STATUS\n"
              "1;2026-12-01 09:00:00.0000;S\xC3\xA8;123;EanCorretto\n"
              "2;2026-12-02 10:00:00.0000;\"S;2\";;BarCodeSpeedSconosciuto\n"
              "3;2026-12-03 23:59:59.0000;S3;9;EanErrato\n");

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
    const auto result = RunCli({"--user", "SYSDBA", "--password", "plumtrove", "import", db.Name(), csv});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(db.Query("SELECT BARCODESPEED FROM COLLI").size(), 1u);

    const auto wrong = RunCli({"--password", "wrong", "export-log", db.Name()});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err.find("terminate"), std::string::npos);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
