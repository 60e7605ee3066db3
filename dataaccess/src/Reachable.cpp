#include "Reachable.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace dataaccess {
namespace {

struct Endpoint {
    std::string host;
    std::string port = "3050";
};

// "host:path", "host/port:path", "[v6]/port:path"; nothing for local files,
// named pipes and the URL forms, which are left to the client.
bool ParseEndpoint(const std::string& name, Endpoint& endpoint)
{
    if (name.find("://") != std::string::npos || name.rfind("\\\\", 0) == 0)
        return false;
    std::size_t hostEnd;
    if (!name.empty() && name[0] == '[') {
        hostEnd = name.find(']');
        if (hostEnd == std::string::npos)
            return false;
        endpoint.host = name.substr(1, hostEnd - 1);
        ++hostEnd;
    } else {
        hostEnd = name.find_first_of("/:");
        if (hostEnd == std::string::npos || hostEnd < 2) // a drive letter or no server
            return false;
        endpoint.host = name.substr(0, hostEnd);
    }
    const std::size_t colon = name.find(':', hostEnd);
    if (colon == std::string::npos)
        return false;
    if (name[hostEnd] == '/')
        endpoint.port = name.substr(hostEnd + 1, colon - hostEnd - 1);
    else if (colon != hostEnd)
        return false;
    return !endpoint.host.empty() && !endpoint.port.empty();
}

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { ::closesocket(s); }
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void CloseSocket(Socket s) { ::close(s); }
#endif

// -1: no answer in time; 0: refused or failed at once; 1: connected.
int TryConnect(const addrinfo& address, int milliseconds)
{
    const Socket s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == kNoSocket)
        return 0;
#ifdef _WIN32
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    int result = ::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen));
    if (result != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
        const int ready = ::select(0, nullptr, &writable, &failed, &wait);
        result = ready == 0 ? -1 : (FD_ISSET(s, &writable) ? 1 : 0);
    } else {
        result = result == 0 ? 1 : 0;
    }
#else
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
    int result = ::connect(s, address.ai_addr, address.ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd watch{s, POLLOUT, 0};
        int ready;
        do
            ready = ::poll(&watch, 1, milliseconds);
        while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            result = -1;
        } else {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
            result = error == 0 ? 1 : 0;
        }
    } else {
        result = result == 0 ? 1 : 0;
    }
#endif
    CloseSocket(s);
    return result;
}

} // namespace

bool ServerAnswers(const std::string& databaseName, int milliseconds)
{
    Endpoint endpoint;
    if (!ParseEndpoint(databaseName, endpoint))
        return true;
#ifdef _WIN32
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return true;
#endif
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG; // the addresses the client itself would try, in its order
    addrinfo* addresses = nullptr;
    bool answers = true; // an unknown name or service is the client's to report
    if (::getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &addresses) == 0) {
        answers = false;
        std::vector<const addrinfo*> list;
        for (const addrinfo* a = addresses; a; a = a->ai_next)
            list.push_back(a);
        // One budget for all: an address that drops packets in silence takes
        // only its share, so the next one still gets its turn.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (std::size_t i = 0; i < list.size() && !answers; ++i) {
            const auto left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                   deadline - std::chrono::steady_clock::now())
                                                   .count());
            if (left <= 0)
                break;
            const int share = left / static_cast<int>(list.size() - i);
            answers = TryConnect(*list[i], std::max(share, std::min(left, 250))) >= 0;
        }
        ::freeaddrinfo(addresses);
    }
#ifdef _WIN32
    ::WSACleanup();
#endif
    return answers;
}

} // namespace dataaccess
