#pragma once

#include <QApplication>

#include <functional>
#include <memory>

class MessageBoxes;

// The application object: every error that leaves an event handler ends up here,
// is shown to the operator, and the event loop goes on.
class ColliApplication : public QApplication {
public:
    ColliApplication(int& argc, char** argv, MessageBoxes& boxes);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    MessageBoxes& boxes_;
};

// While it lives, SIGTERM, SIGINT and SIGHUP (on Windows SIGINT, SIGTERM and the
// session's end) end the station the way "Chiudi" does: the windows close and
// every running event loop returns 0, so the main window and its transaction end
// as on a normal exit.
// A signal that comes while no event loop runs is taken by the next one.
class TerminationSignals {
public:
    TerminationSignals();
    ~TerminationSignals(); // the default handling comes back
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // A signal was taken: an event loop started from now on would not end.
    bool Received() const;

    // On Windows the session's end (logoff, shutdown) ends the windows and
    // loops as a signal does, then runs finish at once: the system ends the
    // process right after, before the loops could return. finish stands for
    // what the end of the program does, such as ending the open transaction.
    void AtSessionEnd(std::function<void()> finish);

    struct Impl;

private:
    static void KeepAttachments();

    std::unique_ptr<Impl> d_;
};
