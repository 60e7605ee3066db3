#include "Reachable.h"
#include "Status.h"

#include <ibase.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace dataaccess {
namespace {

constexpr const char* kDefaultService = "gds_db";
constexpr const char* kDefaultPort = "3050"; // what the client takes when no services database knows gds_db

struct Endpoint {
    std::string host;
    std::string port; // empty: the client's configured service
};

// A key of firebird.conf text ("Key = Value", '#' starts a comment); the last
// one counts.
std::optional<std::string> ConfValue(const std::string& text, std::string_view key)
{
    std::optional<std::string> value;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::string_view content = std::string_view(line).substr(0, line.find('#'));
        const auto equals = content.find('=');
        if (equals != std::string_view::npos && EqualsIgnoreCase(Trimmed(content.substr(0, equals)), key))
            value = std::string(Trimmed(content.substr(equals + 1)));
    }
    return value;
}

// Where the client looks for its firebird.conf: the FIREBIRD variable, else
// its own root, found from where the library is.
std::vector<std::filesystem::path> ClientRoots()
{
    std::vector<std::filesystem::path> roots;
#ifdef _WIN32
    // Wide, as the folder's name may hold what the ANSI code page lacks.
    if (const wchar_t* root = _wgetenv(L"FIREBIRD"); root && *root)
        roots.emplace_back(root);
    // Beside fbclient.dll, else the folder above it, as the client looks; the
    // program's own file stands in while the client is not loaded.
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(::GetModuleHandleW(L"fbclient.dll"), path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const std::filesystem::path folder = std::filesystem::path(path).parent_path();
        roots.push_back(folder);
        roots.push_back(folder.parent_path());
    }
#else
    if (const char* root = std::getenv("FIREBIRD"); root && *root)
        roots.emplace_back(root);
    Dl_info library{};
    if (::dladdr(reinterpret_cast<void*>(&isc_attach_database), &library) && library.dli_fname) {
        const std::filesystem::path folder = std::filesystem::absolute(library.dli_fname).parent_path();
        roots.push_back(folder / "firebird" / "3.0"); // Debian's layout
        roots.push_back(folder.parent_path());        // an installation of its own: <root>/lib
    }
#endif
    return roots;
}

std::string ClientConfigText()
{
    std::error_code error;
    for (const auto& root : ClientRoots()) {
        const std::filesystem::path file = root / "firebird.conf";
        if (!std::filesystem::is_regular_file(file, error))
            continue;
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return {};
}

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
    return !endpoint.host.empty() && (name[hostEnd] != '/' || !endpoint.port.empty());
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

bool AddressesAnswer(const addrinfo* addresses, int milliseconds)
{
    std::vector<const addrinfo*> list;
    for (const addrinfo* a = addresses; a; a = a->ai_next)
        list.push_back(a);
    // One budget for all: an address that drops packets in silence takes
    // only its share, so the next one still gets its turn. A refusal does not
    // end the search, as it does not end the client's: it goes on to the next
    // address, where it would wait for one that is silent.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::size_t refused = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               deadline - std::chrono::steady_clock::now())
                                               .count());
        if (left <= 0)
            return false;
        const int share = left / static_cast<int>(list.size() - i);
        const int outcome = TryConnect(*list[i], std::max(share, std::min(left, 250)));
        if (outcome > 0)
            return true;
        if (outcome == 0)
            ++refused;
    }
    // Refused everywhere: the client hears the same at once and reports it.
    return !list.empty() && refused == list.size();
}

std::string ClientService(const std::string& attachmentConfig, const std::string& clientConfig)
{
    const auto setting = [&](std::string_view key) {
        auto value = ConfValue(attachmentConfig, key);
        return value ? value : ConfValue(clientConfig, key);
    };
    if (const auto port = setting("RemoteServicePort")) {
        const int number = std::atoi(port->c_str());
        if (number > 0 && number < 65536)
            return std::to_string(number);
    }
    const auto name = setting("RemoteServiceName");
    return name && !name->empty() ? *name : kDefaultService;
}

bool ServerAnswers(const std::string& databaseName, int milliseconds, const std::string& attachmentConfig)
{
    Endpoint endpoint;
    if (!ParseEndpoint(databaseName, endpoint))
        return true;
    if (endpoint.port.empty())
        endpoint.port = ClientService(attachmentConfig, ClientConfigText());
#ifdef _WIN32
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return true;
#endif
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // The addresses the client itself would try, in its order.
    hints.ai_flags = AI_ADDRCONFIG;
#ifdef AI_V4MAPPED
    hints.ai_flags |= AI_V4MAPPED;
#endif
    addrinfo* addresses = nullptr;
    bool answers = true; // an unknown name or service is the client's to report
    int found = ::getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &addresses);
    if (found != 0 && endpoint.port == kDefaultService) // no services entry: the client's own number
        found = ::getaddrinfo(endpoint.host.c_str(), kDefaultPort, &hints, &addresses);
    if (found == 0) {
        answers = AddressesAnswer(addresses, milliseconds);
        ::freeaddrinfo(addresses);
    }
#ifdef _WIN32
    ::WSACleanup();
#endif
    return answers;
}

} // namespace dataaccess
