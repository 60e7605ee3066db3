#include "ParcelsTestSupport.h"
#include "PrivateServer.h"

#include <parcels/LogForwarder.h>
#include <parcels/ScanJournal.h>
#include <parcels/ScanLog.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <windows.h>
#include <aclapi.h>
#endif

namespace {

using parcels::ForwardEvent;
using parcels::JournalRow;
using parcels::ScanJournal;
using ::testing::HasSubstr;

class Journal : public ::testing::Test {
protected:
    std::string folder = testsupport::MakeScratchFolder("giornale");
    std::string path = folder + "/" + ScanJournal::kFileName;

    ~Journal() override { QDir(QString::fromStdString(folder)).removeRecursively(); }

    static std::vector<std::string> Codes(const std::vector<JournalRow>& rows)
    {
        std::vector<std::string> codes;
        for (const JournalRow& row : rows)
            codes.push_back(row.barcodeSpeed);
        return codes;
    }
};

TEST_F(Journal, RowsOutliveTheirWriterAndKeepOrderBytesAndTime)
{
    std::string ticket;
    {
        ScanJournal journal(path);
        ticket = journal.Add("db", "caff\xE8 'x'", "", parcels::kBarCodeSpeedSconosciuto).ticket;
        journal.Release(ticket);
        journal.Release(journal.Add("db", "SP1", "8001234567890", parcels::kEanCorretto).ticket);
        journal.Add("other", "ELSEWHERE", "", parcels::kBarCodeSpeedSconosciuto);
    }
    ScanJournal journal(path);
    const auto rows = journal.Waiting("db", 10);
    ASSERT_EQ(Codes(rows), (std::vector<std::string>{"caff\xE8 'x'", "SP1"}));
    EXPECT_EQ(rows[0].ticket, ticket);
    EXPECT_EQ(rows[0].eanRead, "");
    EXPECT_EQ(rows[1].eanRead, "8001234567890");
    EXPECT_EQ(rows[1].status, parcels::kEanCorretto);
    // No bracket expression: GoogleTest's regular expressions on Windows have none.
    EXPECT_EQ(rows[0].scanTime.size(), 23u) << rows[0].scanTime;
    EXPECT_TRUE(QDateTime::fromString(QString::fromStdString(rows[0].scanTime), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                    .isValid())
        << rows[0].scanTime;
    EXPECT_EQ(journal.Count("db").waiting, 2);
    EXPECT_EQ(journal.Count("db").otherDatabases, 1);
    journal.Remove(ticket);
    EXPECT_EQ(Codes(journal.Waiting("db", 10)), (std::vector<std::string>{"SP1"}));
}

// A journal an earlier version wrote, with a row still waiting: it opens, its
// row goes on as decided by the server, and new rows keep their mark.
TEST_F(Journal, AJournalOfAnEarlierVersionOpensAndKeepsItsRows)
{
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const char* sql =
            "CREATE TABLE RIGHE (N INTEGER PRIMARY KEY AUTOINCREMENT, BIGLIETTO TEXT NOT NULL UNIQUE, "
            "DATABASE TEXT NOT NULL, BARCODESPEED BLOB NOT NULL, CODICEEANLETTO BLOB, STATUS TEXT NOT NULL, "
            "DATAORA TEXT NOT NULL, TRATTENUTA INTEGER NOT NULL, RIFIUTO TEXT);"
            "INSERT INTO RIGHE (BIGLIETTO, DATABASE, BARCODESPEED, STATUS, DATAORA, TRATTENUTA) "
            "VALUES ('0123456789abcdef0123456789abcdef', CAST('db' AS BLOB), CAST('OLD' AS BLOB), "
            "'BarCodeSpeedSconosciuto', "
            "'2026-12-01 10:00:00.000', 0);";
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    ScanJournal journal(path);
    journal.Release(journal.Add("db", "COPY", "", parcels::kBarCodeSpeedSconosciuto, true).ticket);
    const auto rows = journal.Waiting("db", 10);
    ASSERT_EQ(Codes(rows), (std::vector<std::string>{"OLD", "COPY"}));
    EXPECT_FALSE(rows[0].fromCopy);
    EXPECT_TRUE(rows[1].fromCopy);
    EXPECT_THAT(parcels::Described(rows[1]), HasSubstr("copia dei colli"));
}

// A row is held while its outcome is given: a failed step takes it back, a
// run that ended meanwhile (a kill, the session's end) leaves it to the next.
TEST_F(Journal, HeldRowsWaitForTheirOutcomeAndARunThatEndedReleasesThem)
{
    ScanJournal journal(path);
    const JournalRow failed = journal.Add("db", "PRINT-FAILED", "1", parcels::kEanErrato);
    const JournalRow shown = journal.Add("db", "SHOWN", "2", parcels::kEanCorretto);
    EXPECT_TRUE(journal.Waiting("db", 10).empty());
    EXPECT_EQ(journal.Count("db").waiting, 2); // held rows are the server's too, once released
    journal.Discard(failed.ticket);
    EXPECT_EQ(journal.Count("db").waiting, 1);

    ScanJournal nextRun(path);
    EXPECT_EQ(nextRun.ReleaseLeftOver(), 1);
    EXPECT_EQ(Codes(nextRun.Waiting("db", 10)), (std::vector<std::string>{"SHOWN"}));
    nextRun.Discard(shown.ticket); // only a held row can be taken back
    EXPECT_EQ(nextRun.Count("db").waiting, 1);
}

TEST_F(Journal, RefusedRowsStayAsideUntilTheyGetAnotherChance)
{
    ScanJournal journal(path);
    const JournalRow row = journal.Add("db", "REFUSED", "", parcels::kBarCodeSpeedSconosciuto);
    journal.Release(row.ticket);
    journal.MarkRefused(row.ticket, "no permission for INSERT access to TABLE LOGSPARATE");
    EXPECT_TRUE(journal.Waiting("db", 10).empty());
    const auto counts = journal.Count("db");
    EXPECT_EQ(counts.waiting, 0);
    EXPECT_EQ(counts.refused, 1);
    ASSERT_EQ(journal.Refused("db").size(), 1u);
    EXPECT_THAT(journal.Refused("db")[0].refusal, HasSubstr("INSERT"));
    journal.ClearRefusals("db");
    EXPECT_EQ(Codes(journal.Waiting("db", 10)), (std::vector<std::string>{"REFUSED"}));
}

TEST_F(Journal, AFolderThatCannotTakeItIsToldAndTheNextOneIsChosen)
{
    const std::string file = folder + "/not-a-folder";
    QFile made(QString::fromStdString(file));
    ASSERT_TRUE(made.open(QIODevice::WriteOnly));
    made.close();
    try {
        ScanJournal journal(file + "/" + ScanJournal::kFileName);
        FAIL() << "opened a journal inside a file";
    } catch (const parcels::JournalError& error) {
        EXPECT_THAT(error.what(), HasSubstr("Impossibile scrivere il giornale delle scansioni"));
        EXPECT_THAT(error.what(), HasSubstr("not-a-folder"));
    }
    EXPECT_EQ(parcels::JournalFolder({"", file + "/sub", folder + "/giornale"}), folder + "/giornale");
    EXPECT_TRUE(QFileInfo(QString::fromStdString(folder + "/giornale")).isDir());
    EXPECT_EQ(parcels::JournalFolder({file + "/sub"}), "");
}

#ifdef _WIN32
// Whether the name's access list lets BUILTIN\Users write and delete and, on
// a folder, hands that on to what is made in it.
bool UsersMayChange(const std::string& name, bool folder)
{
    const std::wstring wide = QString::fromStdString(name).toStdWString();
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof users;
    const DWORD needed = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE;
    const BYTE handedOn = folder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
    bool found = false;
    if (acl && CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size)) {
        for (DWORD i = 0; i < acl->AceCount && !found; ++i) {
            void* entry = nullptr;
            if (!GetAce(acl, i, &entry))
                continue;
            auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            found = ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && EqualSid(&ace->SidStart, users) &&
                    (ace->Mask & needed) == needed && (ace->Header.AceFlags & handedOn) == handedOn;
        }
    }
    LocalFree(descriptor);
    return found;
}

// Wine takes an access list on a file and keeps only what Unix modes can say.
bool KeepsAccessLists()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return !ntdll || !GetProcAddress(ntdll, "wine_get_version");
}
#endif

// The folder may have any letter in its name: SQLite is given it in UTF-8.
TEST_F(Journal, AnAccentedFolderTakesIt)
{
    const std::string accented = folder + "/Giornale gi\xC3\xA0";
    ASSERT_EQ(parcels::JournalFolder({accented}), accented);
    const std::string file = accented + "/" + ScanJournal::kFileName;
    {
        ScanJournal journal(file);
        journal.Release(journal.Add("db", "SP1", "", parcels::kBarCodeSpeedSconosciuto).ticket);
    }
    // Under its name as given, not as its bytes read in another code page.
    EXPECT_TRUE(QFileInfo(QString::fromStdString(file)).isFile());
    EXPECT_EQ(ScanJournal(file).Count("db").waiting, 1);
}

#ifdef _WIN32
// Every operator of the workstation writes the one journal, whoever made its folder.
TEST_F(Journal, EveryUserOfTheWorkstationWritesItsFolder)
{
    ASSERT_TRUE(parcels::OpenToWorkstationUsers(folder));
    ScanJournal(path).Add("db", "SP1", "", parcels::kBarCodeSpeedSconosciuto);
    if (!KeepsAccessLists())
        GTEST_SKIP() << "this Windows keeps no access lists on files";
    EXPECT_TRUE(UsersMayChange(folder, true));
    EXPECT_TRUE(UsersMayChange(path, false));
}
#endif

#ifndef _WIN32
// A row acknowledged is on the disk: a process killed right after keeps it.
TEST_F(Journal, ARowAcknowledgedSurvivesAKill)
{
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeEnds[0]);
        ScanJournal journal(path);
        const JournalRow row = journal.Add("db", "KILLED", "", parcels::kBarCodeSpeedSconosciuto);
        journal.Release(row.ticket);
        const char done = 1;
        [[maybe_unused]] const auto written = ::write(pipeEnds[1], &done, 1);
        ::pause(); // killed while it still holds the file
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    char done = 0;
    ASSERT_EQ(::read(pipeEnds[0], &done, 1), 1);
    ::close(pipeEnds[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ScanJournal journal(path);
    EXPECT_EQ(Codes(journal.Waiting("db", 10)), (std::vector<std::string>{"KILLED"}));
}
#endif

// What the forwarder told: the row's code and the reason.
using Heard = parcelstest::Heard<ForwardEvent>;

// Waits until the journal has no row of the database left to send.
bool Drained(const std::string& path, const std::string& database, std::chrono::seconds most)
{
    const auto end = std::chrono::steady_clock::now() + most;
    ScanJournal journal(path);
    while (std::chrono::steady_clock::now() < end) {
        if (journal.Count(database).waiting == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The forwarder against a server of its own, which the test freezes, cuts
// off, kills; the journal in a scratch folder.
class Forwarding : public Journal {
protected:
    void SetUp() override
    {
        if (testsupport::ServerAddress().empty())
            GTEST_SKIP() << "COLLI_FB_SERVER not set";
        ASSERT_TRUE(server.Running());
        name = parcelstest::LogDatabaseOn(server);
        journal = std::make_unique<ScanJournal>(path);
    }

    void Start()
    {
        parcels::StationLink link{name, {"user_name=SYSDBA", "password=plumtrove"}, 2, 1, 1};
        forwarder = std::make_unique<parcels::LogForwarder>(path, link, [this](const ForwardEvent& e) { heard(e); });
    }
    void Scan(const std::string& code)
    {
        journal->Release(journal->Add(name, code, "", parcels::kBarCodeSpeedSconosciuto).ticket);
        if (forwarder)
            forwarder->Wake();
    }
    std::vector<std::string> Logged()
    {
        std::vector<std::string> codes;
        for (const auto& row : testsupport::QueryOn(name, "SELECT BARCODESPEED FROM LOGSPARATE ORDER BY ID"))
            codes.push_back(row[0]);
        return codes;
    }
    // Transactions of other attachments still open at the server.
    std::string OpenElsewhere()
    {
        return testsupport::QueryOn(name, "SELECT COUNT(*) FROM MON$TRANSACTIONS T JOIN MON$ATTACHMENTS A ON A.MON$ATTACHMENT_ID = "
               "T.MON$ATTACHMENT_ID WHERE A.MON$SYSTEM_FLAG = 0 AND A.MON$ATTACHMENT_ID <> CURRENT_CONNECTION")[0][0];
    }

    testsupport::PrivateServer server;
    std::string name;
    std::unique_ptr<ScanJournal> journal;
    Heard heard{[](const ForwardEvent& e) { return e.row.barcodeSpeed + ": " + e.reason; }};
    std::unique_ptr<parcels::LogForwarder> forwarder;
};

TEST_F(Forwarding, RowsReachTheServerOnceInOrderAndAnIdleForwarderHoldsNothingOpen)
{
    Scan("WAITED-1"); // scanned before the forwarder ran: found at its start
    Scan("WAITED-2");
    Start();
    Scan("NEW");
    ASSERT_TRUE(Drained(path, name, std::chrono::seconds(20))) << heard.Notes();
    EXPECT_EQ(Logged(), (std::vector<std::string>{"WAITED-1", "WAITED-2", "NEW"})) << heard.Notes();
    EXPECT_EQ(heard.Count(ForwardEvent::Kind::Forwarded), 3);
    // Nothing left to send: its transaction ends.
    for (int check = 0; check < 100 && OpenElsewhere() != "0"; ++check)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(OpenElsewhere(), "0");
}

TEST_F(Forwarding, ARowTheServerRefusesIsKeptAndTheOthersGoOn)
{
    testsupport::ExecuteOn(name, "CREATE EXCEPTION RIFIUTO 'riga rifiutata'");
    testsupport::ExecuteOn(name, "CREATE TRIGGER LOGSPARATE_AL_COMMIT ON TRANSACTION COMMIT AS BEGIN "
                                 "IF (EXISTS(SELECT 1 FROM LOGSPARATE WHERE BARCODESPEED = 'REFUSED')) THEN "
                                 "EXCEPTION RIFIUTO; END");
    Start();
    Scan("BEFORE");
    Scan("REFUSED");
    Scan("AFTER");
    ASSERT_TRUE(Drained(path, name, std::chrono::seconds(20))) << heard.Notes();
    forwarder.reset();
    EXPECT_EQ(Logged(), (std::vector<std::string>{"BEFORE", "AFTER"}));
    EXPECT_EQ(heard.Count(ForwardEvent::Kind::Refused), 1);
    const auto refused = journal->Refused(name);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].barcodeSpeed, "REFUSED");
    EXPECT_THAT(refused[0].refusal, HasSubstr("riga rifiutata"));
}

#ifndef _WIN32
// Rows scanned while the server is frozen, cut off or killed wait in the
// journal and each reaches it exactly once when it is back.
TEST_F(Forwarding, RowsWaitThroughAnOutageAndArriveOnce)
{
    Start();
    Scan("BEFORE");
    ASSERT_TRUE(Drained(path, name, std::chrono::seconds(20))) << heard.Notes();
    struct Outage {
        const char* code;
        std::function<bool()> begin;
        std::function<void()> end;
    };
    const Outage outages[] = {
        {"FROZEN", [this] { server.Freeze(); return true; }, [this] { server.Thaw(); }},
        {"BLACKHOLED", [this] { return server.Blackhole(); }, [this] { server.Restore(); }},
        {"KILLED", [this] { server.Kill(); return true; }, [this] { server.Restart(); }},
    };
    std::vector<std::string> expected{"BEFORE"};
    for (const Outage& outage : outages) {
        if (!outage.begin()) {
            ADD_FAILURE() << "no iptables rule could be made";
            continue;
        }
        Scan(std::string(outage.code) + "-1");
        Scan(std::string(outage.code) + "-2");
        std::this_thread::sleep_for(std::chrono::seconds(3)); // past the bound: an insert was cut
        EXPECT_EQ(journal->Count(name).waiting, 2) << outage.code;
        outage.end();
        ASSERT_TRUE(Drained(path, name, std::chrono::seconds(60))) << outage.code << "\n" << heard.Notes();
        expected.push_back(std::string(outage.code) + "-1");
        expected.push_back(std::string(outage.code) + "-2");
    }
    EXPECT_EQ(Logged(), expected) << heard.Notes();
    EXPECT_GE(heard.Count(ForwardEvent::Kind::Unreachable), 2) << heard.Notes();
    EXPECT_GE(heard.Count(ForwardEvent::Kind::Reachable), 2) << heard.Notes();
}
#endif

} // namespace
