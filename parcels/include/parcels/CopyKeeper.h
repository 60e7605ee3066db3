#pragma once

#include "parcels/ParcelCopy.h"
#include "parcels/StationLink.h"

#include <functional>
#include <memory>
#include <string>

namespace parcels {

// What the keeper of the copy tells its owner, on the keeper's own thread.
struct CopyEvent {
    enum class Kind {
        Ready,       // the copy was filled or refreshed: state says when
        Unavailable, // the database gives no copy (told once): reason
        Unreachable, // the server does not answer (told once per outage): reason
        Reachable,   // it answers again after an outage
        Note,        // a line for the diagnostic log
    };
    Kind kind = Kind::Note;
    CopyState state;
    std::string reason; // UTF-8
};

// Keeps the station's copy of the parcels in the background, on an
// attachment of its own: fills it after start-up when it is missing or
// belongs to another database, then refreshes it every so often while the
// server answers. When the server is away it tries again every few seconds,
// so that it is the first to know when the server is back.
class CopyKeeper {
public:
    using Report = std::function<void(const CopyEvent&)>;

    CopyKeeper(std::string storePath, StationLink link, int refreshSeconds, Report report);
    // Stops: a call out and a fill under way are cut, and the thread is
    // waited for at most a few seconds.
    ~CopyKeeper();
    CopyKeeper(const CopyKeeper&) = delete;
    CopyKeeper& operator=(const CopyKeeper&) = delete;

    // The station found the server away: look for it now, and soon again.
    void Watch();

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace parcels
