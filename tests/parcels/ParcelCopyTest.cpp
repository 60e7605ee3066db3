// The station's copy of the parcels against the run's private server and a real
// SQLite file (the journal's): what changes on the server reaches the copy at
// the next refresh, and the copy answers as the courier lookup does.
#include "ParcelsTestSupport.h"

#include <dataaccess/Errors.h>
#include <dataaccess/SqlStatement.h>
#include <parcels/CourierLookup.h>
#include <parcels/ParcelCopy.h>
#include <parcels/ScanJournal.h>

#ifndef _WIN32
#include <WireProxy.h>
#endif

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>

#include <cstdlib>
#include <memory>

namespace {

using parcels::CopyUnavailableError;
using parcels::ParcelCopy;
using parcels::RefreshResult;
using parcels::ScanJournal;
using testsupport::TestDatabase;
using testsupport::Where;
using ::testing::HasSubstr;

constexpr const char* kPassword = "plumtrove";

// An attachment and a read committed, read-only transaction kept open, as
// the station reads with.
struct Reader {
    dataaccess::Connection connection;
    dataaccess::Transaction reads{connection};

    explicit Reader(const std::string& name)
    {
        connection.SetDatabaseName(name);
        connection.Params() = {"user_name=SYSDBA", std::string("password=") + kPassword};
        connection.SetSQLDialect(3);
        connection.SetLoginPrompt(false);
        reads.SetReadCommitted(true);
        reads.SetReadOnly(true);
        connection.SetConnected(true);
    }
};

// A program that changes parcels in a transaction it has not committed yet.
struct Writer {
    dataaccess::Connection connection;
    dataaccess::Transaction transaction{connection};

    explicit Writer(const std::string& name)
    {
        connection.SetDatabaseName(name);
        connection.Params() = {"user_name=SYSDBA", std::string("password=") + kPassword};
        connection.SetConnected(true);
    }
    void Run(const std::string& sql)
    {
        transaction.SetActive(true);
        dataaccess::SqlStatement statement(connection, transaction);
        statement.SetParamCheck(false);
        statement.AddLine(sql);
        statement.ExecQuery();
    }
};

class Copy : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (testsupport::ServerAddress().empty())
            GTEST_SKIP() << "COLLI_FB_SERVER not set";
        database = std::make_unique<TestDatabase>(Where::Server);
    }
    void TearDown() override
    {
        copy.reset();
        reader.reset();
        truth.reset();
        truthReads.reset();
    }
    ~Copy() override { QDir(QString::fromStdString(folder)).removeRecursively(); }

    // The copy in the journal's own file, filled from `name` (the database itself unless told).
    void Open(const std::string& name = {})
    {
        copy.reset();
        reader = std::make_unique<Reader>(name.empty() ? database->Name() : name);
        copy = std::make_unique<ParcelCopy>(path, reader->connection, reader->reads);
    }

    // The station's courier lookup on the database, as the truth to agree with.
    std::optional<parcels::Parcel> Truth(const std::string& code)
    {
        if (!truth) {
            truthReads = std::make_unique<Reader>(database->Name());
            truth = std::make_unique<parcels::CourierLookup>(truthReads->connection, truthReads->reads);
        }
        return truth->Find(code);
    }

    // Each code as the courier lookup finds it, through a lookup-only copy
    // on the same file, as the station's window would hold it.
    void ExpectAgrees(const std::vector<std::string>& codes)
    {
        ParcelCopy lookups(path);
        for (const std::string& code : codes) {
            const auto expected = Truth(code);
            const auto got = lookups.Find(code);
            ASSERT_EQ(got.has_value(), expected.has_value()) << "'" << code << "'";
            if (got) {
                EXPECT_EQ(got->codiceEan, expected->codiceEan) << "'" << code << "'";
                EXPECT_EQ(got->codiceEanErrato, expected->codiceEanErrato) << "'" << code << "'";
            }
        }
    }

    std::int64_t LastChangeNumber()
    {
        return std::stoll(database->Query("SELECT GEN_ID(COLLI_MODIFICHE_N, 0) FROM RDB$DATABASE")[0][0]);
    }

    std::unique_ptr<TestDatabase> database;
    std::string folder = testsupport::MakeScratchFolder("copia");
    std::string path = folder + "/" + ScanJournal::kFileName;
    std::unique_ptr<Reader> reader;
    std::unique_ptr<ParcelCopy> copy;
    std::unique_ptr<Reader> truthReads;
    std::unique_ptr<parcels::CourierLookup> truth;
};

std::vector<std::string> CaseCodes()
{
    std::vector<std::string> codes;
    for (const auto& c : parcelstest::CourierCases())
        codes.push_back(c.code);
    return codes;
}

TEST_F(Copy, FindAnswersTheCourierLookupsCases)
{
    database->Execute(parcelstest::CourierCaseParcels());
    Open();
    ASSERT_TRUE(copy->Fill());
    EXPECT_EQ(copy->Rows(), 7);
    for (const auto& c : parcelstest::CourierCases()) {
        const auto parcel = copy->Find(c.code);
        EXPECT_EQ(parcel.has_value(), c.found) << c.code;
        if (parcel) {
            EXPECT_EQ(parcel->codiceEan, c.ean) << c.code;
            EXPECT_EQ(parcel->codiceEanErrato, c.faulty) << c.code;
        }
    }
    ExpectAgrees(CaseCodes());
}

// Every kind of change, each committed on its own, then a refresh; the copy
// then answers every code as the server does, and a second refresh finds nothing.
TEST_F(Copy, EveryChangeReachesTheNextRefresh)
{
    database->Execute(parcelstest::CourierCaseParcels());
    ScanJournal journal(path); // the journal shares the file and goes on working
    Open();
    ASSERT_TRUE(copy->Fill());
    const struct {
        const char* what;
        std::string sql;
        long long changes;
    } steps[] = {
        {"insert", parcelstest::ParcelInsert("NEW1", "6666666666666"), 1},
        {"faulty EAN set", "UPDATE COLLI SET CODICEEAN_ERRATO = '6666666666660' WHERE BARCODESPEED = 'NEW1'", 1},
        {"courier barcode changed", "UPDATE COLLI SET BARCODESPEED = 'SP9' WHERE BARCODESPEED = 'SP1'", 1},
        {"first of two sharing a code deleted",
         "DELETE FROM COLLI WHERE BARCODESPEED = 'DUP' AND CODICEEAN_ERRATO = 'first'", 1},
        {"a third record with that code", parcelstest::ParcelInsert("DUP", "7777777777777", "third"), 1},
        {"rewritten with the same bytes", "UPDATE COLLI SET CODICEEAN = CODICEEAN", 0},
        {"a blank added at the end", "UPDATE COLLI SET CODICEEAN = CODICEEAN || ' ' WHERE BARCODESPEED = 'NOEAN'", 1},
        {"a code taken by another record", "UPDATE COLLI SET BARCODESPEED = 'a:b' WHERE BARCODESPEED = 'O''Brien'", 1},
        {"several in one transaction",
         "EXECUTE BLOCK AS BEGIN "
         "INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ('NEW2', '8888888888888'); "
         "UPDATE COLLI SET CODICEEAN = '9999999999999' WHERE BARCODESPEED = 'NEW2'; "
         "DELETE FROM COLLI WHERE BARCODESPEED = 'NEW1'; END",
         3},
        {"all deleted", "DELETE FROM COLLI", 8},
    };
    std::vector<std::string> codes = CaseCodes();
    for (const char* code : {"NEW1", "NEW2", "SP9", "SP9 "})
        codes.push_back(code);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        database->Execute(step.sql);
        const RefreshResult result = copy->Refresh();
        EXPECT_FALSE(result.needsFill);
        EXPECT_EQ(result.changes, step.changes);
        ExpectAgrees(codes);
        EXPECT_EQ(copy->Refresh().changes, 0);
        EXPECT_EQ(copy->State().settled, LastChangeNumber());
        journal.Release(journal.Add("db", "SP1", "", parcels::kBarCodeSpeedSconosciuto).ticket);
    }
    EXPECT_EQ(copy->Rows(), 0);
    EXPECT_EQ(journal.Count("db").waiting, static_cast<long long>(std::size(steps)));
}

// Numbers are drawn when a change is made and seen when it commits: a change
// that commits after a later-numbered one is still fetched, whether it was
// at work across a refresh or across the fill; one rolled back holds nothing up.
TEST_F(Copy, AChangeCommittedLateIsNotLost)
{
    const struct {
        const char* what;
        bool acrossFill;
        bool commit;
        bool retainFirst; // commits a first change with retaining, and goes on
    } cases[] = {
        {"across a refresh", false, true, false},
        {"across the fill", true, true, false},
        {"rolled back", false, false, false},
        {"after a commit with retaining", false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        database = std::make_unique<TestDatabase>(Where::Server);
        Open();
        if (!c.acrossFill) {
            ASSERT_TRUE(copy->Fill());
        }
        Writer writer(database->Name());
        if (c.retainFirst) {
            writer.Run(parcelstest::ParcelInsert("RETAINED", "1000000000000"));
            writer.Run("COMMIT RETAIN");
        }
        writer.Run(parcelstest::ParcelInsert("LATE", "1000000000001"));
        database->Execute(parcelstest::ParcelInsert("EARLY", "1000000000002"));
        if (c.acrossFill) {
            ASSERT_TRUE(copy->Fill());
        } else {
            EXPECT_EQ(copy->Refresh().changes, c.retainFirst ? 2 : 1);
        }
        EXPECT_TRUE(copy->Find("EARLY"));
        EXPECT_EQ(copy->Find("RETAINED").has_value(), c.retainFirst);
        EXPECT_FALSE(copy->Find("LATE"));
        EXPECT_LT(copy->State().settled, LastChangeNumber()) << "a writer at work holds the number back";

        if (c.commit)
            writer.transaction.Commit();
        else
            writer.transaction.Rollback();
        copy->Refresh();
        EXPECT_EQ(copy->Find("LATE").has_value(), c.commit);
        ExpectAgrees({"LATE", "EARLY"});
        // Once the writer has ended, the number catches up.
        database->Execute("UPDATE COLLI SET CODICEEAN = '1000000000003' WHERE BARCODESPEED = 'EARLY'");
        copy->Refresh();
        EXPECT_EQ(copy->State().settled, LastChangeNumber());
    }
}

#ifndef _WIN32
// Through the loopback proxy that counts request turns: once filled, a
// refresh that finds nothing new is one round trip, and so is one that finds
// a few changes.
TEST_F(Copy, ARefreshThatFindsNothingNewIsOneRoundTrip)
{
    database->Execute(parcelstest::CourierCaseParcels());
    const std::string server = testsupport::ServerAddress();
    wire::WireProxy proxy(std::stoi(server.substr(server.find('/') + 1)), std::chrono::microseconds(0),
                          std::chrono::seconds(300));
    Open(proxy.Name(database->Path()));
    ASSERT_TRUE(copy->Fill());
    for (int round = 0; round < 3; ++round) {
        const wire::WireCounts before = proxy.Total();
        const RefreshResult result = copy->Refresh();
        const wire::WireCounts after = proxy.Total();
        EXPECT_EQ(result.changes, 0);
        EXPECT_EQ((after - before).turns, 1) << "round " << round;
        EXPECT_EQ((after - before).links, 0);
    }
    database->Execute(parcelstest::ParcelInsert("NEW1", "6666666666666") + ";" +
                      "DELETE FROM COLLI WHERE BARCODESPEED = 'SP1'");
    const wire::WireCounts before = proxy.Total();
    EXPECT_EQ(copy->Refresh().changes, 2);
    EXPECT_EQ((proxy.Total() - before).turns, 1);
    EXPECT_TRUE(copy->Find("NEW1"));
    EXPECT_FALSE(copy->Find("SP1"));
}
#endif

TEST_F(Copy, ADatabaseWithoutTheChangeLogGivesNoCopy)
{
    database->Execute(parcelstest::CourierCaseParcels());
    database->Execute("DROP PROCEDURE COLLI_MODIFICHE_DOPO");
    Open();
    try {
        copy->Fill();
        ADD_FAILURE() << "filled without a change log";
    } catch (const CopyUnavailableError& error) {
        EXPECT_THAT(error.what(), HasSubstr("Copia dei colli non disponibile"));
        EXPECT_THAT(error.what(), HasSubstr("COLLI_MODIFICHE_DOPO"));
    }
    EXPECT_FALSE(copy->State().filled);
    EXPECT_FALSE(copy->Find("SP1"));
    // A refresh has nothing to start from; the database is not even asked.
    EXPECT_TRUE(copy->Refresh().needsFill);
}

// Whenever the changes cannot bring the copy up to date, the refresh applies
// nothing and says that a fill is needed: another database, a restored one
// (its records have new keys), or changes pruned before the copy had them.
TEST_F(Copy, ACopyThatChangesCannotMendAsksForAFill)
{
    database->Execute(parcelstest::CourierCaseParcels());
    Open();
    ASSERT_TRUE(copy->Fill());
    database->Execute(parcelstest::ParcelInsert("NEW1", "6666666666666"));

    // Changes older than a day from now: all of them.
    database->Execute("EXECUTE PROCEDURE COLLI_MODIFICHE_POTA(-1)");
    EXPECT_TRUE(copy->Refresh().needsFill);
    EXPECT_FALSE(copy->Find("NEW1"));
    ASSERT_TRUE(copy->Fill());
    EXPECT_TRUE(copy->Find("NEW1"));
    EXPECT_FALSE(copy->Refresh().needsFill) << "the pruned changes are behind the new fill";

    TestDatabase other(Where::Server);
    other.Execute(parcelstest::ParcelInsert("OTHER", "1"));
    {
        Reader elsewhere(other.Name());
        ParcelCopy copyElsewhere(path, elsewhere.connection, elsewhere.reads);
        EXPECT_TRUE(copyElsewhere.Refresh().needsFill);
        ASSERT_TRUE(copyElsewhere.Fill());
        EXPECT_TRUE(copyElsewhere.Find("OTHER"));
    }
    EXPECT_TRUE(copy->Refresh().needsFill);
    ASSERT_TRUE(copy->Fill());

#ifndef _WIN32
    // Backed up and restored in place, with a parcel deleted since the backup.
    const std::string backup = folder + "/copia.fbk";
    copy.reset();
    reader.reset();
    const std::string credentials = std::string(" -user SYSDBA -password ") + kPassword + " ";
    ASSERT_EQ(std::system(("gbak -b" + credentials + database->Name() + " " + backup).c_str()), 0);
    database->Execute("DELETE FROM COLLI WHERE BARCODESPEED = 'NULLS'");
    ASSERT_EQ(std::system(("gbak -rep" + credentials + backup + " " + database->Name()).c_str()), 0);
    Open();
    EXPECT_TRUE(copy->Refresh().needsFill);
    ASSERT_TRUE(copy->Fill());
    ExpectAgrees(CaseCodes());
#endif
}

TEST_F(Copy, AFillStoppedOnTheWayKeepsTheCopyItHad)
{
    database->Execute(parcelstest::CourierCaseParcels());
    Open();
    ASSERT_TRUE(copy->Fill());
    parcelstest::FillParcels(*database, 10000);
    int asked = 0;
    EXPECT_FALSE(copy->Fill([&] { return ++asked < 2; }));
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(copy->Rows(), 7);
    EXPECT_FALSE(copy->Find("P0000001"));
    EXPECT_TRUE(copy->Find("SP1"));
    ASSERT_TRUE(copy->Fill());
    EXPECT_EQ(copy->Rows(), 10007);
    ExpectAgrees({"P0000001", "P0010000", "P0010001", "SP1"});
}

} // namespace
