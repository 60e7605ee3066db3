#include "printing/LabelTemplate.h"

#include "printing/PrintError.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#ifdef _WIN32
#include "WideText.h"

#include <filesystem>
#endif

namespace printing {
namespace {

constexpr char kCtrlZ = 26;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Binary mode everywhere: in text mode Windows would end the text at a
// Ctrl-Z inside a line and eat the CRs this reader looks at itself.
FilePtr OpenBinary(const std::string& path)
{
#ifdef _WIN32
    const std::wstring wide = Widen(path);
    FilePtr file(::_wfopen(wide.c_str(), L"rb"));
    if (!file && errno == EACCES) {
        // Windows refuses to open a folder; report it as the other systems do.
        std::error_code error;
        if (std::filesystem::is_directory(std::filesystem::path(wide), error))
            errno = EISDIR;
    }
    return file;
#else
    return FilePtr(std::fopen(path.c_str(), "rbe"));
#endif
}

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
    errno = 0;
    const FilePtr file = OpenBinary(path);
    if (!file)
        ThrowFileError(errno);
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        bytes.append(buffer, got);
        if (got < sizeof buffer) {
            if (std::ferror(file.get()))
                ThrowFileError(errno);
            return bytes;
        }
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
