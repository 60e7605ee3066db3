#include "ColliApplication.h"

#include "MessageBoxes.h"

#include <dataaccess/Connection.h>

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <exception>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

ColliApplication::ColliApplication(int& argc, char** argv, MessageBoxes& boxes)
    : QApplication(argc, argv), boxes_(boxes)
{
    setApplicationName(QString::fromUtf8(kApplicationTitle));
}

bool ColliApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportUnhandledError(boxes_, activeWindow(), std::current_exception());
        return false;
    }
}

namespace {

constexpr int kEndingSignals[] = {
    SIGTERM, SIGINT,
#ifndef _WIN32
    SIGHUP,
#endif
};

#ifdef _WIN32
// Set by the handler and polled from the event loop: a handler may touch nothing
// but a flag of this type.
volatile std::sig_atomic_t signalTaken = 0;

extern "C" void OnEndingSignal(int signalNumber)
{
    signalTaken = 1;
    std::signal(signalNumber, OnEndingSignal); // the handler is reset on each delivery
}
#else
// The write end of the self-pipe: the only thing a handler can safely reach.
volatile std::sig_atomic_t signalPipeWrite = -1;
// Without a pipe (no descriptor left) the handler only sets this flag, which
// the event loop polls.
volatile std::sig_atomic_t signalTaken = 0;

extern "C" void OnEndingSignal(int signalNumber)
{
    if (signalPipeWrite < 0) {
        signalTaken = 1;
        return;
    }
    const int savedErrno = errno;
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipeWrite, &byte, 1);
    errno = savedErrno;
}
#endif

} // namespace

struct TerminationSignals::Impl {
    bool received = false;
    QTimer poll;
#ifndef _WIN32
    int pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
#endif

    void End()
    {
        received = true;
        QApplication::closeAllWindows();
        // Also ends the loop of a modal window that refused to close, so the
        // code waiting on it goes on and the main loop returns.
        QCoreApplication::exit(0);
    }
};

TerminationSignals::TerminationSignals() : d_(std::make_unique<Impl>())
{
#ifdef _WIN32
    signalTaken = 0;
    QObject::connect(&d_->poll, &QTimer::timeout, [this] {
        if (signalTaken) {
            signalTaken = 0;
            d_->End();
        }
    });
    d_->poll.start(100);
    for (int signalNumber : kEndingSignals)
        std::signal(signalNumber, OnEndingSignal);
    KeepAttachments();
#else
    signalTaken = 0;
    if (::pipe(d_->pipe) == 0) {
        for (int fd : d_->pipe) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        signalPipeWrite = d_->pipe[1];
        d_->notifier = std::make_unique<QSocketNotifier>(d_->pipe[0], QSocketNotifier::Read);
        QObject::connect(d_->notifier.get(), &QSocketNotifier::activated, [this] {
            char bytes[16];
            while (::read(d_->pipe[0], bytes, sizeof bytes) > 0) {
            }
            d_->End();
        });
    } else {
        d_->pipe[0] = d_->pipe[1] = -1;
        QObject::connect(&d_->poll, &QTimer::timeout, [this] {
            if (signalTaken) {
                signalTaken = 0;
                d_->End();
            }
        });
        d_->poll.start(100);
    }
    struct sigaction action {};
    action.sa_handler = OnEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : kEndingSignals)
        ::sigaction(signalNumber, &action, nullptr);
    KeepAttachments();
#endif
}

// Only once the station's own handlers are in place: otherwise the client
// library would drop the attachments first and the transaction could not end
// the way it ends on "Chiudi", and a veto without handlers would leave the
// signals doing nothing at all.
void TerminationSignals::KeepAttachments()
{
    try {
        dataaccess::KeepAttachmentsOnSignals();
    } catch (...) {
        // No client library yet: the first attach reports that; the signals
        // still end the station.
    }
}

TerminationSignals::~TerminationSignals()
{
#ifdef _WIN32
    for (int signalNumber : kEndingSignals)
        std::signal(signalNumber, SIG_DFL);
#else
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kEndingSignals)
        ::sigaction(signalNumber, &action, nullptr);
    signalPipeWrite = -1;
    d_->notifier.reset();
    if (d_->pipe[0] >= 0) {
        ::close(d_->pipe[0]);
        ::close(d_->pipe[1]);
    }
#endif
}

bool TerminationSignals::Received() const { return d_->received; }
