#include "ParcelsTestSupport.h"

#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <parcels/WrongEanBatch.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <ostream>

namespace testsupport {
void PrintTo(Where where, std::ostream* out) { *out << (where == Where::Embedded ? "embedded" : "server"); }
} // namespace testsupport

namespace {

using parcelstest::ParcelInsert;
using parcelstest::RecordingUi;
using parcelstest::Station;
using testsupport::TestDatabase;
using testsupport::Where;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kNothingToFill =
    "Warning: Non \xC3\xA8 stato trovato nessun record con il campo \"CODICEEAN_ERRATO\" da valorizzare";
const std::string kCompleted = "Information: Elaborazione completata";

std::string Confirmation(const std::string& count)
{
    return "Confirm: Trovati " + count + " record da valorizzare: procedere?";
}

class WrongEanBatch : public ::testing::Test {
protected:
    TestDatabase database{Where::Embedded};
    Station station{database};
    RecordingUi ui;

    void Run() { parcels::RunWrongEanBatch(station.connection, station.transaction, ui); }

    // BARCODESPEED -> CODICEEAN_ERRATO as committed, NULL as "<NULL>".
    std::map<std::string, std::string> FaultyEans()
    {
        std::map<std::string, std::string> result;
        for (const auto& row : database.Query(
                 "SELECT BARCODESPEED, COALESCE(CODICEEAN_ERRATO, '<NULL>') FROM COLLI"))
            result[row[0]] = row[1];
        return result;
    }
};

TEST_F(WrongEanBatch, FillsEveryEligibleParcelAndLeavesTheRest)
{
    database.Execute(ParcelInsert("A1", "2001234567890"));
    database.Execute(ParcelInsert("A2", "2001111111111"));
    database.Execute(ParcelInsert("A3", "X001234567890"));       // a letter first is dropped anyway
    database.Execute(ParcelInsert("B12", "200123456789"));       // 12 characters
    database.Execute(ParcelInsert("B14", "20012345678901"));     // 14 characters
    database.Execute(ParcelInsert("C1", "2001234567890", ""));   // already set, even if empty
    database.Execute(ParcelInsert("C2", "2001234567890", "1234567890128"));

    Run();

    EXPECT_THAT(ui.messages, ElementsAre(Confirmation("3"), kCompleted));
    EXPECT_FALSE(station.transaction.Active());
    EXPECT_EQ(ui.progressFinished, 1);
    const std::map<std::string, std::string> expected = {
        {"A1", "0012345678905"}, {"A2", "0011111111110"}, {"A3", "0012345678905"},
        {"B12", "<NULL>"},       {"B14", "<NULL>"},       {"C1", ""},
        {"C2", "1234567890128"}};
    EXPECT_EQ(FaultyEans(), expected);

    // Right after a complete run nothing is left to fill.
    ui.messages.clear();
    Run();
    EXPECT_THAT(ui.messages, ElementsAre(kNothingToFill));
    EXPECT_FALSE(station.transaction.Active());
}

TEST_F(WrongEanBatch, EmptyTableOnlyWarns)
{
    Run();
    EXPECT_THAT(ui.messages, ElementsAre(kNothingToFill));
    EXPECT_FALSE(station.transaction.Active());
}

TEST_F(WrongEanBatch, AnswerNoChangesNothing)
{
    database.Execute(ParcelInsert("A1", "2001234567890"));
    database.Execute(ParcelInsert("A2", "2001111111111"));
    ui.answer = false;
    Run();
    EXPECT_THAT(ui.messages, ElementsAre(Confirmation("2")));
    EXPECT_FALSE(station.transaction.Active());
    EXPECT_EQ(FaultyEans(), (std::map<std::string, std::string>{{"A1", "<NULL>"}, {"A2", "<NULL>"}}));
}

TEST_F(WrongEanBatch, LetterAmongTheTwelveRollsBackTheWholeRun)
{
    database.Execute(ParcelInsert("A1", "2001234567890"));
    database.Execute(ParcelInsert("A2", "2001234567890"));
    database.Execute(ParcelInsert("B1", "2ab1234567890"));
    database.Execute(ParcelInsert("C1", "2001234567890"));

    try {
        Run();
        ADD_FAILURE() << "the run went through";
    } catch (const parcels::InvalidIntegerError& error) {
        EXPECT_STREQ(error.what(), "'b' is not a valid integer value");
    }
    EXPECT_THAT(ui.messages, ElementsAre(Confirmation("4")));
    EXPECT_EQ(ui.progressFinished, 1);
    EXPECT_FALSE(station.transaction.Active());
    for (const auto& [code, faulty] : FaultyEans())
        EXPECT_EQ(faulty, "<NULL>") << code;
}

TEST_F(WrongEanBatch, PendingLookupIsRolledBackAndAFreshSnapshotIsUsed)
{
    database.Execute(ParcelInsert("A1", "2001234567890"));
    {
        dataaccess::SqlQuery lookup(station.connection, station.transaction);
        lookup.AddLine("SELECT * FROM COLLI WHERE BARCODESPEED = 'A1'");
        lookup.Open();
        EXPECT_EQ(lookup.FieldText("CODICEEAN"), "2001234567890");
    }
    // Uncommitted work in the pending transaction shows whether it is rolled back.
    {
        dataaccess::SqlStatement pending(station.connection, station.transaction);
        pending.AddLine("INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, STATUS) "
                        "VALUES (-1, CURRENT_TIMESTAMP, 'A1', 'EanCorretto')");
        pending.ExecQuery();
    }
    // Committed elsewhere after the pending snapshot began.
    database.Execute(ParcelInsert("N1", "2001111111111"));

    Run();
    EXPECT_THAT(ui.messages, ElementsAre(Confirmation("2"), kCompleted));
    EXPECT_FALSE(station.transaction.Active());
    EXPECT_EQ(FaultyEans(),
              (std::map<std::string, std::string>{{"A1", "0012345678905"}, {"N1", "0011111111110"}}));
    EXPECT_EQ(database.Query("SELECT COUNT(*) FROM LOGSPARATE")[0][0], "0");
}

TEST_F(WrongEanBatch, FailedRowQueryReachesTheCallerAfterTheRollback)
{
    database.Execute("DROP TABLE COLLI");
    EXPECT_THROW(Run(), dataaccess::DatabaseError);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_FALSE(station.transaction.Active());
}

TEST_F(WrongEanBatch, ReportsProgressAlongTheLoop)
{
    parcelstest::FillParcels(database, 600);
    Run();
    EXPECT_THAT(ui.messages, ElementsAre(Confirmation("600"), kCompleted));
    EXPECT_THAT(ui.progress, ElementsAre(std::pair<long long, long long>{0, 600},
                                         std::pair<long long, long long>{256, 600},
                                         std::pair<long long, long long>{512, 600}));
    EXPECT_EQ(ui.progressFinished, 1);
    EXPECT_EQ(database.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO = '0012345678905'")[0][0],
              "600");
}

// Cases run on the embedded engine and on the private server alike.
class WrongEanBatchOn : public ::testing::TestWithParam<Where> {
protected:
    void SetUp() override
    {
        if (GetParam() == Where::Server && testsupport::ServerAddress().empty())
            GTEST_SKIP() << "no private server (COLLI_FB_SERVER)";
    }
};

TEST_P(WrongEanBatchOn, SharedBarcodeSpeedGetsTheLaterRowsValue)
{
    TestDatabase database(GetParam());
    database.Execute(ParcelInsert("D1", "2001234567890"));
    database.Execute(ParcelInsert("D1", "2001111111111"));
    database.Execute(ParcelInsert("E1", "2001234567890"));
    const auto order = database.Query(
        "SELECT BARCODESPEED, CODICEEAN FROM COLLI WHERE CODICEEAN_ERRATO IS NULL "
        "AND CHAR_LENGTH(CODICEEAN)=13 ORDER BY BARCODESPEED");
    ASSERT_EQ(order.size(), 3u);
    ASSERT_EQ(order[0][0], "D1");
    ASSERT_EQ(order[1][0], "D1");

    Station station(database);
    RecordingUi ui;
    parcels::RunWrongEanBatch(station.connection, station.transaction, ui);

    EXPECT_THAT(ui.messages, ElementsAre(Confirmation("3"), kCompleted));
    const auto rows = database.Query(
        "SELECT CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED = 'D1'");
    ASSERT_EQ(rows.size(), 2u);
    // Both rows reach the loop as they were read, so the later one's value wins
    // on both rows, embedded as over the network.
    EXPECT_EQ(rows[0][0], parcels::FaultyEan(order[1][1])) << "not the later row's value";
    EXPECT_EQ(rows[1][0], parcels::FaultyEan(order[1][1]));
    EXPECT_EQ(database.Query("SELECT CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED = 'E1'")[0][0],
              "0012345678905");
}

// A row changed and committed by another station after the run's snapshot began
// makes its update fail with the server's conflict text.
TEST_P(WrongEanBatchOn, FailedUpdateIsShownAndRolledBack)
{
    TestDatabase database(GetParam());
    database.Execute(ParcelInsert("A1", "2001234567890"));
    database.Execute(ParcelInsert("A2", "2001234567890"));
    database.Execute(ParcelInsert("A3", "2001234567890"));
    Station station(database);
    Station other(database);
    RecordingUi ui;
    ui.onConfirm = [&] {
        other.transaction.SetActive(true);
        dataaccess::SqlStatement change(other.connection, other.transaction);
        change.AddLine("UPDATE COLLI SET CODICEEAN = '2001111111111' WHERE BARCODESPEED = 'A2'");
        change.ExecQuery();
        other.transaction.Commit();
    };

    parcels::RunWrongEanBatch(station.connection, station.transaction, ui);

    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0], Confirmation("3"));
    EXPECT_THAT(ui.messages[1], StartsWith("Error: Errore interno durante l'elaborazione:\r"));
    EXPECT_THAT(ui.messages[1], HasSubstr("update conflicts with concurrent update"));
    EXPECT_EQ(ui.progressFinished, 1);
    EXPECT_FALSE(station.transaction.Active());
    const auto rows = database.Query(
        "SELECT BARCODESPEED, CODICEEAN, COALESCE(CODICEEAN_ERRATO, '<NULL>') FROM COLLI ORDER BY 1");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"A1", "2001234567890", "<NULL>"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"A2", "2001111111111", "<NULL>"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"A3", "2001234567890", "<NULL>"}));
}

INSTANTIATE_TEST_SUITE_P(Where, WrongEanBatchOn,
                         ::testing::Values(Where::Embedded, Where::Server),
                         [](const auto& info) {
                             return std::string(info.param == Where::Embedded ? "Embedded" : "Server");
                         });

} // namespace
