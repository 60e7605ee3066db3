#include "PrivateServer.h"

#include "TestDatabase.h"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace testsupport {
namespace {

#ifdef _WIN32
// A Windows test under Wine cannot run the server script and wait for it: a
// helper on the Linux side runs it (scripts/fb-server-control.py, its port in
// COLLI_FB_SERVER_CONTROL). One line out, one line back.
std::string AskControl(const std::string& line)
{
    const char* port = std::getenv("COLLI_FB_SERVER_CONTROL");
    if (!port || !*port)
        return "error";
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return "error";
    std::string reply;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    if (s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = line + "\n";
        send(s, request.data(), static_cast<int>(request.size()), 0);
        char buffer[512];
        for (int got; (got = recv(s, buffer, sizeof buffer, 0)) > 0;)
            reply.append(buffer, static_cast<std::size_t>(got));
    }
    if (s != INVALID_SOCKET)
        closesocket(s);
    WSACleanup();
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r'))
        reply.pop_back();
    return reply;
}
#else
std::string ServerScript()
{
    const char* dir = std::getenv("COLLI_SOURCE_DIR");
    return std::string(dir && *dir ? dir : COLLI_SOURCE_DIR_FALLBACK) + "/scripts/fb-test-server.sh";
}
#endif

} // namespace

#ifdef _WIN32
// The folder is the server's own (a Linux path), so names on the server are
// given as that server sees them.
PrivateServer::PrivateServer(const std::string& wireCrypt) : wireCrypt_(wireCrypt)
{
    std::istringstream reply(AskControl("start " + wireCrypt_));
    std::string ok;
    if (reply >> ok >> port_ >> folder_ && ok == "ok")
        return;
    port_.clear();
    folder_.clear();
}

PrivateServer::~PrivateServer()
{
    if (!folder_.empty())
        AskControl("remove " + folder_);
}

bool PrivateServer::Script(const std::string& command)
{
    return AskControl(command + " " + folder_) == "ok";
}
#else
PrivateServer::PrivateServer(const std::string& wireCrypt) : wireCrypt_(wireCrypt)
{
    folder_ = MakeScratchFolder("colli-server-") + "/";
    if (Script("start"))
        std::ifstream(folder_ + "server/port") >> port_;
}

PrivateServer::~PrivateServer()
{
    Restore();
    Thaw();
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool PrivateServer::Script(const std::string& command)
{
    const std::string line =
        "COLLI_FB_WIRECRYPT='" + wireCrypt_ + "' bash '" + ServerScript() + "' " + command + " '" + folder_ + "server' >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}
#endif

void PrivateServer::Kill()
{
    if (!Script("kill"))
        throw std::runtime_error("cannot kill the private server");
}

void PrivateServer::Restart()
{
    if (!Script("restart"))
        throw std::runtime_error("cannot start the private server again");
}

void PrivateServer::Stop()
{
    if (Running())
        Script("stop");
}

} // namespace testsupport

#ifndef _WIN32
namespace testsupport {

int PrivateServer::Pid() const
{
    int pid = 0;
    std::ifstream(folder_ + "server/pid") >> pid;
    return pid;
}

void PrivateServer::Freeze()
{
    if (::kill(Pid(), SIGSTOP) != 0)
        throw std::runtime_error("cannot stop the private server");
    frozen_ = true;
}

void PrivateServer::Thaw()
{
    if (frozen_)
        ::kill(Pid(), SIGCONT);
    frozen_ = false;
}

bool PrivateServer::Begin(Away away)
{
    if (away == Away::Frozen) {
        Freeze();
        return true;
    }
    if (Blackhole())
        return true;
    std::cout << "[   NOTE   ] iptables not usable here: the blackholed link is not tried\n";
    return false;
}

void PrivateServer::End(Away away)
{
    if (away == Away::Frozen)
        Thaw();
    else
        Restore();
}

std::string PrivateServer::RuleComment() const
{
    const char* run = std::getenv("COLLI_TEST_RUN");
    return "colli-blackhole-" + std::string(run && *run ? run : "pid" + std::to_string(::getpid())) + "-" + port_;
}

bool PrivateServer::Rule(const char* action) const
{
    const std::string line = std::string("iptables -w 5 ") + action + " INPUT -i lo -p tcp --dport " + port_ +
                             ruleMatch_ + " -m comment --comment " + RuleComment() + " -j DROP >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

bool PrivateServer::Blackhole(int afterBytes)
{
    if (blackholed_)
        Restore();
    ruleMatch_ = afterBytes > 0 ? " -m connbytes --connbytes " + std::to_string(afterBytes) +
                                      ": --connbytes-dir original --connbytes-mode bytes"
                                : "";
    if (!Running() || !Rule("-I"))
        return false;
    blackholed_ = true;
    return true;
}

void PrivateServer::Restore()
{
    if (!blackholed_)
        return;
    while (Rule("-D")) {
    }
    blackholed_ = false;
}

} // namespace testsupport
#endif

namespace testsupport {

int ClosedPort()
{
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    int length = sizeof(sockaddr_in);
#else
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    socklen_t length = sizeof(sockaddr_in);
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
#ifdef _WIN32
    closesocket(s);
    WSACleanup();
#else
    close(s);
#endif
    return ntohs(address.sin_port);
}

} // namespace testsupport
