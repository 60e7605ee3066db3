#include "ColliApplication.h"
#include "MainForm.h"
#include "MessageBoxes.h"
#include "Windows1252.h"

#include <printing/SystemPlatform.h>

#include <QClipboard>
#include <QGuiApplication>

int main(int argc, char** argv)
{
    MessageBoxes boxes;
    ColliApplication application(argc, argv, boxes);
    // Logout, shutdown or kill end the station the way "Chiudi" does.
    TerminationSignals terminationSignals;
    const std::unique_ptr<printing::PrintPlatform> printPlatform = printing::MakeSystemPrintPlatform(
        [](const std::string& bytes) { QGuiApplication::clipboard()->setText(FromWindows1252(bytes)); });
    TMainForm mainForm(StationServices{*printPlatform, boxes, ProgramFolder()});
    // Detaching ends the open transaction as the form's end would.
    terminationSignals.AtSessionEnd([&mainForm] { mainForm.DatabaseColli().SetConnected(false); });
    mainForm.show();
    // A signal taken while start-up showed its boxes has already ended the loops.
    return terminationSignals.Received() ? 0 : application.exec();
}
