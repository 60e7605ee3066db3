#include "Fixture.h"

#include "dataaccess/Errors.h"
#include "dataaccess/SqlQuery.h"
#include "dataaccess/SqlStatement.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/types.h>

using dataaccess::Connection;
using dataaccess::ConnectionLostError;
using dataaccess::DatabaseError;
using dataaccess::SqlQuery;
using dataaccess::SqlStatement;
using dataaccess::Transaction;

class ConnectionTest : public DatabaseTest {
protected:
    // A database name next to the test database, on the same side (embedded or server).
    std::string SiblingName(const std::string& file) const
    {
        const std::string server = GetParam() == testsupport::Where::Server
                                       ? testsupport::ServerAddress() + ":"
                                       : std::string();
        return server + database->Folder() + "/" + file;
    }
};
COLLI_DATABASE_TEST_SUITE(ConnectionTest);

TEST_P(ConnectionTest, ParameterNamesIgnoreCase)
{
    Connection other;
    other.SetDatabaseName(database->Name());
    other.Params() = {"USER_NAME=SYSDBA", "Password=plumtrove"};
    other.SetConnected(true);
    EXPECT_TRUE(other.Connected());
    EXPECT_EQ(other.SQLDialect(), 3);
    other.SetConnected(false);
    EXPECT_FALSE(other.Connected());
}

TEST_P(ConnectionTest, UnknownParameterIsRefused)
{
    Connection other;
    other.SetDatabaseName(database->Name());
    other.Params() = {"user_name=SYSDBA", "colour=blue"};
    EXPECT_THROW(other.SetConnected(true), DatabaseError);
    EXPECT_FALSE(other.Connected());
}

TEST_P(ConnectionTest, CreateDatabaseLeavesItAttached)
{
    Connection created;
    created.SetDatabaseName(SiblingName("new.fdb"));
    created.Params() = {"USER \"SYSDBA\"", "PASSWORD \"plumtrove\"", "PAGE_SIZE 4096"};
    created.SetSQLDialect(3);
    created.CreateDatabase();
    EXPECT_TRUE(created.Connected());
    Transaction transaction(created);
    SqlQuery query(created, transaction);
    query.SetParamCheck(false);
    query.AddLine("SELECT MON$PAGE_SIZE AS P, MON$SQL_DIALECT AS D FROM MON$DATABASE");
    query.Open();
    EXPECT_EQ(query.FieldInteger("P"), 4096);
    EXPECT_EQ(query.FieldInteger("D"), 3);
    query.Close();
    transaction.Commit();
    // A second creation over the existing file fails and leaves it alone.
    Connection again;
    again.SetDatabaseName(created.DatabaseName());
    again.Params() = created.Params();
    EXPECT_THROW(again.CreateDatabase(), DatabaseError);
    EXPECT_FALSE(again.Connected());
    created.SetConnected(false);
    Connection drop;
    drop.SetDatabaseName(created.DatabaseName());
    drop.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    EXPECT_NO_THROW(drop.SetConnected(true));
}

TEST_P(ConnectionTest, DialectIsLoweredToTheDatabaseDialect)
{
    Connection created;
    created.SetDatabaseName(SiblingName("dialect1.fdb"));
    created.Params() = {"USER \"SYSDBA\"", "PASSWORD \"plumtrove\""};
    created.SetSQLDialect(1);
    created.CreateDatabase();
    created.SetConnected(false);
    Connection attached;
    attached.SetDatabaseName(created.DatabaseName());
    attached.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    attached.SetSQLDialect(3);
    attached.SetConnected(true);
    EXPECT_EQ(attached.SQLDialect(), 1);
}

TEST_P(ConnectionTest, MissingDatabaseIsAnError)
{
    Connection other;
    other.SetDatabaseName(SiblingName("missing.fdb"));
    other.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    try {
        other.SetConnected(true);
        FAIL() << "attached to a missing file";
    } catch (const DatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("missing.fdb"), std::string::npos) << error.what();
        EXPECT_NE(error.gdsCode(), 0);
    }
    EXPECT_FALSE(other.Connected());
}

// A private server of this test alone, killed between two statements.
class BrokenConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (testsupport::ServerAddress().empty())
            GTEST_SKIP() << "COLLI_FB_SERVER not set";
        const char* source = std::getenv("COLLI_SOURCE_DIR");
        ASSERT_NE(source, nullptr);
        script_ = std::string(source) + "/scripts/fb-test-server.sh";
        char pattern[] = "/tmp/colli-lost-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        std::filesystem::permissions(folder_, std::filesystem::perms::all);
        const std::string command =
            "bash '" + script_ + "' start '" + folder_ + "/server' > '" + folder_ + "/port'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::ifstream(folder_ + "/port") >> port_;
        std::ifstream(folder_ + "/server/pid") >> pid_;
        ASSERT_GT(port_, 0);
        ASSERT_GT(pid_, 0);
    }
    void TearDown() override
    {
        if (folder_.empty())
            return;
        const std::string command = "bash '" + script_ + "' stop '" + folder_ + "/server'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::filesystem::remove_all(folder_);
    }

    std::string script_;
    std::string folder_;
    int port_ = 0;
    pid_t pid_ = 0;
};

TEST_F(BrokenConnectionTest, KilledServerRaisesConnectionLost)
{
    Connection connection;
    Transaction transaction(connection);
    connection.SetDatabaseName("127.0.0.1/" + std::to_string(port_) + ":" + folder_ + "/lost.fdb");
    connection.Params() = {"USER \"SYSDBA\"", "PASSWORD \"plumtrove\""};
    connection.CreateDatabase();
    transaction.SetActive(true);
    {
        SqlStatement create(connection, transaction);
        create.SetParamCheck(false);
        create.AddLine("CREATE TABLE T (X INTEGER)");
        create.ExecQuery();
        transaction.Commit();
    }
    transaction.SetActive(true);
    SqlStatement insert(connection, transaction);
    insert.SetParamCheck(false);
    insert.AddLine("INSERT INTO T VALUES (1)");
    insert.ExecQuery();

    ASSERT_EQ(kill(pid_, SIGKILL), 0);
    for (int i = 0; i < 100 && kill(pid_, 0) == 0; ++i)
        usleep(20000);

    try {
        insert.ExecQuery();
        FAIL() << "no error after the server died";
    } catch (const ConnectionLostError& error) {
        EXPECT_NE(std::string(error.what()), "");
        EXPECT_EQ(error.sqlState().substr(0, 2), "08");
    }
    EXPECT_THROW(transaction.Commit(), ConnectionLostError);
    EXPECT_NO_THROW(connection.SetConnected(false));
    EXPECT_FALSE(connection.Connected());
    EXPECT_FALSE(transaction.Active());
}
