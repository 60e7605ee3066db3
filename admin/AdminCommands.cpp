#include "AdminCommands.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Cp1252.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlScript.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>
#include <parcels/ColumnWidths.h>
#include <parcels/ScanLog.h>

#include <QDate>
#include <QRegularExpression>
#include <QString>

#include <initializer_list>
#include <ostream>
#include <string_view>
#include <unordered_set>
#include <stdexcept>

namespace admin {
namespace {

void SetCredentials(dataaccess::Connection& connection, const std::string& name,
                    const Credentials& credentials)
{
    connection.SetConnected(false);
    connection.SetLoginPrompt(false);
    connection.SetDatabaseName(name);
    connection.SetSQLDialect(3);
    connection.Params().clear();
    connection.Params().push_back("user_name=" + credentials.user);
    connection.Params().push_back("password=" + credentials.password);
}

bool Exists(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
            const std::string& kind, const std::string& name)
{
    std::string table;
    std::string column;
    if (kind == "TABLE") {
        table = "RDB$RELATIONS";
        column = "RDB$RELATION_NAME";
    } else if (kind == "INDEX") {
        table = "RDB$INDICES";
        column = "RDB$INDEX_NAME";
    } else {
        table = "RDB$GENERATORS";
        column = "RDB$GENERATOR_NAME";
    }
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine("SELECT COUNT(*) AS N FROM " + table + " WHERE " + column + "=" + parcels::QuotedLiteral(name));
    query.Open();
    return query.FieldInteger("N") > 0;
}

std::string Cp1252ToUtf8(const std::string& bytes)
{
    return cp1252::ToUtf8(bytes);
}

std::string CsvField(const std::string& utf8)
{
    if (utf8.find_first_of(";\"\r\n") == std::string::npos)
        return utf8;
    std::string out = "\"";
    for (char c : utf8) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

QDate ParseDate(const std::string& text, const char* option)
{
    const QDate date = QDate::fromString(QString::fromStdString(text), "yyyy-MM-dd");
    if (!date.isValid())
        throw std::invalid_argument(std::string(option) + " wants a date as YYYY-MM-DD, not '" + text + "'");
    return date;
}

} // namespace

void Attach(dataaccess::Connection& connection, const std::string& name, const Credentials& credentials)
{
    SetCredentials(connection, name, credentials);
    connection.SetConnected(true);
}

bool AttachOrCreate(dataaccess::Connection& connection, const std::string& name,
                    const Credentials& credentials)
{
    try {
        Attach(connection, name, credentials);
        return false;
    } catch (const dataaccess::NoAnswerError&) {
        throw; // a server that does not answer would not create it either
    } catch (const dataaccess::DatabaseError& attachError) {
        SetCredentials(connection, name, credentials);
        connection.Params().clear();
        connection.Params().push_back("USER " + parcels::QuotedLiteral(credentials.user));
        connection.Params().push_back("PASSWORD " + parcels::QuotedLiteral(credentials.password));
        connection.Params().push_back("PAGE_SIZE 4096");
        try {
            connection.CreateDatabase();
        } catch (const dataaccess::DatabaseError&) {
            // Creation never overwrites a file; the attach failure is the useful one.
            throw dataaccess::DatabaseError(std::string(attachError.what()), attachError.gdsCode(),
                                            attachError.sqlCode(), attachError.sqlState());
        }
        return true;
    }
}

std::vector<std::string> CreateMissingSchema(dataaccess::Connection& connection,
                                             dataaccess::Transaction& transaction,
                                             const std::string& schemaScript)
{
    static const QRegularExpression createPattern(
        R"(^\s*(?:--[^\n]*\n\s*|/\*.*?\*/\s*)*CREATE\s+(?:(?:UNIQUE|ASC|ASCENDING|DESC|DESCENDING)\s+)*(TABLE|GENERATOR|SEQUENCE|INDEX)\s+([A-Za-z][A-Za-z0-9_$]*))",
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);

    std::vector<std::string> created;
    bool lastCreated = false;
    for (const auto& statement : dataaccess::SplitSqlScript(schemaScript)) {
        const auto match = createPattern.match(QString::fromStdString(statement));
        if (match.hasMatch()) {
            std::string kind = match.captured(1).toUpper().toStdString();
            if (kind == "SEQUENCE")
                kind = "GENERATOR";
            const std::string name = match.captured(2).toUpper().toStdString();
            transaction.SetActive(true);
            lastCreated = !Exists(connection, transaction, kind, name);
            if (lastCreated)
                created.push_back(name);
        }
        // A statement that creates nothing of its own belongs to the object before it.
        if (!lastCreated)
            continue;
        transaction.SetActive(true);
        dataaccess::SqlStatement ddl(connection, transaction);
        ddl.SetParamCheck(false);
        ddl.AddLine(statement);
        ddl.ExecQuery();
        transaction.Commit();
    }
    if (transaction.Active())
        transaction.Commit();
    return created;
}

ParcelColumnWidths ReadParcelColumnWidths(dataaccess::Connection& connection,
                                          dataaccess::Transaction& transaction)
{
    transaction.SetActive(true);
    const auto columns = parcels::ReadColumnWidths(connection, transaction, "COLLI");
    auto width = [&](const char* column) {
        const auto it = columns.find(column);
        return it == columns.end() ? 0 : it->second;
    };
    ParcelColumnWidths widths;
    widths.barcodeSpeed = width("BARCODESPEED");
    widths.codiceEan = width("CODICEEAN");
    widths.codiceEanErrato = width("CODICEEAN_ERRATO");
    if (widths.barcodeSpeed == 0)
        throw std::runtime_error("the database has no table COLLI with a column BARCODESPEED (run init first)");
    return widths;
}

std::vector<CsvProblem> CheckWidths(const std::vector<ParcelRow>& rows, const ParcelColumnWidths& widths)
{
    std::vector<CsvProblem> problems;
    auto check = [&](const ParcelRow& row, const std::string& value, int width, const char* column) {
        if (width > 0 && value.size() > static_cast<size_t>(width))
            problems.push_back({row.lineNumber, std::string(column) + " is longer than " +
                                                    std::to_string(width) + " characters"});
    };
    for (const auto& row : rows) {
        check(row, row.barcodeSpeed, widths.barcodeSpeed, "BARCODESPEED");
        check(row, row.codiceEan, widths.codiceEan, "CODICEEAN");
        if (row.codiceEanErrato)
            check(row, *row.codiceEanErrato, widths.codiceEanErrato, "CODICEEAN_ERRATO");
    }
    return problems;
}

namespace {

// The server compares text with trailing blanks ignored; so must the lookup of
// parcels already present.
std::string_view ComparisonKey(std::string_view value)
{
    while (!value.empty() && value.back() == ' ')
        value.remove_suffix(1);
    return value;
}

std::unordered_set<std::string> ReadKnownBarcodes(dataaccess::Connection& connection,
                                                  dataaccess::Transaction& transaction)
{
    std::unordered_set<std::string> known;
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.SetUniDirectional(true);
    query.AddLine("SELECT BARCODESPEED FROM COLLI");
    query.Open();
    for (; !query.AtEnd(); query.NextRow())
        known.emplace(ComparisonKey(query.FieldText("BARCODESPEED")));
    return known;
}

void AddLines(dataaccess::SqlStatement& statement, std::initializer_list<const char*> lines)
{
    statement.SetParamCheck(true);
    for (const char* line : lines)
        statement.AddLine(line);
}

void SetOptional(dataaccess::SqlStatement& statement, const char* name, const std::string& value)
{
    if (value.empty())
        statement.SetParamNull(name);
    else
        statement.SetParamText(name, value);
}

} // namespace

void ImportParcels(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                   const std::vector<ParcelRow>& rows, const std::function<void(size_t)>& progress)
{
    transaction.SetActive(false);
    transaction.SetActive(true);
    try {
        // A plain insert for a new parcel is far cheaper than UPDATE OR INSERT,
        // which searches the index first; the same effect, decided here.
        std::unordered_set<std::string> known = ReadKnownBarcodes(connection, transaction);
        dataaccess::SqlStatement insertFull(connection, transaction);
        AddLines(insertFull, {"INSERT INTO COLLI (BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO)",
                              "VALUES (:BARCODESPEED, :CODICEEAN, :CODICEEAN_ERRATO)"});
        dataaccess::SqlStatement insertShort(connection, transaction);
        AddLines(insertShort, {"INSERT INTO COLLI (BARCODESPEED, CODICEEAN)",
                               "VALUES (:BARCODESPEED, :CODICEEAN)"});
        dataaccess::SqlStatement updateFull(connection, transaction);
        AddLines(updateFull, {"UPDATE COLLI SET CODICEEAN=:CODICEEAN, CODICEEAN_ERRATO=:CODICEEAN_ERRATO",
                              "WHERE BARCODESPEED=:BARCODESPEED"});
        // Two-field lines leave a known faulty EAN of an existing parcel alone.
        dataaccess::SqlStatement updateShort(connection, transaction);
        AddLines(updateShort, {"UPDATE COLLI SET CODICEEAN=:CODICEEAN", "WHERE BARCODESPEED=:BARCODESPEED"});

        size_t done = 0;
        for (const auto& row : rows) {
            const bool exists = !known.emplace(ComparisonKey(row.barcodeSpeed)).second;
            dataaccess::SqlStatement& statement = exists ? (row.codiceEanErrato ? updateFull : updateShort)
                                                         : (row.codiceEanErrato ? insertFull : insertShort);
            statement.SetParamText("BARCODESPEED", row.barcodeSpeed);
            SetOptional(statement, "CODICEEAN", row.codiceEan);
            if (row.codiceEanErrato)
                SetOptional(statement, "CODICEEAN_ERRATO", *row.codiceEanErrato);
            try {
                statement.ExecQuery();
            } catch (const std::exception& e) {
                throw std::runtime_error("line " + std::to_string(row.lineNumber) + ": " + e.what());
            }
            if (progress && (++done % 4096 == 0 || done == rows.size()))
                progress(done);
        }
        transaction.Commit();
    } catch (...) {
        if (transaction.Active())
            transaction.Rollback();
        throw;
    }
}

const std::vector<std::string>& StationPrivileges()
{
    // Lookup and batch read COLLI; the batch fills only the faulty EAN; the log
    // insert takes its ID from the generator, which Firebird 3 guards as well.
    static const std::vector<std::string> privileges = {
        "SELECT ON COLLI",
        "UPDATE (CODICEEAN_ERRATO) ON COLLI",
        "INSERT ON LOGSPARATE",
        "USAGE ON GENERATOR IDLOGSPARATECOUNTER",
    };
    return privileges;
}

namespace {

// Names go into DDL text, where no parameter can stand: only plain identifiers pass.
std::string PlainIdentifier(const std::string& name, const char* what)
{
    static const QRegularExpression pattern("^[A-Za-z][A-Za-z0-9_$]{0,30}$");
    if (!pattern.match(QString::fromStdString(name)).hasMatch())
        throw std::invalid_argument(std::string(what) + " '" + name +
                                    "' is not a plain name (a letter, then letters, digits, _ or $; at most 31)");
    const std::string upper = QString::fromStdString(name).toUpper().toStdString();
    if (upper.rfind("RDB$", 0) == 0 || upper == "SYSDBA" || upper == "PUBLIC")
        throw std::invalid_argument(std::string(what) + " '" + name + "' is reserved by Firebird");
    return upper;
}

void RunDdl(dataaccess::Connection& connection, dataaccess::Transaction& transaction, const std::string& sql)
{
    transaction.SetActive(true);
    dataaccess::SqlStatement statement(connection, transaction);
    statement.SetParamCheck(false);
    statement.AddLine(sql);
    statement.ExecQuery();
}

bool Counted(dataaccess::Connection& connection, dataaccess::Transaction& transaction, const std::string& sql)
{
    transaction.SetActive(true);
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine(sql);
    query.Open();
    return query.FieldInteger("N") > 0;
}

} // namespace

StationAccount CheckedStationAccount(const StationAccount& account)
{
    StationAccount checked = account;
    checked.user = PlainIdentifier(account.user, "user name");
    checked.role = PlainIdentifier(account.role, "role name");
    if (checked.user == checked.role)
        throw std::invalid_argument("the user and the role need different names");
    return checked;
}

std::vector<std::string> SetUpStationAccount(dataaccess::Connection& connection,
                                             dataaccess::Transaction& transaction,
                                             const StationAccount& account)
{
    const StationAccount checked = CheckedStationAccount(account);
    const std::string& user = checked.user;
    const std::string& role = checked.role;
    std::vector<std::string> done;
    try {
        const bool userExists = Counted(connection, transaction,
                                        "SELECT COUNT(*) AS N FROM SEC$USERS WHERE SEC$USER_NAME=" +
                                            parcels::QuotedLiteral(user) + " AND SEC$PLUGIN='Srp'");
        RunDdl(connection, transaction,
               "CREATE OR ALTER USER " + user + " PASSWORD " + parcels::QuotedLiteral(account.password) +
                   " USING PLUGIN Srp");
        transaction.Commit();
        done.push_back(userExists ? "user " + user + ": password set" : "user " + user + ": created");

        const bool roleExists = Counted(connection, transaction,
                                        "SELECT COUNT(*) AS N FROM RDB$ROLES WHERE RDB$ROLE_NAME=" +
                                            parcels::QuotedLiteral(role));
        if (roleExists) {
            // A role that existed may hold more than the station needs.
            RunDdl(connection, transaction, "REVOKE ALL ON ALL FROM ROLE " + role);
            done.push_back("role " + role + ": every earlier privilege revoked");
        } else {
            RunDdl(connection, transaction, "CREATE ROLE " + role);
            done.push_back("role " + role + ": created");
        }
        transaction.Commit();
        for (const auto& privilege : StationPrivileges()) {
            RunDdl(connection, transaction, "GRANT " + privilege + " TO ROLE " + role);
            done.push_back("role " + role + ": granted " + privilege);
        }
        RunDdl(connection, transaction, "GRANT " + role + " TO USER " + user);
        done.push_back("user " + user + ": granted role " + role);
        transaction.Commit();
    } catch (...) {
        if (transaction.Active())
            transaction.Rollback();
        throw;
    }
    return done;
}

void ExportLog(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
               const std::optional<std::string>& from, const std::optional<std::string>& to,
               std::ostream& out)
{
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.SetUniDirectional(true);
    query.AddLine("SELECT ID, CAST(DATAORA AS VARCHAR(24)) AS DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS");
    query.AddLine("FROM LOGSPARATE");
    // The dates were checked, so they are safe inside the text.
    std::string where = "WHERE 1=1";
    if (from)
        where += " AND DATAORA >= '" + ParseDate(*from, "--from").toString("yyyy-MM-dd").toStdString() + "'";
    if (to)
        where += " AND DATAORA < '" + ParseDate(*to, "--to").addDays(1).toString("yyyy-MM-dd").toStdString() + "'";
    query.AddLine(where);
    query.AddLine("ORDER BY DATAORA, ID");
    transaction.SetActive(true);
    query.Open();
    out << "ID;DATAORA;BARCODESPEED;CODICEEANLETTO;STATUS\n";
    for (; !query.AtEnd(); query.NextRow()) {
        out << query.FieldText("ID") << ';' << query.FieldText("DATAORA") << ';'
            << CsvField(Cp1252ToUtf8(query.FieldText("BARCODESPEED"))) << ';'
            << CsvField(Cp1252ToUtf8(query.FieldText("CODICEEANLETTO"))) << ';'
            << CsvField(Cp1252ToUtf8(query.FieldText("STATUS"))) << '\n';
    }
    query.Close();
    transaction.Commit();
}

} // namespace admin
