// Round trips counted, not timed: the station reaches the run's server through
// the loopback proxy of bench/wire, which counts every request turn and can cut
// every link at an exact point of the conversation.
#include "StationFixture.h"
#include "TestDatabase.h"

#include <WireProxy.h>

#include <QLineEdit>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

class WireTurns : public StationTest {
protected:
    void SetUp() override
    {
        const std::string server = testsupport::ServerAddress();
        if (server.empty())
            GTEST_SKIP() << "no private server (COLLI_FB_SERVER unset)";
        const std::string path = folder.Path() + "REMOTE.FDB";
        direct = server + ":" + path;
        proxy = std::make_unique<wire::WireProxy>(std::stoi(server.substr(server.find('/') + 1)),
                                                  std::chrono::microseconds(0), std::chrono::seconds(300));
        folder.CreateDatabase(direct);
        for (int i = 1; i <= 4; ++i)
            AddParcel("SPD00" + std::to_string(i), "800123456789" + std::to_string(i), "<NULL>");
        std::filesystem::remove(folder.DatabasePath());
        // The window's own turns: the copy of the parcels travels on an
        // attachment of its own, counted by the copy's tests.
        std::ofstream(folder.Path() + "dati.ini") << "[CONFIG]\r\nNome Server=127.0.0.1/" << proxy->Port()
                                                   << "\r\nAlias=" << path
                                                   << "\r\nAttesa Server=5\r\nAggiornamento Copia=0\r\n";
        Start();
        startup = proxy->Total();
        ASSERT_TRUE(form->DatabaseColli().Connected());
    }

    long RowsOf(const std::string& barcode)
    {
        return std::stol(testsupport::QueryOn(
            direct, "SELECT COUNT(*) FROM LOGSPARATE WHERE BARCODESPEED = '" + barcode + "'")[0][0]);
    }

    bool Told(const std::string& text) const
    {
        return std::any_of(journal.begin(), journal.end(),
                           [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }

    std::string direct; // the database without the proxy: the test's own reads are not counted
    std::unique_ptr<wire::WireProxy> proxy;
    wire::WireCounts startup; // the probe, the attach and whatever the window does before it shows
};

TEST_F(WireTurns, StartUpCostsAtMostSixTurnsAndLeavesTheStationReady)
{
    EXPECT_LE(startup.turns, 6);
    EXPECT_TRUE(form->EditBarcode->isEnabled());
    // What start-up learnt came with its turns: nothing more is asked for it.
    EXPECT_NE(form->DatabaseColli().AttachmentId(), 0);
    EXPECT_EQ(form->DatabaseColli().SQLDialect(), 3);
    EXPECT_EQ(form->MaxBarcodeSpeedLength(), 64u);
    EXPECT_EQ((proxy->Total() - startup).turns, 0);
    EXPECT_EQ(startup.links, 2) << "the reachability probe and the attachment";
}

// The lookup costs one turn on the station's attachment and the row one on
// the forwarder's, which stays open while rows keep coming. A link cut at the
// row's request or at its answer leaves the row in the log exactly once.
TEST_F(WireTurns, APairCostsTwoTurnsAndACutLinkLeavesTheRowOnce)
{
    for (int round = 0; round < 3; ++round) { // the first pairs attach and prepare the forwarder
        const wire::WireCounts before = proxy->Total();
        Scan("SPD001");
        const wire::WireCounts looked = proxy->Total();
        Scan("8001234567891");
        WaitForwarded();
        const wire::WireCounts after = proxy->Total();
        if (round < 2)
            continue;
        EXPECT_EQ((looked - before).turns, 1) << "courier lookup";
        EXPECT_EQ((after - before).turns, 2) << "whole pair -> committed";
        EXPECT_EQ((after - before).links, 0) << "no new attachment";
    }
    EXPECT_EQ(RowsOf("SPD001"), 3);

    struct Case {
        wire::DropAt when;
        const char* barcode;
        const char* ean;
    };
    for (const Case& c : {Case{wire::DropAt::NextRequest, "SPD002", "8001234567892"},
                          Case{wire::DropAt::NextAnswer, "SPD003", "8001234567893"}}) {
        SCOPED_TRACE(c.barcode);
        Scan(c.barcode);
        ASSERT_EQ(form->ScanState(), 1);
        journal.clear();
        proxy->ArmDrop(c.when); // the next turn is the row's, on the forwarder's link
        Scan(c.ean);
        EXPECT_EQ(journal, Journal{"Outcome 0: EAN OK"}); // nothing about the log to tell
        WaitForwarded();
        ASSERT_TRUE(proxy->DropDone());
        EXPECT_EQ(form->ScansWaiting().waiting, 0);
        EXPECT_EQ(RowsOf(c.barcode), 1);
    }
}

} // namespace
