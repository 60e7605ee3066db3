#include "PrivateServer.h"

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
