#include "dataaccess/SqlScript.h"

#include <algorithm>
#include <cctype>

namespace dataaccess {
namespace {

std::string UpperWord(const std::string& script, std::size_t begin, std::size_t end)
{
    std::string word = script.substr(begin, end - begin);
    for (char& c : word)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

} // namespace

std::vector<std::string> SplitSqlScript(const std::string& script)
{
    std::vector<std::string> statements;
    std::string current;
    bool hasCode = false; // anything but blanks and comments since the last split
    int depth = 0;        // BEGIN/CASE ... END nesting of a block body
    int words = 0;        // words of the current statement so far
    bool routine = false; // EXECUTE BLOCK or a procedure: declarations end in ';' too
    bool bodySeen = false;
    std::size_t i = 0;
    auto take = [&](std::size_t end) {
        current.append(script, i, end - i);
        i = end;
    };
    while (i < script.size()) {
        const char c = script[i];
        if (c == '\'' || c == '"') {
            std::size_t end = i + 1;
            while (end < script.size()) {
                if (script[end] == c) {
                    if (end + 1 < script.size() && script[end + 1] == c) {
                        end += 2;
                        continue;
                    }
                    ++end;
                    break;
                }
                ++end;
            }
            hasCode = true;
            take(std::min(end, script.size()));
        } else if (c == '/' && i + 1 < script.size() && script[i + 1] == '*') {
            const std::size_t close = script.find("*/", i + 2);
            take(close == std::string::npos ? script.size() : close + 2);
        } else if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
            const std::size_t close = script.find('\n', i);
            take(close == std::string::npos ? script.size() : close);
        } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            std::size_t end = i;
            while (end < script.size() &&
                   (std::isalnum(static_cast<unsigned char>(script[end])) || script[end] == '_' ||
                    script[end] == '$'))
                ++end;
            const std::string word = UpperWord(script, i, end);
            if (++words <= 4 && (word == "BLOCK" || word == "PROCEDURE" || word == "TRIGGER" ||
                                 word == "FUNCTION" || word == "PACKAGE"))
                routine = true;
            if (word == "BEGIN")
                bodySeen = true;
            if (word == "BEGIN" || word == "CASE")
                ++depth;
            else if (word == "END" && depth > 0)
                --depth;
            hasCode = true;
            take(end);
        } else if (c == ';' && depth == 0 && (!routine || bodySeen)) {
            if (hasCode)
                statements.push_back(current);
            current.clear();
            hasCode = false;
            words = 0;
            routine = false;
            bodySeen = false;
            ++i;
        } else {
            if (!std::isspace(static_cast<unsigned char>(c)))
                hasCode = true;
            take(i + 1);
        }
    }
    if (hasCode)
        statements.push_back(current);
    for (std::string& statement : statements) {
        const auto first = statement.find_first_not_of(" \t\r\n");
        const auto last = statement.find_last_not_of(" \t\r\n");
        statement = statement.substr(first, last - first + 1);
    }
    return statements;
}

} // namespace dataaccess
