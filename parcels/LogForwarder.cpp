#include "parcels/LogForwarder.h"

#include "parcels/ScanLog.h"

#include "Worker.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <algorithm>
#include <chrono>

namespace parcels {

using namespace std::chrono_literals;

namespace {

constexpr int kRowsPerRound = 50;
constexpr auto kFirstPause = 1s;
constexpr auto kLongestPause = 30s;
// Rows another process of the workstation added are picked up this often.
constexpr auto kIdleLook = 60s;
constexpr auto kStopWait = 2s;

} // namespace

struct LogForwarder::State : worker::Signals {
    std::string journalPath;
    StationLink link;
    Report report; // cleared by the owner before it lets go of the thread

    void Tell(const ForwardEvent& event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (report)
            report(event);
    }
    void Note(const std::string& text) { Tell({ForwardEvent::Kind::Note, {}, 0, text}); }

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

    worker::StopMonitor monitor(StopFlag(), "Invio del log: ", [this](const std::string& text) { Note(text); });
    dataaccess::Connection connection;
    worker::SetUp(connection, link, monitor);
    // Each insert commits itself with its statement: one round trip a row.
    dataaccess::Transaction writes(connection);
    writes.SetReadCommitted(true);
    writes.SetAutoCommit(true);
    writes.SetLockTimeout(link.lockTimeout);

    ScanLogWriter writer(connection, writes, [this](const std::string& text) { Note(text); });
    bool away = false;
    bool idleWaited = false;
    auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstPause);

    while (!Stopping()) {
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
            if (Stopping())
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
            if (Stopping())
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
    worker::Detach(connection, link);
}

LogForwarder::LogForwarder(std::string journalPath, StationLink link, Report report)
    : state_(std::make_shared<State>())
{
    state_->journalPath = std::move(journalPath);
    state_->link = std::move(link);
    state_->report = std::move(report);
    worker::Signals::Launch(state_, [state = state_.get()] { state->Run(); });
}

LogForwarder::~LogForwarder()
{
    state_->Stop([state = state_.get()] { state->report = nullptr; }, kStopWait);
}

void LogForwarder::Wake() { state_->Wake(); }

} // namespace parcels
