#pragma once

#include "parcels/ScanJournal.h"
#include "parcels/StationLink.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace parcels {

// What the forwarder tells its owner, on the forwarder's own thread.
struct ForwardEvent {
    enum class Kind {
        Forwarded,       // the server committed the row: id is its ID
        AlreadyRecorded, // the server had it already (a lost answer, another process): id when known
        Refused,         // the server will not take it as it is: kept in the journal, reason says why
        Unreachable,     // the server does not answer (told once per outage): reason
        Reachable,       // it answers again after an outage
        Note,            // a line for the diagnostic log
    };
    Kind kind = Kind::Note;
    JournalRow row;
    std::int64_t id = 0;
    std::string reason; // UTF-8
};

// Sends the journal's rows to LOGSPARATE in the background, oldest first, and
// removes each from the journal once the server has it. Exactly once is the
// server's to decide: every insert carries the row's ticket, and the unique
// index on it refuses a second copy, which counts as recorded. A failed insert
// is rolled back before anything else is sent; once nothing has been left to
// send for a few seconds the transaction is committed, so an idle station
// holds nothing open.
class LogForwarder {
public:
    using Report = std::function<void(const ForwardEvent&)>;

    LogForwarder(std::string journalPath, StationLink link, Report report);
    // Stops: a call out is cut, and the thread is waited for at most a few
    // seconds (then left to end on its own: it owns all it uses).
    ~LogForwarder();
    LogForwarder(const LogForwarder&) = delete;
    LogForwarder& operator=(const LogForwarder&) = delete;

    // New rows were released: send them now, also during a pause after an outage.
    void Wake();

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace parcels
