#include "dblocate/SettingsFile.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>

#include <dataaccess/Cp1252.h>

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <optional>
#include <system_error>
#include <string_view>
#include <vector>

namespace dblocate {

namespace {

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view Utf16LeBom = "\xFF\xFE";
constexpr std::string_view Utf16BeBom = "\xFE\xFF";

// The encodings Windows' profile functions tell apart; Notepad's "Unicode" is
// UTF-16 little-endian with its mark.
enum class Encoding { Utf8, Windows1252, Utf16Le, Utf16Be };

// UTF-16 text is handled as UTF-8 in between: every line rule stays the same.
std::string Utf16ToUtf8(std::string_view bytes, Encoding encoding)
{
    QStringDecoder decode(encoding == Encoding::Utf16Le ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE,
                          QStringDecoder::Flag::Stateless);
    return QString(decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())))).toStdString();
}

std::string Utf8ToUtf16(const std::string& text, Encoding encoding)
{
    QStringEncoder encode(encoding == Encoding::Utf16Le ? QStringEncoder::Utf16LE : QStringEncoder::Utf16BE,
                          QStringEncoder::Flag::Stateless);
    return QByteArray(encode(QString::fromStdString(text))).toStdString();
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// One physical line and the line end that followed it ("" on a last line without one).
struct Line {
    std::string text;
    std::string end;
};

enum class LineKind { Other, Section, Entry };

// The same line grammar the INI reader applies: "[name]" opens a section,
// "key=value" is an entry, everything else (blank, ";" or "#" comment, garbage)
// belongs to no one.
struct LineMeaning {
    LineKind kind = LineKind::Other;
    std::string_view name; // section name or key, blanks trimmed
};

LineMeaning Classify(std::string_view text)
{
    std::string_view s = text;
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    if (s.empty() || s.front() == ';' || s.front() == '#')
        return {};
    if (s.front() == '[') {
        const auto close = s.find(']');
        if (close == std::string_view::npos)
            return {};
        return {LineKind::Section, Trimmed(s.substr(1, close - 1))};
    }
    const auto equals = s.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return {};
    return {LineKind::Entry, Trimmed(s.substr(0, equals))};
}

// The file as it stands on disk, split so that it can be put back byte for byte.
struct IniDocument {
    bool hasBom = false;
    Encoding encoding = Encoding::Utf8;
    std::vector<Line> lines; // UTF-8 when the file is UTF-16

    static IniDocument Parse(std::string_view bytes)
    {
        IniDocument doc;
        std::string decoded;
        if (bytes.substr(0, Utf8Bom.size()) == Utf8Bom) {
            doc.hasBom = true;
            bytes.remove_prefix(Utf8Bom.size());
        } else if (bytes.substr(0, 2) == Utf16LeBom || bytes.substr(0, 2) == Utf16BeBom) {
            doc.hasBom = true;
            doc.encoding = bytes.substr(0, 2) == Utf16LeBom ? Encoding::Utf16Le : Encoding::Utf16Be;
            decoded = Utf16ToUtf8(bytes.substr(2), doc.encoding);
            bytes = decoded;
        } else {
            QStringDecoder check(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            (void)QString(check(QByteArrayView(bytes.data(), qsizetype(bytes.size()))));
            if (check.hasError())
                doc.encoding = Encoding::Windows1252;
        }
        std::size_t start = 0;
        while (start < bytes.size()) {
            std::size_t end = bytes.find_first_of("\r\n", start);
            if (end == std::string_view::npos) {
                doc.lines.push_back({std::string(bytes.substr(start)), {}});
                break;
            }
            std::size_t endLength = (bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n') ? 2 : 1;
            doc.lines.push_back({std::string(bytes.substr(start, end - start)), std::string(bytes.substr(end, endLength))});
            start = end + endLength;
        }
        return doc;
    }

    std::string Serialize() const
    {
        std::string text;
        for (const Line& line : lines)
            text += line.text + line.end;
        switch (encoding) {
        case Encoding::Utf16Le:
            return std::string(Utf16LeBom) + Utf8ToUtf16(text, encoding);
        case Encoding::Utf16Be:
            return std::string(Utf16BeBom) + Utf8ToUtf16(text, encoding);
        default:
            return hasBom ? std::string(Utf8Bom) + text : text;
        }
    }

    // The line end new lines get: the file's own, CR LF for a new file.
    std::string LineEnd() const
    {
        for (const Line& line : lines)
            if (!line.end.empty())
                return line.end;
        return "\r\n";
    }

    // Only section and entry lines; the INI reader mistakes some garbage lines
    // (an unclosed "[" starts a bogus section), so it never sees them.
    std::string CleanText() const
    {
        std::string out;
        for (const Line& line : lines) {
            if (Classify(line.text).kind != LineKind::Other)
                out += line.text;
            out += '\n';
        }
        return out;
    }

    std::string ToUtf8(const std::string& bytes) const
    {
        if (encoding != Encoding::Windows1252)
            return bytes;
        return cp1252::ToUtf8(bytes);
    }

    std::string FromUtf8(const std::string& text) const
    {
        if (encoding != Encoding::Windows1252)
            return text;
        return cp1252::FromUtf8(text);
    }
};

// Nothing for a missing file; a file that is there but cannot be read is an
// error, never the defaults: a station that lost its account's settings would
// otherwise attach as someone else.
std::optional<std::string> ReadBytes(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        // Only a file that is certainly not there is missing: a folder the
        // operator may not look into hides nothing from this check.
        std::error_code error;
        const auto status = std::filesystem::status(std::filesystem::path(std::u8string(path.begin(), path.end())), error);
        if (status.type() == std::filesystem::file_type::not_found)
            return std::nullopt;
        throw SettingsReadError(path);
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw SettingsReadError(path);
    return bytes.toStdString();
}

// Rewrites an existing file in its own inode, so that it keeps its owner,
// group, permissions and ACL.
bool RewriteInPlace(const std::string& path, const std::string& content)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::ExistingOnly))
        return false;
    const bool written = file.write(content.data(), qint64(content.size())) == qint64(content.size());
    const bool flushed = file.flush();
    file.close();
    return written && flushed && file.error() == QFileDevice::NoError;
}

#ifndef _WIN32
// The replacement takes the old file's owner, group and permissions before it
// holds a byte; false when that is not allowed (another owner, a group the
// operator is not in).
bool TakeOwnership(int replacement, const struct stat& old)
{
    if (fchown(replacement, old.st_uid, old.st_gid) != 0)
        return false;
    return fchmod(replacement, old.st_mode & 07777) == 0;
}
#endif

std::string_view WithoutEnclosingQuotes(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// Cuts after maxChars characters, never inside a UTF-8 sequence.
std::string FirstCharacters(std::string_view utf8, std::size_t maxChars)
{
    std::size_t chars = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
            if (chars == maxChars)
                return std::string(utf8.substr(0, i));
            ++chars;
        }
    }
    return std::string(utf8);
}

std::string SingleLine(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

} // namespace

SettingsReadError::SettingsReadError(const std::string& path)
    : std::runtime_error("Impossibile leggere il file delle impostazioni " + path)
{
}

SettingsWriteError::SettingsWriteError(const std::string& path)
    : std::runtime_error("Unable to write to " + path)
{
}

SettingsFile::SettingsFile(std::string path)
    : path_(std::move(path))
{
}

std::string SettingsFile::ReadString(const std::string& section, const std::string& key) const
{
    const auto bytes = ReadBytes(path_);
    if (!bytes)
        return {};
    const IniDocument doc = IniDocument::Parse(*bytes);
    const std::string text = doc.CleanText();

    // Multi-key mode keeps every duplicate in file order, so the first one wins.
    CSimpleIniA ini(false, true, false);
    if (ini.LoadData(text.data(), text.size()) < 0)
        return {};
    const char* value = ini.GetValue(section.c_str(), key.c_str(), nullptr);
    if (!value)
        return {};
    const std::string unquoted(WithoutEnclosingQuotes(Trimmed(value)));
    return FirstCharacters(doc.ToUtf8(unquoted), MaxValueLength);
}

void SettingsFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    IniDocument doc = IniDocument::Parse(ReadBytes(path_).value_or(std::string()));
    const std::string newEntry = doc.FromUtf8(SingleLine(key) + "=" + SingleLine(value));

    // Sections of the same name count as one, as the reader merges them.
    std::optional<std::size_t> firstHeader;
    std::optional<std::size_t> lastEntryOfFirst;
    std::optional<std::size_t> existing;
    bool inSection = false;
    bool inFirst = false;
    for (std::size_t i = 0; i < doc.lines.size() && !existing; ++i) {
        const LineMeaning meaning = Classify(doc.lines[i].text);
        if (meaning.kind == LineKind::Section) {
            inSection = SameName(meaning.name, section);
            inFirst = inSection && !firstHeader;
            if (inFirst)
                firstHeader = i;
        } else if (meaning.kind == LineKind::Entry && inSection) {
            if (SameName(meaning.name, key))
                existing = i;
            else if (inFirst)
                lastEntryOfFirst = i;
        }
    }

    const std::string lineEnd = doc.LineEnd();
    if (existing) {
        doc.lines[*existing].text = newEntry;
    } else {
        if (!doc.lines.empty() && doc.lines.back().end.empty())
            doc.lines.back().end = lineEnd;
        if (firstHeader) {
            const std::size_t after = lastEntryOfFirst.value_or(*firstHeader) + 1;
            doc.lines.insert(doc.lines.begin() + std::ptrdiff_t(after), Line{newEntry, lineEnd});
        } else {
            doc.lines.push_back({doc.FromUtf8("[" + SingleLine(section) + "]"), lineEnd});
            doc.lines.push_back({newEntry, lineEnd});
        }
    }

    const std::string content = doc.Serialize();
    const qint64 size = qint64(content.size());
    const QString path = QString::fromStdString(path_);
    const bool exists = QFile::exists(path);
#ifdef _WIN32
    // A replacement would take the folder's inherited ACL instead of the file's own.
    if (exists) {
        if (!RewriteInPlace(path_, content))
            throw SettingsWriteError(path_);
        return;
    }
#endif
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        bool keeps = true;
#ifndef _WIN32
        struct stat old {};
        if (exists && stat(QFile::encodeName(path).constData(), &old) == 0)
            keeps = TakeOwnership(file.handle(), old);
#endif
        if (keeps) {
            if (file.write(content.data(), size) != size || !file.commit())
                throw SettingsWriteError(path_);
            return;
        }
        file.cancelWriting();
    }
    // A folder that takes no new file (a program folder locked down for the
    // operator), or a file the replacement could not take over, may still be
    // writable: rewrite it in place, without the safety of the temporary copy.
    if (!exists || !RewriteInPlace(path_, content))
        throw SettingsWriteError(path_);
}

} // namespace dblocate
