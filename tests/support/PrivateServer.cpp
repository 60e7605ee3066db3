#include "PrivateServer.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <unistd.h>

namespace testsupport {
namespace {

std::string ServerScript()
{
    const char* dir = std::getenv("COLLI_SOURCE_DIR");
    return std::string(dir && *dir ? dir : COLLI_SOURCE_DIR_FALLBACK) + "/scripts/fb-test-server.sh";
}

} // namespace

PrivateServer::PrivateServer(const std::string& wireCrypt) : wireCrypt_(wireCrypt)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "colli-server-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a folder for a private server");
    folder_ = pattern + "/";
    // The server runs as whoever started it; the databases must be reachable to it.
    std::filesystem::permissions(folder_, std::filesystem::perms::all);
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

std::string PrivateServer::RuleComment() const
{
    const char* run = std::getenv("COLLI_TEST_RUN");
    return "colli-blackhole-" + std::string(run && *run ? run : "pid" + std::to_string(::getpid())) + "-" + port_;
}

bool PrivateServer::Rule(const char* action) const
{
    const std::string line = std::string("iptables -w 5 ") + action + " INPUT -i lo -p tcp --dport " + port_ +
                             " -m comment --comment " + RuleComment() + " -j DROP >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

bool PrivateServer::Blackhole()
{
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
