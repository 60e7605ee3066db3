#include "RawPrinterListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// A connection that stays silent this long is taken as finished.
constexpr int kIdleLimitMs = 30000;
}

RawPrinterListener::RawPrinterListener()
{
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("listener: socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 8) != 0)
        throw std::runtime_error("listener: bind");
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

RawPrinterListener::~RawPrinterListener()
{
    const char stop = 's';
    [[maybe_unused]] const ssize_t written = ::write(stopPipe_[1], &stop, 1);
    thread_.join();
    ::close(listenFd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

std::string RawPrinterListener::DeviceUri() const
{
    return "socket://127.0.0.1:" + std::to_string(port_) + "/?waiteof=false";
}

std::optional<RawPrinterListener::Delivery> RawPrinterListener::WaitForDelivery(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    if (!delivered_.wait_for(lock, timeout, [this] { return !deliveries_.empty(); }))
        return std::nullopt;
    Delivery delivery = std::move(deliveries_.front());
    deliveries_.pop_front();
    return delivery;
}

void RawPrinterListener::Serve()
{
    for (;;) {
        pollfd waitFor[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(waitFor, 2, -1) < 0)
            continue;
        if (waitFor[1].revents)
            return;
        const int conn = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            continue;
        Delivery delivery;
        char buffer[65536];
        for (;;) {
            pollfd readable[2] = {{conn, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (::poll(readable, 2, kIdleLimitMs) <= 0 || readable[1].revents)
                break;
            const ssize_t got = ::read(conn, buffer, sizeof buffer);
            if (got <= 0)
                break;
            delivery.bytes.append(buffer, static_cast<size_t>(got));
            delivery.lastByteAt = std::chrono::steady_clock::now();
        }
        ::close(conn);
        if (delivery.bytes.empty())
            delivery.lastByteAt = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(mutex_);
            deliveries_.push_back(std::move(delivery));
        }
        delivered_.notify_all();
    }
}
