// SIGTERM, SIGINT and SIGHUP end the station the way "Chiudi" does.
#include "ColliApplication.h"
#include "PrivateServer.h"
#include "StationFixture.h"

#include <dataaccess/SqlStatement.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

class Termination : public StationTest {};

TEST_F(Termination, SignalClosesTheWindowAndTheOpenTransactionIsCommitted)
{
    AddParcel("SPD001", "8001234567890", "<NULL>");
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        Start();
        Scan("SPD001");
        ASSERT_EQ(form->ScanState(), 1);
        {
            // Pending work in the window's transaction, so that the way it ends shows.
            form->TransactionColli().SetActive(true);
            dataaccess::SqlStatement pending(form->DatabaseColli(), form->TransactionColli());
            pending.SetParamCheck(false);
            pending.AddLine("INSERT INTO COLLI (BARCODESPEED) VALUES ('PENDING" + std::to_string(signalNumber) + "')");
            pending.ExecQuery();
        }

        TerminationSignals ending;
        std::raise(signalNumber); // taken by the next event loop
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        watchdog.start(10000);
        EXPECT_EQ(QCoreApplication::exec(), 0);
        EXPECT_TRUE(ending.Received());
        EXPECT_FALSE(form->isVisible());
        form.reset(); // what the end of the program does: the shutdown rule commits
    }
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM COLLI WHERE BARCODESPEED STARTING WITH 'PENDING'")[0][0], "3");
}

// The client library hooks SIGINT and SIGTERM itself when a program first
// attaches, after the station took them: the transaction must still be there
// to be committed.
TEST_F(Termination, PendingWorkIsCommittedWhenTheClientLibraryAlsoHooksTheSignal)
{
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start(QStringLiteral(COLLI_TERMINATION_PROBE), {QString::fromStdString(folder.DatabasePath())});
        ASSERT_TRUE(probe.waitForReadyRead(30000));
        ASSERT_EQ(probe.readLine().trimmed(), "ready");
        ASSERT_EQ(::kill(static_cast<pid_t>(probe.processId()), signalNumber), 0);
        ASSERT_TRUE(probe.waitForFinished(10000));
        EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(probe.exitCode(), 0);
    }
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM COLLI WHERE BARCODESPEED = 'PENDING'")[0][0], "2");
}

// No descriptor left for the signals' pipe when the station starts: the
// signal still ends it the way "Chiudi" does.
TEST_F(Termination, SignalEndsTheProgramAlsoWithoutADescriptorForItsPipe)
{
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(QStringLiteral(COLLI_TERMINATION_PROBE),
                {QString::fromStdString(folder.DatabasePath()), QStringLiteral("no-handlers")});
    ASSERT_TRUE(probe.waitForReadyRead(30000));
    ASSERT_EQ(probe.readLine().trimmed(), "ready");
    ASSERT_EQ(::kill(static_cast<pid_t>(probe.processId()), SIGTERM), 0);
    const bool ended = probe.waitForFinished(10000);
    if (!ended)
        probe.kill();
    ASSERT_TRUE(ended);
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0);
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM COLLI WHERE BARCODESPEED = 'PENDING'")[0][0], "1");
}

bool HoldsFileOpen(qint64 pid, const std::string& path)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        if (std::filesystem::read_symlink(entry.path(), error) == path)
            return true;
    return false;
}

// The real program, started from another current directory, its diagnostic
// log in dataFolder.
void StartProgram(QProcess& station, const std::string& program, const std::string& dataFolder)
{
    station.setWorkingDirectory(QStringLiteral("/"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString(dataFolder));
    station.setProcessEnvironment(environment);
    station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    station.start(QString::fromStdString(program), {});
    ASSERT_TRUE(station.waitForStarted(10000));
}

// Sends the signal; the milliseconds until the program had ended with status 0.
qint64 EndWith(QProcess& station, int signalNumber)
{
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(::kill(static_cast<pid_t>(station.processId()), signalNumber), 0);
    const bool finished = station.waitForFinished(20000);
    const qint64 took = elapsed.elapsed();
    if (!finished)
        station.kill();
    EXPECT_TRUE(finished);
    EXPECT_EQ(station.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(station.exitCode(), 0);
    return took;
}

// The real program, started from another current directory; a signal while
// the event loop runs, and while a start-up box is open (template missing).
TEST_F(Termination, ProgramEndsWithStatusZeroWithinTwoSeconds)
{
    const std::string program = folder.Path() + "controllo-colli";
    std::filesystem::copy_file(COLLI_STATION_PROGRAM, program);
    struct Case {
        int signalNumber;
        bool templateMissing;
    };
    for (const Case& c : {Case{SIGTERM, false}, Case{SIGINT, false}, Case{SIGHUP, false}, Case{SIGTERM, true}}) {
        SCOPED_TRACE(std::to_string(c.signalNumber) + (c.templateMissing ? " with a box open" : ""));
        if (c.templateMissing)
            std::filesystem::remove(folder.TemplatePath());
        QProcess station;
        StartProgram(station, program, folder.Path() + "data");
        for (int i = 0; i < 300 && !HoldsFileOpen(station.processId(), folder.DatabasePath()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(HoldsFileOpen(station.processId(), folder.DatabasePath()));
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // on to the event loop or the box
        EXPECT_LT(EndWith(station, c.signalNumber), 2000);
    }
}

// A server that stopped answering: a signal while start-up waits for it ends
// the program at once, and connects given up at their bound (still inside the
// client library, the operator asked whether to try again) do not hold the
// program's end. The database file in the program's folder is never opened
// in the server's place.
TEST_F(Termination, ProgramEndsAtOnceWhateverWaitsForTheServer)
{
    if (std::getenv("COLLI_FB_SERVER") == nullptr)
        GTEST_SKIP() << "no private server wanted (COLLI_FB_SERVER unset)";
    testsupport::PrivateServer server;
    const std::string program = folder.Path() + "controllo-colli";
    std::filesystem::copy_file(COLLI_STATION_PROGRAM, program);
    struct Case {
        int boundSeconds;
        int signalAfterMs; // past the bound: the connect was given up and the operator is asked
        qint64 withinMs;
    };
    for (const Case& c : {Case{10, 300, 2000}, Case{1, 2500, 5000}}) {
        SCOPED_TRACE(c.boundSeconds);
        std::ofstream(folder.Path() + "dati.ini") << "[CONFIG]\r\nNome Server=" << server.Address() << "\r\nAlias="
                                                   << server.Folder() << "X.FDB\r\nAttesa Server=" << c.boundSeconds;
        server.Freeze();
        QProcess station;
        StartProgram(station, program, folder.Path() + "data");
        std::this_thread::sleep_for(std::chrono::milliseconds(c.signalAfterMs));
        EXPECT_FALSE(HoldsFileOpen(station.processId(), folder.DatabasePath()));
        EXPECT_LT(EndWith(station, SIGTERM), c.withinMs);
        server.Thaw();
    }
}

} // namespace
