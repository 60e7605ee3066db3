// A station whose database server goes away: killed with SIGKILL, and started
// again on the same port.
#include "PrivateServer.h"
#include "StationFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <cstdlib>

namespace {

class LostConnection : public StationTest {
protected:
    void SetUp() override
    {
        if (std::getenv("COLLI_FB_SERVER") == nullptr)
            GTEST_SKIP() << "no private server wanted (COLLI_FB_SERVER unset)";
        ASSERT_TRUE(server.Running());
        StartOnServer(server.Address(), server.Folder() + "REMOTE.FDB", "Aggiornamento Copia=0\r\n"); // no copy to answer from
        ASSERT_TRUE(form->DatabaseColli().Connected());
        ASSERT_TRUE(form->EditBarcode->isEnabled());
        journal.clear();
    }

    testsupport::PrivateServer server;
};

TEST_F(LostConnection, ErrorsAreShownWhileTheServerIsAwayAndTheOutcomeWaitsOnTheWorkstation)
{
    Scan("SPD002");
    Scan("8001234567906");
    ASSERT_EQ(LogRows().size(), 1u);
    journal.clear();
    Scan("SPD001");
    ASSERT_EQ(form->ScanState(), 1);
    server.Kill();

    // The outcome is shown and kept on the workstation: no box about the log.
    Scan("8001234567890");
    EXPECT_EQ(journal, Journal{"Outcome 0: EAN OK"});
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(form->ScansWaiting().waiting, 1);
    EXPECT_EQ(form->LabelCoda->text().toStdString(), "1 scansione in attesa del server");

    // Each later lookup fails once and reaches the error handler; the station stays usable.
    for (const char* code : {"SPD002", "SPD001"}) {
        journal.clear();
        Scan(code);
        ASSERT_EQ(journal.size(), 1u);
        EXPECT_EQ(journal[0].rfind("ApplicationError: ", 0), 0u) << journal[0];
        EXPECT_EQ(form->ScanState(), 0);
        EXPECT_EQ(form->StaticBarcodeSpeed->text(), code);
        EXPECT_TRUE(form->EditBarcode->text().isEmpty());
        EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->EditBarcode));
    }

    // Back on the same port: the waiting row reaches the server by itself,
    // once, and the next pair works with no operator action.
    server.Restart();
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][1], "SPD001");
    EXPECT_TRUE(QTest::qWaitFor([this] { return form->LabelCoda->text().isEmpty(); }, 5000));
    journal.clear();
    Scan("SPD001");
    Scan("8001234567890");
    EXPECT_EQ(journal, Journal{"Outcome 0: EAN OK"});
    EXPECT_EQ(LogRows().size(), 3u);

    form.reset(); // closing neither hangs nor throws
}

TEST_F(LostConnection, NextScanAfterARestartIsLookedUpAndLoggedOnce)
{
    // Between the two scans of a pair: the read the lookup left open dies.
    Scan("SPD001");
    server.Restart();
    Scan("8001234567890");

    // While the station is idle.
    server.Restart();
    Scan("SPD002");
    Scan("8001234567906");

    // Under a lookup that finds a transaction still open on the dead link.
    form->TransactionColli().SetActive(true);
    server.Restart();
    Scan("NOPE");

    EXPECT_EQ(journal, (Journal{"Outcome 0: EAN OK", "Outcome 0: EAN OK", "Outcome 2: codice speed sconosciuto"}));
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][1] + " " + rows[0][3], "SPD001 EanCorretto");
    EXPECT_EQ(rows[1][1] + " " + rows[1][3], "SPD002 EanCorretto");
    EXPECT_EQ(rows[2][1] + " " + rows[2][3], "NOPE BarCodeSpeedSconosciuto");
}

TEST_F(LostConnection, BatchBrokenByARestartChangesNothingAndRunsAgain)
{
    // The server goes away after the count, before any update reaches it.
    boxes.onConfirm = [this] { server.Restart(); };
    form->ButtonIntegrazioneEANErrati->click();
    ASSERT_FALSE(journal.empty());
    EXPECT_NE(journal.back().find("Error"), std::string::npos) << journal.back();
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL")[0][0], "0");

    boxes.onConfirm = nullptr;
    journal.clear();
    form->ButtonIntegrazioneEANErrati->click();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back(), "Information: Elaborazione completata");
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL")[0][0], "2");

    // Also right after a restart, with no operator action in between.
    folder.Execute("UPDATE COLLI SET CODICEEAN_ERRATO = NULL");
    server.Restart();
    journal.clear();
    form->ButtonIntegrazioneEANErrati->click();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back(), "Information: Elaborazione completata");
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL")[0][0], "2");
}

} // namespace
