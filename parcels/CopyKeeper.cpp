#include "parcels/CopyKeeper.h"

#include "Worker.h"

#include <dataaccess/Errors.h>
#include <dataaccess/Transaction.h>

#include <algorithm>

namespace parcels {

using namespace std::chrono_literals;

namespace {

// While the server is away: how soon it is looked for again.
constexpr auto kWatchPause = 2s;
constexpr auto kStopWait = 2s;

} // namespace

struct CopyKeeper::State : worker::Signals {
    std::string storePath;
    StationLink link;
    std::chrono::seconds every{60};
    Report report; // cleared by the owner before it lets go of the thread

    void Tell(const CopyEvent& event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (report)
            report(event);
    }
    void Note(const std::string& text) { Tell({CopyEvent::Kind::Note, {}, text}); }

    void Run();
};

void CopyKeeper::State::Run()
{
    worker::StopMonitor monitor(StopFlag(), "Copia dei colli: ", [this](const std::string& text) { Note(text); });
    dataaccess::Connection connection;
    worker::SetUp(connection, link, monitor);
    // Read only and read committed: kept open, it holds nothing back at the
    // server, and a refresh that finds nothing new is one round trip.
    dataaccess::Transaction reads(connection);
    reads.SetReadCommitted(true);
    reads.SetReadOnly(true);

    std::unique_ptr<ParcelCopy> copy;
    bool away = false;
    bool unavailableTold = false;
    while (!Stopping()) {
        std::chrono::milliseconds pause = every;
        try {
            if (!copy)
                copy = std::make_unique<ParcelCopy>(storePath, connection, reads);
            if (!connection.Connected())
                connection.SetConnected(true);
            bool ready = true;
            if (copy->Refresh().needsFill)
                ready = copy->Fill([this] { return !Stopping(); });
            if (away) {
                away = false;
                Tell({CopyEvent::Kind::Reachable, {}, {}});
            }
            unavailableTold = false;
            if (ready)
                Tell({CopyEvent::Kind::Ready, copy->State(), {}});
        } catch (const CopyUnavailableError& error) {
            if (!unavailableTold)
                Tell({CopyEvent::Kind::Unavailable, {}, error.what()});
            unavailableTold = true;
        } catch (const CopyStoreError& error) {
            Note(error.what());
        } catch (const dataaccess::WaitCancelledError&) {
            break;
        } catch (const dataaccess::DatabaseError& error) {
            // No answer, a link lost, an attach refused: the server is away for the station.
            if (!away)
                Tell({CopyEvent::Kind::Unreachable, {}, error.what()});
            away = true;
            pause = kWatchPause;
        } catch (const std::exception& error) {
            Note(std::string("Copia dei colli non aggiornata: ") + error.what());
        }
        if (!Pause(pause))
            break;
    }
    copy.reset();
    worker::Detach(connection, link);
}

CopyKeeper::CopyKeeper(std::string storePath, StationLink link, int refreshSeconds, Report report)
    : state_(std::make_shared<State>())
{
    state_->storePath = std::move(storePath);
    state_->link = std::move(link);
    state_->every = std::chrono::seconds(std::max(1, refreshSeconds));
    state_->report = std::move(report);
    worker::Signals::Launch(state_, [state = state_.get()] { state->Run(); });
}

CopyKeeper::~CopyKeeper()
{
    state_->Stop([state = state_.get()] { state->report = nullptr; }, kStopWait);
}

void CopyKeeper::Watch() { state_->Wake(); }

} // namespace parcels
