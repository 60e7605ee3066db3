#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dataaccess {

class Connection;
class Transaction;

// A statement without result rows. With ParamCheck on (the default), ":NAME"
// markers become positional parameters set by name with SetParamText; a parameter
// never set is NULL. The connection and the transaction must outlive the statement.
class SqlStatement {
public:
    SqlStatement(Connection& connection, Transaction& transaction);
    ~SqlStatement();
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;

    void SetParamCheck(bool on);
    void AddLine(std::string line);
    const std::vector<std::string>& Lines() const;

    void Prepare();
    bool Prepared() const;
    void SetParamText(std::string_view name, std::string value); // "Field "<name>" not found"
    void SetParamNull(std::string_view name);
    void ExecQuery(); // never commits

    // The one row a statement gives back (INSERT ... RETURNING, EXECUTE
    // PROCEDURE), sent with the answer to ExecQuery. NULL, and every column
    // before an execution, reads as empty text or 0; "Field '<name>' not found".
    std::string ResultText(std::string_view column) const;
    std::int64_t ResultInteger(std::string_view column) const;
    bool ResultIsNull(std::string_view column) const;

    struct Impl;

private:
    std::unique_ptr<Impl> d_;
};

// The named-parameter rewrite of ParamCheck: markers become '?', names are
// recorded in order as written (they are matched without regard to case).
struct ParsedStatement {
    std::string text;
    std::vector<std::string> names;
};
ParsedStatement ParseNamedParameters(std::string_view sql);

} // namespace dataaccess
