#include "dblocate/DatabaseLocator.h"

#include "ScriptedUi.h"
#include "PrivateServer.h"
#include "TestDatabase.h"

#include <dataaccess/Connection.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/Transaction.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

using namespace dblocate;
using Lines = std::vector<std::string>;

namespace {

const std::string Created = "Effettuata creazione data base";
const Lines DefaultCreateLines = {"USER \"SYSDBA\"", "PASSWORD \"plumtrove\"", "PAGE_SIZE 4096"};
const Lines DefaultAttachLines = {"user_name=SYSDBA", "password=plumtrove"};

std::string FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

struct DatabaseFacts {
    long pageSize = 0;
    long dialect = 0;
    long attachment = 0;
};

DatabaseFacts Facts(dataaccess::Connection& connection)
{
    dataaccess::Transaction transaction(connection);
    dataaccess::SqlQuery query(connection, transaction);
    query.AddLine("SELECT MON$PAGE_SIZE AS PAGE_SIZE, MON$SQL_DIALECT AS DIALECT,");
    query.AddLine("CURRENT_CONNECTION AS ATTACHMENT FROM MON$DATABASE");
    query.Open();
    return {long(query.FieldInteger("PAGE_SIZE")), long(query.FieldInteger("DIALECT")),
            long(query.FieldInteger("ATTACHMENT"))};
}

std::string ServerAddress()
{
    const char* address = std::getenv("COLLI_FB_SERVER");
    return address ? address : "";
}

// Runs a test in another current folder, the one relative names would land in.
struct WorkingFolder {
    std::filesystem::path previous = std::filesystem::current_path();
    explicit WorkingFolder(const std::string& folder) { std::filesystem::current_path(folder); }
    ~WorkingFolder() { std::filesystem::current_path(previous); }
};

#ifndef _WIN32
// The programs run in a UTF-8 locale (Qt sees to it). On POSIX systems the
// client reads file names through the locale's character set, which it takes
// at its first use: so before any test.
const bool kUtf8Locale = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
#endif

class OpenOrCreateTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::string folder = dir.path().toStdString() + "/";
    dataaccess::Connection connection;
    ScriptedUi ui;

    void SetUp() override
    {
        // the private server writes here too
        std::filesystem::permissions(folder, std::filesystem::perms::all);
    }
};

TEST_F(OpenOrCreateTest, CreatesAMissingDatabaseThenAttachesIt)
{
    const std::string name = folder + "ARCHIVIOCOLLI.FDB";
    ASSERT_TRUE(OpenOrCreateDatabase(connection, name, "", "", "", "", ui));
    EXPECT_EQ(ui.seen, Lines{Created});
    EXPECT_TRUE(connection.Connected());
    EXPECT_FALSE(connection.LoginPrompt());
    EXPECT_EQ(connection.DatabaseName(), name);
    EXPECT_EQ(connection.Params(), DefaultCreateLines);
    EXPECT_EQ(connection.SQLDialect(), 3);
    const DatabaseFacts created = Facts(connection);
    EXPECT_EQ(created.pageSize, 4096);
    EXPECT_EQ(created.dialect, 3);

    // already attached under the same name: detached and attached again, nothing created
    ui.seen.clear();
    ASSERT_TRUE(OpenOrCreateDatabase(connection, name, "", "", "", "", ui));
    EXPECT_TRUE(ui.seen.empty());
    EXPECT_EQ(connection.Params(), DefaultAttachLines);
    EXPECT_NE(Facts(connection).attachment, created.attachment);
}

TEST_F(OpenOrCreateTest, GivenUserOrPasswordReplaceOnlyTheirDefault)
{
    const std::string unreachable = folder + "missing/ARCHIVIOCOLLI.FDB";
    EXPECT_FALSE(OpenOrCreateDatabase(connection, unreachable, "", "", "BOB", "", ui));
    EXPECT_EQ(connection.Params(), (Lines{"USER \"BOB\"", "PASSWORD \"plumtrove\"", "PAGE_SIZE 4096"}));
    EXPECT_FALSE(OpenOrCreateDatabase(connection, unreachable, "", "", "", "secret", ui));
    EXPECT_EQ(connection.Params(), (Lines{"USER \"SYSDBA\"", "PASSWORD \"secret\"", "PAGE_SIZE 4096"}));
    EXPECT_EQ(connection.DatabaseName(), unreachable);
    EXPECT_EQ(connection.SQLDialect(), 3);
    EXPECT_FALSE(connection.Connected());
    EXPECT_TRUE(ui.seen.empty());

    const std::string name = folder + "ARCHIVIOCOLLI.FDB";
    ASSERT_TRUE(OpenOrCreateDatabase(connection, name, "", "", "", "", ui));
    ASSERT_TRUE(OpenOrCreateDatabase(connection, name, "", "", "BOB", "", ui));
    EXPECT_EQ(connection.Params(), (Lines{"user_name=BOB", "password=plumtrove"}));
}

TEST_F(OpenOrCreateTest, FailedAttemptLeavesTheConnectionDetached)
{
    ASSERT_TRUE(OpenOrCreateDatabase(connection, folder + "A.FDB", "", "", "", "", ui));
    EXPECT_FALSE(OpenOrCreateDatabase(connection, folder + "missing/B.FDB", "", "", "", "", ui));
    EXPECT_FALSE(connection.Connected());
}

TEST_F(OpenOrCreateTest, ExistingFileThatIsNoDatabaseIsNeverReplaced)
{
    const std::string name = folder + "ARCHIVIOCOLLI.FDB";
    const std::string junk(20000, 'j');
    std::ofstream(name, std::ios::binary) << junk;
    EXPECT_FALSE(OpenOrCreateDatabase(connection, name, "", "", "", "", ui));
    EXPECT_TRUE(ui.seen.empty());
    EXPECT_EQ(FileBytes(name), junk);
}

TEST_F(OpenOrCreateTest, LocateCreatesNextToTheProgramAndAttachesNextTime)
{
#ifndef _WIN32
    ASSERT_TRUE(kUtf8Locale);
#endif
    // Also a program folder with an accented letter (names are UTF-8 here).
    for (const std::string& programFolder : {folder, folder + "Per\xC3\xB2/"}) {
        SCOPED_TRACE(programFolder);
        const auto path = [&](const std::string& file) { return std::filesystem::u8path(programFolder + file); };
        std::filesystem::create_directories(path(""));
        std::filesystem::permissions(path(""), std::filesystem::perms::all);
        dataaccess::Connection first;
        ScriptedUi firstUi;
        ASSERT_TRUE(LocateAndOpenDatabase(first, programFolder, "ARCHIVIOCOLLI.FDB", "", "", firstUi));
        EXPECT_EQ(firstUi.seen, Lines{Created});
        EXPECT_TRUE(std::filesystem::exists(path("ARCHIVIOCOLLI.FDB")));
        EXPECT_FALSE(std::filesystem::exists(path("dati.ini")));

        dataaccess::Connection later;
        ScriptedUi laterUi;
        ASSERT_TRUE(LocateAndOpenDatabase(later, programFolder, "ARCHIVIOCOLLI.FDB", "", "", laterUi));
        EXPECT_TRUE(laterUi.seen.empty());
        EXPECT_EQ(later.Params(), DefaultAttachLines);
    }
}

TEST_F(OpenOrCreateTest, AccountComesFromTheSettingsFileWhenTheCallerGivesNone)
{
    const std::string SecureLink = "config=WireCrypt = Required\nAuthClient = Srp256, Srp";
    // A role is named at creation too, so that attaching again after a lost link keeps it.
    std::ofstream(folder + "dati.ini") << "[CONFIG]\r\nRuolo=COLLI_STATION\r\n";
    ASSERT_TRUE(LocateAndOpenDatabase(connection, folder, "ARCHIVIOCOLLI.FDB", "", "", ui));
    EXPECT_EQ(connection.Params(), (Lines{"USER \"SYSDBA\"", "PASSWORD \"plumtrove\"", "ROLE \"COLLI_STATION\"",
                                          "PAGE_SIZE 4096"}));

    const struct {
        std::string settings;
        std::string callerUser;
        Lines attachLines;
    } cases[] = {
        {"", "", DefaultAttachLines},
        {"Utente=stazione\r\nPassword=\"a=b;c\"\r\nRuolo=COLLI_STATION\r\n", "",
         {"user_name=stazione", "password=a=b;c", "sql_role_name=COLLI_STATION", SecureLink}},
        {"utente=stazione\r\n", "", {"user_name=stazione", "password=plumtrove", SecureLink}},
        {"utente=stazione\r\nCollegamento Cifrato=No\r\n", "", {"user_name=stazione", "password=plumtrove"}},
        {"Password=segreto\r\n", "BOB", {"user_name=BOB", "password=segreto", SecureLink}},
        {"Collegamento Cifrato=Si\r\n", "", DefaultAttachLines}, // the default account keeps the client's own
    };
    for (const auto& c : cases) {
        std::ofstream(folder + "dati.ini", std::ios::trunc) << "[CONFIG]\r\n" << c.settings;
        dataaccess::Connection station;
        ASSERT_TRUE(LocateAndOpenDatabase(station, folder, "ARCHIVIOCOLLI.FDB", c.callerUser, "", ui)) << c.settings;
        EXPECT_EQ(station.Params(), c.attachLines) << c.settings;
    }

    // The station's own account never creates a database, not even an empty one of its own.
    QTemporaryDir empty;
    const std::string name = empty.filePath("ARCHIVIOCOLLI.FDB").toStdString();
    dataaccess::Connection station;
    EXPECT_FALSE(OpenOrCreateDatabase(station, name, "", "", "stazione", "x", ui, "", SecureLinkFor("stazione", "")));
    EXPECT_FALSE(std::filesystem::exists(name));
}

TEST_F(OpenOrCreateTest, NothingIsCreatedUnderARelativeName)
{
    QTemporaryDir current;
    const WorkingFolder working(current.path().toStdString());
    EXPECT_FALSE(OpenOrCreateDatabase(connection, "ARCHIVIOCOLLI.FDB", "", "", "", "", ui));
#ifndef _WIN32
    // A named pipe is a relative local name to every client but the Windows
    // one, which reaches for its server instead (and this one has none).
    EXPECT_FALSE(OpenOrCreateDatabase(connection, "\\\\magazzino\\Dati\\ARCHIVIOCOLLI.FDB", "", "", "", "", ui));

    // the server folder of dati.ini, with and without a server name
    for (const std::string server : {"magazzino", ""}) {
        SCOPED_TRACE(server);
        std::ofstream(folder + "dati.ini") << "[CONFIG]\r\nNome Server=" << server << "\r\nPercorsoDatabase=Dati\r\n";
        EXPECT_FALSE(LocateAndOpenDatabase(connection, folder, "ARCHIVIOCOLLI.FDB", "", "", ui));
    }
#endif
    EXPECT_TRUE(ui.seen.empty());
    EXPECT_FALSE(connection.Connected());
    EXPECT_TRUE(std::filesystem::is_empty(current.path().toStdString()));
    EXPECT_FALSE(std::filesystem::exists(folder + "ARCHIVIOCOLLI.FDB"));
}

#ifndef _WIN32
TEST_F(OpenOrCreateTest, ServerThatDoesNotAnswerIsNeverReplacedByANewDatabase)
{
    testsupport::PrivateServer frozen;
    if (!frozen.Running())
        GTEST_SKIP() << "no private server could be started";
    std::ofstream(folder + "dati.ini") << "[CONFIG]\r\nNome Server=" << frozen.Address() << "\r\nAlias=colli\r\n";
    connection.SetWaitBound(1);
    frozen.Freeze();
    const bool opened = LocateAndOpenDatabase(connection, folder, "ARCHIVIOCOLLI.FDB", "", "", ui);
    frozen.Thaw();
    EXPECT_FALSE(opened);
    ASSERT_EQ(ui.seen.size(), 1u); // the question to try again, nothing else
    EXPECT_NE(ui.seen[0].find("Nessuna risposta dal server"), std::string::npos) << ui.seen[0];
    EXPECT_FALSE(std::filesystem::exists(folder + "ARCHIVIOCOLLI.FDB"));
}
#endif

class OpenOnServerTest : public OpenOrCreateTest {
protected:
    std::string server = ServerAddress();

    void SetUp() override
    {
        if (server.empty())
            GTEST_SKIP() << "COLLI_FB_SERVER is not set";
        OpenOrCreateTest::SetUp();
    }
};

TEST_F(OpenOnServerTest, CreatesOnTheServerUnderServerColonPath)
{
    const std::string path = folder + "ARCHIVIOCOLLI.FDB";
    ASSERT_TRUE(OpenOrCreateDatabase(connection, path, server, "", "", "", ui));
    EXPECT_EQ(connection.DatabaseName(), server + ":" + path);
    EXPECT_EQ(ui.seen, Lines{Created});
    EXPECT_EQ(Facts(connection).pageSize, 4096);
    connection.SetConnected(false);

    ui.seen.clear();
    ASSERT_TRUE(OpenOrCreateDatabase(connection, path, server, "", "", "", ui));
    EXPECT_TRUE(ui.seen.empty());
}

TEST_F(OpenOnServerTest, ServerNameIsNeverTakenForALocalFile)
{
    // a file that the server name would be, read as a path relative to here
    QTemporaryDir current;
    const WorkingFolder working(current.path().toStdString());
    const std::string path = folder + "ARCHIVIOCOLLI.FDB";
    const std::filesystem::path lookalike = server + ":" + path;
    std::filesystem::create_directories(lookalike.parent_path());
    std::ofstream(lookalike) << "x";

    ASSERT_TRUE(OpenOrCreateDatabase(connection, path, server, "", "", "", ui));
    EXPECT_EQ(ui.seen, Lines{Created});
    EXPECT_TRUE(std::filesystem::exists(path));
}

// dati.ini names a server: only the server's word that no file is there lets
// the search go on (and, further on, create); any other refusal stops it with
// one message naming the server, and nothing appears next to the program.
TEST_F(OpenOnServerTest, OnlyTheServersNoSuchFileLetsTheSearchGoOn)
{
    testsupport::TestDatabase existing(testsupport::Where::Server, false);
    const std::string closed = "127.0.0.1/" + std::to_string(testsupport::ClosedPort());
    const std::string unknownAlias = "colli_" + std::to_string(std::random_device{}());
    const struct {
        const char* what;
        std::string server;
        std::string alias;
        std::string account; // dati.ini lines
        std::string told;    // "" for no message; else what the one message must hold
        bool opened;
    } cases[] = {
        {"closed port", closed, existing.Path(), "", "Il server \"" + closed + "\" non accetta il collegamento", false},
        {"wrong password", server, existing.Path(), "Utente=SYSDBA\r\nPassword=sbagliata\r\n",
         "Il server \"" + server + "\" ha rifiutato l'accesso dell'utente \"SYSDBA\"", false},
        {"station account unknown to the server", server, existing.Path(),
         "Utente=stazione\r\nPassword=x\r\nRuolo=COLLI_STATION\r\n",
         "Il server \"" + server + "\" ha rifiutato l'accesso dell'utente \"stazione\"", false},
        {"missing file, the server cannot create it", server, folder + "nowhere/ARCHIVIOCOLLI.FDB", "", Created, true},
        // the server takes it for a path in the folder its service runs in
        {"alias the server does not know", server, unknownAlias, "", Created, true},
        {"the database is there", server, existing.Path(), "", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir program;
        const std::string programFolder = program.path().toStdString() + "/";
        std::filesystem::permissions(programFolder, std::filesystem::perms::all);
        std::ofstream(programFolder + "dati.ini")
            << "[CONFIG]\r\nNome Server=" << c.server << "\r\nAlias=" << c.alias << "\r\n" << c.account;
        dataaccess::Connection station;
        ScriptedUi seen;
        EXPECT_EQ(LocateAndOpenDatabase(station, programFolder, "ARCHIVIOCOLLI.FDB", "", "", seen), c.opened);
        EXPECT_EQ(station.Connected(), c.opened);
        if (c.told.empty()) {
            EXPECT_TRUE(seen.seen.empty());
        } else {
            ASSERT_EQ(seen.seen.size(), 1u);
            EXPECT_EQ(seen.seen[0].rfind(c.told, 0), 0u) << seen.seen[0];
        }
        // Only after the server's "no such file" does the search reach the program's folder.
        EXPECT_EQ(std::filesystem::exists(programFolder + "ARCHIVIOCOLLI.FDB"), c.told == Created);
    }
#ifndef _WIN32
    if (const char* pid = std::getenv("COLLI_FB_SERVER_PID")) {
        EXPECT_FALSE(std::filesystem::exists("/proc/" + std::string(pid) + "/cwd/" + unknownAlias));
    }
#endif
}

#ifndef _WIN32
// The service stopped (nobody listens on its port) at two starts, then back.
TEST_F(OpenOrCreateTest, StoppedServiceIsToldAtEveryStartAndAttachedOnceBack)
{
    testsupport::PrivateServer own;
    if (!own.Running())
        GTEST_SKIP() << "no private server could be started";
    const std::string alias = own.Folder() + "ARCHIVIOCOLLI.FDB";
    testsupport::CreateDatabaseAt(own.Address() + ":" + alias, false);
    std::ofstream(folder + "dati.ini") << "[CONFIG]\r\nNome Server=" << own.Address() << "\r\nAlias=" << alias << "\r\n";

    own.Stop();
    for (int start = 0; start < 2; ++start) {
        dataaccess::Connection station;
        ScriptedUi seen;
        EXPECT_FALSE(LocateAndOpenDatabase(station, folder, "ARCHIVIOCOLLI.FDB", "", "", seen));
        ASSERT_EQ(seen.seen.size(), 1u);
        EXPECT_EQ(seen.seen[0].rfind("Il server \"" + own.Address() + "\" non accetta il collegamento", 0), 0u)
            << seen.seen[0];
        EXPECT_FALSE(std::filesystem::exists(folder + "ARCHIVIOCOLLI.FDB"));
    }

    own.Restart();
    dataaccess::Connection station;
    ScriptedUi seen;
    ASSERT_TRUE(LocateAndOpenDatabase(station, folder, "ARCHIVIOCOLLI.FDB", "", "", seen));
    EXPECT_TRUE(seen.seen.empty());
    EXPECT_EQ(station.DatabaseName(), own.Address() + ":" + alias);
    EXPECT_FALSE(std::filesystem::exists(folder + "ARCHIVIOCOLLI.FDB"));
}
#endif

TEST_F(OpenOnServerTest, LocateAttachesThroughAnAliasWithoutMessages)
{
    testsupport::TestDatabase existing(testsupport::Where::Server, false);
    const std::string alias = "colli_" + std::to_string(std::random_device{}());
    const char* serverDir = std::getenv("COLLI_FB_SERVER_DIR");
    ASSERT_NE(serverDir, nullptr);
    // the server notices a changed databases.conf without a restart
    const std::string aliases = std::string(serverDir) + "/root/databases.conf";
    const std::string before = FileBytes(aliases);
    std::ofstream(aliases, std::ios::app) << alias << " = " << existing.Path() << "\n";
    struct Restore {
        std::string path, bytes;
        ~Restore() { std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes; }
    } restore{aliases, before};
    std::ofstream(folder + "dati.ini") << "[CONFIG]\r\nNome Server=" << server << "\r\nAlias=" << alias << "\r\n";

    ASSERT_TRUE(LocateAndOpenDatabase(connection, folder, "ARCHIVIOCOLLI.FDB", "", "", ui));
    EXPECT_TRUE(ui.seen.empty());
    EXPECT_EQ(connection.DatabaseName(), server + ":" + alias);
    EXPECT_FALSE(std::filesystem::exists(folder + "ARCHIVIOCOLLI.FDB"));
}

} // namespace
