#pragma once

#include "Status.h"

#include "dataaccess/Connection.h"
#include "dataaccess/Errors.h"
#include "dataaccess/Transaction.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dataaccess {

// Something whose open cursor must be closed before its transaction ends.
class CursorOwner {
public:
    virtual void CloseCursor() noexcept = 0;
    virtual void ForgetTransaction() noexcept = 0;
    virtual void ForgetConnection() noexcept = 0; // detached and destroyed: handles are gone
    virtual void ForgetStatement() noexcept = 0;  // the attachment died: the handle is gone with it

protected:
    ~CursorOwner() = default;
};

class CallThread;
struct AttachAttempt;

struct WaitScope::State {
    std::chrono::steady_clock::time_point deadline;
    std::exception_ptr attachFailure; // a failed attach is not made again inside the scope
    std::exception_ptr ended;         // cut off: every later call fails the same way
};

struct Connection::Impl {
    Impl();
    ~Impl();

    isc_db_handle handle = 0;
    std::string databaseName;
    std::vector<std::string> params;
    std::vector<std::string> attachParams; // the lines that last attached, for attaching again
    std::string attachConfig;              // their firebird.conf lines, which the probe reads too
    bool lost = false;                     // the link broke; the next operation attaches again
    int sqlDialect = 3;
    bool loginPrompt = false;
    Transaction* defaultTransaction = nullptr;
    std::vector<Transaction*> transactions; // every transaction bound to this connection
    std::uint64_t attachment = 0;           // bumped on every attach; stale statements re-prepare
    std::int64_t attachmentId = 0;          // the server's number of the current attachment, 0 unknown
    // The attachment's number and the database's dialect are not asked with
    // the attach: a one-trip select brings them along, else they are asked
    // (one round trip) before the first statement is prepared.
    bool factsKnown = false;
    int waitBound = 10;                     // seconds
    int longWorkBound = 0;                  // seconds, while a LongWork lives
    LinkMonitor* monitor = nullptr;
    WaitScope::State* scope = nullptr;
    bool running = false; // a call is out
    std::string unanswered; // the name that last got no answer to an attach, and when
    std::chrono::steady_clock::time_point unansweredAt;
    void NoAnswerFrom(const std::string& name);
    // False when the name got no answer less than a bound ago.
    bool AnsweredLately(const std::string& name) const;
    std::unique_ptr<CallThread> worker;

    // Runs one unit of client calls on the connection's thread and waits for
    // it, telling the monitor meanwhile. Past the bound (or when the monitor
    // asks) the attachment is cut off from this thread (fb_cancel_abort), the
    // unit returns at once with a network error, the attachment is marked
    // lost and NoAnswerError (WaitCancelledError) is raised. A unit that is not
    // cancellable (attaching: no handle yet) is waited for to its end. A unit
    // that has not returned a moment after its cut is left to its thread, with
    // the attachment it runs on.
    void Run(const std::function<void()>& unit, bool cancellable = true);
    // When a call starting at now must have its answer: the scope's deadline,
    // else the whole bound less a margin for the message.
    std::chrono::steady_clock::time_point Deadline(std::chrono::steady_clock::time_point now) const;
    // The same for a call on an open attachment, which long work lets wait
    // longer; attaching keeps Deadline, so a server that is away is found as
    // soon as during a scan.
    std::chrono::steady_clock::time_point CallDeadline(std::chrono::steady_clock::time_point now) const;
    int CallBound() const; // seconds, as the operator is told them
    // Whole seconds left for a call that starts now; raises NoAnswerError when none.
    int SecondsLeft();
    void Note(const std::string& text) const;
    std::string ServerLabel() const;
    // The errors of a call past the bound and of one cut off by closing.
    NoAnswerError NoAnswer(const std::string& detail = {}, int seconds = 0) const; // 0: the bound
    WaitCancelledError Closing() const;
    // Marks a call as out for its lifetime; a second one raises.
    class Busy {
    public:
        explicit Busy(bool& running);
        ~Busy() { running_ = false; }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        bool& running_;
    };
    // A server name, not a local file: calls are made on the connection's
    // thread and bounded.
    bool OverNetwork() const;

    void Attach(const std::vector<std::string>& lines);
    // isc_attach_database on a thread of its own, waited for at most seconds:
    // the client's connect timeout does not bound a connect whose packets are
    // dropped, so past the bound the attempt is left to end by itself (an
    // attachment it still makes is detached there) and NoAnswerError raised.
    // key names what is attached and how, leaving out the time-out.
    isc_db_handle AttachWithin(const std::string& dpb, const std::string& key, int seconds);
    // The same for any call that makes an attachment (attach, create). An
    // attempt left behind that is still out with the same key is waited for
    // again instead of starting another: one thread and one socket at most.
    isc_db_handle OpenWithin(std::function<void(Status&, isc_db_handle&)> open, const std::string& key,
                             int seconds);
    std::shared_ptr<AttachAttempt> attemptOut; // the last attempt, maybe still inside the client
    void Detach() noexcept;
    // The program ends from inside the wait for a call (the session ends):
    // the call is cut off and its thread given a moment to leave it. True
    // once nothing runs on the connection's handles any more.
    bool CutCallOut() noexcept;
    // The link is gone: every transaction and statement handle is dropped without a
    // word to the server (the client library frees them with the attachment).
    void MarkLost() noexcept;
    // The same without a word to the client library: the handle stays with a
    // call that has not come back from it.
    void ForgetAttachment() noexcept;
    // Attaches again, with the lines that last attached, after the link was lost.
    void AttachAgainIfLost();
    void AdoptDialect(); // isc_database_info on the calling thread
    void ForgetFacts() noexcept;
    // Asks for them when not yet known; bounded as any call.
    void LearnFacts();
    // What a select told about them; a dialect lower than the one asked for is taken.
    void AdoptFacts(std::int64_t id, std::optional<std::int64_t> dialect);
    // Raises "Database not connected" when detached.
    isc_db_handle* RequireHandle();
};

struct Transaction::Impl {
    Connection* connection = nullptr;
    isc_tr_handle handle = 0;
    int lockTimeout = 0;
    bool readCommitted = false;
    bool readOnly = false;
    bool autoCommit = false;
    bool noWait = false;
    std::vector<std::pair<std::string, Transaction::Reservation>> reservations;
    std::vector<CursorOwner*> cursors; // queries and statements bound to this transaction

    void Start();
    void StartOnce();
    void End(bool commit);
    // Commit, else roll back, else forget the handle; never raises.
    void Finish() noexcept;
    void FinishHere() noexcept; // the same, on the calling thread
    // The parameter block of a start: empty, or what was asked for.
    // lockSeconds: the lock wait this start asks for (0: endless).
    std::string ParameterBlock(int lockSeconds) const;
    // The lock wait, kept inside what is left of the wait for the server: a
    // step that spent part of its bound attaching still hears of a lock
    // conflict, not of a server that did not answer.
    int LockWaitNow() const;
    void CloseCursors() noexcept;
    void ForgetHandles() noexcept; // the attachment died
    // Raises "Transaction is not active" when none is open.
    isc_tr_handle* RequireHandle();

    void Register(CursorOwner* owner) { cursors.push_back(owner); }
    void Unregister(CursorOwner* owner) noexcept;
};

// Runs one step that may talk to the server. When the link turns out to be gone,
// the attachment is marked dead before the error goes on, so that the next
// operation attaches again instead of failing on dead handles.
template <class Step>
decltype(auto) WatchLink(Connection* connection, Step&& step)
{
    try {
        return step();
    } catch (const ConnectionLostError& error) {
        if (connection && connection->impl().handle != 0) {
            connection->impl().Note("Collegamento perso con " + connection->impl().ServerLabel() + ": " +
                                    error.what());
            connection->impl().MarkLost();
        }
        throw;
    }
}

// user_name, password and sql_role_name lines from the USER, PASSWORD and ROLE
// clauses of create-database lines.
std::vector<std::string> AttachLinesFromCreate(const std::vector<std::string>& createLines);

// SQL text as sent: every line followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);

} // namespace dataaccess
