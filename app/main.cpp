#include "ColliApplication.h"
#include "DiagnosticLog.h"
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
    DiagnosticLog log(DiagnosticLog::DefaultFolder());
    log.Write(QStringLiteral("Avvio della stazione da ") + QString::fromStdString(ProgramFolder()));
    TMainForm mainForm(StationServices{*printPlatform, boxes, ProgramFolder(), nullptr, &log});
    // Detaching ends the open transaction as the form's end would.
    terminationSignals.AtSessionEnd([&mainForm, &log] {
        mainForm.DatabaseColli().SetConnected(false);
        log.Write(QStringLiteral("Stazione chiusa con la fine della sessione di Windows"));
    });
    mainForm.show();
    // A signal taken while start-up showed its boxes has already ended the loops.
    const int status = terminationSignals.Received() ? 0 : application.exec();
    log.Write(terminationSignals.Received() ? QStringLiteral("Stazione chiusa da un segnale di terminazione")
                                            : QStringLiteral("Stazione chiusa"));
    return status;
}
