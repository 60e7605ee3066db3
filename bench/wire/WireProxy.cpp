#include "WireProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <stdexcept>

namespace wire {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void Tune(int socket)
{
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
}

// A reset rather than an orderly end: the peer sees the link break.
void Reset(int socket)
{
    if (socket < 0)
        return;
    const linger abrupt{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    close(socket);
}

} // namespace

struct WireProxy::Chunk {
    Clock::time_point due;
    std::string bytes;
    std::size_t sent = 0;
};

struct WireProxy::Link {
    int fd[2] = {-1, -1}; // client, server
    std::deque<Chunk> queue[2]; // [0]: to the client, [1]: to the server
    bool ended[2] = {false, false}; // that side sent its end
    bool shut[2] = {false, false};  // the other side was told
    bool answered = true; // the client received something since its last send
    bool awaitingAnswer = false;
    bool dead = false;
    std::size_t index = 0;
};

WireProxy::WireProxy(int targetPort, std::chrono::microseconds oneWayDelay, std::chrono::seconds lifetime)
    : targetPort_(targetPort), deadline_(Clock::now() + lifetime), delay_(oneWayDelay)
{
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    int wake[2];
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 64) != 0 || pipe(wake) != 0) {
        if (listener_ >= 0)
            close(listener_);
        throw std::runtime_error("wire proxy: cannot listen on the loopback");
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    fcntl(wakeRead_, F_SETFL, fcntl(wakeRead_, F_GETFL) | O_NONBLOCK);
    fcntl(listener_, F_SETFL, fcntl(listener_, F_GETFL) | O_NONBLOCK);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Loop(); });
}

WireProxy::~WireProxy()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    Wake();
    thread_.join();
    close(listener_);
    close(wakeRead_);
    close(wakeWrite_);
}

std::string WireProxy::Name(const std::string& pathOnServer) const
{
    return "127.0.0.1/" + std::to_string(port_) + ":" + pathOnServer;
}

void WireProxy::Wake() const
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = write(wakeWrite_, &byte, 1);
}

void WireProxy::SetDelay(std::chrono::microseconds oneWayDelay)
{
    std::lock_guard lock(mutex_);
    delay_ = oneWayDelay;
}

WireCounts WireProxy::Total() const
{
    std::lock_guard lock(mutex_);
    WireCounts total;
    for (const WireCounts& link : history_) {
        total.turns += link.turns;
        total.bytesToServer += link.bytesToServer;
        total.bytesToClient += link.bytesToClient;
    }
    total.links = static_cast<int>(history_.size());
    return total;
}

std::vector<WireCounts> WireProxy::PerLink() const
{
    std::lock_guard lock(mutex_);
    return history_;
}

void WireProxy::DropAll()
{
    std::unique_lock lock(mutex_);
    dropNow_ = true;
    dropDone_ = false;
    Wake();
    dropped_.wait(lock, [this] { return dropDone_ || stopping_; });
}

void WireProxy::ArmDrop(DropAt when)
{
    std::lock_guard lock(mutex_);
    armed_ = static_cast<int>(when);
    dropDone_ = false;
}

bool WireProxy::DropDone() const
{
    std::lock_guard lock(mutex_);
    return dropDone_;
}

void WireProxy::Blackhole(bool on)
{
    std::lock_guard lock(mutex_);
    blackhole_ = on;
}

void WireProxy::CloseAll()
{
    for (Link* link : links_) {
        Reset(link->fd[0]);
        Reset(link->fd[1]);
        delete link;
    }
    links_.clear();
    dropDone_ = true;
    dropped_.notify_all();
}

void WireProxy::Accept()
{
    for (;;) {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0)
            return;
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = Loopback(targetPort_);
        if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            Reset(client);
            if (server >= 0)
                close(server);
            continue;
        }
        Tune(client);
        Tune(server);
        auto* link = new Link;
        link->fd[0] = client;
        link->fd[1] = server;
        link->index = history_.size();
        history_.push_back({0, 0, 0, 1});
        links_.push_back(link);
    }
}

void WireProxy::ReadFrom(Link& link, bool fromClient)
{
    const int side = fromClient ? 0 : 1;
    char buffer[65536];
    const ssize_t got = read(link.fd[side], buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        link.ended[side] = true;
        if (got < 0)
            link.dead = true;
        return;
    }
    if (blackhole_)
        return;
    WireCounts& counts = history_[link.index];
    if (fromClient) {
        if (link.answered) {
            link.answered = false;
            ++counts.turns;
            if (armed_ == static_cast<int>(DropAt::NextRequest)) {
                armed_ = -1;
                dropNow_ = true;
                return;
            }
            if (armed_ == static_cast<int>(DropAt::NextAnswer)) {
                armed_ = -1;
                link.awaitingAnswer = true;
            }
        }
        counts.bytesToServer += got;
    } else {
        if (link.awaitingAnswer) {
            dropNow_ = true;
            return;
        }
        counts.bytesToClient += got;
    }
    // Bytes from the client go to the server: queue 1; from the server: queue 0.
    link.queue[fromClient ? 1 : 0].push_back({Clock::now() + delay_, std::string(buffer, static_cast<std::size_t>(got))});
}

bool WireProxy::WriteDue(Link& link, bool toClient, Clock::time_point now)
{
    const int side = toClient ? 0 : 1;
    auto& queue = link.queue[side];
    while (!queue.empty() && queue.front().due <= now) {
        Chunk& chunk = queue.front();
        const ssize_t put = write(link.fd[side], chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent);
        if (put < 0) {
            if (errno != EAGAIN && errno != EINTR)
                link.dead = true;
            return false;
        }
        chunk.sent += static_cast<std::size_t>(put);
        if (toClient)
            link.answered = true;
        if (chunk.sent < chunk.bytes.size())
            return false;
        queue.pop_front();
    }
    // The other side ended and everything it sent is through: pass its end on.
    if (queue.empty() && link.ended[1 - side] && !link.shut[side]) {
        shutdown(link.fd[side], SHUT_WR);
        link.shut[side] = true;
    }
    return true;
}

void WireProxy::Loop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto now = Clock::now();
        if (stopping_ || now >= deadline_) {
            CloseAll();
            stopping_ = true;
            return;
        }
        if (dropNow_) {
            dropNow_ = false;
            CloseAll();
        }
        for (Link* link : links_)
            for (bool toClient : {true, false})
                WriteDue(*link, toClient, now);
        links_.erase(std::remove_if(links_.begin(), links_.end(),
                                    [](Link* link) {
                                        const bool over = link->dead || (link->shut[0] && link->shut[1]);
                                        if (over) {
                                            close(link->fd[0]);
                                            close(link->fd[1]);
                                            delete link;
                                        }
                                        return over;
                                    }),
                     links_.end());

        std::vector<pollfd> polled{{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        auto wakeAt = deadline_;
        for (Link* link : links_)
            for (int side : {0, 1}) {
                short events = link->ended[side] ? 0 : POLLIN;
                const auto& queue = link->queue[side];
                if (!queue.empty()) {
                    if (queue.front().due <= now)
                        events |= POLLOUT;
                    else
                        wakeAt = std::min(wakeAt, queue.front().due);
                }
                // A side with nothing to do is left out: a hung-up socket would wake the poll at once.
                polled.push_back({events ? link->fd[side] : -1, events, 0});
            }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count();
        // Sub-millisecond delays are held by spinning on a zero timeout.
        const int timeout = static_cast<int>(std::clamp<long long>(wait, 0, 1000));
        lock.unlock();
        poll(polled.data(), polled.size(), timeout);
        lock.lock();

        if (polled[1].revents) {
            char drain[64];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (polled[0].revents & POLLIN)
            Accept();
        // Links are only added at the end, so indexes still match the poll list.
        for (std::size_t i = 0; i + 2 < polled.size() && !dropNow_; ++i) {
            Link& link = *links_[i / 2];
            const pollfd& entry = polled[i + 2];
            if (entry.revents & (POLLIN | POLLHUP | POLLERR))
                if (!link.ended[i % 2])
                    ReadFrom(link, i % 2 == 0);
        }
    }
}

} // namespace wire
