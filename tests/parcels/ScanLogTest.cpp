#include "ParcelsTestSupport.h"
#include "PrivateServer.h"

#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <parcels/CourierLookup.h>
#include <parcels/ScanJournal.h>
#include <parcels/ScanLog.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

using parcels::JournalRow;
using parcels::SendOutcome;
using parcels::SendResult;
using parcelstest::Station;
using testsupport::TestDatabase;
using testsupport::Where;
using ::testing::HasSubstr;

// A journal row as the station would have kept it.
JournalRow Row(const std::string& barcodeSpeed, const std::string& eanRead = "",
               const std::string& status = parcels::kEanCorretto)
{
    return {parcels::NewScanTicket(), "db", barcodeSpeed, eanRead, status, "2026-12-10 08:30:15.250", {}};
}

// The station's lookups and the forwarder's writer, on a connection.
struct LogStation {
    dataaccess::Connection& connection;
    dataaccess::Transaction reads{connection};
    dataaccess::Transaction writes{connection};
    std::vector<std::string> notes;
    parcels::ScanLogWriter writer{connection, writes, [this](const std::string& t) { notes.push_back(t); }};

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

    SendResult Send(const JournalRow& row) { return log.writer.Send(row); }

    // Committed log rows, as another station sees them.
    std::vector<std::vector<std::string>> Rows()
    {
        return database.Query("SELECT ID, BARCODESPEED, COALESCE(CODICEEANLETTO, '<NULL>'), STATUS, "
                              "CHAR_LENGTH(BARCODESPEED), CASE WHEN DATAORA BETWEEN "
                              "DATEADD(-1 MINUTE TO CURRENT_TIMESTAMP) AND CURRENT_TIMESTAMP "
                              "THEN 'now' ELSE 'old' END, IDSCANSIONE, "
                              "COALESCE(CAST(DATAORASCANSIONE AS VARCHAR(30)), '<NULL>') FROM LOGSPARATE ORDER BY ID");
    }
};

TEST_F(ScanLog, EachRowCarriesItsTicketAndScanTimeAndTheServersKeyAndTime)
{
    const JournalRow unknown = Row("123456", "", parcels::kBarCodeSpeedSconosciuto);
    const SendResult first = Send(unknown);
    ASSERT_EQ(first.outcome, SendOutcome::Recorded) << first.reason;
    const SendResult second = Send(Row("SP1", "8001234567890"));
    ASSERT_EQ(second.outcome, SendOutcome::Recorded) << second.reason;

    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{std::to_string(first.id), "123456", "<NULL>",
                                                 "BarCodeSpeedSconosciuto", "6", "now", unknown.ticket,
                                                 "2026-12-10 08:30:15.2500"}));
    EXPECT_EQ(rows[1][0], std::to_string(second.id));
    EXPECT_EQ(rows[1][2], "8001234567890");
    EXPECT_LT(first.id, second.id);
    EXPECT_NE(parcels::NewScanTicket(), parcels::NewScanTicket());
    const std::string ticket = parcels::NewScanTicket();
    EXPECT_EQ(ticket.size(), 32u);
    EXPECT_EQ(ticket.find_first_not_of("0123456789abcdef"), std::string::npos) << ticket;
}

TEST_F(ScanLog, ASecondCopyOfATicketIsTheRowAlreadyRecorded)
{
    const JournalRow row = Row("TWICE");
    const SendResult first = Send(row);
    ASSERT_EQ(first.outcome, SendOutcome::Recorded) << first.reason;
    const SendResult again = Send(row);
    EXPECT_EQ(again.outcome, SendOutcome::AlreadyRecorded) << again.reason;
    EXPECT_EQ(again.id, first.id);
    EXPECT_EQ(Rows().size(), 1u);
    EXPECT_EQ(Send(Row("NEXT")).outcome, SendOutcome::Recorded);
}

TEST_F(ScanLog, StoresValuesExactlyAsRead)
{
    const std::vector<std::string> codes = {
        " 123456 ", "x' OR '1'='1", "O'Brien", "''", "a:b", "caff\xE8", "'); DELETE FROM COLLI; --"};
    database.Execute(parcelstest::ParcelInsert("KEEP", "2001234567890"));
    for (const std::string& code : codes)
        ASSERT_EQ(Send(Row(code, code, parcels::kCodiceEanSconosciuto)).outcome, SendOutcome::Recorded) << code;

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
    ASSERT_EQ(Send(Row("SP1", "2001234567890")).outcome, SendOutcome::Recorded);
    EXPECT_TRUE(log.reads.Active());
    EXPECT_EQ(Rows().size(), 1u);
    // Parcels added since are seen by the read kept open.
    database.Execute(parcelstest::ParcelInsert("SP2", "2001234567891"));
    EXPECT_TRUE(lookup.Find("SP2"));
}

// A row the server refuses, at the insert or at its commit, leaves nothing
// that a later commit (the next row, or closing) could make permanent.
TEST_F(ScanLog, RefusedRowsAreRolledBackAndNothingOfThemIsCommittedLater)
{
    database.Execute("CREATE EXCEPTION RIFIUTO 'riga rifiutata'");
    database.Execute("CREATE TRIGGER LOGSPARATE_NO FOR LOGSPARATE BEFORE INSERT POSITION 5 AS BEGIN "
                     "IF (NEW.STATUS = 'Rifiuta') THEN EXCEPTION RIFIUTO; END");
    database.Execute("CREATE TRIGGER LOGSPARATE_AL_COMMIT ON TRANSACTION COMMIT AS BEGIN "
                     "IF (EXISTS(SELECT 1 FROM LOGSPARATE WHERE STATUS = 'RifiutaAlCommit')) THEN "
                     "EXCEPTION RIFIUTO 'rifiutata al commit'; END");
    station.connection.SetConnected(false); // database triggers are read at attach
    station.connection.SetConnected(true);
    struct Case {
        std::string barcodeSpeed;
        std::string status;
        const char* reason;
    };
    for (const Case& refused : {Case{std::string(5000, '7'), parcels::kEanCorretto, "truncation"},
                                Case{"SP1", "Rifiuta", "riga rifiutata"},
                                Case{"SP2", "RifiutaAlCommit", "rifiutata al commit"}}) {
        const SendResult result = Send(Row(refused.barcodeSpeed, "", refused.status));
        EXPECT_EQ(result.outcome, SendOutcome::Refused) << refused.reason;
        EXPECT_THAT(result.reason, HasSubstr(refused.reason));
    }
    ASSERT_EQ(Send(Row("NEXT", "", parcels::kBarCodeSpeedSconosciuto)).outcome, SendOutcome::Recorded);
    log.writes.Commit();
    station.connection.SetConnected(false); // closing commits what is open
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1], "NEXT");
}

TEST_F(ScanLog, MissingTableIsRefusedAndTheLookupsGoOn)
{
    database.Execute("DROP PROCEDURE SCANSIONE_REGISTRATA");
    database.Execute("DROP TRIGGER LOGSPARATE_COMMIT");
    database.Execute("DROP TABLE LOGSPARATE");
    const SendResult result = Send(Row("123456", "", parcels::kBarCodeSpeedSconosciuto));
    EXPECT_EQ(result.outcome, SendOutcome::Refused);
    EXPECT_THAT(result.reason, HasSubstr("LOGSPARATE"));

    dataaccess::SqlQuery lookup(station.connection, log.reads);
    lookup.AddLine("SELECT COUNT(*) AS N FROM COLLI");
    lookup.Open();
    EXPECT_EQ(lookup.FieldInteger("N"), 0);
}

// A database not yet upgraded by colli-admin init gets the insert its columns allow.
TEST_F(ScanLog, OutcomesDecidedFromTheCopyAreMarkedAndOthersLeftNull)
{
    JournalRow fromCopy = Row("COPY", "8001234567890");
    fromCopy.fromCopy = true;
    ASSERT_EQ(Send(fromCopy).outcome, SendOutcome::Recorded);
    ASSERT_EQ(Send(Row("SERVER", "8001234567890")).outcome, SendOutcome::Recorded);
    EXPECT_EQ(database.Query("SELECT BARCODESPEED, COALESCE(DACOPIA, -1) FROM LOGSPARATE ORDER BY ID"),
              (std::vector<std::vector<std::string>>{{"COPY", "1"}, {"SERVER", "-1"}}));
}

TEST_F(ScanLog, OlderDatabasesGetTheInsertTheirColumnsAllow)
{
    database.Execute("ALTER TABLE LOGSPARATE DROP DACOPIA");
    station.connection.SetConnected(false); // an attachment keeps the tables as it first read them
    station.connection.SetConnected(true);
    JournalRow fromCopy = Row("NO-MARK");
    fromCopy.fromCopy = true;
    ASSERT_EQ(Send(fromCopy).outcome, SendOutcome::Recorded);
    database.Execute("ALTER TABLE LOGSPARATE DROP DATAORASCANSIONE");
    station.connection.SetConnected(false);
    station.connection.SetConnected(true);
    ASSERT_EQ(Send(Row("NO-SCAN-TIME")).outcome, SendOutcome::Recorded);
    database.Execute("DROP PROCEDURE SCANSIONE_REGISTRATA");
    database.Execute("DROP TRIGGER LOGSPARATE_BI");
    database.Execute("DROP INDEX IDX_LOGSPARATE_IDSCANSIONE; ALTER TABLE LOGSPARATE DROP IDSCANSIONE");
    station.connection.SetConnected(false);
    station.connection.SetConnected(true);
    const SendResult result = Send(Row("OLD"));
    ASSERT_EQ(result.outcome, SendOutcome::Recorded) << result.reason;
    EXPECT_EQ(database.Query("SELECT ID, BARCODESPEED, DATAORA IS NOT NULL FROM LOGSPARATE ORDER BY ID")[2],
              (std::vector<std::string>{std::to_string(result.id), "OLD", "True"}));
    ASSERT_EQ(log.notes.size(), 3u);
    EXPECT_THAT(log.notes[0], HasSubstr("DACOPIA"));
    EXPECT_THAT(log.notes[1], HasSubstr("DATAORASCANSIONE"));
    EXPECT_THAT(log.notes[2], HasSubstr("IDSCANSIONE"));
    EXPECT_THAT(log.notes[2], HasSubstr("colli-admin init"));
}

TEST(ScanLogWithoutDatabase, FailureToStartTheTransactionReachesTheCaller)
{
    dataaccess::Connection connection;
    dataaccess::Transaction transaction(connection);
    connection.SetDefaultTransaction(&transaction);
    LogStation log(connection);
    EXPECT_THROW(log.writer.Send(Row("1")), dataaccess::DatabaseError);
}

// Lookups by courier barcode give what the literal select gave.
TEST(CourierLookupResults, AsTheStationAlwaysReadThem)
{
    TestDatabase database(Where::Server);
    database.Execute(parcelstest::CourierCaseParcels());
    Station station(database);
    LogStation log(station.connection);
    parcels::CourierLookup lookup(station.connection, log.reads);
    lookup.Prepare();
    for (const parcelstest::CourierCase& c : parcelstest::CourierCases()) {
        const auto parcel = lookup.Find(c.code);
        EXPECT_EQ(parcel.has_value(), c.found) << c.code;
        if (parcel) {
            EXPECT_EQ(parcel->codiceEan, c.ean) << c.code;
            EXPECT_EQ(parcel->codiceEanErrato, c.faulty) << c.code;
        }
    }
}

// The writer on a server of its own, which the test kills, freezes or cuts off.
class ScanLogUnderFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (testsupport::ServerAddress().empty())
            GTEST_SKIP() << "COLLI_FB_SERVER not set";
        ASSERT_TRUE(server.Running());
        name = parcelstest::LogDatabaseOn(server);
        connection.SetDatabaseName(name);
        connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
        connection.SetWaitBound(2);
        connection.SetConnected(true);
        log = std::make_unique<LogStation>(connection);
        log->writer.Prepare();
    }

    // The fault strikes the first sending only.
    SendResult Send(const JournalRow& row, std::function<void()> fault = {})
    {
        log->writer.SetBeforeSend([&fault] {
            if (fault)
                std::exchange(fault, {})();
        });
        const SendResult result = log->writer.Send(row);
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

    testsupport::PrivateServer server;
    std::string name;
    dataaccess::Connection connection;
    std::unique_ptr<LogStation> log;
};

TEST_F(ScanLogUnderFaults, ARowSentOnADeadLinkGoesOnANewOneAndOnce)
{
    server.Restart(); // the link died between rows: the writer finds it out when it sends
    const JournalRow afterRestart = Row("AFTER-RESTART");
    EXPECT_THROW(Send(afterRestart), dataaccess::ConnectionLostError);
    EXPECT_EQ(Send(afterRestart).outcome, SendOutcome::Recorded);
    const JournalRow killed = Row("KILLED");
    EXPECT_THROW(Send(killed, [this] { server.Kill(); }), dataaccess::ConnectionLostError);
    server.Restart();
    const SendResult again = Send(killed);
    EXPECT_TRUE(again.outcome == SendOutcome::Recorded || again.outcome == SendOutcome::AlreadyRecorded);
    EXPECT_EQ(Logged(), (std::vector<std::string>{"AFTER-RESTART", "KILLED"}));
}

#ifndef _WIN32 // freezing and blackholing the Linux server are Linux's own
enum class Fault { Frozen, Blackholed };

// The answer to the insert is lost while the server may still commit it:
// sending the row again, by its ticket, leaves it there exactly once.
TEST_F(ScanLogUnderFaults, ALostAnswerSentAgainLeavesTheRowOnce)
{
    for (const Fault fault : {Fault::Frozen, Fault::Blackholed}) {
        const JournalRow row = Row(fault == Fault::Frozen ? "FROZEN" : "BLACKHOLED");
        bool faulted = false;
        EXPECT_THROW(Send(row, [&] { faulted = fault == Fault::Frozen ? (server.Freeze(), true) : server.Blackhole(); }),
                     dataaccess::ConnectionLostError);
        if (!faulted)
            GTEST_SKIP() << "no iptables rule could be made";
        if (fault == Fault::Frozen)
            server.Thaw();
        else
            server.Restore();
        // The old attachment may still hold the ticket: that is a "later", never a second row.
        SendResult again;
        for (int attempt = 0; attempt < 20; ++attempt) {
            again = Send(row);
            if (again.outcome != SendOutcome::Later)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        EXPECT_TRUE(again.outcome == SendOutcome::Recorded || again.outcome == SendOutcome::AlreadyRecorded)
            << again.reason;
        const auto ids = testsupport::QueryOn(name, "SELECT ID FROM LOGSPARATE WHERE IDSCANSIONE = '" + row.ticket + "'");
        ASSERT_EQ(ids.size(), 1u);
        if (again.id != 0) {
            EXPECT_EQ(std::to_string(again.id), ids[0][0]);
        }
    }
    EXPECT_EQ(Send(Row("AFTER")).outcome, SendOutcome::Recorded);
}
#endif

} // namespace
