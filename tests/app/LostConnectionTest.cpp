// A station whose database server goes away: killed with SIGKILL, and started
// again on the same port.
#include "PrivateServer.h"
#include "StationFixture.h"

#include <QLineEdit>
#include <QPushButton>

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
        StartOnServer(server.Address(), server.Folder() + "REMOTE.FDB");
        ASSERT_TRUE(form->DatabaseColli().Connected());
        ASSERT_TRUE(form->EditBarcode->isEnabled());
        journal.clear();
    }

    testsupport::PrivateServer server;
};

TEST_F(LostConnection, ErrorsAreShownWhileTheServerIsAwayAndTheStationKeepsRunning)
{
    // A first pair prepares the log insert, so the next row is sent at once.
    Scan("SPD002");
    Scan("8001234567906");
    journal.clear();
    Scan("SPD001");
    ASSERT_EQ(form->ScanState(), 1);
    server.Kill();

    // The outcome is shown; the row went out on a dead link and the server
    // cannot be asked what became of it: the operator must not scan again.
    Scan("8001234567890");
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0], "Outcome 0: EAN OK");
    EXPECT_EQ(journal[1].rfind("Warning: Esito della registrazione nel log non ancora noto: non ripetere la "
                               "scansione.\r",
                               0),
              0u)
        << journal[1];
    EXPECT_EQ(form->ScanState(), 0);

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

    // Back on the same port: the next scan pair works with no operator action,
    // and the row left without an outcome is found missing and written once.
    server.Restart();
    journal.clear();
    Scan("SPD001");
    EXPECT_FALSE(form->LogRowPending());
    Scan("8001234567890");
    EXPECT_EQ(journal, Journal{"Outcome 0: EAN OK"});
    ASSERT_EQ(LogRows().size(), 3u);
    EXPECT_EQ(LogRows()[1][1], "SPD001");
    EXPECT_EQ(LogRows()[2][1], "SPD001");
    const auto lines = DiagnosticLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("non registrata, inviata di nuovo") != std::string::npos;
    }));

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
