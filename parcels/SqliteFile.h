#pragma once

// The journal's and the parcel copy's common access to an SQLite file.

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace parcels::sqlite {

// Raises the store's own error for a failure on its file; never returns.
using Raise = void (*)(const std::string& path, const std::string& reason);

// Opens (creating when missing) with what both stores need: double-quoted
// text is a name whatever the build, a writer waits briefly for another, WAL.
sqlite3* Open(const std::string& path, Raise raise);
void Close(sqlite3* db) noexcept;
void Execute(sqlite3* db, const std::string& sql, const std::string& path, Raise raise);

// A prepared statement, finalized however its owner ends.
class Statement {
public:
    Statement(sqlite3* db, const char* sql, const std::string& path, Raise raise);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Bytes as a blob: a zero-length one, never NULL, for an empty value.
    Statement& Bind(int index, const std::string& bytes);
    Statement& BindText(int index, const std::string& text);
    Statement& BindInt(int index, std::int64_t value);
    Statement& BindNull(int index);
    // True while there is a row.
    bool Step();
    // Done with this execution: the read it holds ends (a reader left open
    // would keep the write-ahead log from being folded back).
    void Reset();
    std::string Text(int column) const;
    std::int64_t Integer(int column) const;

private:
    [[noreturn]] void Fail() const;

    sqlite3* db_;
    const std::string& path_;
    Raise raise_;
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace parcels::sqlite
