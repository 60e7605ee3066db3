#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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

    void SetParamCheck(bool on);     // on by default; the station turns it off
    void SetUniDirectional(bool on); // rows are always read forward only

    void AddLine(std::string line);
    void CopyLinesFrom(const SqlQuery& other);
    const std::vector<std::string>& Lines() const;

    // Named parameters (ParamCheck on): a value stays set for every later
    // Open until set again; a parameter never set is NULL. "Field "<name>" not
    // found" for a name the text does not have.
    void SetParamText(std::string_view name, const std::string& value);
    void SetParamNull(std::string_view name);

    // Attaches, starts the transaction and prepares, as Open would, without
    // executing. The statement stays prepared for the attachment: later Opens
    // only execute (again after a new attach).
    void Prepare();
    bool Prepared() const;
    // Attaches and starts the transaction when needed; "Empty query" without text.
    void Open();
    void Close(); // closes the cursor; Commit and Rollback of the transaction do it too
    bool IsOpen() const;

    long FetchedCount() const;
    bool AtEnd() const;
    void NextRow();

    // NULL reads as empty text, and so does every column past the last row;
    // "Field '<name>' not found" for an unknown column, "Query is not open" after Close.
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

// A select of exactly one row of integer columns, sent, executed and answered
// in one round trip (isc_dsql_exec_immed2; nothing stays prepared). Attaches
// and starts the transaction when needed; NULL gives nullopt. A select of no
// row or of more than one raises the server's error. The first one on an
// attachment also brings the attachment's number and the database's dialect.
std::vector<std::optional<std::int64_t>> SelectOneRow(Connection& connection, Transaction& transaction,
                                                      const std::string& sql, int columns);

} // namespace dataaccess
