#pragma once

#include <QApplication>

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

// While it lives, SIGTERM, SIGINT and SIGHUP (SIGINT and SIGTERM on Windows) end
// the station the way "Chiudi" does: the windows close and every running event
// loop returns 0, so the main window and its transaction end as on a normal exit.
// A signal that comes while no event loop runs is taken by the next one.
class TerminationSignals {
public:
    TerminationSignals();
    ~TerminationSignals(); // the default handling comes back
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // A signal was taken: an event loop started from now on would not end.
    bool Received() const;

    struct Impl;

private:
    static void KeepAttachments();

    std::unique_ptr<Impl> d_;
};
