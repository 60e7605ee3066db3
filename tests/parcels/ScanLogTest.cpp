#include "ParcelsTestSupport.h"
#include "PrivateServer.h"

#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <parcels/CourierLookup.h>
#include <parcels/ScanLog.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

namespace {

using parcels::LogOutcome;
using parcels::LogResult;
using parcelstest::Station;
using testsupport::TestDatabase;
using testsupport::Where;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The station's kept transactions and its writer, on a connection.
struct LogStation {
    dataaccess::Connection& connection;
    dataaccess::Transaction reads{connection};
    dataaccess::Transaction writes{connection};
    std::vector<std::string> notes;
    parcels::ScanLogWriter writer{connection, reads, writes, [this](const std::string& t) { notes.push_back(t); }};

    explicit LogStation(dataaccess::Connection& c) : connection(c)
    {
        reads.SetReadCommitted(true);
        reads.SetReadOnly(true);
        writes.SetReadCommitted(true);
        writes.SetAutoCommit(true);
    }
};

class ScanLog : public ::testing::Test {
protected:
    TestDatabase database{Where::Embedded};
    Station station{database};
    LogStation log{station.connection};

    LogResult Write(const std::string& barcodeSpeed, const std::string& eanRead, const std::string& status)
    {
        return log.writer.Write(barcodeSpeed, eanRead, status);
    }

    // Committed log rows, as another station sees them.
    std::vector<std::vector<std::string>> Rows()
    {
        return database.Query("SELECT ID, BARCODESPEED, COALESCE(CODICEEANLETTO, '<NULL>'), STATUS, "
                              "CHAR_LENGTH(BARCODESPEED), CASE WHEN DATAORA BETWEEN "
                              "DATEADD(-1 MINUTE TO CURRENT_TIMESTAMP) AND CURRENT_TIMESTAMP "
                              "THEN 'now' ELSE 'old' END, CHAR_LENGTH(IDSCANSIONE) FROM LOGSPARATE ORDER BY ID");
    }
};

TEST_F(ScanLog, EachRowIsCommittedByItsOwnInsertWithTheServersKeyTimeAndATicket)
{
    const LogResult first = Write("123456", "", parcels::kBarCodeSpeedSconosciuto);
    ASSERT_EQ(first.outcome, LogOutcome::Recorded) << first.message;
    EXPECT_TRUE(log.writes.Active()); // kept for the next row: nothing of it is pending
    const LogResult second = Write("SP1", "8001234567890", parcels::kEanCorretto);
    ASSERT_EQ(second.outcome, LogOutcome::Recorded) << second.message;

    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{std::to_string(first.id), "123456", "<NULL>",
                                                 "BarCodeSpeedSconosciuto", "6", "now", "32"}));
    EXPECT_EQ(rows[1][0], std::to_string(second.id));
    EXPECT_EQ(rows[1][2], "8001234567890");
    EXPECT_LT(first.id, second.id);
    EXPECT_NE(parcels::NewScanTicket(), parcels::NewScanTicket());
    const std::string ticket = parcels::NewScanTicket();
    EXPECT_EQ(ticket.size(), 32u);
    EXPECT_EQ(ticket.find_first_not_of("0123456789abcdef"), std::string::npos) << ticket;
}

TEST_F(ScanLog, StoresValuesExactlyAsRead)
{
    const std::vector<std::string> codes = {
        " 123456 ", "x' OR '1'='1", "O'Brien", "''", "a:b", "caff\xE8", "'); DELETE FROM COLLI; --"};
    database.Execute(parcelstest::ParcelInsert("KEEP", "2001234567890"));
    for (const std::string& code : codes)
        ASSERT_EQ(Write(code, code, parcels::kCodiceEanSconosciuto).outcome, LogOutcome::Recorded) << code;

    const auto rows = Rows();
    ASSERT_EQ(rows.size(), codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(rows[i][1], codes[i]);
        EXPECT_EQ(rows[i][2], codes[i]);
        EXPECT_EQ(rows[i][4], std::to_string(codes[i].size()));
    }
    EXPECT_EQ(database.Query("SELECT COUNT(*) FROM COLLI")[0][0], "1");
}

TEST_F(ScanLog, CommitsWhileALookupKeepsItsReadOpen)
{
    database.Execute(parcelstest::ParcelInsert("SP1", "2001234567890"));
    parcels::CourierLookup lookup(station.connection, log.reads);
    ASSERT_TRUE(lookup.Find("SP1"));
    ASSERT_EQ(Write("SP1", "2001234567890", parcels::kEanCorretto).outcome, LogOutcome::Recorded);
    EXPECT_TRUE(log.reads.Active());
    EXPECT_EQ(Rows().size(), 1u);
    // Parcels added since are seen by the read kept open.
    database.Execute(parcelstest::ParcelInsert("SP2", "2001234567891"));
    EXPECT_TRUE(lookup.Find("SP2"));
}

// A statement the server refuses leaves nothing that a later commit (the next
// row, or closing) could make permanent.
TEST_F(ScanLog, RefusedRowsAreShownAndNothingOfThemIsCommittedLater)
{
    database.Execute("CREATE EXCEPTION RIFIUTO 'riga rifiutata'");
    database.Execute("CREATE TRIGGER LOGSPARATE_NO FOR LOGSPARATE BEFORE INSERT POSITION 5 AS BEGIN "
                     "IF (NEW.STATUS = 'Rifiuta') THEN EXCEPTION RIFIUTO; END");
    struct Case {
        std::string barcodeSpeed;
        std::string status;
        const char* reason;
    };
    for (const Case& refused : {Case{std::string(5000, '7'), parcels::kEanCorretto, "truncation"},
                                Case{"SP1", "Rifiuta", "riga rifiutata"}}) {
        const LogResult result = Write(refused.barcodeSpeed, "", refused.status);
        EXPECT_EQ(result.outcome, LogOutcome::NotRecorded);
        EXPECT_THAT(result.message, StartsWith("Impossibile storicizzare nel log la scansione:\r"));
        EXPECT_THAT(result.message, HasSubstr(refused.reason));
    }
    EXPECT_FALSE(log.writer.Pending());
    ASSERT_EQ(Write("NEXT", "", parcels::kBarCodeSpeedSconosciuto).outcome, LogOutcome::Recorded);
    station.connection.SetConnected(false); // closing commits what is open
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1], "NEXT");
}

TEST_F(ScanLog, MissingTableIsShownAndTheNextScanProceeds)
{
    database.Execute("DROP PROCEDURE SCANSIONE_REGISTRATA");
    database.Execute("DROP TABLE LOGSPARATE");
    const LogResult result = Write("123456", "", parcels::kBarCodeSpeedSconosciuto);
    EXPECT_EQ(result.outcome, LogOutcome::NotRecorded);
    EXPECT_THAT(result.message, StartsWith("Impossibile storicizzare nel log la scansione:\r"));
    EXPECT_THAT(result.message, HasSubstr("LOGSPARATE"));

    dataaccess::SqlQuery lookup(station.connection, log.reads);
    lookup.AddLine("SELECT COUNT(*) AS N FROM COLLI");
    lookup.Open();
    EXPECT_EQ(lookup.FieldInteger("N"), 0);
}

TEST_F(ScanLog, ADatabaseWithoutTicketsGetsTheOlderInsert)
{
    database.Execute("DROP PROCEDURE SCANSIONE_REGISTRATA");
    database.Execute("DROP TRIGGER LOGSPARATE_BI");
    database.Execute("DROP INDEX IDX_LOGSPARATE_IDSCANSIONE; ALTER TABLE LOGSPARATE DROP IDSCANSIONE");
    const LogResult result = Write("OLD", "", parcels::kBarCodeSpeedSconosciuto);
    ASSERT_EQ(result.outcome, LogOutcome::Recorded) << result.message;
    EXPECT_EQ(database.Query("SELECT ID, BARCODESPEED, DATAORA IS NOT NULL FROM LOGSPARATE"),
              (std::vector<std::vector<std::string>>{{std::to_string(result.id), "OLD", "True"}}));
    ASSERT_FALSE(log.notes.empty());
    EXPECT_THAT(log.notes[0], HasSubstr("colli-admin init"));
}

TEST(ScanLogWithoutDatabase, FailureToStartTheTransactionReachesTheCaller)
{
    dataaccess::Connection connection;
    dataaccess::Transaction transaction(connection);
    connection.SetDefaultTransaction(&transaction);
    LogStation log(connection);
    EXPECT_THROW(log.writer.Write("1", "", parcels::kEanCorretto), dataaccess::DatabaseError);
}

// Lookups by courier barcode give what the literal select gave.
TEST(CourierLookupResults, AsTheStationAlwaysReadThem)
{
    TestDatabase database(Where::Server);
    database.Execute(parcelstest::ParcelInsert("SP1", "2001234567890", "2001234567883") + ";" +
                     parcelstest::ParcelInsert("O'Brien", "1111111111111") + ";" +
                     parcelstest::ParcelInsert("NOEAN", "2222222222222") + ";" +
                     parcelstest::ParcelInsert("DUP", "3333333333333", "first") + ";" +
                     parcelstest::ParcelInsert("DUP", "4444444444444", "second") + ";" +
                     parcelstest::ParcelInsert("a:b", "5555555555555") + ";" +
                     "INSERT INTO COLLI (BARCODESPEED) VALUES ('NULLS')");
    Station station(database);
    LogStation log(station.connection);
    parcels::CourierLookup lookup(station.connection, log.reads);
    lookup.Prepare();
    struct Case {
        std::string code;
        bool found;
        std::string ean;
        std::string faulty;
    };
    const Case cases[] = {
        {"SP1", true, "2001234567890", "2001234567883"},
        {"O'Brien", true, "1111111111111", ""},
        {"NOEAN", true, "2222222222222", ""},
        {"NULLS", true, "", ""},
        {"DUP", true, "3333333333333", "first"}, // the first row read wins
        {"a:b", true, "5555555555555", ""},
        {"SP1 ", true, "2001234567890", "2001234567883"}, // trailing blanks compare equal, as in SQL
        {"sp1", false, "", ""},
        {std::string(300, 'X'), false, "", ""}, // longer than the column: no match, no error
        {"' OR ''='", false, "", ""},
    };
    for (const Case& c : cases) {
        const auto parcel = lookup.Find(c.code);
        EXPECT_EQ(parcel.has_value(), c.found) << c.code;
        if (parcel) {
            EXPECT_EQ(parcel->codiceEan, c.ean) << c.code;
            EXPECT_EQ(parcel->codiceEanErrato, c.faulty) << c.code;
        }
    }
}

// The log on a server of its own, which the test kills, freezes or cuts off.
class ScanLogUnderFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (testsupport::ServerAddress().empty())
            GTEST_SKIP() << "COLLI_FB_SERVER not set";
        ASSERT_TRUE(server.Running());
        name = server.Address() + ":" + server.Folder() + "LOG.FDB";
        testsupport::CreateDatabaseAt(name, true);
        connection.SetDatabaseName(name);
        connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
        connection.SetWaitBound(2);
        connection.SetConnected(true);
        log = std::make_unique<LogStation>(connection);
        log->writer.Prepare();
    }

    // The fault strikes the first sending only, not the one after a resolution.
    LogResult Write(const std::string& barcodeSpeed, std::function<void()> fault = {})
    {
        log->writer.SetBeforeSend([&fault] {
            if (fault)
                std::exchange(fault, {})();
        });
        const LogResult result = log->writer.Write(barcodeSpeed, "", parcels::kEanCorretto);
        log->writer.SetBeforeSend({});
        return result;
    }
    std::vector<std::string> Logged()
    {
        std::vector<std::string> codes;
        for (const auto& row : testsupport::QueryOn(name, "SELECT BARCODESPEED FROM LOGSPARATE ORDER BY ID"))
            codes.push_back(row[0]);
        return codes;
    }
    std::string Notes() const
    {
        std::string all;
        for (const std::string& note : log->notes)
            all += note + "\n";
        return all;
    }

    testsupport::PrivateServer server;
    std::string name;
    dataaccess::Connection connection;
    std::unique_ptr<LogStation> log;
};

TEST_F(ScanLogUnderFaults, RowsSentOnADeadLinkAreFoundNotRecordedAndSentOnce)
{
    server.Restart(); // the link died between scans: the station does not know yet
    EXPECT_EQ(Write("AFTER-RESTART").outcome, LogOutcome::Recorded) << Notes();
    // Killed and back while the insert goes out.
    EXPECT_EQ(Write("KILLED", [this] { server.Restart(); }).outcome, LogOutcome::Recorded) << Notes();
    EXPECT_FALSE(log->writer.Pending());

    // Still away: nothing can be asked, the operator must not scan again.
    const LogResult away = Write("DOWN", [this] { server.Kill(); });
    EXPECT_EQ(away.outcome, LogOutcome::NotYetKnown);
    EXPECT_THAT(away.message, StartsWith("Esito della registrazione nel log non ancora noto: non ripetere la "
                                         "scansione.\rLa stazione lo verificher\xC3\xA0 da sola"));
    EXPECT_TRUE(log->writer.Pending());
    // The next scan, still without a server, is not sent at all.
    EXPECT_EQ(Write("WHILE-DOWN").outcome, LogOutcome::NotRecorded);

    server.Restart();
    EXPECT_TRUE(log->writer.Settle());
    EXPECT_FALSE(log->writer.Pending());
    EXPECT_EQ(Logged(), (std::vector<std::string>{"AFTER-RESTART", "KILLED", "DOWN"})) << Notes();
    EXPECT_THAT(Notes(), HasSubstr("non registrata, inviata di nuovo"));
}

#ifndef _WIN32 // freezing and blackholing the Linux server are Linux's own
enum class Fault { Frozen, Blackholed };

// The answer to the insert is lost while the server may still commit it: the
// station finds out which, and the row exists exactly once.
TEST_F(ScanLogUnderFaults, ALostAnswerIsSettledByTheServersOwnWord)
{
    for (const Fault fault : {Fault::Frozen, Fault::Blackholed}) {
        const std::string code = fault == Fault::Frozen ? "FROZEN" : "BLACKHOLED";
        bool faulted = false;
        const LogResult result = Write(code, [&] {
            faulted = fault == Fault::Frozen ? (server.Freeze(), true) : server.Blackhole();
        });
        if (!faulted)
            GTEST_SKIP() << "no iptables rule could be made";
        EXPECT_EQ(result.outcome, LogOutcome::NotYetKnown) << result.message;
        EXPECT_TRUE(log->writer.Pending());
        if (fault == Fault::Frozen)
            server.Thaw();
        else
            server.Restore();
        EXPECT_TRUE(log->writer.Settle()) << Notes();
        EXPECT_FALSE(log->writer.Pending());
        const auto logged = Logged();
        EXPECT_EQ(std::count(logged.begin(), logged.end(), code), 1) << Notes();
        const auto ids = testsupport::QueryOn(name, "SELECT ID FROM LOGSPARATE WHERE BARCODESPEED = '" + code + "'");
        // What the station says happened is what happened.
        ASSERT_EQ(ids.size(), 1u);
        EXPECT_THAT(Notes(), HasSubstr("registrata con ID " + ids[0][0]));
        log->notes.clear();
    }
    EXPECT_EQ(Write("AFTER").outcome, LogOutcome::Recorded);
}
#endif

} // namespace
