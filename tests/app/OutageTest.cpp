// The packing line through a server outage: the real station on a private
// server that the test freezes (SIGSTOP), then cuts off (an iptables DROP rule
// on the server's own port). Every kind of outcome is given from the station's
// copy of the parcels, the first scan of an outage alone waiting for the bound;
// once the server is back the station goes back to it by itself, and the log
// holds each row once, the copy's rows marked.
#include "PrivateServer.h"
#include "StationFixture.h"
#include "TestDatabase.h"

#include <parcels/ParcelCopy.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <set>

namespace {

constexpr int kBoundMs = 3000;
// Room for a loaded 2-core machine.
constexpr int kMarginMs = 1500;

class Outage : public StationTest {
protected:
    void SetUp() override
    {
        if (std::getenv("COLLI_FB_SERVER") == nullptr)
            GTEST_SKIP() << "no private server wanted (COLLI_FB_SERVER unset)";
        ASSERT_TRUE(server.Running());
        StartOnServer(server.Address(), server.Folder() + "REMOTE.FDB", "Attesa Server=3\r\nAggiornamento Copia=1\r\n");
        ASSERT_TRUE(form->DatabaseColli().Connected());
        // Imported after the start: the next refresh brings it.
        AddParcel("SPD003", "8001234567913", "8001234567999");
        ASSERT_TRUE(WaitFor(30000, [&] { return parcels::ParcelCopy(form->JournalPath()).Find("SPD003").has_value(); }));
    }



    testsupport::PrivateServer server;
};

using Away = testsupport::PrivateServer::Away;

TEST_F(Outage, EveryOutcomeComesFromTheCopyAndTheLogHoldsEachRowOnceMarked)
{
    std::multiset<std::string> fromCopy;
    std::multiset<std::string> fromServer;
    for (const Away fault : {Away::Frozen, Away::Blackholed}) {
        const char* name = testsupport::PrivateServer::Named(fault);
        SCOPED_TRACE(name);
        if (!server.Begin(fault))
            continue;
        journal.clear();
        // The first scan waits for the bound at most, then the copy answers.
        const qint64 first = TimedScan("SPD003");
        EXPECT_LT(first, kBoundMs + kMarginMs);
        EXPECT_TRUE(journal.empty()) << journal[0];
        EXPECT_EQ(form->ScanState(), 1);
        EXPECT_TRUE(form->CheckingOnCopy());
        EXPECT_TRUE(form->LabelCopia->isVisible());
        EXPECT_TRUE(form->LabelCopia->text().startsWith(
            QStringLiteral("Server non raggiungibile: controllo sulla copia dei colli delle ")))
            << form->LabelCopia->text().toStdString();

        // The next ones at once, every kind of outcome.
        QElapsedTimer rest;
        rest.start();
        Scan("8001234567999");
        Scan("SPD001");
        Scan("8001234567890");
        Scan("NOSUCHCODE");
        Scan("SPD002");
        Scan("1111111111111");
        Scan("8001234567906");
        const qint64 others = rest.elapsed();
        std::cout << "[  FIGURES ] " << name << ": first scan " << first << " ms, seven more " << others << " ms\n";
        EXPECT_LT(others, kBoundMs);
        EXPECT_EQ(journal, (Journal{"Outcome 1: EAN ERRATO: RISTAMPA", "Print: begin", "Print: raw", "Print: end",
                                    "Outcome 0: EAN OK", "Outcome 2: codice speed sconosciuto",
                                    "Outcome 2: codice EAN sconosciuto", "Outcome 0: EAN OK"}));
        EXPECT_NE(printer.sent.find("8001234567913"), std::string::npos);
        EXPECT_EQ(form->LabelCoda->text(), QStringLiteral("5 scansioni in attesa del server"));
        for (const char* row : {"SPD003 EanErrato", "SPD001 EanCorretto", "NOSUCHCODE BarCodeSpeedSconosciuto",
                                "SPD002 CodiceEanSconosciuto", "SPD002 EanCorretto"})
            fromCopy.insert(row);

        // The batch needs the server.
        journal.clear();
        form->ButtonIntegrazioneEANErrati->click();
        ASSERT_EQ(journal.size(), 1u);
        EXPECT_EQ(journal[0].rfind("Warning: Server \"" + server.Address() + "\" non raggiungibile: l'integrazione", 0),
                  0u)
            << journal[0];

        server.End(fault);
        // Back to the server by itself, and the waiting rows go.
        EXPECT_TRUE(WaitFor(30000, [&] { return !form->CheckingOnCopy(); }));
        EXPECT_FALSE(form->LabelCopia->isVisible());
        journal.clear();
        Scan("SPD001");
        Scan("8001234567890");
        EXPECT_EQ(journal, Journal{"Outcome 0: EAN OK"});
        fromServer.insert("SPD001 EanCorretto");
        EXPECT_TRUE(WaitFor(30000, [&] { return form->ScansWaiting().waiting == 0; }));
    }

    const auto rows = folder.Query("SELECT BARCODESPEED, STATUS, COALESCE(DACOPIA, 0), IDSCANSIONE, "
                                   "DATAORASCANSIONE IS NOT NULL FROM LOGSPARATE");
    std::multiset<std::string> copyRows;
    std::multiset<std::string> serverRows;
    std::set<std::string> tickets;
    for (const auto& row : rows) {
        (row[2] == "1" ? copyRows : serverRows).insert(row[0] + " " + row[1]);
        tickets.insert(row[3]);
        EXPECT_EQ(row[4], "True");
    }
    EXPECT_EQ(copyRows, fromCopy);
    EXPECT_EQ(serverRows, fromServer);
    EXPECT_EQ(tickets.size(), rows.size()); // no row twice
}

// A station started while the server is away works on its copy from the
// start, and attaches once the server is back.
TEST_F(Outage, AStationStartedWhileTheServerIsAwayWorksOnItsCopy)
{
    form.reset();
    server.Freeze();
    journal.clear();
    Start();
    EXPECT_TRUE(journal.empty()) << journal[0]; // no box: the band says it
    EXPECT_TRUE(form->EditBarcode->isEnabled());
    EXPECT_TRUE(form->CheckingOnCopy());
    Scan("SPD003");
    Scan("8001234567913");
    EXPECT_EQ(journal, Journal{"Outcome 0: EAN OK"});
    server.Thaw();
    EXPECT_TRUE(WaitFor(30000, [&] { return !form->CheckingOnCopy(); }));
    journal.clear();
    Scan("SPD001");
    Scan("8001234567890");
    EXPECT_EQ(journal, Journal{"Outcome 0: EAN OK"});
    EXPECT_TRUE(form->DatabaseColli().Connected());
    EXPECT_TRUE(WaitFor(30000, [&] { return form->ScansWaiting().waiting == 0; }));
    EXPECT_EQ(folder.Query("SELECT BARCODESPEED, COALESCE(DACOPIA, 0) FROM LOGSPARATE ORDER BY DATAORASCANSIONE"),
              (std::vector<std::vector<std::string>>{{"SPD003", "1"}, {"SPD001", "0"}}));
}

} // namespace
