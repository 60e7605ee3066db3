#include "CupsRig.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace cupsrig {

bool Available()
{
    return std::getenv("CUPS_SERVER") != nullptr;
}

void Run(const std::vector<std::string>& argv)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::freopen("/dev/null", "w", stdout); // lpoptions lists the options it set
        ::execvp(args[0], args.data());
        // The administration tools live in sbin, which a plain user's PATH may lack.
        ::execv(("/usr/sbin/" + argv[0]).c_str(), args.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed with status " + std::to_string(status));
}

void AddRawQueue(const std::string& name, const std::string& deviceUri)
{
    Run({"lpadmin", "-p", name, "-E", "-v", deviceUri});
}

void RemoveQueue(const std::string& name)
{
    Run({"lpadmin", "-x", name});
}

void RemoveAllQueues()
{
    FILE* list = ::popen("lpstat -e 2>/dev/null", "r");
    if (!list)
        throw std::runtime_error("lpstat failed");
    std::string names;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, list)) > 0)
        names.append(buffer, got);
    ::pclose(list);
    std::istringstream lines(names);
    for (std::string name; std::getline(lines, name);) {
        if (!name.empty() && name.find('/') == std::string::npos)
            RemoveQueue(name);
    }
}

std::string ReadFile(const std::string& path, bool* exists)
{
    std::ifstream in(path, std::ios::binary);
    if (exists)
        *exists = static_cast<bool>(in);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace cupsrig
