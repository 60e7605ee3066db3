// Logoff and shutdown end the station on Windows.
#include "ColliApplication.h"
#include "StationFixture.h"

#include <dataaccess/SqlStatement.h>

#include <QGuiApplication>

#include <windows.h>

namespace {

class SessionEnd : public StationTest {};

// Logoff and shutdown come as messages, and Windows ends the process once
// WM_ENDSESSION is answered: by then the windows are closed and the open
// transaction has ended as the end of the program ends it: the batch's work,
// cut short, is rolled back.
TEST_F(SessionEnd, TheBatchsOpenWorkIsRolledBackBeforeTheMessageIsAnswered)
{
    if (QGuiApplication::platformName() != QLatin1String("windows"))
        GTEST_SKIP() << "needs real windows (-platform windows)";
    AddParcel("SPD001", "8001234567890", "<NULL>");
    Start();
    Scan("SPD001");
    ASSERT_EQ(form->ScanState(), 1);
    {
        form->TransactionColli().SetActive(true); // lookups run in a kept transaction of their own
        dataaccess::SqlStatement pending(form->DatabaseColli(), form->TransactionColli());
        pending.SetParamCheck(false);
        pending.AddLine("INSERT INTO COLLI (BARCODESPEED) VALUES ('PENDING')");
        pending.ExecQuery();
    }
    TerminationSignals ending;
    ending.AtSessionEnd([this] { form->CloseDatabase(2); }); // as the program does
    const HWND window = reinterpret_cast<HWND>(form->winId());
    EXPECT_NE(::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), 0); // the station agrees
    ::SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);

    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->DatabaseColli().Connected());
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM COLLI WHERE BARCODESPEED = 'PENDING'")[0][0], "0");
}

} // namespace
