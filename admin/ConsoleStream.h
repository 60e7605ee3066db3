#pragma once

#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

namespace admin {

// How many bytes of text form whole UTF-8 characters: a character cut at the
// end waits for its other bytes.
std::size_t WholeUtf8Prefix(std::string_view text);

#ifdef _WIN32
// UTF-8 text for one of the standard handles: a console gets it as UTF-16
// (WriteConsoleW), whatever its code page; a file or pipe gets the bytes as
// they are, so a redirected CSV stays UTF-8.
class ConsoleBuffer : public std::streambuf {
public:
    explicit ConsoleBuffer(unsigned long standardHandle);
    ~ConsoleBuffer() override;
    ConsoleBuffer(const ConsoleBuffer&) = delete;
    ConsoleBuffer& operator=(const ConsoleBuffer&) = delete;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    bool Flush(bool all);

    void* handle_;
    bool console_;
    std::string pending_;
};

class ConsoleStream : public std::ostream {
public:
    explicit ConsoleStream(unsigned long standardHandle) : std::ostream(nullptr), buffer_(standardHandle)
    {
        rdbuf(&buffer_);
    }

private:
    ConsoleBuffer buffer_;
};
#endif

} // namespace admin
