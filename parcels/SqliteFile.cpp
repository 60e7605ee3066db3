#include "SqliteFile.h"

#include <sqlite3.h>

#include <exception>

namespace parcels::sqlite {

sqlite3* Open(const std::string& path, Raise raise)
{
    sqlite3* db = nullptr;
    const int result =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (result != SQLITE_OK) {
        const std::string reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(result);
        Close(db);
        raise(path, reason);
        std::terminate(); // raise never returns
    }
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_busy_timeout(db, 5000);
    try {
        Execute(db, "PRAGMA journal_mode=WAL", path, raise);
    } catch (...) {
        Close(db);
        throw;
    }
    return db;
}

void Close(sqlite3* db) noexcept
{
    if (db)
        sqlite3_close_v2(db);
}

void Execute(sqlite3* db, const std::string& sql, const std::string& path, Raise raise)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        raise(path, reason);
    }
}

Statement::Statement(sqlite3* db, const char* sql, const std::string& path, Raise raise)
    : db_(db), path_(path), raise_(raise)
{
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
        Fail();
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::Fail() const
{
    raise_(path_, sqlite3_errmsg(db_));
    std::terminate(); // raise never returns
}

Statement& Statement::Bind(int index, const std::string& bytes)
{
    if (sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        Fail();
    return *this;
}

Statement& Statement::BindText(int index, const std::string& text)
{
    if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        Fail();
    return *this;
}

Statement& Statement::BindInt(int index, std::int64_t value)
{
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK)
        Fail();
    return *this;
}

Statement& Statement::BindNull(int index)
{
    if (sqlite3_bind_null(stmt_, index) != SQLITE_OK)
        Fail();
    return *this;
}

bool Statement::Step()
{
    const int result = sqlite3_step(stmt_);
    if (result == SQLITE_ROW)
        return true;
    if (result != SQLITE_DONE) {
        sqlite3_reset(stmt_);
        Fail();
    }
    return false;
}

void Statement::Reset()
{
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::string Statement::Text(int column) const
{
    const void* bytes = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return bytes ? std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size)) : std::string();
}

std::int64_t Statement::Integer(int column) const { return sqlite3_column_int64(stmt_, column); }

} // namespace parcels::sqlite
