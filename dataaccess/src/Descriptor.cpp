#include "Descriptor.h"

#include "dataaccess/Errors.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace dataaccess {
namespace {

std::size_t AlignUp(std::size_t value, std::size_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

std::size_t DataSize(const XSQLVAR& column)
{
    const std::size_t length = static_cast<std::size_t>(column.sqllen);
    return (column.sqltype & ~1) == SQL_VARYING ? length + 2 : length;
}

std::string ScaledText(std::int64_t value, int scale)
{
    if (scale >= 0) {
        std::string text = std::to_string(value);
        if (value != 0)
            text.append(static_cast<std::size_t>(scale), '0');
        return text;
    }
    const bool negative = value < 0;
    // Digits of the magnitude; unsigned so that the smallest value has one.
    std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value)
                                       : static_cast<std::uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    const std::size_t decimals = static_cast<std::size_t>(-scale);
    if (digits.size() <= decimals)
        digits.insert(0, decimals + 1 - digits.size(), '0');
    digits.insert(digits.size() - decimals, 1, '.');
    if (negative)
        digits.insert(0, 1, '-');
    return digits;
}

template <typename Float> std::string FloatText(Float value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string DateText(const ISC_DATE& date)
{
    std::tm parts{};
    isc_decode_sql_date(&date, &parts);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday);
    return buffer;
}

std::string TimeText(ISC_TIME time)
{
    const unsigned fraction = time % ISC_TIME_SECONDS_PRECISION;
    unsigned seconds = time / ISC_TIME_SECONDS_PRECISION;
    char buffer[32];
    int length = std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u", seconds / 3600,
                               seconds / 60 % 60, seconds % 60);
    if (fraction != 0)
        std::snprintf(buffer + length, sizeof buffer - static_cast<std::size_t>(length), ".%04u",
                      fraction);
    return buffer;
}

std::string BlobText(const XSQLVAR& column, isc_db_handle* database, isc_tr_handle* transaction)
{
    ISC_QUAD id;
    std::memcpy(&id, column.sqldata, sizeof id);
    Status status;
    isc_blob_handle blob = 0;
    isc_open_blob2(&status, database, transaction, &blob, &id, 0, nullptr);
    Check(status);
    std::string text;
    char segment[16384];
    for (;;) {
        unsigned short got = 0;
        const ISC_STATUS result =
            isc_get_segment(&status, &blob, &got, sizeof segment, segment);
        if (result != 0 && result != isc_segment) {
            if (result == isc_segstr_eof)
                break;
            Status closeStatus;
            isc_cancel_blob(&closeStatus, &blob);
            RaiseStatus(status.vector);
        }
        text.append(segment, got);
    }
    isc_close_blob(&status, &blob);
    return text;
}

std::int64_t RawInteger(const XSQLVAR& column)
{
    switch (column.sqltype & ~1) {
    case SQL_SHORT: {
        ISC_SHORT v;
        std::memcpy(&v, column.sqldata, sizeof v);
        return v;
    }
    case SQL_LONG: {
        ISC_LONG v;
        std::memcpy(&v, column.sqldata, sizeof v);
        return v;
    }
    default: {
        ISC_INT64 v;
        std::memcpy(&v, column.sqldata, sizeof v);
        return v;
    }
    }
}

} // namespace

Descriptor::Descriptor(short capacity) { Reserve(capacity); }

void Descriptor::Reserve(short capacity)
{
    const short count = capacity < 1 ? 1 : capacity;
    const std::size_t bytes = XSQLDA_LENGTH(count);
    const std::size_t units = (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    storage_ = std::make_unique<std::max_align_t[]>(units);
    XSQLDA* area = get();
    area->version = SQLDA_VERSION1;
    area->sqln = count;
    area->sqld = 0;
}

void RowBuffer::Bind(Descriptor& columns)
{
    std::size_t needed = 0;
    for (int i = 0; i < columns.Count(); ++i) {
        needed = AlignUp(needed, 8) + DataSize(columns[i]);
        needed = AlignUp(needed, 2) + sizeof(short);
    }
    used_ = needed;
    if (needed > size_) {
        const std::size_t units = (needed + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
        storage_ = std::make_unique<std::max_align_t[]>(units);
        size_ = units * sizeof(std::max_align_t);
    }
    char* base = reinterpret_cast<char*>(storage_.get());
    std::size_t offset = 0;
    for (int i = 0; i < columns.Count(); ++i) {
        XSQLVAR& column = columns[i];
        offset = AlignUp(offset, 8);
        column.sqldata = base + offset;
        offset += DataSize(column);
        offset = AlignUp(offset, 2);
        column.sqlind = reinterpret_cast<short*>(base + offset);
        *column.sqlind = 0;
        offset += sizeof(short);
    }
}

void RowBuffer::Restore(const char* bytes) noexcept
{
    if (used_ > 0)
        std::memcpy(storage_.get(), bytes, used_);
}

void StatementHandle::Allocate(isc_db_handle* database)
{
    Drop();
    Status status;
    isc_dsql_alloc_statement2(&status, database, &handle_);
    Check(status);
}

void StatementHandle::Drop() noexcept
{
    if (handle_ == 0)
        return;
    Status status;
    isc_dsql_free_statement(&status, &handle_, DSQL_drop);
    handle_ = 0;
}

void StatementHandle::CloseCursor() noexcept
{
    if (handle_ == 0)
        return;
    Status status;
    isc_dsql_free_statement(&status, &handle_, DSQL_close);
}

int StatementHandle::Type()
{
    const char items[] = {isc_info_sql_stmt_type};
    char result[16] = {};
    Status status;
    isc_dsql_sql_info(&status, &handle_, sizeof items, items, sizeof result, result);
    Check(status);
    if (result[0] != isc_info_sql_stmt_type)
        return 0;
    const short length = static_cast<short>(isc_vax_integer(result + 1, 2));
    return static_cast<int>(isc_vax_integer(result + 3, length));
}

std::string ColumnText(const XSQLVAR& column, isc_db_handle* database, isc_tr_handle* transaction)
{
    if (ColumnIsNull(column))
        return {};
    const char* data = column.sqldata;
    switch (column.sqltype & ~1) {
    case SQL_TEXT:
        return std::string(data, static_cast<std::size_t>(column.sqllen));
    case SQL_VARYING: {
        unsigned short length;
        std::memcpy(&length, data, sizeof length);
        return std::string(data + 2, length);
    }
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64:
        return ScaledText(RawInteger(column), column.sqlscale);
    case SQL_FLOAT: {
        float v;
        std::memcpy(&v, data, sizeof v);
        return FloatText(v);
    }
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
        double v;
        std::memcpy(&v, data, sizeof v);
        return FloatText(v);
    }
    case SQL_TYPE_DATE: {
        ISC_DATE v;
        std::memcpy(&v, data, sizeof v);
        return DateText(v);
    }
    case SQL_TYPE_TIME: {
        ISC_TIME v;
        std::memcpy(&v, data, sizeof v);
        return TimeText(v);
    }
    case SQL_TIMESTAMP: {
        ISC_TIMESTAMP v;
        std::memcpy(&v, data, sizeof v);
        return DateText(v.timestamp_date) + ' ' + TimeText(v.timestamp_time);
    }
    case SQL_BOOLEAN:
        return *data ? "True" : "False";
    case SQL_BLOB:
        return BlobText(column, database, transaction);
    case SQL_NULL:
        return {};
    default:
        throw DatabaseError("Column \"" + std::string(ColumnName(column)) +
                            "\" has a type that cannot be read as text");
    }
}

std::int64_t ColumnInteger(const XSQLVAR& column, isc_db_handle* database,
                           isc_tr_handle* transaction)
{
    if (ColumnIsNull(column))
        return 0;
    switch (column.sqltype & ~1) {
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
        std::int64_t value = RawInteger(column);
        for (int scale = column.sqlscale; scale > 0; --scale)
            value *= 10;
        if (column.sqlscale < 0) {
            // Rounded half away from zero, as the text would read.
            std::int64_t divisor = 1;
            for (int scale = column.sqlscale; scale < 0; ++scale)
                divisor *= 10;
            const std::int64_t rest = value % divisor;
            value /= divisor;
            if (rest * 2 >= divisor)
                ++value;
            else if (rest * 2 <= -divisor)
                --value;
        }
        return value;
    }
    case SQL_FLOAT: {
        float v;
        std::memcpy(&v, column.sqldata, sizeof v);
        return static_cast<std::int64_t>(std::llround(v));
    }
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
        double v;
        std::memcpy(&v, column.sqldata, sizeof v);
        return static_cast<std::int64_t>(std::llround(v));
    }
    case SQL_BOOLEAN:
        return *column.sqldata ? 1 : 0;
    default: {
        std::string text = ColumnText(column, database, transaction);
        const auto first = text.find_first_not_of(' ');
        const auto last = text.find_last_not_of(' ');
        std::int64_t value = 0;
        if (first != std::string::npos) {
            const char* begin = text.data() + first;
            const char* end = text.data() + last + 1;
            if (*begin == '+')
                ++begin;
            const auto result = std::from_chars(begin, end, value);
            if (result.ec == std::errc() && result.ptr == end)
                return value;
        }
        throw DatabaseError("'" + Windows1252ToUtf8(text) + "' is not a valid integer value");
    }
    }
}

} // namespace dataaccess
