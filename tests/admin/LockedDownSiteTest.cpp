// A site set up as the README says, tried as the station's account would be
// by an operator who read its password in dati.ini, and as the administrator.
#include "AdminCli.h"
#include "AdminCommands.h"

#include "PrivateServer.h"
#include "TestDatabase.h"

#include <dataaccess/Connection.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>
#include <parcels/WrongEanBatch.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace {

using Rows = std::vector<std::vector<std::string>>;

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

CliResult RunCli(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    const int status = admin::RunAdminCli(args, out, err, false, {});
    return {status, out.str(), err.str()};
}

const std::string kStationPassword = "Stazione1";

// One private server for the suite (accounts and mappings belong to the whole
// server); each test has a database of its own on it.
class LockedDownSite : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (testsupport::ServerAddress().empty())
            return;
        server_ = new testsupport::PrivateServer("Required");
        dir_ = new QTemporaryDir;
        std::ofstream(dir_->filePath("sysdba").toStdString()) << "plumtrove\n";
        std::ofstream(dir_->filePath("station").toStdString()) << kStationPassword << "\n";
        for (const char* name : {"sysdba", "station"})
            std::filesystem::permissions(dir_->filePath(name).toStdString(),
                                         std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
        delete dir_;
        dir_ = nullptr;
    }

    void SetUp() override
    {
        if (server_ == nullptr)
            GTEST_SKIP() << "no private server";
        ASSERT_TRUE(server_->Running());
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        db = server_->Address() + ":" + server_->Folder() + info->name() + ".FDB";
        const auto init = Admin({"init", db});
        ASSERT_EQ(init.status, 0) << init.err;
        const auto user = Admin({"station-user", db, "stazione", "--station-password-file", File("station")});
        ASSERT_EQ(user.status, 0) << user.err;
    }

    static std::string File(const char* name) { return dir_->filePath(name).toStdString(); }

    CliResult Admin(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--password-file", File("sysdba")});
        return RunCli(args);
    }

    // An attachment of the station's account with its role.
    std::unique_ptr<dataaccess::Connection> Station()
    {
        auto connection = std::make_unique<dataaccess::Connection>();
        connection->SetDatabaseName(db);
        connection->Params() = {"user_name=STAZIONE", "password=" + kStationPassword, "sql_role_name=COLLI_STATION"};
        connection->SetConnected(true);
        return connection;
    }

    // Empty when the statement passed, else the server's text.
    static std::string Run(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                           const std::string& sql)
    {
        transaction.SetActive(true);
        dataaccess::SqlStatement statement(connection, transaction);
        statement.SetParamCheck(false);
        statement.AddLine(sql);
        try {
            statement.ExecQuery();
        } catch (const std::exception& e) {
            return e.what();
        }
        return {};
    }

    Rows Query(const std::string& sql) { return testsupport::QueryOn(db, sql); }

    std::string db;
    static testsupport::PrivateServer* server_;
    static QTemporaryDir* dir_;
};

testsupport::PrivateServer* LockedDownSite::server_ = nullptr;
QTemporaryDir* LockedDownSite::dir_ = nullptr;

TEST_F(LockedDownSite, LogRowsNameTheirWriterAndTakeTheTimeOfTheirCommit)
{
    auto station = Station();
    dataaccess::Transaction held(*station);
    // Whatever the writer says about itself is replaced.
    ASSERT_EQ(Run(*station, held,
                  "INSERT INTO LOGSPARATE (BARCODESPEED, CODICEEANLETTO, STATUS, UTENTE, POSTAZIONE, DATAORA) "
                  "VALUES ('B3', 'WHATEVER', 'EAN OK', 'SYSDBA', 'altrove', '2001-01-01')"),
              "");
    // Another station's row, committed while the first is held open.
    auto other = Station();
    dataaccess::Transaction quick(*other);
    quick.SetAutoCommit(true);
    quick.SetReadCommitted(true);
    ASSERT_EQ(Run(*other, quick, "INSERT INTO LOGSPARATE (BARCODESPEED, STATUS) VALUES ('B4', 'EanCorretto')"), "");
    quick.Commit();
    const std::string before = Query("SELECT CAST(CURRENT_TIMESTAMP AS VARCHAR(24)) FROM RDB$DATABASE").at(0).at(0);
    held.Commit();

    const auto rows = Query("SELECT BARCODESPEED, TRIM(UTENTE), TRIM(IIF(POSTAZIONE STARTING WITH '127.0.0.1', 'here', 'elsewhere')), "
                            "TRIM(IIF(DATAORA >= CAST('" + before + "' AS TIMESTAMP), 'late', 'early')) "
                            "FROM LOGSPARATE ORDER BY DATAORA, ID");
    EXPECT_EQ(rows, (Rows{{"B4", "STAZIONE", "here", "early"}, {"B3", "STAZIONE", "here", "late"}}));

    // The station's journal writes in autocommit: each statement's commit
    // stamps its rows, not the end of the transaction, which stays open.
    {
        dataaccess::Connection owner;
        owner.SetDatabaseName(db);
        owner.Params() = {"user_name=SYSDBA", "password=plumtrove"};
        owner.SetConnected(true);
        dataaccess::Transaction autocommit(owner);
        autocommit.SetAutoCommit(true);
        ASSERT_EQ(Run(owner, autocommit, "INSERT INTO LOGSPARATE (BARCODESPEED, STATUS) VALUES ('B5', 'EanCorretto')"),
                  "");
        dataaccess::SqlQuery pending(owner, autocommit);
        pending.AddLine("SELECT COUNT(*) AS N FROM LOGSPARATE_NUOVE");
        pending.Open();
        EXPECT_EQ(pending.FieldInteger("N"), 0);
        pending.Close();
        autocommit.Commit();
    }

    const auto log = Admin({"export-log", db});
    ASSERT_EQ(log.status, 0) << log.err;
    EXPECT_NE(log.out.find("ID;DATAORA;BARCODESPEED;CODICEEANLETTO;STATUS;UTENTE;POSTAZIONE;DATAORASCANSIONE;DACOPIA\n"), std::string::npos);
    EXPECT_NE(log.out.find(";B3;WHATEVER;EAN OK;STAZIONE;127.0.0.1"), std::string::npos) << log.out;
}

// The faulty-EAN guard follows rows, not courier barcodes: a station fills an
// empty one with the derived value, once, and nothing else.
TEST_F(LockedDownSite, StationFillsOnlyEmptyFaultyEansWithTheDerivedValue)
{
    testsupport::ExecuteOn(db, "INSERT INTO COLLI VALUES ('B1', '2001234567890', NULL);"
                               "INSERT INTO COLLI VALUES ('B1', '2001111111111', 'SET BY ADMIN');"
                               "INSERT INTO COLLI VALUES ('B2', '2001111111111', NULL);"
                               "INSERT INTO COLLI VALUES ('B3', '2001111111111', NULL);"
                               "INSERT INTO COLLI VALUES ('B3', '2001234567890', NULL)");
    const struct {
        std::vector<std::string> statements; // one transaction, committed when all passed
        std::string refusal;                 // part of the server's text for the last one; empty: all pass
    } cases[] = {
        // The attack that cleared the administrator's value through a sibling.
        {{"UPDATE COLLI SET CODICEEAN_ERRATO='0012345678905' WHERE BARCODESPEED='B1' AND CODICEEAN_ERRATO IS NULL",
          "UPDATE COLLI SET CODICEEAN_ERRATO=NULL WHERE BARCODESPEED='B1'"},
         "non svuota"},
        {{"UPDATE COLLI SET CODICEEAN_ERRATO='0012345678905' WHERE BARCODESPEED='B1' AND CODICEEAN_ERRATO IS NULL",
          "UPDATE COLLI SET CODICEEAN_ERRATO='0011111111110' WHERE CODICEEAN='2001111111111' AND BARCODESPEED='B1'"},
         "gia impostato"},
        {{"UPDATE COLLI SET CODICEEAN_ERRATO='2222222222222' WHERE BARCODESPEED='B2'"}, "derivato"},
        {{"UPDATE COLLI SET CODICEEAN_ERRATO='ANY' WHERE BARCODESPEED='B2'"}, "derivato"},
        // An update that changes nothing would lock every parcel.
        {{"UPDATE COLLI SET CODICEEAN_ERRATO = CODICEEAN_ERRATO"}, "senza cambiarlo"},
        {{"UPDATE COLLI SET CODICEEAN_ERRATO='0011111111110' WHERE BARCODESPEED='B2'"}, ""},
        // Parcels sharing a barcode: filled, then filled again in the same run.
        {{"UPDATE COLLI SET CODICEEAN_ERRATO='0011111111110' WHERE BARCODESPEED='B3'",
          "UPDATE COLLI SET CODICEEAN_ERRATO='0012345678905' WHERE BARCODESPEED='B3'"},
         ""},
        // Once committed, a value is the site's.
        {{"UPDATE COLLI SET CODICEEAN_ERRATO='0011111111110' WHERE BARCODESPEED='B3'"}, "gia impostato"},
    };
    auto station = Station();
    for (const auto& c : cases) {
        dataaccess::Transaction transaction(*station);
        std::string failure;
        for (const auto& sql : c.statements)
            if (failure = Run(*station, transaction, sql); !failure.empty())
                break;
        if (c.refusal.empty()) {
            EXPECT_EQ(failure, "") << c.statements.back();
            transaction.Commit();
        } else {
            EXPECT_NE(failure.find(c.refusal), std::string::npos) << c.statements.back() << ": " << failure;
            transaction.Rollback();
        }
    }
    EXPECT_EQ(Query("SELECT BARCODESPEED, CODICEEAN, COALESCE(CODICEEAN_ERRATO, '<NULL>') FROM COLLI ORDER BY 1, 2"),
              (Rows{{"B1", "2001111111111", "SET BY ADMIN"},
                    {"B1", "2001234567890", "<NULL>"},
                    {"B2", "2001111111111", "0011111111110"},
                    {"B3", "2001111111111", "0012345678905"},
                    {"B3", "2001234567890", "0012345678905"}}));
}

class QuietUi : public parcels::BatchUi {
public:
    std::vector<std::string> messages;
    void Warning(const std::string& text) override { messages.push_back("Warning: " + text); }
    void Error(const std::string& text) override { messages.push_back("Error: " + text); }
    void Information(const std::string& text) override { messages.push_back("Information: " + text); }
    bool Confirm(const std::string&) override { return true; }
    void Progress(long long, long long) override {}
    void ProgressFinished() override {}
};

// The station's batch, as the station's account, with a set parcel sharing
// the courier barcode of an empty one, whichever row comes first.
TEST_F(LockedDownSite, StationBatchCompletesBesideASetSiblingInEitherOrder)
{
    const std::string empty = "('S1', '2001234567890', NULL)";
    const std::string set = "('S1', '2001111111111', 'SET BY ADMIN')";
    for (const bool setFirst : {true, false}) {
        testsupport::ExecuteOn(db, "DELETE FROM COLLI");
        for (const auto& row : setFirst ? std::vector<std::string>{set, empty} : std::vector<std::string>{empty, set})
            testsupport::ExecuteOn(db, "INSERT INTO COLLI VALUES " + row);
        testsupport::ExecuteOn(db, "INSERT INTO COLLI VALUES ('S2', '2001111111111', NULL);"
                                   "INSERT INTO COLLI VALUES ('S2', '2001234567890', NULL)");
        auto station = Station();
        dataaccess::Transaction transaction(*station);
        QuietUi ui;
        parcels::RunWrongEanBatch(*station, transaction, ui);
        EXPECT_EQ(ui.messages, std::vector<std::string>{"Information: Elaborazione completata"}) << setFirst;
        EXPECT_EQ(Query("SELECT BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED='S1' "
                        "ORDER BY 2"),
                  (Rows{{"S1", "2001111111111", "SET BY ADMIN"}, {"S1", "2001234567890", "0012345678905"}}))
            << setFirst;
        // Both lacked it: both end with one value, the later row's.
        const auto shared = Query("SELECT DISTINCT CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED='S2'");
        ASSERT_EQ(shared.size(), 1u) << setFirst;
        EXPECT_TRUE(shared[0][0] == "0012345678905" || shared[0][0] == "0011111111110") << shared[0][0];
    }
}

TEST_F(LockedDownSite, NightlyBatchFromTheCommandLine)
{
    testsupport::ExecuteOn(db, "INSERT INTO COLLI VALUES ('N1', '2001234567890', NULL);"
                               "INSERT INTO COLLI VALUES ('N1', '2001111111111', 'SET BY ADMIN')");
    const auto first = Admin({"integrate-wrong-eans", db});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("Elaborazione completata"), std::string::npos) << first.out;
    EXPECT_EQ(Query("SELECT CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED='N1' ORDER BY CODICEEAN"),
              (Rows{{"SET BY ADMIN"}, {"0012345678905"}}));
    EXPECT_EQ(Admin({"integrate-wrong-eans", db}).status, 0); // nothing left to fill

    // A letter among the twelve: nothing committed, and the exit says so.
    testsupport::ExecuteOn(db, "INSERT INTO COLLI VALUES ('N2', '2001234567890', NULL);"
                               "INSERT INTO COLLI VALUES ('N3', '20012345X7890', NULL)");
    const auto bad = Admin({"integrate-wrong-eans", db});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("'X' is not a valid integer value"), std::string::npos) << bad.err;
    EXPECT_EQ(Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO IS NULL"), (Rows{{"2"}}));
}

// Any account can reserve the log for itself; the administrator sees that it
// is reserved, finds the holder among the sessions and ends it.
TEST_F(LockedDownSite, ReservedLogIsShownAndItsHolderEnded)
{
    auto holder = Station();
    std::string holderId;
    {
        dataaccess::Transaction ask(*holder);
        ask.SetActive(true);
        dataaccess::SqlQuery query(*holder, ask);
        query.AddLine("SELECT CURRENT_CONNECTION AS ID FROM RDB$DATABASE");
        query.Open();
        holderId = query.FieldText("ID");
        query.Close();
        ask.Commit();
    }
    dataaccess::Transaction reserving(*holder);
    reserving.Reserve("LOGSPARATE", dataaccess::Transaction::Reservation::ProtectedWrite);
    reserving.SetActive(true);

    auto other = Station();
    dataaccess::Transaction insert(*other);
    insert.SetLockTimeout(1);
    EXPECT_NE(Run(*other, insert, "INSERT INTO LOGSPARATE (BARCODESPEED, STATUS) VALUES ('B', 'EanCorretto')"), "");
    insert.Rollback();

    const auto sessions = Admin({"sessions", db});
    ASSERT_EQ(sessions.status, 0) << sessions.err;
    const std::string holderLine = "attachment " + holderId + ": STAZIONE as COLLI_STATION";
    EXPECT_NE(sessions.out.find(holderLine), std::string::npos) << sessions.out;
    EXPECT_NE(sessions.out.find("no statement running"), std::string::npos) << sessions.out;
    EXPECT_NE(sessions.out.find("warning: LOGSPARATE is reserved"), std::string::npos) << sessions.out;
    EXPECT_EQ(sessions.out.find("warning: COLLI"), std::string::npos) << sessions.out;

    EXPECT_EQ(Admin({"end-session", db, "999999"}).status, 1);
    EXPECT_EQ(Admin({"end-session", db, "x1"}).status, 2);
    const auto ended = Admin({"end-session", db, holderId});
    ASSERT_EQ(ended.status, 0) << ended.err;

    EXPECT_EQ(Run(*other, insert, "INSERT INTO LOGSPARATE (BARCODESPEED, STATUS) VALUES ('B', 'EanCorretto')"), "");
    insert.Commit();
    EXPECT_EQ(Admin({"sessions", db}).out.find("is reserved"), std::string::npos);
    EXPECT_THROW(reserving.Commit(), std::exception); // its attachment is gone
}

TEST_F(LockedDownSite, StationUserRefusesMappedUsersAndReportsPublicRights)
{
    const struct {
        const char* create;
        const char* drop;
    } mappings[] = {
        {"CREATE MAPPING M_ADMIN USING ANY PLUGIN FROM USER STAZIONE TO ROLE RDB$ADMIN", "DROP MAPPING M_ADMIN"},
        {"CREATE MAPPING M_ANY USING ANY PLUGIN FROM ANY USER TO ROLE RDB$ADMIN", "DROP MAPPING M_ANY"},
        {"CREATE MAPPING M_OTHER USING ANY PLUGIN FROM USER STAZIONE TO USER CAPO", "DROP MAPPING M_OTHER"},
        {"CREATE GLOBAL MAPPING M_GLOBAL USING ANY PLUGIN FROM USER STAZIONE TO ROLE RDB$ADMIN",
         "DROP GLOBAL MAPPING M_GLOBAL"},
    };
    for (const auto& mapping : mappings) {
        testsupport::ExecuteOn(db, mapping.create);
        const auto refused = Admin({"station-user", db, "stazione", "--station-password-file", File("station")});
        EXPECT_EQ(refused.status, 1) << mapping.create;
        EXPECT_NE(refused.err.find("is mapped to an administrator"), std::string::npos) << refused.err;
        testsupport::ExecuteOn(db, mapping.drop);
    }

    for (const char* grant : {"GRANT SELECT ON LOGSPARATE TO PUBLIC", "GRANT EXECUTE ON PROCEDURE COLLI_MODIFICHE_POTA TO PUBLIC",
                              "GRANT USAGE ON GENERATOR IDLOGSPARATECOUNTER TO PUBLIC"})
        testsupport::ExecuteOn(db, grant);
    const auto reported = Admin({"station-user", db, "stazione", "--station-password-file", File("station")});
    ASSERT_EQ(reported.status, 0) << reported.err;
    for (const char* right : {"warning: PUBLIC holds SELECT ON TABLE LOGSPARATE",
                              "warning: PUBLIC holds EXECUTE ON PROCEDURE COLLI_MODIFICHE_POTA",
                              "warning: PUBLIC holds USAGE ON GENERATOR IDLOGSPARATECOUNTER"})
        EXPECT_NE(reported.out.find(right), std::string::npos) << right << " in:\n" << reported.out;
    const auto revoked = Admin({"station-user", db, "stazione", "--station-password-file", File("station"),
                                "--revoke-public"});
    ASSERT_EQ(revoked.status, 0) << revoked.err;
    EXPECT_NE(revoked.out.find("PUBLIC: revoked SELECT ON TABLE LOGSPARATE"), std::string::npos) << revoked.out;
    EXPECT_EQ(Query("SELECT COUNT(*) FROM RDB$USER_PRIVILEGES WHERE RDB$USER='PUBLIC' AND RDB$RELATION_NAME IN "
                    "('LOGSPARATE', 'COLLI_MODIFICHE_POTA', 'IDLOGSPARATECOUNTER')"),
              (Rows{{"0"}}));
}

// init goes by the roles station-user recorded: an administrator's role that
// may also fill faulty EANs keeps its other rights.
TEST_F(LockedDownSite, InitKnowsTheStationRolesFromItsRecord)
{
    testsupport::ExecuteOn(db, "CREATE ROLE UFFICIO; GRANT UPDATE (CODICEEAN_ERRATO) ON COLLI TO ROLE UFFICIO;"
                               "GRANT DELETE ON COLLI TO ROLE UFFICIO;"
                               "GRANT SELECT ON LOGSPARATE TO ROLE COLLI_STATION");
    const auto init = Admin({"init", db});
    ASSERT_EQ(init.status, 0) << init.err;
    EXPECT_NE(init.out.find("role UFFICIO: may update CODICEEAN_ERRATO but is no station role"), std::string::npos)
        << init.out;
    EXPECT_NE(init.out.find("role COLLI_STATION: given exactly the station's rights"), std::string::npos) << init.out;
    EXPECT_EQ(Query("SELECT TRIM(RDB$PRIVILEGE) FROM RDB$USER_PRIVILEGES WHERE RDB$USER='UFFICIO' ORDER BY 1"),
              (Rows{{"D"}, {"U"}}));
}

TEST_F(LockedDownSite, RefusesAServerThatCannotEncryptTheLinkUnlessAllowed)
{
    testsupport::PrivateServer plain{"Disabled"};
    ASSERT_TRUE(plain.Running());
    const std::string name = plain.Address() + ":" + plain.Folder() + "PIANO.FDB";
    const auto refused = Admin({"init", name});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.find("cannot create"), std::string::npos) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(plain.Folder() + "PIANO.FDB"));
    EXPECT_EQ(Admin({"station-user", name, "stazione", "--station-password-file", File("station")}).status, 1);

    // A refused login creates nothing either, over a link that is fine.
    std::ofstream(File("wrong")) << "not the password\n";
    const std::string missing = server_->Folder() + "MAI.FDB";
    const auto wrong = RunCli({"--password-file", File("wrong"), "init", server_->Address() + ":" + missing});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err.find("cannot create"), std::string::npos) << wrong.err;
    EXPECT_FALSE(std::filesystem::exists(missing));

    const auto allowed = Admin({"--allow-plain-link", "init", name});
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_TRUE(std::filesystem::exists(plain.Folder() + "PIANO.FDB"));
}

TEST(NewPassword, TwentyFourCharactersWithoutLookAlikes)
{
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const auto result = RunCli({"new-password"});
        ASSERT_EQ(result.status, 0);
        ASSERT_EQ(result.out.size(), 25u) << result.out;
        EXPECT_EQ(result.out.find_first_not_of("ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789"), 24u);
        seen.insert(result.out);
    }
    EXPECT_EQ(seen.size(), 20u);
    EXPECT_EQ(RunCli({"new-password", "extra"}).status, 2);
}

} // namespace
