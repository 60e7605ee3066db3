#pragma once

#include <dataaccess/Connection.h>

#include <QString>

#include <functional>

class DiagnosticLog;
class QLabel;
class QWidget;

// While the station waits for the server its window keeps painting and, after
// half a second, says what it is waiting for; once the window has been closed
// ("Chiudi", a termination signal) or the program ends (a termination signal,
// also before the window shows) the wait is cut off.
class ServerWaitNotice : public dataaccess::LinkMonitor {
public:
    static constexpr int kShowAfterMs = 500;

    ServerWaitNotice(QWidget* window, QLabel* notice, DiagnosticLog* log, std::function<QString()> serverName,
                     std::function<bool()> ending = {});

    bool Waiting(std::chrono::milliseconds elapsed) override;
    std::string StopReason() const override;
    void WaitOver(std::chrono::milliseconds waited) override;
    void Note(const std::string& text) override;

    // The window was closed while a call waited: what is left of the scan is
    // only logged.
    bool Closing() const { return closing_ || (ending_ && ending_()); }

    // While long work runs, the operator's own stop (may be empty).
    void SetStopAsked(std::function<bool()> asked) { stopAsked_ = std::move(asked); }

private:
    QWidget* window_;
    QLabel* notice_;
    DiagnosticLog* log_;
    std::function<QString()> serverName_;
    std::function<bool()> ending_;
    std::function<bool()> stopAsked_;
    bool inWait_ = false;
    bool wasVisible_ = false;
    bool closing_ = false;
};
