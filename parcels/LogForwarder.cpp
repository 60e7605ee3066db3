#include "parcels/LogForwarder.h"

#include "parcels/ScanLog.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace parcels {

using namespace std::chrono_literals;

namespace {

constexpr int kRowsPerRound = 50;
constexpr auto kFirstPause = 1s;
constexpr auto kLongestPause = 30s;
// Rows another process of the workstation added are picked up this often.
constexpr auto kIdleLook = 60s;
constexpr auto kStopWait = 2s;

class StopMonitor : public dataaccess::LinkMonitor {
public:
    StopMonitor(const std::atomic<bool>& stopping, std::function<void(const std::string&)> note)
        : stopping_(stopping), note_(std::move(note))
    {
    }
    bool Waiting(std::chrono::milliseconds) override { return !stopping_; }
    std::string StopReason() const override { return "la stazione si sta chiudendo"; }
    void WaitOver(std::chrono::milliseconds) override {}
    void Note(const std::string& text) override { note_("Invio del log: " + text); }

private:
    const std::atomic<bool>& stopping_;
    std::function<void(const std::string&)> note_;
};

} // namespace

struct LogForwarder::State {
    std::string journalPath;
    ForwardLink link;

    std::mutex mutex;
    std::condition_variable changed;
    Report report; // cleared by the owner before it lets go of the thread
    bool woken = false;
    bool finished = false;
    std::atomic<bool> stopping{false};

    void Tell(const ForwardEvent& event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (report)
            report(event);
    }
    void Note(const std::string& text) { Tell({ForwardEvent::Kind::Note, {}, 0, text}); }

    // Waits for a wake or a stop; true when it should go on.
    bool Pause(std::chrono::milliseconds pause)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, pause, [this] { return woken || stopping; });
        woken = false;
        return !stopping;
    }

    void Run();
};

void LogForwarder::State::Run()
{
    std::unique_ptr<ScanJournal> journal;
    try {
        journal = std::make_unique<ScanJournal>(journalPath);
        // A right granted or a trigger mended since: refused rows are tried once more.
        journal->ClearRefusals(link.databaseName);
    } catch (const JournalError& error) {
        Note(std::string("Invio del log impossibile: ") + error.what());
        return;
    }

    StopMonitor monitor(stopping, [this](const std::string& text) { Note(text); });
    dataaccess::Connection connection;
    connection.SetDatabaseName(link.databaseName);
    connection.Params() = link.params;
    connection.SetSQLDialect(3);
    connection.SetWaitBound(link.waitBound);
    connection.SetLinkMonitor(&monitor);
    // Each insert commits itself with its statement: one round trip a row.
    dataaccess::Transaction writes(connection);
    writes.SetReadCommitted(true);
    writes.SetAutoCommit(true);
    writes.SetLockTimeout(link.lockTimeout);

    ScanLogWriter writer(connection, writes, [this](const std::string& text) { Note(text); });
    bool away = false;
    bool idleWaited = false;
    auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstPause);

    while (!stopping) {
        std::vector<JournalRow> rows;
        try {
            rows = journal->Waiting(link.databaseName, kRowsPerRound);
        } catch (const JournalError& error) {
            Note(std::string("Invio del log sospeso: ") + error.what());
            if (!Pause(kLongestPause))
                break;
            continue;
        }
        if (rows.empty()) {
            if (writes.Active()) {
                // A busy station keeps its transaction: one round trip a row.
                if (!idleWaited) {
                    idleWaited = true;
                    if (!Pause(std::chrono::seconds(link.idleEndSeconds)))
                        break;
                    continue;
                }
                // Idle: nothing held open at the server.
                try {
                    writes.Commit();
                } catch (...) {
                }
            }
            idleWaited = false;
            if (!Pause(kIdleLook))
                break;
            continue;
        }
        idleWaited = false;
        bool pauseAfter = false;
        for (const JournalRow& row : rows) {
            if (stopping)
                break;
            SendResult result;
            std::string unreachable;
            for (int attempt = 0; attempt < 2; ++attempt) {
                try {
                    if (!connection.Connected())
                        connection.SetConnected(true);
                    result = writer.Send(row);
                    unreachable.clear();
                    break;
                } catch (const dataaccess::NoAnswerError& error) {
                    unreachable = error.what();
                    break;
                } catch (const dataaccess::ConnectionLostError& error) {
                    // A link that died since the last row: once more on a new one.
                    unreachable = error.what();
                } catch (const dataaccess::DatabaseError& error) {
                    // The attachment itself (a login refused): no fault of the row's.
                    unreachable = error.what();
                    break;
                }
            }
            if (stopping)
                break;
            if (!unreachable.empty()) {
                if (!away)
                    Tell({ForwardEvent::Kind::Unreachable, row, 0, unreachable});
                away = true;
                pauseAfter = true;
                break;
            }
            if (away) {
                away = false;
                Tell({ForwardEvent::Kind::Reachable, {}, 0, {}});
            }
            if (result.outcome == SendOutcome::Later) {
                Note("Invio della " + Described(row) + " rimandato: " + result.reason);
                pauseAfter = true;
                break;
            }
            pause = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstPause);
            ForwardEvent event{ForwardEvent::Kind::Forwarded, row, result.id, result.reason};
            try {
                if (result.outcome == SendOutcome::Refused) {
                    event.kind = ForwardEvent::Kind::Refused;
                    journal->MarkRefused(row.ticket, result.reason);
                } else {
                    if (result.outcome == SendOutcome::AlreadyRecorded)
                        event.kind = ForwardEvent::Kind::AlreadyRecorded;
                    journal->Remove(row.ticket);
                }
            } catch (const JournalError& error) {
                // The server has it and the journal still does: its ticket
                // makes the next try count as already recorded.
                Note(std::string("Giornale non aggiornato: ") + error.what());
                pauseAfter = true;
            }
            Tell(event);
            if (pauseAfter)
                break;
        }
        if (pauseAfter) {
            if (!Pause(pause))
                break;
            pause = std::min(pause * 2, std::chrono::duration_cast<std::chrono::milliseconds>(kLongestPause));
        }
    }
    // Ends what is open; a link already gone just drops it.
    connection.SetWaitBound(std::min(link.waitBound, 2));
    connection.SetConnected(false);
}

LogForwarder::LogForwarder(std::string journalPath, ForwardLink link, Report report)
    : state_(std::make_shared<State>())
{
    state_->journalPath = std::move(journalPath);
    state_->link = std::move(link);
    state_->report = std::move(report);
    std::thread([state = state_] {
        state->Run();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->finished = true;
        state->changed.notify_all();
    }).detach();
}

LogForwarder::~LogForwarder()
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->stopping = true;
    state_->report = nullptr; // the owner is going: nobody to tell any more
    state_->changed.notify_all();
    state_->changed.wait_for(lock, kStopWait, [this] { return state_->finished; });
}

void LogForwarder::Wake()
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->woken = true;
    state_->changed.notify_all();
}

} // namespace parcels
