#include "ParcelCsv.h"

#include <dataaccess/Cp1252.h>

#include <QString>

#include <algorithm>
#include <string_view>

namespace admin {
namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        int extra = 0;
        unsigned min = 0;
        unsigned code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, code = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<size_t>(extra) >= s.size())
            return false;
        for (int k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            if ((cc & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (cc & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

bool IsAscii(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Bytes with no character in Windows-1252.
bool IsUndefinedCp1252(unsigned char c)
{
    return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

// Splits one line; double quotes may enclose a field, a doubled quote stands for one.
std::optional<std::vector<std::string>> SplitFields(std::string_view line, char separator)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    bool fieldStart = true;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < line.size() && line[i + 1] == '"') {
                    fields.back() += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                fields.back() += c;
            }
        } else if (c == separator) {
            fields.emplace_back();
            fieldStart = true;
            continue;
        } else if (c == '"' && fieldStart) {
            quoted = true;
        } else {
            fields.back() += c;
        }
        fieldStart = false;
    }
    if (quoted)
        return std::nullopt;
    return fields;
}

bool IsHeader(const std::vector<std::string>& fields)
{
    return QString::fromLatin1(fields.front().c_str()).trimmed().compare("BARCODESPEED", Qt::CaseInsensitive) == 0;
}

} // namespace

ParsedCsv ParseParcelCsv(const std::string& input)
{
    ParsedCsv result;
    std::string_view bytes(input);
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
        result.utf8 = true;
    }
    if (!result.utf8)
        result.utf8 = !IsAscii(bytes) && IsValidUtf8(bytes);

    char separator = 0;
    long lineNumber = 0;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view line = bytes.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.empty())
            continue;

        auto problem = [&](std::string message) {
            result.problems.push_back({lineNumber, std::move(message)});
        };

        std::string text;
        if (line.find('\0') != std::string_view::npos) {
            problem("contains a zero byte");
            continue;
        }
        if (result.utf8 && !IsAscii(line)) {
            bool lossy = false;
            text = cp1252::FromUtf8(line, &lossy);
            if (lossy) {
                problem("holds a character that has no Windows-1252 code");
                continue;
            }
        } else {
            if (std::any_of(line.begin(), line.end(),
                            [](char c) { return IsUndefinedCp1252(static_cast<unsigned char>(c)); })) {
                problem("is neither UTF-8 nor Windows-1252 text");
                continue;
            }
            text.assign(line);
        }

        if (separator == 0)
            separator = text.find(';') != std::string::npos ? ';' : ',';
        auto fields = SplitFields(text, separator);
        if (!fields) {
            problem("has an unterminated quoted field");
            continue;
        }
        if (result.rows.empty() && result.problems.empty() && IsHeader(*fields))
            continue;
        if (fields->size() < 2 || fields->size() > 3) {
            problem("has " + std::to_string(fields->size()) + " fields, expected 2 or 3");
            continue;
        }
        if ((*fields)[0].empty()) {
            problem("has an empty BARCODESPEED");
            continue;
        }
        ParcelRow row;
        row.lineNumber = lineNumber;
        row.barcodeSpeed = std::move((*fields)[0]);
        row.codiceEan = std::move((*fields)[1]);
        if (fields->size() == 3)
            row.codiceEanErrato = std::move((*fields)[2]);
        result.rows.push_back(std::move(row));
    }
    return result;
}

} // namespace admin
