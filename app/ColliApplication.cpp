#include "ColliApplication.h"

#include "MessageBoxes.h"

#include <dataaccess/Connection.h>

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <exception>

#ifdef _WIN32
#include <QAbstractNativeEventFilter>

// ShutdownBlockReasonCreate came with Windows Vista.
#if defined(_WIN32_WINNT) && _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <windows.h>
#else
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
constexpr const wchar_t* kSessionEndReason = L"Chiusura del collegamento al database in corso";

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
    std::function<void()> atSessionEnd;
    QTimer poll;
#ifdef _WIN32

    // Logoff and shutdown come as window messages, not signals. Windows ends
    // the process once WM_ENDSESSION has been answered, so the loops that End
    // stops never get to return: what the end of the program would do runs here.
    class SessionEnd : public QAbstractNativeEventFilter {
    public:
        explicit SessionEnd(Impl& owner) : owner_(owner) {}
        bool nativeEventFilter(const QByteArray&, void* message, qintptr* result) override
        {
            const MSG* msg = static_cast<const MSG*>(message);
            if (msg->message != WM_ENDSESSION || !msg->wParam)
                return false;
            // Sent to every top-level window: the first one ends the station.
            if (!ended_) {
                ended_ = true;
                // What the user waits for while the session ends (a few
                // seconds at most: the clean-up has a short bound of its own).
                const bool told = ::ShutdownBlockReasonCreate(msg->hwnd, kSessionEndReason) != FALSE;
                // Inside a wait this also makes its monitor cut the call;
                // the clean-up cuts a call still out before it detaches.
                owner_.End();
                if (owner_.atSessionEnd)
                    owner_.atSessionEnd();
                if (told)
                    ::ShutdownBlockReasonDestroy(msg->hwnd);
            }
            // Answered here: Qt's own handling would go on with windows that
            // have just been closed.
            *result = 0;
            return true;
        }

    private:
        Impl& owner_;
        bool ended_ = false;
    };
    std::unique_ptr<SessionEnd> sessionEnd;
#else
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
    d_->sessionEnd = std::make_unique<Impl::SessionEnd>(*d_);
    QCoreApplication::instance()->installNativeEventFilter(d_->sessionEnd.get());
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
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(d_->sessionEnd.get());
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

void TerminationSignals::AtSessionEnd(std::function<void()> finish)
{
    d_->atSessionEnd = std::move(finish);
}
