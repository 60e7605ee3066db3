#include "Passwords.h"

#include <fstream>
#include <iostream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

#include <cstdlib>
#include <filesystem>

#include <iterator>

namespace admin {
namespace {

void DropLineEnd(std::string& line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
}

// Editors on Windows start a UTF-8 file with a byte order mark; it is no part
// of the password.
void DropByteOrderMark(std::string& line)
{
    if (line.rfind("\xEF\xBB\xBF", 0) == 0)
        line.erase(0, 3);
}

bool IsUtf8(const std::string& text)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)QString(decoder(QByteArrayView(text.data(), qsizetype(text.size()))));
    return !decoder.hasError();
}

#ifndef _WIN32
// What a signal during the prompt needs to put the terminal back: a signal
// handler can reach nothing else. Set only while echo is off.
struct SavedTerminal {
    volatile sig_atomic_t fd = -1;
    termios settings{};
};
SavedTerminal& Saved()
{
    static SavedTerminal saved;
    return saved;
}

extern "C" void RestoreTerminalAndExit(int signal)
{
    const SavedTerminal& saved = Saved();
    if (saved.fd >= 0) {
        tcsetattr(saved.fd, TCSAFLUSH, &saved.settings);
        (void)!write(saved.fd, "\n", 1);
    }
    _exit(128 + signal);
}

// The terminal's settings are put back however the read ends, Ctrl+C and the
// termination signals included (the program then ends with 128 + the signal).
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd)
    {
        if (tcgetattr(fd_, &saved_) != 0)
            throw std::runtime_error("cannot read the terminal's settings");
        Saved().settings = saved_;
        Saved().fd = fd_;
        struct sigaction action {};
        action.sa_handler = RestoreTerminalAndExit;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &action, &previous_[i]);
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        if (tcsetattr(fd_, TCSAFLUSH, &quiet) != 0) {
            Restore();
            throw std::runtime_error("cannot switch the terminal's echo off");
        }
    }
    ~EchoOff() { Restore(); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

    void Restore() noexcept
    {
        tcsetattr(fd_, TCSAFLUSH, &saved_);
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &previous_[i], nullptr);
        Saved().fd = -1;
    }

    int fd_;
    termios saved_{};
    struct sigaction previous_[std::size(kSignals)] {};
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};
#endif

} // namespace

std::string AskOnTerminal(const std::string& prompt)
{
#ifdef _WIN32
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode))
        throw std::runtime_error("no console to ask for the password on");
    // The console's own UTF-16, never its OEM code page: the password goes to
    // the server as UTF-8.
    const HANDLE output = GetStdHandle(STD_ERROR_HANDLE);
    DWORD outputMode = 0;
    const bool console = output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &outputMode);
    auto say = [&](const std::string& text) {
        const QString wide = QString::fromStdString(text);
        DWORD written = 0;
        if (console)
            WriteConsoleW(output, reinterpret_cast<const wchar_t*>(wide.utf16()), DWORD(wide.size()), &written, nullptr);
        else
            std::cerr << text << std::flush;
    };
    say(prompt);
    SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::wstring typed;
    bool read = false;
    wchar_t chunk[256];
    DWORD count = 0;
    while (ReadConsoleW(input, chunk, DWORD(std::size(chunk)), &count, nullptr) && count > 0) {
        read = true;
        typed.append(chunk, count);
        if (typed.back() == L'\n')
            break;
    }
    SetConsoleMode(input, mode);
    say("\n");
    std::string line = QString::fromWCharArray(typed.data(), qsizetype(typed.size())).toStdString();
#else
    const FileDescriptor tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty.get() < 0)
        throw std::runtime_error("no terminal to ask for the password on");
    std::string line;
    bool read = false;
    {
        const EchoOff quiet(tty.get());
        if (write(tty.get(), prompt.data(), prompt.size()) < 0)
            throw std::runtime_error("cannot write to the terminal");
        char c = 0;
        ssize_t n = 0;
        while ((n = ::read(tty.get(), &c, 1)) == 1 && c != '\n')
            line += c;
        read = n == 1 || !line.empty();
    }
#endif
    if (!read)
        throw std::runtime_error("no password was typed");
    DropLineEnd(line);
    return line;
}

std::string ReadPasswordFile(const std::string& path)
{
    std::string line;
    if (path == "-") {
        if (!std::getline(std::cin, line))
            throw std::runtime_error("no password on standard input");
    } else {
#ifdef _WIN32
        // The name is UTF-8; a narrow name would be read in the ANSI code page
        // and miss C:\Users\Niccolò\ unless that code page is UTF-8.
        const std::filesystem::path name(QString::fromStdString(path).toStdWString());
#else
        const std::filesystem::path name(path);
#endif
        std::ifstream in(name, std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read the password file " + path);
        std::getline(in, line);
    }
    DropLineEnd(line);
    DropByteOrderMark(line);
    if (line.empty())
        throw std::runtime_error("the password file " + path + " holds no password on its first line");
    return line;
}

std::optional<std::string> EnvironmentText(const char* name)
{
#ifdef _WIN32
    // The environment's own UTF-16, never the ANSI copy, which loses what the
    // code page lacks.
    const wchar_t* value = _wgetenv(QString::fromLatin1(name).toStdWString().c_str());
    if (!value)
        return std::nullopt;
    return QString::fromWCharArray(value).toStdString();
#else
    const char* value = std::getenv(name);
    if (!value)
        return std::nullopt;
    return std::string(value);
#endif
}

std::string PasswordFileWarning(const std::string& path)
{
#ifdef _WIN32
    (void)path;
#else
    struct stat info {};
    if (path != "-" && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IROTH) != 0)
        return "every user of this machine can read the password file " + path + " (chmod o-r " + path + ")";
#endif
    return {};
}

std::string PasswordProblem(const std::string& password)
{
    if (password.empty())
        return "the password is empty";
    if (password.size() > 255)
        return "the password is longer than 255 bytes";
    for (const char c : password) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return "the password holds a control character";
    }
    if (!IsUtf8(password))
        return "the password is not UTF-8 text";
    // dati.ini drops surrounding blanks and a pair of enclosing quotes.
    if (password.front() == ' ' || password.back() == ' ' || password.front() == '\t' || password.back() == '\t')
        return "the password starts or ends with a blank";
    if (password.size() >= 2 && (password.front() == '"' || password.front() == '\'') &&
        password.back() == password.front())
        return "the password is enclosed in quotes";
    return {};
}

} // namespace admin
