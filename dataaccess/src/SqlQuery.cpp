#include "dataaccess/SqlQuery.h"

#include "Descriptor.h"
#include "Internals.h"
#include "Parameters.h"

#include "dataaccess/Errors.h"
#include "dataaccess/SqlStatement.h"

#include <cstring>
#include <vector>

namespace dataaccess {

struct SqlQuery::Impl final : CursorOwner {
    Connection* connection;
    Transaction* transaction;
    std::vector<std::string> lines;
    bool paramCheck = true;
    bool uniDirectional = false;

    StatementHandle statement;
    std::uint64_t preparedAttachment = 0; // 0: not prepared
    int statementType = 0;
    Descriptor columns{16};
    RowBuffer row;
    // Named parameters (ParamCheck on): names from the text, values kept
    // across executions and re-prepares.
    std::vector<std::string> names;
    bool namesRead = false;
    Descriptor inputs{4};
    std::vector<Parameter> parameters;
    bool cursorOpen = false;
    bool open = false;
    bool atEnd = true;
    long fetched = 0;
    // Rows already fetched from the server but not yet current. Reading ahead
    // makes a local (embedded) cursor behave like a remote one, whose client
    // fetches rows in batches: rows the caller updates while it walks the result
    // are still delivered as they were when fetched.
    std::vector<char> ahead;
    std::size_t aheadFirst = 0;
    std::size_t aheadRows = 0;
    bool serverAtEnd = true;

    Impl(Connection& c, Transaction& t) : connection(&c), transaction(&t)
    {
        t.impl().Register(this);
    }
    ~Impl()
    {
        if (transaction)
            transaction->impl().Unregister(this);
        ReleaseStatement(); // dropping the statement closes its cursor as well
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void CloseCursor() noexcept override
    {
        if (cursorOpen && Current())
            statement.CloseCursor();
        cursorOpen = false;
        open = false;
        aheadFirst = aheadRows = 0;
        serverAtEnd = true;
    }
    void ForgetConnection() noexcept override
    {
        aheadFirst = aheadRows = 0;
        serverAtEnd = true;
        statement.Forget();
        preparedAttachment = 0;
        connection = nullptr;
        cursorOpen = false;
        open = false;
    }
    void ForgetTransaction() noexcept override
    {
        CloseCursor();
        transaction = nullptr;
    }
    void ForgetStatement() noexcept override
    {
        aheadFirst = aheadRows = 0;
        serverAtEnd = true;
        statement.Forget();
        preparedAttachment = 0;
        cursorOpen = false;
        open = false;
        atEnd = true;
    }
    bool Current() const noexcept
    {
        return connection && connection->Connected() && preparedAttachment == connection->impl().attachment;
    }
    void ReleaseStatement() noexcept
    {
        if (Current())
            statement.Drop();
        else
            statement.Forget(); // gone with its attachment
        preparedAttachment = 0;
    }
    void Unprepare() noexcept
    {
        CloseCursor();
        ReleaseStatement();
    }
    void NewText() noexcept
    {
        Unprepare();
        names.clear();
        parameters.clear();
        namesRead = false;
    }
    void SetParameter(std::string_view name, const std::string* value)
    {
        if (!namesRead) {
            names = paramCheck ? ParseNamedParameters(JoinLines(lines)).names : std::vector<std::string>{};
            namesRead = true;
        }
        if (parameters.size() < names.size())
            parameters.resize(names.size());
        if (!SetNamedParameter(names, parameters, name, value))
            throw DatabaseError("Field \"" + std::string(name) + "\" not found");
    }

    Transaction& BoundTransaction() const
    {
        if (!transaction)
            throw DatabaseError("Transaction not assigned");
        return *transaction;
    }

    void Prepare();
    // Attached, the transaction started and the text prepared, as an open needs.
    void Ready();
    void Open();
    void Fetch();
    void ReadAhead();
    const XSQLVAR& Column(std::string_view name) const;
    const XSQLVAR* CurrentColumn(const XSQLVAR& column) const
    {
        if (!open)
            throw DatabaseError("Query is not open");
        return atEnd ? nullptr : &column;
    }
};

void SqlQuery::Impl::Prepare()
{
    std::string text = JoinLines(lines);
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        throw DatabaseError("Empty query");
    if (paramCheck)
        text = ParseNamedParameters(text).text;
    Connection::Impl& database = connection->impl();
    isc_tr_handle* trHandle = transaction->impl().RequireHandle();
    statement.Allocate(&database.handle);
    const unsigned short dialect = static_cast<unsigned short>(database.sqlDialect);
    try {
        Status status;
        columns->sqld = 0;
        isc_dsql_prepare(&status, trHandle, statement.get(), 0, text.c_str(), dialect, columns.get());
        Check(status);
        if (columns.Count() > columns.Capacity()) {
            columns.Reserve(columns.Count());
            isc_dsql_describe(&status, statement.get(), dialect, columns.get());
            Check(status);
        }
        statementType = statement.Type();
        DescribeParameters(statement.get(), dialect, inputs, parameters);
    } catch (...) {
        // Not yet marked as prepared, so nothing else would free it before detach.
        statement.Drop();
        throw;
    }
    row.Bind(columns);
    preparedAttachment = database.attachment;
}

void SqlQuery::Impl::Ready()
{
    if (!connection)
        throw DatabaseError("Database not assigned");
    connection->impl().AttachAgainIfLost();
    if (!connection->Connected())
        connection->SetConnected(true);
    Transaction& bound = BoundTransaction();
    if (!bound.Active())
        bound.SetActive(true);
    if (Current())
        return;
    connection->impl().LearnFacts();
    connection->impl().Run([&] {
        CloseCursor();
        ReleaseStatement();
        Prepare();
    });
}

void SqlQuery::Impl::Open()
{
    Ready();
    isc_tr_handle* trHandle = BoundTransaction().impl().RequireHandle();
    const unsigned short dialect = static_cast<unsigned short>(connection->impl().sqlDialect);
    bool fetchFirst = false;
    connection->impl().Run([&] {
        CloseCursor();
        XSQLDA* in = BindParameters(inputs, parameters, &connection->impl().handle, trHandle);
        Status status;
        fetched = 0;
        atEnd = true;
        if (statementType == isc_info_sql_stmt_select ||
            statementType == isc_info_sql_stmt_select_for_upd) {
            // Sent with the first fetch: opening and reading the first rows is one round trip.
            isc_dsql_execute(&status, trHandle, statement.get(), dialect, in);
            Check(status);
            cursorOpen = true;
            open = true;
            serverAtEnd = false;
            aheadFirst = aheadRows = 0;
            fetchFirst = true;
        } else {
            // A statement with at most one row of output (EXECUTE PROCEDURE) or none.
            isc_dsql_execute2(&status, trHandle, statement.get(), dialect, in,
                              columns.Count() > 0 ? columns.get() : nullptr);
            Check(status);
            open = true;
            if (columns.Count() > 0) {
                fetched = 1;
                atEnd = false;
            }
        }
    });
    if (fetchFirst)
        Fetch();
}

namespace {
constexpr std::size_t kReadAheadRows = 256;
}

// Tops the rows kept aside up to a batch, from the server.
void SqlQuery::Impl::ReadAhead()
{
    const std::size_t rowSize = row.Used();
    if (aheadFirst > 0 && aheadRows > 0)
        std::memmove(ahead.data(), ahead.data() + aheadFirst * rowSize, aheadRows * rowSize);
    aheadFirst = 0;
    ahead.resize(kReadAheadRows * rowSize);
    const unsigned short dialect = static_cast<unsigned short>(connection->impl().sqlDialect);
    connection->impl().Run([&] {
        while (aheadRows < kReadAheadRows) {
            Status status;
            const ISC_STATUS result = isc_dsql_fetch(&status, statement.get(), dialect, columns.get());
            if (result == 100) {
                serverAtEnd = true;
                return;
            }
            Check(status);
            std::memcpy(ahead.data() + aheadRows * rowSize, row.Data(), rowSize);
            ++aheadRows;
        }
    });
}

void SqlQuery::Impl::Fetch()
{
    if (!cursorOpen) {
        atEnd = true;
        return;
    }
    // Keep at least the next row fetched before the caller sees this one.
    if (aheadRows <= 1 && !serverAtEnd)
        ReadAhead();
    if (aheadRows == 0) {
        atEnd = true;
        return;
    }
    row.Restore(ahead.data() + aheadFirst * row.Used());
    ++aheadFirst;
    --aheadRows;
    atEnd = false;
    ++fetched;
}

const XSQLVAR& SqlQuery::Impl::Column(std::string_view name) const
{
    if (preparedAttachment != 0)
        for (int i = 0; i < columns.Count(); ++i)
            if (EqualsIgnoreCase(ColumnName(columns[i]), name))
                return columns[i];
    throw DatabaseError("Field '" + std::string(name) + "' not found");
}

SqlQuery::SqlQuery(Connection& connection, Transaction& transaction)
    : d_(std::make_unique<Impl>(connection, transaction))
{
}

SqlQuery::~SqlQuery() = default;

void SqlQuery::SetParamCheck(bool on)
{
    if (on != d_->paramCheck) {
        d_->NewText();
        d_->paramCheck = on;
    }
}
void SqlQuery::SetUniDirectional(bool on) { d_->uniDirectional = on; }

void SqlQuery::AddLine(std::string line)
{
    d_->NewText();
    d_->lines.push_back(std::move(line));
}

void SqlQuery::CopyLinesFrom(const SqlQuery& other)
{
    d_->NewText();
    const std::vector<std::string> copy = other.d_->lines; // other may be this query
    d_->lines.insert(d_->lines.end(), copy.begin(), copy.end());
}

const std::vector<std::string>& SqlQuery::Lines() const { return d_->lines; }

void SqlQuery::Prepare()
{
    WatchLink(d_->connection, [this] { d_->Ready(); });
}
bool SqlQuery::Prepared() const { return d_->Current(); }
void SqlQuery::SetParamText(std::string_view name, const std::string& value) { d_->SetParameter(name, &value); }
void SqlQuery::SetParamNull(std::string_view name) { d_->SetParameter(name, nullptr); }

void SqlQuery::Open()
{
    WatchLink(d_->connection, [this] { d_->Open(); });
}
void SqlQuery::Close() { d_->CloseCursor(); }
bool SqlQuery::IsOpen() const { return d_->open; }
long SqlQuery::FetchedCount() const { return d_->fetched; }
bool SqlQuery::AtEnd() const { return d_->atEnd; }

void SqlQuery::NextRow()
{
    if (!d_->open)
        throw DatabaseError("Query is not open");
    if (!d_->atEnd)
        WatchLink(d_->connection, [this] { d_->Fetch(); });
}

namespace {

// A blob is read from the server; every other value is in the row already.
std::string CurrentText(Connection* connection, Transaction* transaction, const XSQLVAR& value)
{
    if ((value.sqltype & ~1) != SQL_BLOB || ColumnIsNull(value))
        return ColumnText(value, nullptr, nullptr);
    return WatchLink(connection, [&] {
        std::string text;
        connection->impl().Run(
            [&] { text = ColumnText(value, &connection->impl().handle, &transaction->impl().handle); });
        return text;
    });
}

} // namespace

std::string SqlQuery::FieldText(std::string_view column) const
{
    const XSQLVAR* value = d_->CurrentColumn(d_->Column(column));
    if (!value)
        return {};
    return CurrentText(d_->connection, d_->transaction, *value);
}

std::int64_t SqlQuery::FieldInteger(std::string_view column) const
{
    const XSQLVAR* value = d_->CurrentColumn(d_->Column(column));
    if (!value)
        return 0;
    return WatchLink(d_->connection, [&] {
        return ColumnInteger(*value, &d_->connection->impl().handle, &d_->transaction->impl().handle);
    });
}

bool SqlQuery::FieldIsNull(std::string_view column) const
{
    const XSQLVAR* value = d_->CurrentColumn(d_->Column(column));
    return !value || ColumnIsNull(*value);
}

int SqlQuery::FieldCount() const { return d_->preparedAttachment ? d_->columns.Count() : 0; }

std::string SqlQuery::FieldName(int index) const
{
    if (index < 0 || index >= FieldCount())
        throw DatabaseError("Field index " + std::to_string(index) + " out of range");
    return std::string(ColumnName(d_->columns[index]));
}

std::string SqlQuery::FieldText(int index) const
{
    if (index < 0 || index >= FieldCount())
        throw DatabaseError("Field index " + std::to_string(index) + " out of range");
    const XSQLVAR* value = d_->CurrentColumn(d_->columns[index]);
    if (!value)
        return {};
    return CurrentText(d_->connection, d_->transaction, *value);
}

namespace {

// The select as a derived table, after the attachment's number and the
// database's dialect: what they cost is the select's own round trip.
std::string WithAttachmentFacts(const std::string& sql, int columns)
{
    std::string text = "SELECT CURRENT_CONNECTION, (SELECT MON$SQL_DIALECT FROM MON$DATABASE), Q.* FROM (" + sql +
                       "\r\n) Q (";
    for (int i = 0; i < columns; ++i)
        text += (i ? ", C" : "C") + std::to_string(i);
    return text + ")";
}

std::vector<std::optional<std::int64_t>> ExecuteOneRow(Connection::Impl& database, isc_tr_handle* trHandle,
                                                       const std::string& sql, int columns)
{
    Descriptor out(static_cast<short>(columns));
    out->sqld = static_cast<short>(columns);
    std::vector<ISC_INT64> values(static_cast<std::size_t>(columns));
    std::vector<short> indicators(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) {
        XSQLVAR& slot = out[i];
        slot.sqltype = SQL_INT64 | 1;
        slot.sqlscale = 0;
        slot.sqllen = sizeof(ISC_INT64);
        slot.sqldata = reinterpret_cast<char*>(&values[static_cast<std::size_t>(i)]);
        slot.sqlind = &indicators[static_cast<std::size_t>(i)];
    }
    const auto dialect = static_cast<unsigned short>(database.sqlDialect);
    database.Run([&] {
        Status status;
        isc_dsql_exec_immed2(&status, &database.handle, trHandle, 0, sql.c_str(), dialect, nullptr, out.get());
        Check(status);
    });
    std::vector<std::optional<std::int64_t>> row;
    for (int i = 0; i < columns; ++i)
        row.push_back(indicators[static_cast<std::size_t>(i)] < 0
                          ? std::nullopt
                          : std::optional<std::int64_t>(values[static_cast<std::size_t>(i)]));
    return row;
}

} // namespace

std::vector<std::optional<std::int64_t>> SelectOneRow(Connection& connection, Transaction& transaction,
                                                      const std::string& sql, int columns)
{
    return WatchLink(&connection, [&] {
        Connection::Impl& database = connection.impl();
        database.AttachAgainIfLost();
        if (!connection.Connected())
            connection.SetConnected(true);
        if (!transaction.Active())
            transaction.SetActive(true);
        isc_tr_handle* trHandle = transaction.impl().RequireHandle();
        if (!database.factsKnown) {
            try {
                auto row = ExecuteOneRow(database, trHandle, WithAttachmentFacts(sql, columns), columns + 2);
                database.AdoptFacts(row[0].value_or(0), row[1]);
                row.erase(row.begin(), row.begin() + 2);
                return row;
            } catch (const ConnectionLostError&) {
                throw;
            } catch (const DatabaseError&) {
                // The select may not stand as a derived table: it is sent as it is.
            }
        }
        return ExecuteOneRow(database, trHandle, sql, columns);
    });
}

} // namespace dataaccess
