// The station on a server that requires an encrypted link and knows the
// station only by the account colli-admin made for it: everything a station
// does works, anything else is refused by the server.
#include "AdminCli.h"
#include "PrivateServer.h"
#include "StationFixture.h"
#include "TestDatabase.h"

#include <dataaccess/Connection.h>
#include <dblocate/DatabaseLocator.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <QLineEdit>
#include <QPushButton>

#include <ibase.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const std::string kUser = "STAZIONE";
const std::string kPassword = "Segreto=1;x";
const std::string kRole = "COLLI_STATION";

class StationAccount : public StationTest {
protected:
    void SetUp() override
    {
        if (std::getenv("COLLI_FB_SERVER") == nullptr)
            GTEST_SKIP() << "no private server wanted (COLLI_FB_SERVER unset)";
        ASSERT_TRUE(server.Running());
        remoteName = server.Address() + ":" + server.Folder() + "REMOTE.FDB";
        folder.CreateDatabase(remoteName);
        AddParcel("SPD001", "8001234567890", "0012345678905");
        AddParcel("SPD002", "2001234567890", "<NULL>");
        folder.Execute("CREATE TABLE ALTRO (X INTEGER)");
        std::filesystem::remove(folder.DatabasePath());

        MakeStationUser(remoteName);

        std::ofstream(folder.Path() + "dati.ini")
            << "[CONFIG]\r\nNome Server=" << server.Address() << "\r\nAlias=" << server.Folder() << "REMOTE.FDB"
            << "\r\nUtente=" << kUser << "\r\nPassword=" << kPassword << "\r\nRuolo=" << kRole << "\r\n";
    }

    void MakeStationUser(const std::string& database, bool plainLink = false)
    {
        const std::string passwordFile = folder.Path() + "station-password";
        const std::string sysdbaFile = folder.Path() + "sysdba-password";
        std::ofstream(passwordFile) << kPassword << "\n";
        std::ofstream(sysdbaFile) << "plumtrove\n";
        std::ostringstream out, err;
        std::vector<std::string> args = {"--password-file", sysdbaFile, "station-user", database, "stazione",
                                         "--station-password-file", passwordFile};
        if (plainLink)
            args.insert(args.begin(), "--allow-plain-link");
        ASSERT_EQ(admin::RunAdminCli(args, out, err, false), 0)
            << err.str();
        std::filesystem::remove(passwordFile);
        std::filesystem::remove(sysdbaFile);
    }

    // A connection of the station's account, with or without its role.
    void AttachAsStation(dataaccess::Connection& connection, bool withRole)
    {
        connection.Params() = {"user_name=" + kUser, "password=" + kPassword};
        if (withRole)
            connection.Params().push_back("sql_role_name=" + kRole);
        connection.SetDatabaseName(remoteName);
        connection.SetConnected(true);
    }

    testsupport::PrivateServer server{"Required"};
    std::string remoteName;
};

std::string FirstField(dataaccess::Connection& connection, const std::string& sql)
{
    dataaccess::Transaction transaction(connection);
    dataaccess::SqlQuery query(connection, transaction);
    query.AddLine(sql);
    query.Open();
    return query.FieldText("F");
}

TEST_F(StationAccount, WholeWorkflowWorksOverAnEncryptedLink)
{
    Start();
    ASSERT_TRUE(form->EditBarcode->isEnabled());
    EXPECT_EQ(FirstField(form->DatabaseColli(), "SELECT TRIM(CURRENT_USER) || ' ' || TRIM(CURRENT_ROLE) || ' ' || "
                                                "RDB$GET_CONTEXT('SYSTEM', 'WIRE_ENCRYPTED') AS F FROM RDB$DATABASE"),
              kUser + " " + kRole + " TRUE");
    journal.clear();

    Scan("SPD001");
    Scan("0012345678905"); // faulty: reprint and log
    Scan("SPD002");
    Scan("2001234567890");
    Scan("NESSUNO");
    form->ButtonIntegrazioneEANErrati->click();

    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back(), "Information: Elaborazione completata");
    for (const auto& entry : journal)
        EXPECT_EQ(entry.find("Error"), std::string::npos) << entry;
    EXPECT_NE(printer.sent.find("^FD8001234567890^FS"), std::string::npos);
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][3], "EanErrato");
    EXPECT_EQ(rows[1][3], "EanCorretto");
    EXPECT_EQ(rows[2][3], "BarCodeSpeedSconosciuto");
    EXPECT_EQ(folder.Query("SELECT CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED='SPD002'").at(0).at(0),
              "0012345678905");
}

TEST_F(StationAccount, ServerRefusesEverythingElse)
{
    dataaccess::Connection station;
    AttachAsStation(station, true);
    const char* const refused[] = {
        "SELECT X FROM ALTRO",
        "SELECT ID FROM LOGSPARATE",
        "DELETE FROM COLLI",
        "DELETE FROM LOGSPARATE",
        "UPDATE COLLI SET CODICEEAN='1'",
        "UPDATE LOGSPARATE SET STATUS='x'",
        "INSERT INTO COLLI (BARCODESPEED) VALUES ('X')",
        "DROP TABLE LOGSPARATE",
        "ALTER TABLE COLLI ADD Y INTEGER",
        "CREATE TABLE NUOVA (X INTEGER)",
        "SET GENERATOR IDLOGSPARATECOUNTER TO 0",
        // Moving the counter back would make every later log row collide.
        "SELECT GEN_ID(IDLOGSPARATECOUNTER, -GEN_ID(IDLOGSPARATECOUNTER, 0)) FROM RDB$DATABASE",
        "SELECT NEXT VALUE FOR IDLOGSPARATECOUNTER FROM RDB$DATABASE",
        // A faulty EAN already set is no station's to change, nor to clear.
        "UPDATE COLLI SET CODICEEAN_ERRATO='1111111111116' WHERE BARCODESPEED='SPD001'",
        "UPDATE COLLI SET CODICEEAN_ERRATO=NULL",
        "GRANT SELECT ON COLLI TO PUBLIC",
        "CREATE USER INTRUSO PASSWORD 'x'",
    };
    for (const char* sql : refused) {
        dataaccess::Transaction transaction(station);
        transaction.SetActive(true);
        dataaccess::SqlStatement statement(station, transaction);
        statement.AddLine(sql);
        try {
            statement.ExecQuery();
            transaction.Commit(); // user management is refused only here
            ADD_FAILURE() << "the server allowed: " << sql;
        } catch (const std::exception& e) {
            const std::string message = e.what();
            EXPECT_TRUE(message.find("permission") != std::string::npos ||
                        message.find("privilege") != std::string::npos ||
                        message.find("grant option") != std::string::npos ||
                        message.find("COLLI_EAN_ERRATO_IMPOSTATO") != std::string::npos)
                << sql << ": " << message;
        }
    }
    EXPECT_TRUE(folder.Query("SELECT SEC$USER_NAME FROM SEC$USERS WHERE SEC$USER_NAME='INTRUSO'").empty());
    EXPECT_EQ(folder.Query("SELECT CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED='SPD001'").at(0).at(0),
              "0012345678905");

    // The rights are the role's: the same account without it reads nothing.
    dataaccess::Connection withoutRole;
    AttachAsStation(withoutRole, false);
    EXPECT_THROW(FirstField(withoutRole, "SELECT BARCODESPEED AS F FROM COLLI"), std::exception);
}

TEST_F(StationAccount, ServerRequiringEncryptionRefusesAPlainLink)
{
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    for (const auto& [tag, value] : {std::pair<char, std::string>{isc_dpb_user_name, kUser},
                                     {isc_dpb_password, kPassword},
                                     {isc_dpb_config, "WireCrypt = Disabled"}}) {
        dpb += tag;
        dpb += static_cast<char>(value.size());
        dpb += value;
    }
    ISC_STATUS_ARRAY status{};
    isc_db_handle handle = 0;
    isc_attach_database(status, static_cast<short>(remoteName.size()), remoteName.c_str(), &handle,
                        static_cast<short>(dpb.size()), dpb.data());
    EXPECT_NE(status[1], 0);
    if (handle != 0)
        isc_detach_database(status, &handle);
}

TEST_F(StationAccount, LogRowsTakeTheServersNumberAndTimeAndEmptyFaultyEansAreFilledOnce)
{
    folder.Execute("INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ('DOPPIO', '2001111111111')");
    folder.Execute("INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ('DOPPIO', '2001234567890')");
    dataaccess::Connection station;
    AttachAsStation(station, true);
    dataaccess::Transaction transaction(station);
    transaction.SetActive(true);
    const char* const allowed[] = {
        // A forged number and time are replaced by the server's.
        "INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, STATUS, IDSCANSIONE) "
        "VALUES (999999, '2001-01-01', 'SPD001', 'EanCorretto', '0123456789abcdef0123456789abcdef')",
        // Parcels sharing a barcode: the batch fills them twice in one run.
        "UPDATE COLLI SET CODICEEAN_ERRATO='0011111111110' WHERE BARCODESPEED='DOPPIO'",
        "UPDATE COLLI SET CODICEEAN_ERRATO='0012345678905' WHERE BARCODESPEED='DOPPIO'",
    };
    for (const char* sql : allowed) {
        dataaccess::SqlStatement statement(station, transaction);
        statement.AddLine(sql);
        EXPECT_NO_THROW(statement.ExecQuery()) << sql;
    }
    transaction.Commit();
    EXPECT_EQ(FirstField(station, "EXECUTE BLOCK RETURNS (F BIGINT) AS BEGIN EXECUTE PROCEDURE "
                                 "SCANSIONE_REGISTRATA('0123456789abcdef0123456789abcdef') RETURNING_VALUES F; "
                                 "SUSPEND; END"), "1");
    EXPECT_EQ(folder.Query("SELECT ID, EXTRACT(YEAR FROM DATAORA) - EXTRACT(YEAR FROM CURRENT_DATE) FROM LOGSPARATE"),
              (std::vector<std::vector<std::string>>{{"1", "0"}}));
    EXPECT_EQ(folder.Query("SELECT DISTINCT CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED='DOPPIO'"),
              (std::vector<std::vector<std::string>>{{"0012345678905"}}));
}

// An account named without its role may read nothing: the station says so
// at start-up, naming the missing key, instead of refusing every scan.
TEST_F(StationAccount, MissingRoleIsToldAtStartUp)
{
    std::ofstream(folder.Path() + "dati.ini", std::ios::trunc)
        << "[CONFIG]\r\nNome Server=" << server.Address() << "\r\nAlias=" << server.Folder() << "REMOTE.FDB"
        << "\r\nUtente=" << kUser << "\r\nPassword=" << kPassword << "\r\n";
    Start();
    EXPECT_FALSE(form->EditBarcode->isEnabled());
    bool told = false;
    for (const auto& entry : journal)
        told = told || (entry.rfind("Error: ", 0) == 0 && entry.find("manca la chiave \"Ruolo\"") != std::string::npos &&
                        entry.find(kUser) != std::string::npos);
    EXPECT_TRUE(told) << ::testing::PrintToString(journal);
}

// The station's own account asks for an encrypted link and an Srp login at
// every attach, whatever the workstation's client configuration says.
TEST_F(StationAccount, OwnAccountAttachesOnlyOverAnEncryptedLinkUnlessTheSiteSaysOtherwise)
{
    testsupport::PrivateServer plain{"Disabled"};
    ASSERT_TRUE(plain.Running());
    const std::string plainName = plain.Address() + ":" + plain.Folder() + "PLAIN.FDB";
    testsupport::CreateDatabaseAt(plainName, true);
    MakeStationUser(plainName, true);
    for (const auto& [setting, attaches] : {std::pair<std::string, bool>{"", false}, {"Si", false}, {" no ", true}}) {
        dataaccess::Connection station;
        const auto attach = [&] {
            return dblocate::OpenOrCreateDatabase(station, plainName, "", "", kUser, kPassword, locationUi, kRole,
                                                  dblocate::SecureLinkFor(kUser, setting));
        };
        // A server that will not take the link is a refusal, not a database that is not there.
        if (attaches)
            EXPECT_TRUE(attach()) << "'" << setting << "'";
        else
            EXPECT_THROW(attach(), dblocate::ServerRefusedError) << "'" << setting << "'";
    }
}

} // namespace
