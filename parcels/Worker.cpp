#include "Worker.h"

#include <algorithm>
#include <thread>

namespace parcels::worker {

bool Signals::Pause(std::chrono::milliseconds pause)
{
    std::unique_lock<std::mutex> lock(mutex);
    changed_.wait_for(lock, pause, [this] { return woken_ || stopping_; });
    woken_ = false;
    return !stopping_;
}

void Signals::Wake()
{
    std::lock_guard<std::mutex> lock(mutex);
    woken_ = true;
    changed_.notify_all();
}

void Signals::Launch(const std::shared_ptr<Signals>& self, std::function<void()> run)
{
    std::thread([self, run = std::move(run)] {
        run();
        std::lock_guard<std::mutex> lock(self->mutex);
        self->finished_ = true;
        self->changed_.notify_all();
    }).detach();
}

void Signals::Stop(const std::function<void()>& letGo, std::chrono::milliseconds most)
{
    std::unique_lock<std::mutex> lock(mutex);
    stopping_ = true;
    if (letGo)
        letGo();
    changed_.notify_all();
    changed_.wait_for(lock, most, [this] { return finished_; });
}

void SetUp(dataaccess::Connection& connection, const StationLink& link, dataaccess::LinkMonitor& monitor)
{
    connection.SetDatabaseName(link.databaseName);
    connection.Params() = link.params;
    connection.SetSQLDialect(3);
    connection.SetWaitBound(link.waitBound);
    connection.SetLinkMonitor(&monitor);
}

void Detach(dataaccess::Connection& connection, const StationLink& link)
{
    connection.SetWaitBound(std::min(link.waitBound, 2));
    connection.SetConnected(false);
}

} // namespace parcels::worker
