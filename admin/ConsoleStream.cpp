#include "ConsoleStream.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace admin {

std::size_t WholeUtf8Prefix(std::string_view text)
{
    // Look back at most three bytes for the lead byte of the last character.
    for (std::size_t back = 1; back <= 4 && back <= text.size(); ++back) {
        const auto c = static_cast<unsigned char>(text[text.size() - back]);
        if ((c & 0xC0) == 0x80)
            continue; // a continuation byte
        const std::size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
        return length > back ? text.size() - back : text.size();
    }
    return text.size();
}

#ifdef _WIN32
ConsoleBuffer::ConsoleBuffer(unsigned long standardHandle)
    : handle_(::GetStdHandle(standardHandle)), console_(false)
{
    DWORD mode = 0;
    console_ = handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr && ::GetConsoleMode(handle_, &mode);
}

ConsoleBuffer::~ConsoleBuffer()
{
    Flush(true);
}

ConsoleBuffer::int_type ConsoleBuffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    pending_ += traits_type::to_char_type(c);
    if (c == '\n' && !Flush(false))
        return traits_type::eof();
    return c;
}

std::streamsize ConsoleBuffer::xsputn(const char* s, std::streamsize n)
{
    pending_.append(s, static_cast<std::size_t>(n));
    if (pending_.size() >= 4096 && !Flush(false))
        return 0;
    return n;
}

int ConsoleBuffer::sync()
{
    return Flush(false) ? 0 : -1;
}

bool ConsoleBuffer::Flush(bool all)
{
    if (handle_ == INVALID_HANDLE_VALUE || handle_ == nullptr) {
        pending_.clear();
        return false;
    }
    const std::size_t size = all ? pending_.size() : WholeUtf8Prefix(pending_);
    if (size == 0)
        return true;
    bool ok = true;
    if (console_) {
        const int wideSize = ::MultiByteToWideChar(CP_UTF8, 0, pending_.data(), int(size), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(wideSize > 0 ? wideSize : 0), L'\0');
        if (wideSize > 0)
            ::MultiByteToWideChar(CP_UTF8, 0, pending_.data(), int(size), wide.data(), wideSize);
        for (std::size_t at = 0; ok && at < wide.size();) {
            DWORD written = 0;
            ok = ::WriteConsoleW(handle_, wide.data() + at, DWORD(wide.size() - at), &written, nullptr) && written > 0;
            at += written;
        }
    } else {
        for (std::size_t at = 0; ok && at < size;) {
            DWORD written = 0;
            ok = ::WriteFile(handle_, pending_.data() + at, DWORD(size - at), &written, nullptr) && written > 0;
            at += written;
        }
    }
    pending_.erase(0, size);
    return ok;
}
#endif

} // namespace admin
