#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wire {

// What went over the links: request turns and bytes each way. A turn is the
// client sending after it last received something (or its first send on a
// link): one round trip the client waits for.
struct WireCounts {
    long long turns = 0;
    long long bytesToServer = 0;
    long long bytesToClient = 0;
    int links = 0;

    WireCounts operator-(const WireCounts& earlier) const
    {
        return {turns - earlier.turns, bytesToServer - earlier.bytesToServer, bytesToClient - earlier.bytesToClient,
                links - earlier.links};
    }
};

// When a one-shot drop of every link happens.
enum class DropAt {
    NextRequest, // the next turn's bytes are never forwarded
    NextAnswer,  // the next turn reaches the server; its answer never reaches the client
};

// A loopback TCP proxy to a server on 127.0.0.1 that holds every chunk it
// reads back by a fixed delay in each direction (order kept, throughput not
// limited), counts turns and bytes, and can cut or black-hole every link.
// One thread polls every socket. It stops by itself after `lifetime`, and on
// destruction.
class WireProxy {
public:
    WireProxy(int targetPort, std::chrono::microseconds oneWayDelay,
              std::chrono::seconds lifetime = std::chrono::seconds(900));
    ~WireProxy();
    WireProxy(const WireProxy&) = delete;
    WireProxy& operator=(const WireProxy&) = delete;

    int Port() const { return port_; }
    // A Firebird database name through the proxy: "127.0.0.1/PORT:path".
    std::string Name(const std::string& pathOnServer) const;

    void SetDelay(std::chrono::microseconds oneWayDelay);
    WireCounts Total() const;
    std::vector<WireCounts> PerLink() const; // every link so far, in the order accepted

    // Closes every open link at once with a reset, as a broken network does.
    // New links are accepted afterwards.
    void DropAll();
    void ArmDrop(DropAt when);
    bool DropDone() const;
    // On: every byte read is thrown away and nothing answers, links stay open.
    void Blackhole(bool on);

private:
    struct Chunk;
    struct Link;
    void Loop();
    void Accept();
    void ReadFrom(Link& link, bool fromClient);
    bool WriteDue(Link& link, bool toClient, std::chrono::steady_clock::time_point now);
    void CloseAll();
    void Wake() const;

    int targetPort_;
    int listener_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;
    int port_ = 0;
    std::chrono::steady_clock::time_point deadline_;

    mutable std::mutex mutex_;
    std::chrono::microseconds delay_;
    bool stopping_ = false;
    bool dropNow_ = false;
    bool blackhole_ = false;
    int armed_ = -1; // a DropAt, or -1
    bool dropDone_ = false;
    std::condition_variable dropped_;
    std::vector<Link*> links_;
    std::vector<WireCounts> history_;
    std::thread thread_;
};

} // namespace wire
