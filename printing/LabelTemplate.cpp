#include "printing/LabelTemplate.h"

#include "printing/PrintError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace printing {
namespace {

constexpr char kCtrlZ = 26;

// Owns one file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { if (fd_ >= 0) ::close(fd_); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void ThrowFileError(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        throw PrintError("File not found");
    case EACCES:
    case EPERM:
        throw PrintError("File access denied");
    default:
        throw PrintError(std::strerror(error));
    }
}

std::string ReadWholeFile(const std::string& path)
{
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        ThrowFileError(errno);
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ThrowFileError(errno);
        }
        if (got == 0)
            return bytes;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

std::string ReplaceAll(const std::string& text, std::string_view placeholder, std::string_view value)
{
    std::string out;
    out.reserve(text.size());
    size_t from = 0;
    for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, from)) {
        out.append(text, from, at - from);
        out.append(value);
        from = at + placeholder.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

} // namespace

std::string ReadLabelTemplate(const std::string& path)
{
    const std::string bytes = ReadWholeFile(path);
    std::string text;
    text.reserve(bytes.size() + bytes.size() / 16 + 2);
    size_t i = 0;
    // Every CR is dropped: before an LF it belongs to the line end, alone it is noise.
    while (i < bytes.size() && bytes[i] != kCtrlZ) {
        for (; i < bytes.size() && bytes[i] != '\n'; ++i) {
            if (bytes[i] != '\r')
                text += bytes[i];
        }
        if (i < bytes.size())
            ++i; // the LF
        text += "\r\n";
    }
    return text;
}

std::string FillPlaceholders(const std::string& templateText, const std::string& codiceEan)
{
    const std::string withEan = ReplaceAll(templateText, "<CODICEEAN>", codiceEan);
    return ReplaceAll(withEan, "<CODICEEAN_SHORT>", std::string_view(codiceEan).substr(0, 12));
}

} // namespace printing
