#include "dataaccess/SqlStatement.h"

#include "Descriptor.h"
#include "Internals.h"

#include "dataaccess/Errors.h"

#include <algorithm>
#include <limits>

namespace dataaccess {
namespace {

// One positional parameter: its described type and the value set for it.
struct Parameter {
    short type = SQL_TEXT;
    std::string value;
    bool isNull = true;
    short indicator = -1;
    ISC_QUAD blob{};
};

} // namespace

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
    void Bind(isc_tr_handle* trHandle);
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
    const unsigned short dialect = static_cast<unsigned short>(database.sqlDialect);
    database.Run([&] {
        statement.Allocate(&database.handle);
        try {
            Status status;
            isc_dsql_prepare(&status, trHandle, statement.get(), 0, text.c_str(), dialect, nullptr);
            Check(status);
            statementType = statement.Type();
            inputs->sqld = 0;
            isc_dsql_describe_bind(&status, statement.get(), dialect, inputs.get());
            Check(status);
            if (inputs.Count() > inputs.Capacity()) {
                inputs.Reserve(inputs.Count());
                isc_dsql_describe_bind(&status, statement.get(), dialect, inputs.get());
                Check(status);
            }
        } catch (...) {
            // Not yet marked as prepared, so nothing else would free it before detach.
            statement.Drop();
            throw;
        }
    });
    // Values set before a re-prepare stay with their names.
    std::vector<Parameter> previous = std::move(parameters);
    parameters.assign(static_cast<std::size_t>(inputs.Count()), Parameter{});
    for (int i = 0; i < inputs.Count(); ++i) {
        parameters[i].type = static_cast<short>(inputs[i].sqltype & ~1);
        if (static_cast<std::size_t>(i) < previous.size()) {
            parameters[i].value = std::move(previous[i].value);
            parameters[i].isNull = previous[i].isNull;
        }
    }
    preparedAttachment = database.attachment;
}

void SqlStatement::Impl::Bind(isc_tr_handle* trHandle)
{
    for (int i = 0; i < inputs.Count(); ++i) {
        XSQLVAR& slot = inputs[i];
        Parameter& parameter = parameters[static_cast<std::size_t>(i)];
        parameter.indicator = parameter.isNull ? -1 : 0;
        slot.sqlind = &parameter.indicator;
        slot.sqlscale = 0;
        if (parameter.type == SQL_BLOB && !parameter.isNull) {
            // A text value for a blob travels as a new blob.
            Status status;
            isc_blob_handle blob = 0;
            isc_create_blob2(&status, &connection->impl().handle, trHandle, &blob,
                             &parameter.blob, 0, nullptr);
            Check(status);
            std::size_t done = 0;
            while (done < parameter.value.size()) {
                const std::size_t chunk = std::min<std::size_t>(parameter.value.size() - done, 32768);
                isc_put_segment(&status, &blob, static_cast<unsigned short>(chunk),
                                parameter.value.data() + done);
                if (status.Failed()) {
                    Status cancelStatus;
                    isc_cancel_blob(&cancelStatus, &blob);
                    RaiseStatus(status.vector);
                }
                done += chunk;
            }
            isc_close_blob(&status, &blob);
            Check(status);
            slot.sqltype = SQL_BLOB | 1;
            slot.sqllen = sizeof(ISC_QUAD);
            slot.sqldata = reinterpret_cast<char*>(&parameter.blob);
            continue;
        }
        if (parameter.value.size() > static_cast<std::size_t>(std::numeric_limits<short>::max()))
            throw DatabaseError("Parameter value is too long");
        // Text of the connection's character set; the server converts it to the column's type.
        slot.sqltype = SQL_TEXT | 1;
        slot.sqlsubtype = 0;
        slot.sqllen = static_cast<ISC_SHORT>(parameter.value.size());
        slot.sqldata = parameter.value.data();
    }
}

void SqlStatement::Impl::Execute()
{
    Prepare();
    isc_tr_handle* trHandle = TransactionHandle();
    connection->impl().Run([&] {
        Bind(trHandle);
        Status status;
        isc_dsql_execute(&status, trHandle, statement.get(),
                         static_cast<unsigned short>(connection->impl().sqlDialect),
                         inputs.Count() > 0 ? inputs.get() : nullptr);
        Check(status);
        if (statementType == isc_info_sql_stmt_select ||
            statementType == isc_info_sql_stmt_select_for_upd)
            statement.CloseCursor(); // no rows are read here
    });
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
    bool found = false;
    for (std::size_t i = 0; i < d_->names.size() && i < d_->parameters.size(); ++i) {
        if (!EqualsIgnoreCase(d_->names[i], name))
            continue;
        Parameter& parameter = d_->parameters[i];
        parameter.value = value;
        parameter.isNull = false;
        found = true;
    }
    if (!found)
        throw DatabaseError("Field \"" + std::string(name) + "\" not found");
}

void SqlStatement::SetParamNull(std::string_view name)
{
    Prepare();
    bool found = false;
    for (std::size_t i = 0; i < d_->names.size() && i < d_->parameters.size(); ++i) {
        if (EqualsIgnoreCase(d_->names[i], name)) {
            d_->parameters[i].isNull = true;
            d_->parameters[i].value.clear();
            found = true;
        }
    }
    if (!found)
        throw DatabaseError("Field \"" + std::string(name) + "\" not found");
}

void SqlStatement::ExecQuery()
{
    WatchLink(d_->connection, [this] { d_->Execute(); });
}

} // namespace dataaccess
