#include "ParcelsTestSupport.h"
#include "PrivateServer.h"

#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <parcels/ScanLog.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using parcelstest::Station;
using testsupport::TestDatabase;
using testsupport::Where;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ScanLog : public ::testing::Test {
protected:
    TestDatabase database{Where::Embedded};
    Station station{database};
    std::vector<std::string> errors;

    bool Write(const std::string& barcodeSpeed, const std::string& eanRead, const std::string& status)
    {
        return parcels::WriteScanLog(station.connection, station.transaction, barcodeSpeed, eanRead,
                                     status, [this](const std::string& text) { errors.push_back(text); });
    }

    // Committed log rows, as another station sees them.
    std::vector<std::vector<std::string>> Rows()
    {
        return database.Query("SELECT ID, BARCODESPEED, COALESCE(CODICEEANLETTO, '<NULL>'), STATUS, "
                              "CHAR_LENGTH(BARCODESPEED), CASE WHEN DATAORA BETWEEN "
                              "DATEADD(-1 MINUTE TO CURRENT_TIMESTAMP) AND CURRENT_TIMESTAMP "
                              "THEN 'now' ELSE 'old' END FROM LOGSPARATE ORDER BY ID");
    }
};

TEST_F(ScanLog, InsertTextOfAnUnknownCourierBarcode)
{
    const std::vector<std::string> expected = {
        "INSERT INTO LOGSPARATE(", "ID,", "DATAORA,", "BARCODESPEED,", "CODICEEANLETTO,", "STATUS", ")",
        "VALUES(", "GEN_ID(IDLOGSPARATECOUNTER,1),", "CURRENT_TIMESTAMP,", "'123456',", "NULL,",
        "'BarCodeSpeedSconosciuto'", ")"};
    EXPECT_EQ(parcels::ScanLogInsertLines("123456", "", parcels::kBarCodeSpeedSconosciuto), expected);
    EXPECT_EQ(parcels::ScanLogInsertLines("1", "800", parcels::kEanErrato)[11], "'800',");
}

TEST_F(ScanLog, StoresOneCommittedRowPerCall)
{
    ASSERT_TRUE(Write("123456", "", parcels::kBarCodeSpeedSconosciuto));
    EXPECT_FALSE(station.transaction.Active());
    ASSERT_TRUE(Write("SP1", "8001234567890", parcels::kEanCorretto));
    EXPECT_FALSE(station.transaction.Active());
    EXPECT_TRUE(errors.empty());

    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1], "123456");
    EXPECT_EQ(rows[0][2], "<NULL>");
    EXPECT_EQ(rows[0][3], "BarCodeSpeedSconosciuto");
    EXPECT_EQ(rows[0][5], "now");
    EXPECT_EQ(rows[1][1], "SP1");
    EXPECT_EQ(rows[1][2], "8001234567890");
    EXPECT_EQ(rows[1][3], "EanCorretto");
    EXPECT_LT(std::stoll(rows[0][0]), std::stoll(rows[1][0]));
}

TEST_F(ScanLog, StoresValuesExactlyAsRead)
{
    const std::vector<std::string> codes = {
        " 123456 ", "x' OR '1'='1", "O'Brien", "''", "a:b", "caff\xE8", "'); DELETE FROM COLLI; --"};
    database.Execute(parcelstest::ParcelInsert("KEEP", "2001234567890"));
    for (const std::string& code : codes)
        ASSERT_TRUE(Write(code, code, parcels::kCodiceEanSconosciuto)) << code;
    EXPECT_TRUE(errors.empty());

    const auto rows = Rows();
    ASSERT_EQ(rows.size(), codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(rows[i][1], codes[i]);
        EXPECT_EQ(rows[i][2], codes[i]);
        EXPECT_EQ(rows[i][4], std::to_string(codes[i].size()));
    }
    EXPECT_EQ(database.Query("SELECT COUNT(*) FROM COLLI")[0][0], "1");
}

TEST_F(ScanLog, CommitsTheReadALookupLeftOpen)
{
    database.Execute(parcelstest::ParcelInsert("SP1", "2001234567890"));
    {
        dataaccess::SqlQuery lookup(station.connection, station.transaction);
        lookup.AddLine("SELECT * FROM COLLI WHERE BARCODESPEED = 'SP1'");
        lookup.Open();
    }
    ASSERT_TRUE(station.transaction.Active());
    ASSERT_TRUE(Write("SP1", "2001234567890", parcels::kEanCorretto));
    EXPECT_FALSE(station.transaction.Active());
    EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(ScanLog, MissingTableIsShownAndLeavesTheTransactionOpen)
{
    database.Execute("DROP TABLE LOGSPARATE");
    EXPECT_FALSE(Write("123456", "", parcels::kBarCodeSpeedSconosciuto));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], StartsWith("Impossibile storicizzare nel log la scansione:\r"));
    EXPECT_THAT(errors[0], HasSubstr("LOGSPARATE"));
    EXPECT_TRUE(station.transaction.Active());

    // The station goes on: the next read runs in the transaction left open.
    dataaccess::SqlQuery lookup(station.connection, station.transaction);
    lookup.AddLine("SELECT COUNT(*) AS N FROM COLLI");
    lookup.Open();
    EXPECT_EQ(lookup.FieldInteger("N"), 0);
}

TEST_F(ScanLog, TooLongValueIsShownNotThrown)
{
    EXPECT_FALSE(Write(std::string(5000, '7'), "", parcels::kBarCodeSpeedSconosciuto));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], StartsWith("Impossibile storicizzare nel log la scansione:\r"));
    EXPECT_TRUE(Rows().empty());
}

TEST(ScanLogWithoutDatabase, FailureToStartTheTransactionReachesTheCaller)
{
    dataaccess::Connection connection;
    dataaccess::Transaction transaction(connection);
    connection.SetDefaultTransaction(&transaction);
    bool shown = false;
    EXPECT_THROW(parcels::WriteScanLog(connection, transaction, "1", "", parcels::kEanCorretto,
                                       [&](const std::string&) { shown = true; }),
                 dataaccess::DatabaseError);
    EXPECT_FALSE(shown);
}

// The log on a server of its own, which the test kills with SIGKILL and starts
// again on the same port.
class ScanLogOverLostLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (testsupport::ServerAddress().empty())
            GTEST_SKIP() << "COLLI_FB_SERVER not set";
        ASSERT_TRUE(server.Running());
        name = server.Address() + ":" + server.Folder() + "LOG.FDB";
        testsupport::CreateDatabaseAt(name, true);
        testsupport::ExecuteOn(name, parcelstest::ParcelInsert("SP1", "2001234567890"));
        connection.SetDatabaseName(name);
        connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
        connection.SetConnected(true);
    }

    bool Write(const std::string& barcodeSpeed, const std::function<void()>& beforeCommit = {})
    {
        return parcels::WriteScanLog(connection, transaction, barcodeSpeed, "", parcels::kEanCorretto,
                                     [this](const std::string& text) { errors.push_back(text); },
                                     beforeCommit);
    }
    void Lookup()
    {
        dataaccess::SqlQuery lookup(connection, transaction);
        lookup.AddLine("SELECT * FROM COLLI WHERE BARCODESPEED = 'SP1'");
        lookup.Open();
    }
    std::vector<std::string> Logged()
    {
        std::vector<std::string> codes;
        for (const auto& row : testsupport::QueryOn(name, "SELECT BARCODESPEED FROM LOGSPARATE ORDER BY ID"))
            codes.push_back(row[0]);
        return codes;
    }

    testsupport::PrivateServer server;
    std::string name;
    dataaccess::Connection connection;
    dataaccess::Transaction transaction{connection};
    std::vector<std::string> errors;
};

TEST_F(ScanLogOverLostLink, InsertOnADeadLinkIsMadeOnceMoreAfterAttachingAgain)
{
    Lookup(); // the read a found courier barcode leaves open
    server.Restart();
    EXPECT_TRUE(Write("AFTER-READ"));

    server.Restart(); // no transaction open when the link died
    EXPECT_TRUE(Write("NO-READ"));

    Lookup();
    server.Kill(); // still away when the insert is tried again: shown at once
    EXPECT_FALSE(Write("DOWN"));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], StartsWith("Impossibile storicizzare nel log la scansione:\r"));
    EXPECT_FALSE(connection.Connected());

    server.Restart();
    EXPECT_TRUE(Write("BACK"));
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(Logged(), (std::vector<std::string>{"AFTER-READ", "NO-READ", "BACK"}));
}

TEST_F(ScanLogOverLostLink, LinkLostDuringTheCommitIsShownAndNotInsertedAgain)
{
    // The insert is executed; the server dies and is back before the commit is
    // sent, so a second insert would succeed and be a duplicate.
    EXPECT_FALSE(Write("UNKNOWN-OUTCOME", [this] { server.Restart(); }));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], StartsWith("Impossibile storicizzare nel log la scansione:\r"));
    EXPECT_FALSE(transaction.Active());
    EXPECT_TRUE(Logged().empty());

    EXPECT_TRUE(Write("NEXT"));
    EXPECT_EQ(Logged(), std::vector<std::string>{"NEXT"});
}

} // namespace
