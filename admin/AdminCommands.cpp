#include "AdminCommands.h"
#include "LogDays.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Cp1252.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlScript.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>
#include <parcels/ColumnWidths.h>
#include <parcels/ScanLog.h>

#include <QRegularExpression>
#include <QString>

#include <initializer_list>
#include <map>
#include <ostream>
#include <string_view>
#include <unordered_set>
#include <stdexcept>

namespace admin {
namespace {

void SetCredentials(dataaccess::Connection& connection, const std::string& name,
                    const Credentials& credentials, const std::string& characterSet = {})
{
    connection.SetConnected(false);
    connection.SetLoginPrompt(false);
    connection.SetDatabaseName(name);
    connection.SetSQLDialect(3);
    connection.Params().clear();
    connection.Params().push_back("user_name=" + credentials.user);
    connection.Params().push_back("password=" + credentials.password);
    if (!characterSet.empty())
        connection.Params().push_back("lc_ctype=" + characterSet);
}

// kind as the schema script names it; a column is named TABLE.COLUMN.
bool Exists(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
            const std::string& kind, const std::string& name)
{
    static const std::map<std::string, std::pair<const char*, const char*>> catalogue = {
        {"TABLE", {"RDB$RELATIONS", "RDB$RELATION_NAME"}},
        {"INDEX", {"RDB$INDICES", "RDB$INDEX_NAME"}},
        {"GENERATOR", {"RDB$GENERATORS", "RDB$GENERATOR_NAME"}},
        {"TRIGGER", {"RDB$TRIGGERS", "RDB$TRIGGER_NAME"}},
        {"PROCEDURE", {"RDB$PROCEDURES", "RDB$PROCEDURE_NAME"}},
        {"EXCEPTION", {"RDB$EXCEPTIONS", "RDB$EXCEPTION_NAME"}},
    };
    std::string where;
    std::string table;
    if (kind == "COLUMN") {
        const auto dot = name.find('.');
        table = "RDB$RELATION_FIELDS";
        where = "RDB$RELATION_NAME=" + parcels::QuotedLiteral(name.substr(0, dot)) +
                " AND RDB$FIELD_NAME=" + parcels::QuotedLiteral(name.substr(dot + 1));
    } else {
        const auto& [catalogueTable, column] = catalogue.at(kind);
        table = catalogueTable;
        where = std::string(column) + "=" + parcels::QuotedLiteral(name);
    }
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine("SELECT COUNT(*) AS N FROM " + table + " WHERE " + where);
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

} // namespace

void Attach(dataaccess::Connection& connection, const std::string& name, const Credentials& credentials,
            const std::string& characterSet)
{
    SetCredentials(connection, name, credentials, characterSet);
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
        } catch (const dataaccess::DatabaseError& createError) {
            // Creation never overwrites a file: both reasons are needed to see
            // why neither worked (a wrong password, a folder the server may not write).
            throw dataaccess::DatabaseError("cannot open " + name + ": " + attachError.what() +
                                                "\ncannot create it: " + createError.what(),
                                            attachError.gdsCode(), attachError.sqlCode(), attachError.sqlState());
        }
        return true;
    }
}

std::vector<std::string> CreateMissingSchema(dataaccess::Connection& connection,
                                             dataaccess::Transaction& transaction,
                                             const std::string& schemaScript)
{
    static const QRegularExpression createPattern(
        R"(^\s*(?:--[^\n]*\n\s*|/\*.*?\*/\s*)*(?:CREATE\s+(?:GLOBAL\s+TEMPORARY\s+)?(?:(?:UNIQUE|ASC|ASCENDING|DESC|DESCENDING)\s+)*(TABLE|GENERATOR|SEQUENCE|INDEX|TRIGGER|PROCEDURE|EXCEPTION)\s+([A-Za-z][A-Za-z0-9_$]*)|ALTER\s+TABLE\s+([A-Za-z][A-Za-z0-9_$]*)\s+ADD\s+([A-Za-z][A-Za-z0-9_$]*)))",
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);

    std::vector<std::string> created;
    bool lastCreated = false;
    for (const auto& statement : dataaccess::SplitSqlScript(schemaScript)) {
        const auto match = createPattern.match(QString::fromStdString(statement));
        if (match.hasMatch()) {
            std::string kind = match.captured(1).toUpper().toStdString();
            if (kind == "SEQUENCE")
                kind = "GENERATOR";
            std::string name = match.captured(2).toUpper().toStdString();
            if (kind.empty()) { // a column added to an older table
                kind = "COLUMN";
                name = match.captured(3).toUpper().toStdString() + "." + match.captured(4).toUpper().toStdString();
            }
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
    // row takes its ID and time from its trigger, which alone may move the
    // counter; the procedure tells a station whether a row of its own is there;
    // the station's copy of the parcels reads the changes through a procedure,
    // never the change log itself.
    static const std::vector<std::string> privileges = {
        "SELECT ON COLLI",
        "UPDATE (CODICEEAN_ERRATO) ON COLLI",
        "INSERT ON LOGSPARATE",
        "EXECUTE ON PROCEDURE SCANSIONE_REGISTRATA",
        "EXECUTE ON PROCEDURE COLLI_MODIFICHE_DOPO",
    };
    return privileges;
}

namespace {

// Names go into DDL text, where no parameter can stand: only plain identifiers
// pass, matched whole (no line end or blank slips through).
std::string PlainIdentifier(const std::string& name, const char* what)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern("[A-Za-z][A-Za-z0-9_$]{0,30}"));
    if (!pattern.match(QString::fromStdString(name)).hasMatch())
        throw std::invalid_argument(std::string(what) + " '" + name +
                                    "' is not a plain name (a letter, then letters, digits, _ or $; at most 31)");
    const std::string upper = QString::fromStdString(name).toUpper().toStdString();
    for (const char* prefix : {"RDB$", "SEC$", "MON$"})
        if (upper.rfind(prefix, 0) == 0)
            throw std::invalid_argument(std::string(what) + " '" + name + "' is reserved by Firebird");
    if (upper == "SYSDBA" || upper == "PUBLIC")
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

std::vector<std::string> Column(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                                const std::string& sql)
{
    transaction.SetActive(true);
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine(sql);
    query.Open();
    std::vector<std::string> values;
    for (; !query.AtEnd(); query.NextRow())
        values.push_back(query.FieldText(0));
    return values;
}

// A station role is one that may update the faulty EAN alone: the one
// station-user makes, under whatever name.
std::vector<std::string> StationRoles(dataaccess::Connection& connection, dataaccess::Transaction& transaction)
{
    return Column(connection, transaction,
                  "SELECT DISTINCT TRIM(RDB$USER) FROM RDB$USER_PRIVILEGES WHERE RDB$USER_TYPE=13 "
                  "AND RDB$RELATION_NAME='COLLI' AND RDB$PRIVILEGE='U' AND RDB$FIELD_NAME='CODICEEAN_ERRATO' "
                  "ORDER BY 1");
}

// The role's privileges as "OBJECT PRIVILEGE[ COLUMN]", sorted.
std::vector<std::string> RolePrivileges(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                                        const std::string& role)
{
    return Column(connection, transaction,
                  "SELECT TRIM(RDB$RELATION_NAME) || ' ' || TRIM(RDB$PRIVILEGE) || COALESCE(' ' || "
                  "TRIM(RDB$FIELD_NAME), '') FROM RDB$USER_PRIVILEGES WHERE RDB$USER=" +
                      parcels::QuotedLiteral(role) + " ORDER BY 1");
}

// Takes every privilege from the role and grants it the station's alone.
std::vector<std::string> GrantStationRights(dataaccess::Connection& connection,
                                            dataaccess::Transaction& transaction, const std::string& role)
{
    std::vector<std::string> done;
    RunDdl(connection, transaction, "REVOKE ALL ON ALL FROM ROLE " + role);
    for (const auto& privilege : StationPrivileges()) {
        RunDdl(connection, transaction, "GRANT " + privilege + " TO ROLE " + role);
        done.push_back("role " + role + ": granted " + privilege);
    }
    transaction.Commit();
    return done;
}

// The trigger names the station roles, so that other writers pay nothing for it.
void GuardFaultyEans(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                     const std::vector<std::string>& roles)
{
    std::string list;
    for (const auto& role : roles)
        list += (list.empty() ? "" : ", ") + parcels::QuotedLiteral(role);
    RunDdl(connection, transaction,
           "CREATE OR ALTER TRIGGER COLLI_BU FOR COLLI ACTIVE BEFORE UPDATE POSITION 0 AS\n"
           "BEGIN\n"
           "  IF (CURRENT_ROLE IN (" + list + ")\n"
           "      AND NEW.CODICEEAN_ERRATO IS DISTINCT FROM OLD.CODICEEAN_ERRATO) THEN\n"
           "  BEGIN\n"
           "    IF (OLD.CODICEEAN_ERRATO IS NOT NULL AND NOT EXISTS\n"
           "        (SELECT 1 FROM COLLI_RIEMPITI WHERE BARCODESPEED = OLD.BARCODESPEED)) THEN\n"
           "      EXCEPTION COLLI_EAN_ERRATO_IMPOSTATO;\n"
           "    IF (OLD.CODICEEAN_ERRATO IS NULL AND NOT EXISTS\n"
           "        (SELECT 1 FROM COLLI_RIEMPITI WHERE BARCODESPEED = NEW.BARCODESPEED)) THEN\n"
           "    BEGIN\n"
           "      DELETE FROM COLLI_RIEMPITI;\n"
           "      INSERT INTO COLLI_RIEMPITI (BARCODESPEED) VALUES (NEW.BARCODESPEED);\n"
           "    END\n"
           "  END\n"
           "END");
    transaction.Commit();
    RunDdl(connection, transaction, "GRANT SELECT, INSERT, DELETE ON COLLI_RIEMPITI TO TRIGGER COLLI_BU");
    RunDdl(connection, transaction, "GRANT USAGE ON EXCEPTION COLLI_EAN_ERRATO_IMPOSTATO TO TRIGGER COLLI_BU");
    transaction.Commit();
}

// What a station account must never be: it would carry more than the station's
// rights into every dati.ini.
void RefuseMightyUser(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                      const std::string& user)
{
    const std::string name = parcels::QuotedLiteral(user);
    const struct {
        const char* reason;
        std::string sql;
    } checks[] = {
        {"is a server administrator",
         "SELECT COUNT(*) AS N FROM SEC$USERS WHERE SEC$USER_NAME=" + name + " AND SEC$ADMIN"},
        {"holds RDB$ADMIN in this database",
         "SELECT COUNT(*) AS N FROM RDB$USER_PRIVILEGES WHERE RDB$USER=" + name +
             " AND RDB$RELATION_NAME='RDB$ADMIN' AND RDB$PRIVILEGE='M'"},
        {"owns this database", "SELECT COUNT(*) AS N FROM MON$DATABASE WHERE MON$OWNER=" + name},
        {"owns objects of this database",
         "SELECT COUNT(*) AS N FROM RDB$RELATIONS WHERE RDB$OWNER_NAME=" + name +
             " AND COALESCE(RDB$SYSTEM_FLAG, 0)=0"},
        {"is the name of a role", "SELECT COUNT(*) AS N FROM RDB$ROLES WHERE RDB$ROLE_NAME=" + name},
    };
    for (const auto& check : checks) {
        if (Counted(connection, transaction, check.sql))
            throw std::runtime_error("user " + user + " " + check.reason +
                                     ": the stations need an account of their own (choose another name)");
    }
    transaction.Commit();
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
        RefuseMightyUser(connection, transaction, user);
        const bool userExists = Counted(connection, transaction,
                                        "SELECT COUNT(*) AS N FROM SEC$USERS WHERE SEC$USER_NAME=" +
                                            parcels::QuotedLiteral(user) + " AND SEC$PLUGIN='Srp'");
        RunDdl(connection, transaction,
               "CREATE OR ALTER USER " + user + " PASSWORD " + parcels::QuotedLiteral(account.password) +
                   " USING PLUGIN Srp");
        transaction.Commit();
        done.push_back(userExists ? "user " + user + ": password set" : "user " + user + ": created");
        // Whatever else the account was given goes, roles included.
        RunDdl(connection, transaction, "REVOKE ALL ON ALL FROM USER " + user);
        transaction.Commit();
        done.push_back("user " + user + ": every earlier right and role revoked");

        const bool roleExists = Counted(connection, transaction,
                                        "SELECT COUNT(*) AS N FROM RDB$ROLES WHERE RDB$ROLE_NAME=" +
                                            parcels::QuotedLiteral(role));
        if (roleExists) {
            done.push_back("role " + role + ": every earlier privilege revoked");
        } else {
            RunDdl(connection, transaction, "CREATE ROLE " + role);
            transaction.Commit();
            done.push_back("role " + role + ": created");
        }
        for (auto& line : GrantStationRights(connection, transaction, role))
            done.push_back(std::move(line));
        GuardFaultyEans(connection, transaction, StationRoles(connection, transaction));
        done.push_back("role " + role + ": may fill empty faulty EANs only");
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

std::vector<std::string> UpgradeStationRoles(dataaccess::Connection& connection,
                                             dataaccess::Transaction& transaction)
{
    std::vector<std::string> done;
    try {
        const auto roles = StationRoles(connection, transaction);
        if (roles.empty())
            return done;
        std::vector<std::string> wanted = {"COLLI S", "COLLI U CODICEEAN_ERRATO", "COLLI_MODIFICHE_DOPO X",
                                           "LOGSPARATE I", "SCANSIONE_REGISTRATA X"};
        for (const auto& role : roles) {
            if (RolePrivileges(connection, transaction, role) == wanted)
                continue;
            GrantStationRights(connection, transaction, role);
            done.push_back("role " + role + ": given exactly the station's rights");
        }
        const bool guarded = Exists(connection, transaction, "TRIGGER", "COLLI_BU");
        GuardFaultyEans(connection, transaction, roles);
        if (!guarded)
            done.push_back("created COLLI_BU");
        if (transaction.Active())
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
    query.AddLine("WHERE " + LogDaysCondition(ParseLogDays(from, to)));
    query.AddLine("ORDER BY DATAORA, ID");
    transaction.SetActive(true);
    query.Open();
    // The mark makes a spreadsheet read the file as UTF-8, not in the ANSI code
    // page; ';' is the list separator of an Italian workstation. The import skips it.
    out << "\xEF\xBB\xBF" << "ID;DATAORA;BARCODESPEED;CODICEEANLETTO;STATUS\n";
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
