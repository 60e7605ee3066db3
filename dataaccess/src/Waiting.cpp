#include "Internals.h"

#include "Reachable.h"

#include "dataaccess/Errors.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace dataaccess {

using Clock = std::chrono::steady_clock;

// What a call cut off is given to leave the client library once its link is
// closed.
constexpr std::chrono::seconds kLeaveTime(1);

// The one thread that makes a connection's client calls, so that the caller
// can go on painting its window and can cut a call off when no answer comes.
class CallThread {
public:
    CallThread() : shared_(std::make_shared<Shared>())
    {
        thread_ = std::thread([shared = shared_] { Loop(*shared); });
    }
    ~CallThread()
    {
        if (!thread_.joinable())
            return; // left behind: it ends by itself
        {
            const std::lock_guard lock(shared_->mutex);
            shared_->quit = true;
        }
        shared_->wake.notify_one();
        thread_.join();
    }
    CallThread(const CallThread&) = delete;
    CallThread& operator=(const CallThread&) = delete;

    // The unit is copied: a call left behind still owns what it runs.
    void Post(const std::function<void()>& unit)
    {
        {
            const std::lock_guard lock(shared_->mutex);
            shared_->unit = unit;
            shared_->posted = true;
            shared_->done = false;
            shared_->error = nullptr;
        }
        shared_->wake.notify_one();
    }

    // True once the unit posted last has returned.
    bool WaitFor(std::chrono::milliseconds time)
    {
        std::unique_lock lock(shared_->mutex);
        return shared_->finished.wait_for(lock, time, [this] { return shared_->done; });
    }

    std::exception_ptr Error() const
    {
        const std::lock_guard lock(shared_->mutex);
        return shared_->error;
    }

    // A call that does not come back from the client although its link was
    // cut: nobody waits for it any more. The thread keeps the attachment the
    // call runs on, detaches it once the call returns, and ends.
    void LeaveBehind(isc_db_handle attachment)
    {
        {
            const std::lock_guard lock(shared_->mutex);
            shared_->leftBehind = true;
            shared_->attachment = attachment;
        }
        thread_.detach();
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable finished;
        std::function<void()> unit;
        bool posted = false;
        bool done = true;
        bool quit = false;
        bool leftBehind = false;
        isc_db_handle attachment = 0; // to detach after a call left behind
        std::exception_ptr error;
    };

    static void Loop(Shared& shared)
    {
        std::unique_lock lock(shared.mutex);
        for (;;) {
            shared.wake.wait(lock, [&] { return shared.quit || shared.posted; });
            if (!shared.posted)
                return;
            shared.posted = false;
            lock.unlock();
            std::exception_ptr error;
            try {
                shared.unit();
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            shared.unit = nullptr;
            if (shared.leftBehind) {
                isc_db_handle attachment = shared.attachment;
                lock.unlock();
                Status ignored;
                isc_detach_database(&ignored, &attachment);
                return;
            }
            shared.error = error;
            shared.done = true;
            shared.finished.notify_all();
        }
    }

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

Connection::Impl::Impl() = default;
Connection::Impl::~Impl() = default;

std::string ServerOf(const std::string& databaseName)
{
    if (databaseName.rfind("\\\\", 0) == 0) // named pipes: \\server\path
        return databaseName.substr(2, databaseName.find('\\', 2) - 2);
    const std::size_t colon = databaseName.find(':');
    if (colon == std::string::npos || colon < 2) // none, or a drive letter
        return {};
    return databaseName.substr(0, colon);
}

bool Connection::Impl::OverNetwork() const
{
    return !ServerOf(databaseName).empty() || databaseName.find("://") != std::string::npos;
}

std::string Connection::Impl::ServerLabel() const
{
    const std::string server = ServerOf(databaseName);
    return "\"" + (server.empty() ? databaseName : server) + "\"";
}

NoAnswerError Connection::Impl::NoAnswer(const std::string& detail, int seconds) const
{
    return NoAnswerError("Nessuna risposta dal server " + ServerLabel() + " entro " +
                         std::to_string(seconds > 0 ? seconds : waitBound) +
                         " secondi" + (detail.empty() ? "" : "\r" + detail));
}

WaitCancelledError Connection::Impl::Closing() const
{
    // Only a monitor stops a wait early.
    return WaitCancelledError("Attesa del server " + ServerLabel() + " interrotta: " +
                              (monitor ? monitor->StopReason() : std::string()));
}

// Events handled while waiting must not start a second call.
Connection::Impl::Busy::Busy(bool& running) : running_(running)
{
    if (running_)
        throw DatabaseError("Database busy with another call");
    running_ = true;
}

void Connection::Impl::Note(const std::string& text) const
{
    if (monitor)
        monitor->Note(text);
}

namespace {
// Taken off the bound, so that the operator has the message within it.
constexpr std::chrono::milliseconds kMessageMargin(150);
} // namespace

std::chrono::steady_clock::time_point Connection::Impl::Deadline(std::chrono::steady_clock::time_point now) const
{
    return scope ? scope->deadline : now + std::chrono::seconds(waitBound) - kMessageMargin;
}

std::chrono::steady_clock::time_point Connection::Impl::CallDeadline(std::chrono::steady_clock::time_point now) const
{
    const Clock::time_point deadline = Deadline(now);
    if (longWorkBound <= 0)
        return deadline;
    return std::max(deadline, now + std::chrono::seconds(longWorkBound) - kMessageMargin);
}

int Connection::Impl::CallBound() const { return std::max(waitBound, longWorkBound); }

int Connection::Impl::SecondsLeft()
{
    if (scope && scope->ended)
        std::rethrow_exception(scope->ended);
    // Whole seconds, as the client takes them, never past the deadline.
    const Clock::time_point now = Clock::now();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline(now) - now).count();
    if (left >= 300) // a bound of 1 s still gets its one attempt
        return std::max(1, static_cast<int>(left / 1000));
    const NoAnswerError error = NoAnswer();
    if (scope)
        scope->ended = std::make_exception_ptr(error);
    throw error;
}

void Connection::Impl::Run(const std::function<void()>& unit, bool cancellable)
{
    if (scope && scope->ended)
        std::rethrow_exception(scope->ended);
    const Busy busy(running);
    if (!OverNetwork()) {
        unit(); // a local file has no link to lose, and the thread would cost more than the call
        return;
    }
    const Clock::time_point started = Clock::now();
    const Clock::time_point deadline = cancellable ? CallDeadline(started) : Deadline(started);
    if (cancellable && deadline <= started)
        SecondsLeft(); // raises
    if (!worker)
        worker = std::make_unique<CallThread>();
    // The worker may change the handle; the cut uses the one the call runs on.
    isc_db_handle cancelHandle = handle;
    worker->Post(unit);

    bool told = false;
    bool askedToStop = false;
    bool cut = false;
    bool leftBehind = false;
    Clock::time_point cutAt;
    while (!worker->WaitFor(std::chrono::milliseconds(50))) {
        const Clock::time_point now = Clock::now();
        if (monitor) {
            told = true;
            if (!monitor->Waiting(std::chrono::duration_cast<std::chrono::milliseconds>(now - started)) &&
                !askedToStop)
                askedToStop = true;
        }
        if (cut) {
            if (now - cutAt >= kLeaveTime) {
                leftBehind = true;
                break;
            }
            continue;
        }
        if (!cancellable || cancelHandle == 0)
            continue;
        if (askedToStop || now >= deadline) {
            Status status;
            fb_cancel_operation(&status, &cancelHandle, fb_cancel_abort);
            cut = !status.Failed();
            cutAt = now;
        }
    }
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    if (told)
        monitor->WaitOver(waited);

    const std::exception_ptr cancelled = askedToStop ? std::make_exception_ptr(Closing()) : nullptr;
    if (leftBehind) {
        // Still inside the client although its link is closed: a detach from
        // here would wait for it too. The attachment goes with the call's
        // thread; the next call gets a thread of its own.
        worker->LeaveBehind(cancelHandle);
        worker.reset();
        ForgetAttachment();
        const std::exception_ptr error =
            cancelled ? cancelled : std::make_exception_ptr(NoAnswer({}, CallBound()));
        Note("Chiamata interrotta che non lascia il client dopo " + std::to_string(waited.count()) +
             " ms: lasciata al suo thread, collegamento con " + ServerLabel() + " considerato perso");
        if (scope)
            scope->ended = error;
        std::rethrow_exception(error);
    }
    if (cut) {
        // The answer may have come between the last look and the cut: the
        // call then keeps its outcome (a commit made stays made, a refusal
        // stays a refusal); only a call the cut broke counts as unanswered.
        const std::exception_ptr outcome = worker->Error();
        bool answered = !outcome;
        if (outcome) {
            try {
                std::rethrow_exception(outcome);
            } catch (const ConnectionLostError&) {
            } catch (...) {
                answered = true;
            }
        }
        MarkLost(); // the port is closed either way: the next call attaches again
        if (answered) {
            Note("Risposta arrivata mentre la chiamata veniva interrotta dopo " + std::to_string(waited.count()) +
                 " ms: esito tenuto, collegamento con " + ServerLabel() + " chiuso");
            if (cancelled && scope)
                scope->ended = cancelled;
            if (outcome)
                std::rethrow_exception(outcome);
            return;
        }
        const std::exception_ptr error =
            cancelled ? cancelled : std::make_exception_ptr(NoAnswer({}, CallBound()));
        Note((cancelled ? "Chiamata interrotta (" + monitor->StopReason() + ") dopo "
                        : std::string("Chiamata interrotta senza risposta dopo ")) +
             std::to_string(waited.count()) + " ms: collegamento con " + ServerLabel() + " considerato perso");
        if (scope)
            scope->ended = error;
        std::rethrow_exception(error);
    }
    // A call that ended by itself keeps its outcome (a commit made stays
    // made); nothing more is started in the scope.
    if (cancelled && scope)
        scope->ended = cancelled;
    if (const std::exception_ptr error = worker->Error())
        std::rethrow_exception(error);
}

// One attach attempt, shared with the thread that makes it, which may
// outlive the wait for it.
struct AttachAttempt {
    std::string key;
    std::string name;
    std::string config; // firebird.conf lines of this attachment alone
    int probeMilliseconds = 0;
    bool unreachable = false;
    std::function<void(Status&, isc_db_handle&)> open;
    std::mutex mutex;
    std::condition_variable finished;
    bool over = false;      // the thread has left the client
    bool done = false;      // ... and somebody still waited for its outcome
    bool abandoned = false; // nobody waits now: an attachment made is detached there
    std::exception_ptr error; // made on the attaching thread: the status may point into its buffers
    isc_db_handle handle = 0;
};

isc_db_handle Connection::Impl::AttachWithin(const std::string& dpb, const std::string& key, int seconds)
{
    std::string name = databaseName;
    return OpenWithin(
        [name, dpb](Status& status, isc_db_handle& newHandle) {
            isc_attach_database(&status, static_cast<short>(name.size()), name.c_str(), &newHandle,
                                static_cast<short>(dpb.size()), dpb.data());
        },
        key, seconds);
}

namespace {

void MakeAttempt(const std::shared_ptr<AttachAttempt>& attempt)
{
    Status status;
    isc_db_handle newHandle = 0;
    bool answers = true;
    std::exception_ptr failure; // the run-time client loader raises when the library is missing
    try {
        answers = ServerAnswers(attempt->name, attempt->probeMilliseconds, attempt->config);
        if (answers)
            attempt->open(status, newHandle);
    } catch (...) {
        failure = std::current_exception();
    }
    std::unique_lock lock(attempt->mutex);
    attempt->over = true;
    attempt->unreachable = !answers;
    if (attempt->abandoned) {
        lock.unlock();
        if (newHandle != 0) {
            Status ignored;
            isc_detach_database(&ignored, &newHandle);
        }
        return;
    }
    try {
        if (failure)
            std::rethrow_exception(failure);
        Check(status);
    } catch (...) {
        attempt->error = std::current_exception();
    }
    attempt->handle = newHandle;
    attempt->done = true;
    attempt->finished.notify_all();
}

} // namespace

isc_db_handle Connection::Impl::OpenWithin(std::function<void(Status&, isc_db_handle&)> open, const std::string& key,
                                           int seconds)
{
    const Busy busy(running);
    if (!OverNetwork()) {
        Status status;
        isc_db_handle newHandle = 0;
        open(status, newHandle);
        Check(status);
        return newHandle;
    }
    std::shared_ptr<AttachAttempt> attempt = attemptOut;
    if (attempt) {
        // Still inside the client from an earlier wait: a second thread and
        // socket would only pile up behind it while the server is away.
        const std::lock_guard lock(attempt->mutex);
        if (attempt->over || attempt->key != key)
            attempt.reset();
        else
            attempt->abandoned = false;
    }
    const auto start = [&] {
        attempt = std::make_shared<AttachAttempt>();
        attempt->key = key;
        attempt->name = databaseName;
        attempt->config = attachConfig;
        attempt->probeMilliseconds = seconds * 1000;
        attempt->open = open;
        std::thread(MakeAttempt, attempt).detach();
        attemptOut = attempt;
    };
    bool rejoined = attempt != nullptr;
    if (rejoined)
        Note("Collegamento con " + ServerLabel() + " ancora in corso da un'attesa precedente: atteso di nuovo");
    else
        start();

    const Clock::time_point started = Clock::now();
    const Clock::time_point deadline = std::min(Deadline(started), started + std::chrono::seconds(seconds));
    bool told = false;
    bool askedToStop = false;
    bool abandoned = false;
    for (;;) {
        std::unique_lock lock(attempt->mutex);
        while (!attempt->finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return attempt->done; })) {
            const Clock::time_point now = Clock::now();
            if (monitor) {
                told = true;
                lock.unlock();
                askedToStop = !monitor->Waiting(std::chrono::duration_cast<std::chrono::milliseconds>(now - started));
                lock.lock();
                if (attempt->done)
                    break;
            }
            if (askedToStop || now >= deadline) {
                attempt->abandoned = true;
                break;
            }
        }
        abandoned = attempt->abandoned;
        // An attempt taken over may have failed while the server was away; a
        // server back by now gets a fresh one, the old one being over.
        const bool failed = attempt->done && (attempt->error || attempt->unreachable);
        lock.unlock();
        if (!rejoined || !failed || askedToStop || Clock::now() >= deadline)
            break;
        rejoined = false;
        start();
    }
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    if (told)
        monitor->WaitOver(waited);
    if (abandoned) {
        const std::exception_ptr error =
            askedToStop ? std::make_exception_ptr(Closing()) : std::make_exception_ptr(NoAnswer());
        if (scope)
            scope->ended = error;
        NoAnswerFrom(databaseName);
        std::rethrow_exception(error);
    }
    try {
        if (attempt->unreachable)
            throw NoAnswer();
        if (attempt->error)
            std::rethrow_exception(attempt->error);
    } catch (const NoAnswerError&) {
        NoAnswerFrom(databaseName);
        throw;
    } catch (const ConnectionLostError& error) {
        // The client's own connect timeout ran out: the server took the
        // connection but said nothing.
        if (waited < std::chrono::seconds(seconds) - std::chrono::milliseconds(500))
            throw;
        NoAnswerFrom(databaseName);
        const NoAnswerError noAnswer = NoAnswer(error.what());
        if (scope)
            scope->ended = std::make_exception_ptr(noAnswer);
        throw noAnswer;
    }
    return attempt->handle;
}

void Connection::Impl::NoAnswerFrom(const std::string& name)
{
    unanswered = name;
    unansweredAt = Clock::now();
}

bool Connection::Impl::AnsweredLately(const std::string& name) const
{
    return name != unanswered || Clock::now() - unansweredAt >= std::chrono::seconds(waitBound);
}

WaitScope::WaitScope(Connection& connection) : connection_(connection)
{
    Connection::Impl& impl = connection.impl();
    if (impl.scope)
        return;
    state_ = std::make_unique<State>();
    state_->deadline = Clock::now() + std::chrono::seconds(impl.waitBound) - kMessageMargin;
    impl.scope = state_.get();
}

WaitScope::~WaitScope()
{
    if (state_)
        connection_.impl().scope = nullptr;
}

LongWork::LongWork(Connection& connection, int seconds)
    : connection_(connection), previous_(connection.impl().longWorkBound)
{
    connection.impl().longWorkBound = std::max(seconds, 0);
}

LongWork::~LongWork() { connection_.impl().longWorkBound = previous_; }

int Connection::WaitBound() const { return d_->waitBound; }
void Connection::SetWaitBound(int seconds) { d_->waitBound = seconds > 0 ? seconds : 10; }
void Connection::SetLinkMonitor(LinkMonitor* monitor) { d_->monitor = monitor; }

bool Connection::Impl::CutCallOut() noexcept
{
    if (!worker)
        return false;
    if (!worker->WaitFor(std::chrono::milliseconds(0))) {
        Status status;
        isc_db_handle cancelHandle = handle;
        fb_cancel_operation(&status, &cancelHandle, fb_cancel_abort);
    }
    return worker->WaitFor(kLeaveTime);
}

} // namespace dataaccess
