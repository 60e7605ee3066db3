#include "dataaccess/SqlStatement.h"

#include "Descriptor.h"
#include "Internals.h"
#include "Parameters.h"

#include "dataaccess/Errors.h"


namespace dataaccess {

struct SqlStatement::Impl final : CursorOwner {
    Connection* connection;
    Transaction* transaction;
    std::vector<std::string> lines;
    bool paramCheck = true;

    StatementHandle statement;
    std::uint64_t preparedAttachment = 0; // 0: not prepared
    int statementType = 0;
    std::vector<std::string> names; // by position, as written
    Descriptor inputs{8};
    std::vector<Parameter> parameters;
    Descriptor outputs{4}; // RETURNING or a procedure's outputs: one row
    RowBuffer result;
    bool executed = false; // the result row belongs to the last execution

    Impl(Connection& c, Transaction& t) : connection(&c), transaction(&t)
    {
        t.impl().Register(this);
    }
    ~Impl()
    {
        if (transaction)
            transaction->impl().Unregister(this);
        ReleaseStatement();
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void CloseCursor() noexcept override {} // executes never leave a cursor open
    void ForgetConnection() noexcept override
    {
        statement.Forget();
        preparedAttachment = 0;
        connection = nullptr;
    }
    void ForgetTransaction() noexcept override { transaction = nullptr; }
    void ForgetStatement() noexcept override
    {
        statement.Forget();
        preparedAttachment = 0;
    }

    bool Current() const noexcept
    {
        return preparedAttachment != 0 && connection && connection->Connected() &&
               preparedAttachment == connection->impl().attachment;
    }
    void ReleaseStatement() noexcept
    {
        if (Current())
            statement.Drop();
        else
            statement.Forget();
        preparedAttachment = 0;
    }
    isc_tr_handle* TransactionHandle() const
    {
        if (!transaction)
            throw DatabaseError("Transaction is not active");
        return transaction->impl().RequireHandle();
    }

    void Prepare();
    bool ReturnsRow() const
    {
        return outputs.Count() > 0 && statementType != isc_info_sql_stmt_select &&
               statementType != isc_info_sql_stmt_select_for_upd;
    }
    const XSQLVAR* ResultColumn(std::string_view name) const;
    void Execute();
};

void SqlStatement::Impl::Prepare()
{
    if (Current())
        return;
    isc_tr_handle* trHandle = TransactionHandle();
    if (!connection)
        throw DatabaseError("Database not assigned");
    std::string text = JoinLines(lines);
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        throw DatabaseError("Empty query");
    ReleaseStatement();
    names.clear();
    if (paramCheck) {
        ParsedStatement parsed = ParseNamedParameters(text);
        text = std::move(parsed.text);
        names = std::move(parsed.names);
    }
    Connection::Impl& database = connection->impl();
    database.LearnFacts();
    const unsigned short dialect = static_cast<unsigned short>(database.sqlDialect);
    database.Run([&] {
        statement.Allocate(&database.handle);
        try {
            Status status;
            isc_dsql_prepare(&status, trHandle, statement.get(), 0, text.c_str(), dialect, nullptr);
            Check(status);
            statementType = statement.Type();
            std::vector<Parameter> previous = std::move(parameters);
            parameters.clear();
            DescribeParameters(statement.get(), dialect, inputs, parameters);
            // Values set before a re-prepare stay with their positions.
            for (std::size_t i = 0; i < parameters.size() && i < previous.size(); ++i) {
                parameters[i].value = std::move(previous[i].value);
                parameters[i].isNull = previous[i].isNull;
            }
            outputs->sqld = 0;
            isc_dsql_describe(&status, statement.get(), dialect, outputs.get());
            Check(status);
            if (outputs.Count() > outputs.Capacity()) {
                outputs.Reserve(outputs.Count());
                isc_dsql_describe(&status, statement.get(), dialect, outputs.get());
                Check(status);
            }
            result.Bind(outputs);
        } catch (...) {
            // Not yet marked as prepared, so nothing else would free it before detach.
            statement.Drop();
            throw;
        }
    });
    executed = false;
    preparedAttachment = database.attachment;
}

void SqlStatement::Impl::Execute()
{
    Prepare();
    isc_tr_handle* trHandle = TransactionHandle();
    executed = false;
    connection->impl().Run([&] {
        XSQLDA* in = BindParameters(inputs, parameters, &connection->impl().handle, trHandle);
        Status status;
        const auto dialect = static_cast<unsigned short>(connection->impl().sqlDialect);
        if (ReturnsRow()) {
            // The row comes back with the answer to the execute: one round trip.
            isc_dsql_execute2(&status, trHandle, statement.get(), dialect, in, outputs.get());
            Check(status);
            executed = true;
            return;
        }
        isc_dsql_execute(&status, trHandle, statement.get(), dialect, in);
        Check(status);
        if (statementType == isc_info_sql_stmt_select ||
            statementType == isc_info_sql_stmt_select_for_upd)
            statement.CloseCursor(); // no rows are read here
    });
}

const XSQLVAR* SqlStatement::Impl::ResultColumn(std::string_view name) const
{
    for (int i = 0; i < outputs.Count(); ++i)
        if (EqualsIgnoreCase(ColumnName(outputs[i]), name))
            return executed ? &outputs[i] : nullptr;
    throw DatabaseError("Field '" + std::string(name) + "' not found");
}

SqlStatement::SqlStatement(Connection& connection, Transaction& transaction)
    : d_(std::make_unique<Impl>(connection, transaction))
{
}

SqlStatement::~SqlStatement() = default;

void SqlStatement::SetParamCheck(bool on)
{
    if (on != d_->paramCheck) {
        d_->ReleaseStatement();
        d_->parameters.clear();
        d_->paramCheck = on;
    }
}

void SqlStatement::AddLine(std::string line)
{
    d_->ReleaseStatement();
    d_->parameters.clear();
    d_->lines.push_back(std::move(line));
}

const std::vector<std::string>& SqlStatement::Lines() const { return d_->lines; }

void SqlStatement::Prepare()
{
    WatchLink(d_->connection, [this] { d_->Prepare(); });
}
bool SqlStatement::Prepared() const { return d_->Current(); }

void SqlStatement::SetParamText(std::string_view name, std::string value)
{
    Prepare();
    if (!SetNamedParameter(d_->names, d_->parameters, name, &value))
        throw DatabaseError("Field \"" + std::string(name) + "\" not found");
}

void SqlStatement::SetParamNull(std::string_view name)
{
    Prepare();
    if (!SetNamedParameter(d_->names, d_->parameters, name, nullptr))
        throw DatabaseError("Field \"" + std::string(name) + "\" not found");
}

void SqlStatement::ExecQuery()
{
    WatchLink(d_->connection, [this] { d_->Execute(); });
}

std::string SqlStatement::ResultText(std::string_view column) const
{
    const XSQLVAR* value = d_->ResultColumn(column);
    return value ? ColumnText(*value, nullptr, nullptr) : std::string();
}

std::int64_t SqlStatement::ResultInteger(std::string_view column) const
{
    const XSQLVAR* value = d_->ResultColumn(column);
    return value ? ColumnInteger(*value, nullptr, nullptr) : 0;
}

bool SqlStatement::ResultIsNull(std::string_view column) const
{
    const XSQLVAR* value = d_->ResultColumn(column);
    return !value || ColumnIsNull(*value);
}

} // namespace dataaccess
