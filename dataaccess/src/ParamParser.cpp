#include "dataaccess/SqlStatement.h"

namespace dataaccess {
namespace {

bool IsNameChar(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$';
}

// Index just past the quoted run that starts at `open`; a doubled quote stays inside.
std::size_t SkipQuoted(std::string_view sql, std::size_t open)
{
    const char quote = sql[open];
    std::size_t i = open + 1;
    while (i < sql.size()) {
        if (sql[i] == quote) {
            if (i + 1 < sql.size() && sql[i + 1] == quote) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return sql.size();
}

} // namespace

ParsedStatement ParseNamedParameters(std::string_view sql)
{
    ParsedStatement parsed;
    parsed.text.reserve(sql.size());
    std::size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            const std::size_t end = SkipQuoted(sql, i);
            parsed.text.append(sql.substr(i, end - i));
            i = end;
        } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
            const std::size_t close = sql.find("*/", i + 2);
            const std::size_t end = close == std::string_view::npos ? sql.size() : close + 2;
            parsed.text.append(sql.substr(i, end - i));
            i = end;
        } else if (c == ':' && i + 1 < sql.size() && sql[i + 1] == '"') {
            std::string name;
            std::size_t k = i + 2;
            while (k < sql.size()) {
                if (sql[k] == '"') {
                    if (k + 1 < sql.size() && sql[k + 1] == '"') {
                        name += '"'; // doubled quote: one quote in the name
                        k += 2;
                        continue;
                    }
                    ++k; // past the closing quote
                    break;
                }
                name += sql[k++];
            }
            const std::size_t end = k;
            parsed.names.push_back(std::move(name));
            parsed.text += '?';
            i = end;
        } else if (c == ':' && i + 1 < sql.size() && IsNameChar(sql[i + 1])) {
            std::size_t end = i + 1;
            while (end < sql.size() && IsNameChar(sql[end]))
                ++end;
            parsed.names.emplace_back(sql.substr(i + 1, end - i - 1));
            parsed.text += '?';
            i = end;
        } else {
            parsed.text += c;
            ++i;
        }
    }
    return parsed;
}

} // namespace dataaccess
