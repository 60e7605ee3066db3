#pragma once

#include "Status.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace dataaccess {

// An XSQLDA with room for a given number of columns, owned.
class Descriptor {
public:
    explicit Descriptor(short capacity = 0);
    void Reserve(short capacity); // keeps nothing of the old contents
    XSQLDA* get() noexcept { return reinterpret_cast<XSQLDA*>(storage_.get()); }
    const XSQLDA* get() const noexcept { return reinterpret_cast<const XSQLDA*>(storage_.get()); }
    XSQLDA* operator->() noexcept { return get(); }
    const XSQLDA* operator->() const noexcept { return get(); }
    short Capacity() const noexcept { return get()->sqln; }
    short Count() const noexcept { return get()->sqld; }
    XSQLVAR& operator[](int i) noexcept { return get()->sqlvar[i]; }
    const XSQLVAR& operator[](int i) const noexcept { return get()->sqlvar[i]; }

private:
    std::unique_ptr<std::max_align_t[]> storage_;
};

// Points every column of a described output descriptor into one buffer,
// reused while it is large enough.
class RowBuffer {
public:
    void Bind(Descriptor& columns);
    // The bytes of the row the columns point at, to keep a fetched row aside.
    const char* Data() const noexcept { return reinterpret_cast<const char*>(storage_.get()); }
    std::size_t Used() const noexcept { return used_; }
    void Restore(const char* bytes) noexcept;

private:
    std::unique_ptr<std::max_align_t[]> storage_;
    std::size_t size_ = 0;
    std::size_t used_ = 0;
};

// A prepared statement handle at the server; dropped on destruction.
class StatementHandle {
public:
    StatementHandle() = default;
    ~StatementHandle() { Drop(); }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;

    void Allocate(isc_db_handle* database);
    void Drop() noexcept;
    void Forget() noexcept { handle_ = 0; } // the attachment it lived in is gone
    void CloseCursor() noexcept;
    bool Allocated() const noexcept { return handle_ != 0; }
    isc_stmt_handle* get() noexcept { return &handle_; }
    // isc_info_sql_stmt_type of the prepared statement.
    int Type();

private:
    isc_stmt_handle handle_ = 0;
};

// A column of the current row as text: numbers in plain notation with their scale,
// dates as YYYY-MM-DD, times as HH:MM:SS, blobs read whole; NULL is empty.
std::string ColumnText(const XSQLVAR& column, isc_db_handle* database, isc_tr_handle* transaction);
std::int64_t ColumnInteger(const XSQLVAR& column, isc_db_handle* database,
                           isc_tr_handle* transaction);
inline bool ColumnIsNull(const XSQLVAR& column) noexcept
{
    return (column.sqltype & 1) && column.sqlind && *column.sqlind < 0;
}
inline std::string_view ColumnName(const XSQLVAR& column) noexcept
{
    return {column.aliasname, static_cast<std::size_t>(column.aliasname_length)};
}

} // namespace dataaccess
