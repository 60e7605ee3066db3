#include "Status.h"

#include "dataaccess/Errors.h"

#include "dataaccess/Cp1252.h"

#include <array>

namespace dataaccess {
namespace {

bool IsConnectionLoss(long gdsCode, const std::string& sqlState)
{
    constexpr std::array<long, 5> lossCodes{335544721L, 335544722L, 335544726L, 335544727L,
                                            335544856L};
    if (sqlState.size() >= 2 && sqlState[0] == '0' && sqlState[1] == '8')
        return true;
    for (long code : lossCodes)
        if (code == gdsCode)
            return true;
    return false;
}

std::string InterpretedText(const ISC_STATUS* status)
{
    std::string text;
    std::array<char, 1024> line{};
    const ISC_STATUS* cursor = status;
    while (fb_interpret(line.data(), line.size(), &cursor) > 0) {
        if (!text.empty())
            text += "\r\n";
        text += line.data();
    }
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace

void RaiseStatus(const ISC_STATUS* status)
{
    long gdsCode = 0;
    for (const ISC_STATUS* item = status; *item != isc_arg_end; item += 2) {
        if (*item == isc_arg_gds) {
            gdsCode = static_cast<long>(item[1]);
            break;
        }
        if (*item == isc_arg_cstring) // three-slot entry: tag, length, pointer
            ++item;
    }
    const long sqlCode = isc_sqlcode(status);
    std::array<char, 6> state{};
    fb_sqlstate(state.data(), status);
    std::string sqlState(state.data());
    std::string message = Windows1252ToUtf8(InterpretedText(status));
    if (message.empty())
        message = "Database error " + std::to_string(gdsCode);
    if (IsConnectionLoss(gdsCode, sqlState))
        throw ConnectionLostError(message, gdsCode, sqlCode, std::move(sqlState));
    throw DatabaseError(message, gdsCode, sqlCode, std::move(sqlState));
}

std::string Windows1252ToUtf8(std::string_view text)
{
    bool plain = true;
    for (unsigned char c : text)
        if (c >= 0x80) {
            plain = false;
            break;
        }
    if (plain)
        return std::string(text);
    return cp1252::ToUtf8(text);
}

std::string_view Trimmed(std::string_view text, std::string_view blanks) noexcept
{
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z')
            x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace dataaccess
