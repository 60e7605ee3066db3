#include "ColliApplication.h"
#include "DiagnosticLog.h"
#include "MainForm.h"
#include "MessageBoxes.h"
#include "Windows1252.h"

#include <dataaccess/DllSearch.h>
#include <printing/SystemPlatform.h>

#include <QClipboard>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Closing waits for the server no longer than this, whatever the station's
// bound: the window is gone and nobody is told anything any more.
constexpr int kClosingSeconds = 1;
// Windows offers to end a program 5 s into the session's end.
constexpr int kSessionEndSeconds = 2;

// The whole station: everything of it has ended when this returns.
int RunStation(int argc, char** argv)
{
    MessageBoxes boxes;
    ColliApplication application(argc, argv, boxes);
    // Logout, shutdown or kill end the station the way "Chiudi" does.
    TerminationSignals terminationSignals;
    const std::unique_ptr<printing::PrintPlatform> printPlatform = printing::MakeSystemPrintPlatform(
        [](const std::string& bytes) { QGuiApplication::clipboard()->setText(FromWindows1252(bytes)); });
    DiagnosticLog log(DiagnosticLog::DefaultFolder());
    log.Write(QStringLiteral("Avvio della stazione da ") + QString::fromStdString(ProgramFolder()));
    TMainForm mainForm(StationServices{*printPlatform, boxes, ProgramFolder(), nullptr, &log,
                                       [&terminationSignals] { return terminationSignals.Received(); }});
    // Detaching ends the open transaction as the form's end would; a call
    // still out is cut first.
    terminationSignals.AtSessionEnd([&mainForm, &log] {
        mainForm.CloseDatabase(kSessionEndSeconds);
        log.Write(QStringLiteral("Stazione chiusa con la fine della sessione di Windows"));
    });
    // A signal taken during start-up has cut its waits and boxes: the window
    // is never shown.
    int status = 0;
    if (!terminationSignals.Received()) {
        mainForm.show();
        status = application.exec();
    }
    mainForm.CloseDatabase(kClosingSeconds);
    log.Write(terminationSignals.Received() ? QStringLiteral("Stazione chiusa da un segnale di terminazione")
                                            : QStringLiteral("Stazione chiusa"));
    return status;
}

// The station's own clean-up is done: the process ends without the client
// library's exit handlers, which wait for every thread still inside the
// library, such as a connect given up at its bound (minutes, or for ever on
// a server that stopped mid-handshake).
[[noreturn]] void EndProcess(int status)
{
    std::fflush(nullptr);
#ifdef _WIN32
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
#endif
    std::_Exit(status);
}

} // namespace

int main(int argc, char** argv)
{
    dataaccess::RestrictDllSearch();
    EndProcess(RunStation(argc, argv));
}
