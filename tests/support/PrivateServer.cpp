#include "PrivateServer.h"

#include "TestDatabase.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testsupport {
namespace {

std::string ServerScript()
{
    const char* dir = std::getenv("COLLI_SOURCE_DIR");
    return std::string(dir && *dir ? dir : COLLI_SOURCE_DIR_FALLBACK) + "/scripts/fb-test-server.sh";
}

} // namespace

PrivateServer::PrivateServer()
{
    folder_ = MakeScratchFolder("colli-server-") + "/";
    if (Script("start"))
        std::ifstream(folder_ + "server/port") >> port_;
}

PrivateServer::~PrivateServer()
{
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool PrivateServer::Script(const std::string& command)
{
    const std::string line =
        "bash '" + ServerScript() + "' " + command + " '" + folder_ + "server' >/dev/null 2>&1";
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
