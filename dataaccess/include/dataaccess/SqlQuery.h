#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dataaccess {

class Connection;
class Transaction;

// A forward-only select. Open fetches the first row; the transaction stays open
// when the query is closed or destroyed. The connection and the transaction must
// outlive the query.
class SqlQuery {
public:
    SqlQuery(Connection& connection, Transaction& transaction);
    ~SqlQuery();
    SqlQuery(const SqlQuery&) = delete;
    SqlQuery& operator=(const SqlQuery&) = delete;

    void SetParamCheck(bool on);
    void SetUniDirectional(bool on);

    void AddLine(std::string line);
    void CopyLinesFrom(const SqlQuery& other);
    const std::vector<std::string>& Lines() const;

    void Open();
    void Close();
    bool IsOpen() const;

    long FetchedCount() const;
    bool AtEnd() const;
    void NextRow();

    // NULL reads as empty text; "Field '<name>' not found" for an unknown column.
    std::string FieldText(std::string_view column) const;
    std::int64_t FieldInteger(std::string_view column) const;
    bool FieldIsNull(std::string_view column) const;

    // Columns of the open result, by position (0-based), names as the server gives them.
    int FieldCount() const;
    std::string FieldName(int index) const;
    std::string FieldText(int index) const;

    struct Impl;

private:
    std::unique_ptr<Impl> d_;
};

} // namespace dataaccess
