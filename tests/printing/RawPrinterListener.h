#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// Plays a label printer on 127.0.0.1: accepts the connections a CUPS socket
// backend makes and records every byte of each one.
class RawPrinterListener {
public:
    struct Delivery {
        std::string bytes;
        std::chrono::steady_clock::time_point lastByteAt;
    };

    RawPrinterListener();
    ~RawPrinterListener();
    RawPrinterListener(const RawPrinterListener&) = delete;
    RawPrinterListener& operator=(const RawPrinterListener&) = delete;

    int Port() const { return port_; }
    std::string DeviceUri() const;

    // The next connection that has ended, or nothing when none ends in time.
    std::optional<Delivery> WaitForDelivery(std::chrono::milliseconds timeout);

private:
    void Serve();

    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable delivered_;
    std::deque<Delivery> deliveries_;
    std::thread thread_;
};
