#include "Fixture.h"
#include "PrivateServer.h"

#include "dataaccess/Errors.h"
#include "dataaccess/SqlQuery.h"
#include "dataaccess/SqlStatement.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <future>
#include <thread>

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
    attached.SetConnected(false);
    attached.SetSQLDialect(3);
    attached.SetConnected(true);
    Transaction transaction(attached); // the dialect comes with a one-row select too
    dataaccess::SelectOneRow(attached, transaction, "SELECT 1 FROM RDB$DATABASE", 1);
    EXPECT_EQ(attached.SQLDialect(), 1);
}

TEST_P(ConnectionTest, TheFirstOneRowSelectBringsTheAttachmentsNumberAlong)
{
    // FOR UPDATE cannot stand in a derived table: that select goes alone.
    for (const std::string suffix : {"", " FOR UPDATE"}) {
        Connection attached;
        attached.SetDatabaseName(database->Name());
        attached.Params() = {"user_name=SYSDBA", "password=plumtrove"};
        attached.SetConnected(true);
        EXPECT_EQ(attached.AttachmentId(), 0) << "not asked with the attach";
        Transaction transaction(attached);
        const auto row = dataaccess::SelectOneRow(
            attached, transaction, "SELECT CURRENT_CONNECTION FROM RDB$DATABASE" + suffix, 1);
        EXPECT_EQ(attached.AttachmentId(), suffix.empty() ? row[0].value_or(-1) : 0);
    }
}

// What Firebird 3 answers, read from the whole status vector: only a file
// that is not there is "no such database"; a remote server sends the
// system's reason as text, a local engine as a number.
TEST_P(ConnectionTest, AttachRefusalTellsAMissingFileFromAnyOtherFailure)
{
    using dataaccess::AttachRefusal;
    const bool onServer = GetParam() == testsupport::Where::Server;
    const std::string notADatabase = database->Folder() + "/junk.fdb";
    std::ofstream(notADatabase) << std::string(20000, 'j');
    const std::string closed = "127.0.0.1/" + std::to_string(testsupport::ClosedPort());
    const struct {
        const char* what;
        std::string name;
        std::string password;
        AttachRefusal refusal;
        bool serverOnly;
    } cases[] = {
        {"missing file", SiblingName("missing.fdb"), "plumtrove", AttachRefusal::NoSuchDatabase, false},
        {"missing folder", SiblingName("nowhere/missing.fdb"), "plumtrove", AttachRefusal::NoSuchDatabase, false},
        {"a folder, not a file", SiblingName(""), "plumtrove", AttachRefusal::Other, false},
        {"a file that is no database", SiblingName("junk.fdb"), "plumtrove", AttachRefusal::Other, false},
        // an embedded engine does not check passwords
        {"wrong password", database->Name(), "wrong", AttachRefusal::LoginRefused, true},
        {"closed port", closed + ":" + database->Path(), "plumtrove", AttachRefusal::NoConnection, true},
    };
    for (const auto& c : cases) {
        if (c.serverOnly && !onServer)
            continue;
        SCOPED_TRACE(c.what);
        Connection other;
        other.SetDatabaseName(c.name);
        other.Params() = {"user_name=SYSDBA", "password=" + c.password};
        try {
            other.SetConnected(true);
            ADD_FAILURE() << "attached";
        } catch (const DatabaseError& error) {
            EXPECT_EQ(error.refusal(), c.refusal) << error.what();
            EXPECT_NE(error.gdsCode(), 0);
        }
        EXPECT_FALSE(other.Connected());
    }
}

// A private server of this test alone, killed and started again on the same port.
class BrokenConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (testsupport::ServerAddress().empty())
            GTEST_SKIP() << "COLLI_FB_SERVER not set";
        ASSERT_TRUE(server.Running());
        connection.SetDatabaseName(server.Address() + ":" + server.Folder() + "lost.fdb");
        // As a first start leaves them: create lines, which cannot attach.
        connection.Params() = {"USER \"SYSDBA\"", "PASSWORD \"plumtrove\"", "PAGE_SIZE 4096"};
        connection.CreateDatabase();
        Run("CREATE TABLE T (X INTEGER)");
        transaction.Commit();
    }

    void Kill() { server.Kill(); }
    void Restart() { server.Restart(); } // same port, same database

    void Run(const std::string& sql)
    {
        transaction.SetActive(true);
        SqlStatement statement(connection, transaction);
        statement.SetParamCheck(false);
        statement.AddLine(sql);
        statement.ExecQuery();
    }
    std::int64_t Rows()
    {
        SqlQuery count(connection, transaction);
        count.SetParamCheck(false);
        count.AddLine("SELECT COUNT(*) AS N FROM T");
        count.Open();
        return count.FieldInteger("N");
    }

    testsupport::PrivateServer server;
    Connection connection;
    Transaction transaction{connection};
};

TEST_F(BrokenConnectionTest, LostLinkDropsTheAttachmentAndTheNextOperationAttachesAgain)
{
    SqlStatement insert(connection, transaction);
    insert.SetParamCheck(false);
    insert.AddLine("INSERT INTO T VALUES (1)");
    transaction.SetActive(true);
    insert.ExecQuery();

    Kill();
    try {
        insert.ExecQuery();
        FAIL() << "no error after the server died";
    } catch (const ConnectionLostError& error) {
        EXPECT_NE(std::string(error.what()), "");
        EXPECT_EQ(error.sqlState().substr(0, 2), "08");
    }
    EXPECT_FALSE(connection.Connected());
    EXPECT_FALSE(transaction.Active());
    EXPECT_THROW(transaction.Commit(), DatabaseError);
    // While the server is away every start fails on its own attempt to attach.
    EXPECT_THROW(transaction.SetActive(true), ConnectionLostError);
    EXPECT_THROW(Rows(), ConnectionLostError);
    EXPECT_FALSE(transaction.Active());

    Restart();
    // Attached again with the credentials of the creation; the server dropped the
    // insert that was never committed.
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(connection.Connected());
    insert.ExecQuery(); // prepared again on the new attachment
    transaction.Commit();
    EXPECT_EQ(Rows(), 1);
    transaction.Commit();
}

TEST_F(BrokenConnectionTest, LinkThatDiedUnnoticedIsFoundAtTheNextCall)
{
    // Inactive transaction: the start finds the dead link and starts on a new attachment.
    Restart();
    EXPECT_NO_THROW(transaction.SetActive(true));
    EXPECT_EQ(Rows(), 0);

    // Active transaction with pending work: rolling back counts as done, since
    // the server dropped that work with the link, and a fresh start attaches again.
    Run("INSERT INTO T VALUES (1)");
    Restart();
    EXPECT_NO_THROW(transaction.SetActive(false));
    EXPECT_FALSE(transaction.Active());
    EXPECT_NO_THROW(transaction.SetActive(true));
    EXPECT_EQ(Rows(), 0);

    // A read on a dead transaction fails once; the next read attaches again.
    Restart();
    EXPECT_THROW(Rows(), ConnectionLostError);
    EXPECT_EQ(Rows(), 0);

    // A commit over a dead link raises and leaves nothing to commit twice.
    Run("INSERT INTO T VALUES (2)");
    Restart();
    EXPECT_THROW(transaction.Commit(), ConnectionLostError);
    EXPECT_FALSE(transaction.Active());
    EXPECT_EQ(Rows(), 0);
    transaction.Commit();
}

#ifndef _WIN32
// Long work waits for a busy server past the connection's bound, in calls on
// the attachment; attaching keeps the short bound, so a server that is away
// is still found out as soon.
TEST_F(BrokenConnectionTest, LongWorkOutwaitsABusyServerButNotOneThatIsAway)
{
    using Clock = std::chrono::steady_clock;
    connection.SetWaitBound(1);
    Run("INSERT INTO T VALUES (1)");
    {
        const dataaccess::LongWork longWork(connection, 10);
        server.Freeze();
        auto thawed = std::async(std::launch::async, [this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            server.Thaw();
        });
        EXPECT_NO_THROW(transaction.Commit());
    }
    EXPECT_EQ(Rows(), 1);
    transaction.Commit();

    Restart(); // the next call attaches again
    server.Freeze();
    {
        const dataaccess::LongWork longWork(connection, 10);
        const Clock::time_point start = Clock::now();
        EXPECT_THROW(Rows(), dataaccess::NoAnswerError);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    }
    server.Thaw();
}

// A server that takes the connection and then stops answering inside the
// handshake keeps the client's attach waiting: the tries made meanwhile wait
// for that one attempt again instead of leaving a thread and a socket each.
TEST_F(BrokenConnectionTest, OneAttachAttemptInFlightWhileTheServerHangsInTheHandshake)
{
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    connection.SetWaitBound(2);
    Restart(); // the next call attaches again
    if (!server.Blackhole(700))
        GTEST_SKIP() << "iptables connbytes not usable here";
    const auto before = threads();
    for (int attempt = 0; attempt < 4; ++attempt) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(Rows(), dataaccess::NoAnswerError);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
    }
    EXPECT_LE(threads(), before + 1);
    server.Restore();
}

// A step that spent most of its bound attaching again still hears of a row
// that another attachment holds as a lock conflict, not as a server that did
// not answer.
TEST_F(BrokenConnectionTest, LockWaitAfterASlowAttachIsALockConflict)
{
    connection.SetWaitBound(6);
    transaction.SetLockTimeout(4);
    Run("INSERT INTO T VALUES (1)");
    transaction.Commit();
    Restart(); // the next step attaches again

    Connection other;
    other.SetDatabaseName(connection.DatabaseName());
    other.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    other.SetConnected(true);
    Transaction holder(other);
    holder.SetActive(true);
    SqlStatement hold(other, holder);
    hold.SetParamCheck(false);
    hold.AddLine("UPDATE T SET X = 2");
    hold.ExecQuery();

    server.Freeze();
    auto thawed = std::async(std::launch::async, [this] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        server.Thaw();
    });
    const dataaccess::WaitScope step(connection);
    try {
        Run("UPDATE T SET X = 3");
        ADD_FAILURE() << "the row held by another attachment was updated";
    } catch (const dataaccess::NoAnswerError& error) {
        ADD_FAILURE() << "a lock wait reported as no answer: " << error.what();
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error.sqlState(), "40001") << error.what();
    }
    EXPECT_TRUE(connection.Connected());
}
#endif
