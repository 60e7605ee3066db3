#pragma once

// What the station's background workers (the log's forwarder, the keeper of
// the parcel copy) share: a thread that outlives nobody it needs, woken or
// stopped by its owner, and an attachment of its own.

#include "parcels/StationLink.h"

#include <dataaccess/Connection.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace parcels::worker {

class Signals {
public:
    // Waits for a wake or a stop; true when the worker should go on.
    bool Pause(std::chrono::milliseconds pause);
    void Wake();
    bool Stopping() const { return stopping_; }
    const std::atomic<bool>& StopFlag() const { return stopping_; }

    // Runs `run` on a thread of its own that keeps `self` alive.
    static void Launch(const std::shared_ptr<Signals>& self, std::function<void()> run);
    // Asks the thread to stop; letGo runs under the lock that guards the
    // owner's report (the owner is going: nobody to tell any more); then
    // waits at most `most` for the thread, which is otherwise left to end on
    // its own.
    void Stop(const std::function<void()>& letGo, std::chrono::milliseconds most);

    // Guards what the owner and the thread share (the report).
    std::mutex mutex;

private:
    std::condition_variable changed_;
    bool woken_ = false;
    bool finished_ = false;
    std::atomic<bool> stopping_{false};
};

// Cuts a call out as soon as the owner stops the worker; what the link tells
// goes to `note` with the worker's own prefix.
class StopMonitor : public dataaccess::LinkMonitor {
public:
    StopMonitor(const std::atomic<bool>& stopping, std::string prefix, std::function<void(const std::string&)> note)
        : stopping_(stopping), prefix_(std::move(prefix)), note_(std::move(note))
    {
    }
    bool Waiting(std::chrono::milliseconds) override { return !stopping_; }
    std::string StopReason() const override { return "la stazione si sta chiudendo"; }
    void WaitOver(std::chrono::milliseconds) override {}
    void Note(const std::string& text) override { note_(prefix_ + text); }

private:
    const std::atomic<bool>& stopping_;
    std::string prefix_;
    std::function<void(const std::string&)> note_;
};

// The connection set up as the station's own (not attached yet).
void SetUp(dataaccess::Connection& connection, const StationLink& link, dataaccess::LinkMonitor& monitor);
// Ends what is open, briefly: a link already gone just drops it.
void Detach(dataaccess::Connection& connection, const StationLink& link);

} // namespace parcels::worker
