#include "ParcelsTestSupport.h"

#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <parcels/WrongEanBatch.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>
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
using ::testing::Not;
using ::testing::StartsWith;

const std::string kNothingToFill =
    "Warning: Non \xC3\xA8 stato trovato nessun record con il campo \"CODICEEAN_ERRATO\" da valorizzare";
const std::string kCompleted = "Information: Elaborazione completata";

std::string Confirmation(const std::string& count)
{
    return "Confirm: Trovati " + count + " record da valorizzare: procedere?";
}

// What another station does while the operator reads the confirmation: it
// changes one parcel's EAN and commits, so the run's update of it conflicts.
std::function<void()> OtherStationChangesEan(Station& other, const std::string& barcodeSpeed)
{
    return [&other, barcodeSpeed] {
        other.transaction.SetActive(true);
        dataaccess::SqlStatement change(other.connection, other.transaction);
        change.AddLine("UPDATE COLLI SET CODICEEAN = '2001111111111' WHERE BARCODESPEED = '" + barcodeSpeed + "'");
        change.ExecQuery();
        other.transaction.Commit();
    };
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
    database.Execute("DROP PROCEDURE COLLI_MODIFICHE_DOPO"); // it reads the table
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
    // Reading the rows fills the first half, the updates the second.
    EXPECT_THAT(ui.progress, ElementsAre(std::pair<long long, long long>{0, 600},
                                         std::pair<long long, long long>{128, 600},
                                         std::pair<long long, long long>{256, 600},
                                         std::pair<long long, long long>{428, 600},
                                         std::pair<long long, long long>{556, 600}));
    EXPECT_EQ(ui.progressFinished, 1);
    EXPECT_EQ(database.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO = '0012345678905'")[0][0],
              "600");
}

// The operator's stop, before the rows are read, while they are read, after
// one chunk and after two were sent: nothing of the run is committed.
TEST_F(WrongEanBatch, StopAnywhereInTheLoopLeavesNothing)
{
    parcelstest::FillParcels(database, 3000);
    for (const std::size_t stopAfter : {1, 5, 14, 20}) {
        SCOPED_TRACE(stopAfter);
        ui = RecordingUi{};
        ui.stopAfterProgress = stopAfter;
        Run();
        EXPECT_THAT(ui.messages, ElementsAre(Confirmation(parcels::FormatCount(3000)),
                                             std::string("Warning: ") + parcels::kBatchStoppedText));
        EXPECT_EQ(ui.progressFinished, 1);
        EXPECT_FALSE(station.transaction.Active());
        EXPECT_EQ(database.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL")[0][0], "0");
    }
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
    ui.onConfirm = OtherStationChangesEan(other, "A2");

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

// The batch's derivation written out again: characters 2 to 13 and the EAN-13
// check digit over them (weights 1, 3, 1, 3, ... from the left).
std::string ReferenceFaultyEan(const std::string& codiceEan)
{
    const std::string twelve = codiceEan.substr(1, 12);
    int sum = 0;
    for (std::size_t i = 0; i < twelve.size(); ++i)
        sum += (twelve[i] - '0') * (i % 2 == 0 ? 1 : 3);
    return twelve + static_cast<char>('0' + (10 - sum % 10) % 10);
}

// `count` eligible parcels K000001... with distinct EANs; the parcels at sorted
// positions `sharedFrom` to `sharedTo` (1-based) all carry the code of the first
// of them, inserted in order; position `badAt` gets a letter among the twelve.
void FillNumbered(TestDatabase& database, int count, int sharedFrom, int sharedTo, int badAt = 0)
{
    database.Execute(
        "EXECUTE BLOCK AS DECLARE I INTEGER = 1; BEGIN WHILE (I <= " + std::to_string(count) +
        ") DO BEGIN INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ("
        "'K' || LPAD(IIF(:I BETWEEN " + std::to_string(sharedFrom) + " AND " + std::to_string(sharedTo) +
        ", " + std::to_string(sharedFrom) + ", :I), 6, '0'), "
        "IIF(:I = " + std::to_string(badAt) + ", '20012345b7890', '2' || LPAD(:I * 7919, 12, '0'))); "
        "I = I + 1; END END");
}

// Every parcel's faulty EAN after a complete run, derived from the rows as they
// stand before it: the eligible ones in the batch's order, the later row's value
// winning for a shared code; a value already set stays.
std::vector<std::vector<std::string>> ExpectedAfterRun(TestDatabase& database)
{
    // The server compares codes without regard to trailing blanks.
    auto key = [](std::string code) { return code.erase(code.find_last_not_of(' ') + 1); };
    std::map<std::string, std::string> last;
    for (const auto& row : database.Query(
             "SELECT BARCODESPEED, CODICEEAN FROM COLLI WHERE CODICEEAN_ERRATO IS NULL "
             "AND CHAR_LENGTH(CODICEEAN)=13 ORDER BY BARCODESPEED"))
        last[key(row[0])] = ReferenceFaultyEan(row[1]);
    std::vector<std::vector<std::string>> expected;
    for (const auto& row : database.Query(
             "SELECT BARCODESPEED, CODICEEAN, COALESCE(CODICEEAN_ERRATO, '<NULL>') FROM COLLI ORDER BY 2"))
        expected.push_back({row[0], row[1], row[2] == "<NULL>" && last.count(key(row[0])) ? last[key(row[0])] : row[2]});
    return expected;
}

const char* const kAllRows =
    "SELECT BARCODESPEED, CODICEEAN, COALESCE(CODICEEAN_ERRATO, '<NULL>') FROM COLLI ORDER BY 2";

// Rows that share a code are all delivered and processed, wherever they fall
// against the rows the client reads ahead and the chunks the updates go in.
TEST_P(WrongEanBatchOn, EveryAnnouncedRowIsProcessedWhateverCodesItShares)
{
    struct Case {
        int count, sharedFrom, sharedTo;
    };
    for (const Case& c : {Case{400, 255, 257}, Case{1300, 250, 1249}, Case{600, 596, 600}}) {
        SCOPED_TRACE(std::to_string(c.sharedTo - c.sharedFrom + 1) + " shared from " +
                     std::to_string(c.sharedFrom));
        TestDatabase database(GetParam());
        FillNumbered(database, c.count, c.sharedFrom, c.sharedTo);
        const auto expected = ExpectedAfterRun(database);

        Station station(database);
        RecordingUi ui;
        parcels::RunWrongEanBatch(station.connection, station.transaction, ui);

        EXPECT_THAT(ui.messages, ElementsAre(Confirmation(parcels::FormatCount(c.count)), kCompleted));
        EXPECT_FALSE(station.transaction.Active());
        EXPECT_TRUE(database.Query(kAllRows) == expected) << "some rows were skipped or got another value";
    }
}

// A parcel whose faulty EAN is set keeps it beside parcels of the same code
// that lack one, whichever row comes first, also within a code whose rows
// span more than one chunk.
TEST_P(WrongEanBatchOn, ValuesAlreadySetStayBesideEmptyParcelsOfTheSameCode)
{
    for (const bool setFirst : {true, false}) {
        SCOPED_TRACE(setFirst ? "set row first" : "set row last");
        TestDatabase database(GetParam());
        const std::string set = ParcelInsert("S1", "2001111111111", "SET BY ADMIN");
        const std::string empty = ParcelInsert("S1", "2001234567890");
        database.Execute(setFirst ? set : empty);
        database.Execute(setFirst ? empty : set);
        FillNumbered(database, 1300, 900, 1200);
        database.Execute("UPDATE COLLI SET CODICEEAN_ERRATO = 'SET IN GROUP' WHERE CODICEEAN = '2' || LPAD(" +
                         std::string(setFirst ? "900" : "1200") + " * 7919, 12, '0')");
        const auto expected = ExpectedAfterRun(database);

        Station station(database);
        RecordingUi ui;
        parcels::RunWrongEanBatch(station.connection, station.transaction, ui);

        EXPECT_THAT(ui.messages, ElementsAre(Confirmation(parcels::FormatCount(1300)), kCompleted));
        EXPECT_TRUE(database.Query(kAllRows) == expected) << "a set value was overwritten or a row skipped";
        EXPECT_EQ(database.Query("SELECT CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED = 'S1' ORDER BY CODICEEAN"),
                  (std::vector<std::vector<std::string>>{{"SET BY ADMIN"}, {"0012345678905"}}));
        EXPECT_EQ(database.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO LIKE 'SET%'")[0][0], "2");
    }
}

// Codes travel to the server inside the chunk exactly as read: quotes, colons,
// 8-bit bytes, the column's full width, and codes equal but for trailing blanks
// (the later row's value for both, as the server compares them).
TEST_P(WrongEanBatchOn, CodesReachTheServerAsRead)
{
    TestDatabase database(GetParam());
    const std::vector<std::string> codes = {"Q'1:X", ":BARCODESPEED", "\xE8\xE9\xFF", std::string(64, 'W'),
                                            "T", "T  ", "/* x */"};
    for (std::size_t i = 0; i < codes.size(); ++i)
        database.Execute(ParcelInsert(codes[i], "2" + std::to_string(100000000000 + 7919 * i)));
    const auto expected = ExpectedAfterRun(database);

    Station station(database);
    RecordingUi ui;
    parcels::RunWrongEanBatch(station.connection, station.transaction, ui);

    EXPECT_THAT(ui.messages, ElementsAre(Confirmation("7"), kCompleted));
    EXPECT_EQ(database.Query(kAllRows), expected);
}

// A bad character in the middle of the second chunk: the first chunk has already
// gone to the server, yet the message names the character and nothing stays.
TEST_P(WrongEanBatchOn, ConversionErrorInALaterChunkLeavesNothing)
{
    TestDatabase database(GetParam());
    const int badAt = static_cast<int>(parcels::kBatchChunkRows + parcels::kBatchChunkRows / 2);
    FillNumbered(database, badAt + 100, 10, 12, badAt);
    const auto before = database.Query(kAllRows);

    Station station(database);
    RecordingUi ui;
    try {
        parcels::RunWrongEanBatch(station.connection, station.transaction, ui);
        ADD_FAILURE() << "the run went through";
    } catch (const parcels::InvalidIntegerError& error) {
        EXPECT_STREQ(error.what(), "'b' is not a valid integer value");
    }
    EXPECT_THAT(ui.messages, ElementsAre(Confirmation(parcels::FormatCount(badAt + 100))));
    EXPECT_EQ(ui.progressFinished, 1);
    EXPECT_FALSE(station.transaction.Active());
    EXPECT_TRUE(database.Query(kAllRows) == before);
}

// A conflict on a row of the second chunk: the server's text as for a single
// update, and the chunk already sent is rolled back with the rest.
TEST_P(WrongEanBatchOn, LockConflictInALaterChunkIsShownAndRolledBack)
{
    TestDatabase database(GetParam());
    const int count = static_cast<int>(parcels::kBatchChunkRows) + 100;
    const int conflictAt = count - 50;
    FillNumbered(database, count, 1, 1);
    const std::string conflictCode = database.Query(
        "SELECT BARCODESPEED FROM COLLI ORDER BY BARCODESPEED ROWS " + std::to_string(conflictAt) + " TO " +
        std::to_string(conflictAt))[0][0];
    Station station(database);
    Station other(database);
    RecordingUi ui;
    ui.onConfirm = OtherStationChangesEan(other, conflictCode);

    parcels::RunWrongEanBatch(station.connection, station.transaction, ui);

    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0], Confirmation(parcels::FormatCount(count)));
    EXPECT_THAT(ui.messages[1], StartsWith("Error: Errore interno durante l'elaborazione:\r"
                                           "deadlock\r\nupdate conflicts with concurrent update\r\n"));
    EXPECT_THAT(ui.messages[1], Not(HasSubstr("block")));
    EXPECT_EQ(ui.progressFinished, 1);
    EXPECT_FALSE(station.transaction.Active());
    EXPECT_EQ(database.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL")[0][0], "0");
    EXPECT_EQ(database.Query("SELECT CODICEEAN FROM COLLI WHERE BARCODESPEED = '" + conflictCode + "'")[0][0],
              "2001111111111");
}

INSTANTIATE_TEST_SUITE_P(Where, WrongEanBatchOn,
                         ::testing::Values(Where::Embedded, Where::Server),
                         [](const auto& info) {
                             return std::string(info.param == Where::Embedded ? "Embedded" : "Server");
                         });

} // namespace
