#include "Status.h"

#include "dataaccess/Errors.h"

#include "dataaccess/Cp1252.h"

#include "SystemCodePage.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

#include <array>
#include <cerrno>

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

// A remote server sends the system's reason as text, in the words and the
// language of its own system: only the texts of the systems servers run on
// are known here. A reason in any other words is not taken for a missing file.
bool SaysNotFound(const char* text)
{
    constexpr std::array<std::string_view, 5> notFound{
        "No such file or directory",                 // POSIX, ENOENT
        "The system cannot find the file specified", // Windows, ERROR_FILE_NOT_FOUND
        "The system cannot find the path specified", // Windows, ERROR_PATH_NOT_FOUND
        "Impossibile trovare il file specificato",   // the same two on an Italian Windows
        "Impossibile trovare il percorso specificato",
    };
    const std::string_view reason = Trimmed(text ? text : "", " \t\r\n.");
    for (std::string_view known : notFound)
        if (EqualsIgnoreCase(reason, known))
            return true;
    return false;
}

// The one place that reads an attach's refusal out of a status vector.
// "Nothing there" is an I/O error opening the file whose system reason is
// "not found"; a file that exists but cannot be read says something else.
AttachRefusal Refusal(const ISC_STATUS* status)
{
    ISC_STATUS first = 0;
    bool afterOpenError = false; // the argument after isc_io_open_err is the system's reason
    bool notFound = false;
    for (const ISC_STATUS* item = status; *item != isc_arg_end && *item != isc_arg_warning;) {
        const ISC_STATUS tag = item[0];
        const ISC_STATUS value = item[1];
        if (tag == isc_arg_gds) {
            if (first == 0)
                first = value;
            afterOpenError = value == isc_io_open_err;
        } else if (afterOpenError) {
            afterOpenError = false;
            notFound = (tag == isc_arg_unix && value == ENOENT) ||
                       (tag == isc_arg_win32 && (value == 2 || value == 3)) ||
                       (tag == isc_arg_interpreted && SaysNotFound(reinterpret_cast<const char*>(value)));
        }
        item += tag == isc_arg_cstring ? 3 : 2; // a counted string takes three slots
    }
    switch (first) {
    case isc_io_error:
        return notFound ? AttachRefusal::NoSuchDatabase : AttachRefusal::Other;
    case isc_network_error:
    case isc_net_connect_err:
    case isc_net_lookup_err:
    case isc_connect_reject:
        return AttachRefusal::NoConnection;
    case isc_login:
    case isc_login_error:
        return AttachRefusal::LoginRefused;
    case isc_shutdown:
    case isc_shutinprog:
    case isc_att_shutdown:
        return AttachRefusal::ShutDown;
    case isc_conf_access_denied:
    case isc_no_priv:
        return AttachRefusal::NotAllowed;
    default:
        return AttachRefusal::Other;
    }
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
    std::string message = ClientTextToUtf8(InterpretedText(status), SystemCodePage());
    if (message.empty())
        message = "Database error " + std::to_string(gdsCode);
    const AttachRefusal refusal = Refusal(status);
    if (IsConnectionLoss(gdsCode, sqlState))
        throw ConnectionLostError(message, gdsCode, sqlCode, std::move(sqlState), refusal);
    throw DatabaseError(message, gdsCode, sqlCode, std::move(sqlState), refusal);
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

std::string ClientTextToUtf8(std::string_view text, unsigned codePage)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    bool plain = true;
    for (std::size_t i = 0; i < text.size(); ++i)
        plain = plain && bytes[i] < 0x80;
    if (plain)
        return std::string(text);
    // Names the client was given as UTF-8 come back as UTF-8; Windows-1252
    // text is hardly ever valid UTF-8 as well.
    QStringDecoder fromUtf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)QString(fromUtf8(QByteArrayView(text.data(), qsizetype(text.size()))));
    if (!fromUtf8.hasError())
        return std::string(text);
#ifdef _WIN32
    if (codePage != 65001 && codePage != 1252) { // neither UTF-8 nor what cp1252 reads below
        const int size = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        if (size > 0) {
            std::wstring wide(static_cast<size_t>(size), L'\0');
            ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
            return QString::fromStdWString(wide).toStdString();
        }
    }
#else
    (void)codePage;
#endif
    // A system in UTF-8 still hears from servers that speak Windows-1252.
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
