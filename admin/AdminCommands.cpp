#include "AdminCommands.h"
#include "LogDays.h"
#include "SchemaScript.h"

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

#include <QRandomGenerator>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <ostream>
#include <string_view>
#include <unordered_set>
#include <stdexcept>

namespace admin {
namespace {

} // namespace

std::string LinkConfig(const std::string& name, bool allowPlainLink)
{
    if (dataaccess::ServerOf(name).empty())
        return {}; // the embedded engine: no link
    // The administrator's password never travels as the legacy hash, and
    // nothing travels in clear, unless asked for an old server.
    if (allowPlainLink)
        return "WireCrypt = Enabled\nAuthClient = Srp256, Srp, Legacy_Auth";
    return "WireCrypt = Required\nAuthClient = Srp256, Srp";
}

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
    if (const std::string config = LinkConfig(name, credentials.allowPlainLink); !config.empty())
        connection.Params().push_back("config=" + config);
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
        {"FUNCTION", {"RDB$FUNCTIONS", "RDB$FUNCTION_NAME"}},
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
        // Only the server's word that no file is there, given after the login
        // over the link asked for: a refused login or link creates nothing.
        if (attachError.refusal() != dataaccess::AttachRefusal::NoSuchDatabase)
            throw;
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
        R"(^\s*(?:--[^\n]*\n\s*|/\*.*?\*/\s*)*(?:CREATE\s+(?:GLOBAL\s+TEMPORARY\s+)?(?:(?:UNIQUE|ASC|ASCENDING|DESC|DESCENDING)\s+)*(TABLE|GENERATOR|SEQUENCE|INDEX|TRIGGER|PROCEDURE|FUNCTION|EXCEPTION)\s+([A-Za-z][A-Za-z0-9_$]*)|ALTER\s+TABLE\s+([A-Za-z][A-Za-z0-9_$]*)\s+ADD\s+([A-Za-z][A-Za-z0-9_$]*)))",
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

// The station roles are those station-user recorded; a role's rights say
// nothing, since any administrator may grant them.
std::vector<std::string> StationRoles(dataaccess::Connection& connection, dataaccess::Transaction& transaction)
{
    return Column(connection, transaction, "SELECT TRIM(RUOLO) FROM COLLI_RUOLI_STAZIONE ORDER BY 1");
}

void RecordStationRole(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                       const std::string& role)
{
    RunDdl(connection, transaction,
           "UPDATE OR INSERT INTO COLLI_RUOLI_STAZIONE (RUOLO) VALUES (" + parcels::QuotedLiteral(role) +
               ") MATCHING (RUOLO)");
    transaction.Commit();
}

// Roles that may fill faulty EANs as a station does but that no record names.
std::vector<std::string> UnrecordedLookalikes(dataaccess::Connection& connection,
                                              dataaccess::Transaction& transaction)
{
    return Column(connection, transaction,
                  "SELECT DISTINCT TRIM(P.RDB$USER) FROM RDB$USER_PRIVILEGES P WHERE P.RDB$USER_TYPE=13 "
                  "AND P.RDB$RELATION_NAME='COLLI' AND P.RDB$PRIVILEGE='U' "
                  "AND NOT EXISTS (SELECT 1 FROM COLLI_RUOLI_STAZIONE R WHERE R.RUOLO=P.RDB$USER) ORDER BY 1");
}

// A database guarded by an older colli-admin names its station roles in the
// trigger it made: that list was station-user's record then.
std::vector<std::string> RolesNamedByOldGuard(dataaccess::Connection& connection,
                                              dataaccess::Transaction& transaction)
{
    const auto sources = Column(connection, transaction,
                                "SELECT RDB$TRIGGER_SOURCE FROM RDB$TRIGGERS WHERE RDB$TRIGGER_NAME='COLLI_BU'");
    std::vector<std::string> roles;
    if (sources.empty())
        return roles;
    static const QRegularExpression list(R"(CURRENT_ROLE\s+IN\s*\(([^)]*)\))");
    static const QRegularExpression name(R"('([A-Z][A-Z0-9_$]{0,30})')");
    const auto match = list.match(QString::fromStdString(sources.front()));
    if (!match.hasMatch())
        return roles;
    for (auto it = name.globalMatch(match.captured(1)); it.hasNext();)
        roles.push_back(it.next().captured(1).toStdString());
    return roles;
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

// The trigger names the station roles, so that other writers pay nothing for
// it. An update that changes nothing is refused too: it would lock the parcel
// against the batch and the import for as long as its transaction stays open.
// The value must be the one the batch derives from a parcel of that courier
// barcode (the batch gives parcels sharing one the later one's value).
std::string FaultyEanGuardSource(const std::vector<std::string>& roles)
{
    std::string list;
    for (const auto& role : roles)
        list += (list.empty() ? "" : ", ") + parcels::QuotedLiteral(role);
    return "CREATE OR ALTER TRIGGER COLLI_BU FOR COLLI ACTIVE BEFORE UPDATE POSITION 0 AS\n"
           "BEGIN\n"
           "  IF (CURRENT_ROLE IN (" + list + ")) THEN\n"
           "  BEGIN\n"
           "    IF (NEW.CODICEEAN_ERRATO IS NOT DISTINCT FROM OLD.CODICEEAN_ERRATO) THEN\n"
           "      EXCEPTION COLLI_EAN_ERRATO_IMPOSTATO 'la stazione non riscrive un collo senza cambiarlo';\n"
           "    IF (NEW.CODICEEAN_ERRATO IS NULL) THEN\n"
           "      EXCEPTION COLLI_EAN_ERRATO_IMPOSTATO 'la stazione non svuota CODICEEAN_ERRATO';\n"
           "    IF (OLD.CODICEEAN_ERRATO IS NOT NULL AND NOT EXISTS\n"
           "        (SELECT 1 FROM COLLI_RIEMPITE WHERE CHIAVE = OLD.RDB$DB_KEY)) THEN\n"
           "      EXCEPTION COLLI_EAN_ERRATO_IMPOSTATO;\n"
           "    IF (NOT EXISTS (SELECT 1 FROM COLLI C WHERE C.BARCODESPEED = NEW.BARCODESPEED\n"
           "        AND EAN_ERRATO(C.CODICEEAN) = NEW.CODICEEAN_ERRATO)) THEN\n"
           "      EXCEPTION COLLI_EAN_ERRATO_IMPOSTATO\n"
           "        'CODICEEAN_ERRATO diverso da quello derivato dal CODICEEAN del collo';\n"
           "    IF (OLD.CODICEEAN_ERRATO IS NULL) THEN\n"
           "      INSERT INTO COLLI_RIEMPITE (CHIAVE) VALUES (OLD.RDB$DB_KEY);\n"
           "  END\n"
           "END";
}

// True when the trigger was made or changed.
bool GuardFaultyEans(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                     const std::vector<std::string>& roles)
{
    if (roles.empty())
        return false;
    const std::string sourceSql = "SELECT RDB$TRIGGER_SOURCE FROM RDB$TRIGGERS WHERE RDB$TRIGGER_NAME='COLLI_BU'";
    const auto before = Column(connection, transaction, sourceSql);
    RunDdl(connection, transaction, FaultyEanGuardSource(roles));
    transaction.Commit();
    for (const char* grant : {"GRANT SELECT, INSERT ON COLLI_RIEMPITE TO TRIGGER COLLI_BU",
                              "GRANT SELECT ON COLLI TO TRIGGER COLLI_BU",
                              "GRANT EXECUTE ON FUNCTION EAN_ERRATO TO TRIGGER COLLI_BU",
                              "GRANT USAGE ON EXCEPTION COLLI_EAN_ERRATO_IMPOSTATO TO TRIGGER COLLI_BU"})
        RunDdl(connection, transaction, grant);
    transaction.Commit();
    const bool changed = before != Column(connection, transaction, sourceSql);
    transaction.Commit();
    return changed;
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
        // A mapping turns the login into another user, or gives it RDB$ADMIN,
        // whatever the rights of the account say.
        {"is mapped to an administrator or another user in this database",
         "SELECT COUNT(*) AS N FROM RDB$AUTH_MAPPING WHERE UPPER(RDB$MAP_FROM_TYPE)='USER' AND "
         "RDB$MAP_FROM IN (" + name + ", '*') AND ((RDB$MAP_TO_TYPE=1 AND RDB$MAP_TO='RDB$ADMIN') OR "
         "(RDB$MAP_TO_TYPE=0 AND RDB$MAP_TO IS NOT NULL AND RDB$MAP_TO<>" + name + "))"},
        {"is mapped to an administrator or another user by a global mapping",
         "SELECT COUNT(*) AS N FROM SEC$GLOBAL_AUTH_MAPPING WHERE UPPER(SEC$MAP_FROM_TYPE)='USER' AND "
         "SEC$MAP_FROM IN (" + name + ", '*') AND ((SEC$MAP_TO_TYPE=1 AND SEC$MAP_TO='RDB$ADMIN') OR "
         "(SEC$MAP_TO_TYPE=0 AND SEC$MAP_TO IS NOT NULL AND SEC$MAP_TO<>" + name + "))"},
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
                                             const StationAccount& account, bool revokePublic)
{
    const StationAccount checked = CheckedStationAccount(account);
    const std::string& user = checked.user;
    const std::string& role = checked.role;
    std::vector<std::string> done;
    try {
        transaction.SetActive(true);
        for (const char* needed : {"COLLI_RUOLI_STAZIONE", "COLLI_RIEMPITE"})
            if (!Exists(connection, transaction, "TABLE", needed))
                throw std::runtime_error(std::string("the database lacks ") + needed + ": run colli-admin init first");
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
        RecordStationRole(connection, transaction, role);
        for (auto& line : GrantStationRights(connection, transaction, role))
            done.push_back(std::move(line));
        GuardFaultyEans(connection, transaction, StationRoles(connection, transaction));
        done.push_back("role " + role + ": may fill empty faulty EANs only, with the derived value");
        RunDdl(connection, transaction, "GRANT " + role + " TO USER " + user);
        done.push_back("user " + user + ": granted role " + role);
        transaction.Commit();
        for (auto& line : RightsOfPublic(connection, transaction, revokePublic))
            done.push_back(std::move(line));
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
        auto roles = StationRoles(connection, transaction);
        if (roles.empty()) {
            for (const auto& role : RolesNamedByOldGuard(connection, transaction)) {
                if (!Counted(connection, transaction,
                             "SELECT COUNT(*) AS N FROM RDB$ROLES WHERE RDB$ROLE_NAME=" + parcels::QuotedLiteral(role)))
                    continue;
                RecordStationRole(connection, transaction, role);
                done.push_back("role " + role + ": recorded as a station role (named by COLLI_BU)");
                roles.push_back(role);
            }
        }
        // Rights alone make no station role: an administrator's own role is
        // left as it is, with a word about it.
        for (const auto& role : UnrecordedLookalikes(connection, transaction))
            done.push_back("role " + role + ": may update CODICEEAN_ERRATO but is no station role of station-user, "
                           "left as it is (to make it one: colli-admin station-user DB USER --role " + role + ")");
        std::vector<std::string> wanted = {"COLLI S", "COLLI U CODICEEAN_ERRATO", "COLLI_MODIFICHE_DOPO X",
                                           "LOGSPARATE I", "SCANSIONE_REGISTRATA X"};
        for (const auto& role : roles) {
            if (RolePrivileges(connection, transaction, role) == wanted)
                continue;
            GrantStationRights(connection, transaction, role);
            done.push_back("role " + role + ": given exactly the station's rights");
        }
        const bool guarded = Exists(connection, transaction, "TRIGGER", "COLLI_BU");
        if (GuardFaultyEans(connection, transaction, roles))
            done.push_back(guarded ? "updated COLLI_BU" : "created COLLI_BU");
        if (transaction.Active())
            transaction.Commit();
    } catch (...) {
        if (transaction.Active())
            transaction.Rollback();
        throw;
    }
    return done;
}

std::vector<std::string> SchemaObjectNames(const std::string& schemaScript)
{
    static const QRegularExpression objectPattern(
        R"(\bCREATE\s+(?:GLOBAL\s+TEMPORARY\s+)?(?:TABLE|GENERATOR|SEQUENCE|TRIGGER|PROCEDURE|FUNCTION|EXCEPTION)\s+([A-Za-z][A-Za-z0-9_$]*))",
        QRegularExpression::CaseInsensitiveOption);
    std::vector<std::string> names;
    for (const auto& statement : dataaccess::SplitSqlScript(schemaScript)) {
        const auto match = objectPattern.match(QString::fromStdString(statement));
        if (match.hasMatch())
            names.push_back(match.captured(1).toUpper().toStdString());
    }
    names.push_back("COLLI_BU");
    return names;
}

std::vector<std::string> RightsOfPublic(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                                        bool revoke)
{
    std::string list;
    for (const auto& name : SchemaObjectNames(SchemaScript()))
        list += (list.empty() ? "" : ", ") + parcels::QuotedLiteral(name);
    transaction.SetActive(true);
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine("SELECT DISTINCT TRIM(RDB$RELATION_NAME) AS OBJ, TRIM(RDB$PRIVILEGE) AS PRIV, RDB$OBJECT_TYPE AS KIND "
                  "FROM RDB$USER_PRIVILEGES WHERE RDB$USER='PUBLIC' AND RDB$RELATION_NAME IN (" + list + ") "
                  "ORDER BY 1, 2");
    query.Open();
    struct Right {
        std::string object, privilege;
        std::int64_t kind;
    };
    std::vector<Right> rights;
    for (; !query.AtEnd(); query.NextRow())
        rights.push_back({query.FieldText("OBJ"), query.FieldText("PRIV"), query.FieldInteger("KIND")});
    query.Close();
    transaction.Commit();

    static const std::map<std::string, std::string> tableRights = {
        {"S", "SELECT"}, {"I", "INSERT"}, {"U", "UPDATE"}, {"D", "DELETE"}, {"R", "REFERENCES"}};
    std::vector<std::string> lines;
    for (const auto& right : rights) {
        // The object types of RDB$USER_PRIVILEGES: 0 table, 5 procedure,
        // 7 exception, 14 generator, 15 function.
        std::string what;
        if (right.kind == 0 && tableRights.count(right.privilege))
            what = tableRights.at(right.privilege) + " ON TABLE " + right.object;
        else if (right.kind == 5 && right.privilege == "X")
            what = "EXECUTE ON PROCEDURE " + right.object;
        else if (right.kind == 15 && right.privilege == "X")
            what = "EXECUTE ON FUNCTION " + right.object;
        else if (right.kind == 14 && right.privilege == "G")
            what = "USAGE ON GENERATOR " + right.object;
        else if (right.kind == 7 && right.privilege == "G")
            what = "USAGE ON EXCEPTION " + right.object;
        if (what.empty()) {
            lines.push_back("warning: PUBLIC holds right " + right.privilege + " on " + right.object +
                            ": every account may use it; revoke it by hand");
            continue;
        }
        if (!revoke) {
            lines.push_back("warning: PUBLIC holds " + what + ": every account may use it, the station's too "
                            "(--revoke-public takes it back)");
            continue;
        }
        RunDdl(connection, transaction, "REVOKE " + what + " FROM PUBLIC");
        transaction.Commit();
        lines.push_back("PUBLIC: revoked " + what);
    }
    return lines;
}

void ExportLog(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
               const std::optional<std::string>& from, const std::optional<std::string>& to,
               std::ostream& out)
{
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.SetUniDirectional(true);
    query.AddLine("SELECT ID, CAST(DATAORA AS VARCHAR(24)) AS DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS,");
    query.AddLine("UTENTE, POSTAZIONE, CAST(DATAORASCANSIONE AS VARCHAR(24)) AS DATAORASCANSIONE, DACOPIA");
    query.AddLine("FROM LOGSPARATE");
    query.AddLine("WHERE " + LogDaysCondition(ParseLogDays(from, to)));
    query.AddLine("ORDER BY DATAORA, ID");
    transaction.SetActive(true);
    query.Open();
    // The mark makes a spreadsheet read the file as UTF-8, not in the ANSI code
    // page; ';' is the list separator of an Italian workstation. The import skips it.
    out << "\xEF\xBB\xBF"
        << "ID;DATAORA;BARCODESPEED;CODICEEANLETTO;STATUS;UTENTE;POSTAZIONE;DATAORASCANSIONE;DACOPIA\n";
    for (; !query.AtEnd(); query.NextRow()) {
        out << query.FieldText("ID") << ';' << query.FieldText("DATAORA") << ';'
            << CsvField(Cp1252ToUtf8(query.FieldText("BARCODESPEED"))) << ';'
            << CsvField(Cp1252ToUtf8(query.FieldText("CODICEEANLETTO"))) << ';'
            << CsvField(Cp1252ToUtf8(query.FieldText("STATUS"))) << ';'
            << CsvField(query.FieldText("UTENTE")) << ';' << CsvField(query.FieldText("POSTAZIONE")) << ';'
            << query.FieldText("DATAORASCANSIONE") << ';' << query.FieldText("DACOPIA") << '\n';
    }
    query.Close();
    transaction.Commit();
}

} // namespace admin

namespace admin {

namespace {

std::string IsolationText(std::int64_t mode)
{
    switch (mode) {
    case 0: return "table stability (locks whole tables)";
    case 1: return "snapshot";
    case 2: return "read committed";
    case 3: return "read committed, no record version";
    default: return "isolation " + std::to_string(mode);
    }
}

std::string WaitText(std::int64_t lockTimeout)
{
    if (lockTimeout < 0)
        return "waits without end";
    if (lockTimeout == 0)
        return "no wait";
    return "waits " + std::to_string(lockTimeout) + " s";
}

std::string OneLine(std::string text, std::size_t most)
{
    for (char& c : text)
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
    if (text.size() > most)
        text = text.substr(0, most) + "...";
    return text;
}

// Whether a transaction of another attachment holds the table reserved for
// protected or exclusive work: a shared reservation that may not wait is
// refused then. The monitoring tables do not tell reservations.
bool ReservedByOther(dataaccess::Connection& connection, const std::string& table)
{
    dataaccess::Transaction probe(connection);
    probe.SetNoWait(true);
    probe.Reserve(table, dataaccess::Transaction::Reservation::SharedWrite);
    try {
        probe.SetActive(true);
    } catch (const dataaccess::NoAnswerError&) {
        throw;
    } catch (const dataaccess::DatabaseError& e) {
        const std::string text = e.what();
        if (text.find("lock") != std::string::npos || text.find("conflict") != std::string::npos)
            return true;
        throw;
    }
    probe.Rollback();
    return false;
}

} // namespace

void ListSessions(dataaccess::Connection& connection, dataaccess::Transaction& transaction, std::ostream& out)
{
    struct Statement {
        std::int64_t transactionId;
        std::string state, since, text;
    };
    struct Work {
        std::int64_t id;
        std::string since, age, kind;
        std::vector<Statement> statements;
        bool running = false;
    };
    struct Session {
        std::int64_t id;
        std::string user, role, address, program, since;
        bool mine;
        std::vector<Work> work;
        std::vector<Statement> loose;
    };
    std::vector<Session> sessions;
    std::map<std::int64_t, Session*> byId;
    // One snapshot of the monitoring tables: the transaction reads them once.
    transaction.SetActive(false);
    transaction.SetActive(true);
    {
        dataaccess::SqlQuery query(connection, transaction);
        query.SetParamCheck(false);
        query.AddLine("SELECT MON$ATTACHMENT_ID AS ID, TRIM(MON$USER) AS U, TRIM(COALESCE(MON$ROLE, '')) AS R,");
        query.AddLine("COALESCE(MON$REMOTE_ADDRESS, 'local') AS A, COALESCE(MON$REMOTE_PROCESS, '') AS P,");
        query.AddLine("CAST(MON$TIMESTAMP AS VARCHAR(24)) AS T,");
        query.AddLine("IIF(MON$ATTACHMENT_ID = CURRENT_CONNECTION, 1, 0) AS MINE");
        query.AddLine("FROM MON$ATTACHMENTS WHERE MON$SYSTEM_FLAG = 0 ORDER BY MON$ATTACHMENT_ID");
        query.Open();
        for (; !query.AtEnd(); query.NextRow())
            sessions.push_back({query.FieldInteger("ID"), query.FieldText("U"), query.FieldText("R"),
                                query.FieldText("A"), query.FieldText("P"), query.FieldText("T"),
                                query.FieldInteger("MINE") == 1, {}, {}});
    }
    for (auto& session : sessions)
        byId[session.id] = &session;
    {
        dataaccess::SqlQuery query(connection, transaction);
        query.SetParamCheck(false);
        query.AddLine("SELECT MON$ATTACHMENT_ID AS A, MON$TRANSACTION_ID AS ID, CAST(MON$TIMESTAMP AS VARCHAR(24)) AS T,");
        query.AddLine("DATEDIFF(SECOND FROM MON$TIMESTAMP TO CURRENT_TIMESTAMP) AS AGE, MON$ISOLATION_MODE AS ISO,");
        query.AddLine("MON$LOCK_TIMEOUT AS LT, MON$READ_ONLY AS RO, MON$AUTO_COMMIT AS AC");
        query.AddLine("FROM MON$TRANSACTIONS WHERE MON$TRANSACTION_ID <> CURRENT_TRANSACTION ORDER BY MON$TRANSACTION_ID");
        query.Open();
        for (; !query.AtEnd(); query.NextRow()) {
            const auto it = byId.find(query.FieldInteger("A"));
            if (it == byId.end())
                continue;
            std::string kind = IsolationText(query.FieldInteger("ISO")) + ", " +
                               (query.FieldInteger("RO") ? "read only" : "read-write") + ", " +
                               WaitText(query.FieldInteger("LT"));
            if (query.FieldInteger("AC"))
                kind += ", autocommit";
            it->second->work.push_back({query.FieldInteger("ID"), query.FieldText("T"),
                                        query.FieldText("AGE") + " s", kind, {}, false});
        }
    }
    {
        dataaccess::SqlQuery query(connection, transaction);
        query.SetParamCheck(false);
        query.AddLine("SELECT MON$ATTACHMENT_ID AS A, COALESCE(MON$TRANSACTION_ID, 0) AS TR, MON$STATE AS S,");
        query.AddLine("CAST(MON$TIMESTAMP AS VARCHAR(24)) AS T,");
        query.AddLine("CAST(SUBSTRING(MON$SQL_TEXT FROM 1 FOR 200) AS VARCHAR(200)) AS SQLTEXT");
        query.AddLine("FROM MON$STATEMENTS WHERE MON$STATE > 0 AND MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
        query.AddLine("ORDER BY MON$ATTACHMENT_ID, MON$STATEMENT_ID");
        query.Open();
        for (; !query.AtEnd(); query.NextRow()) {
            const auto it = byId.find(query.FieldInteger("A"));
            if (it == byId.end())
                continue;
            Statement statement{query.FieldInteger("TR"), query.FieldInteger("S") == 1 ? "running" : "stalled",
                                query.FieldText("T"), OneLine(query.FieldText("SQLTEXT"), 160)};
            bool placed = false;
            for (auto& work : it->second->work) {
                if (work.id == statement.transactionId) {
                    work.statements.push_back(statement);
                    work.running = true;
                    placed = true;
                }
            }
            if (!placed)
                it->second->loose.push_back(statement);
        }
    }
    transaction.Commit();

    for (const auto& session : sessions) {
        out << "attachment " << session.id << (session.mine ? " (this one)" : "") << ": " << session.user
            << (session.role.empty() || session.role == "NONE" ? "" : " as " + session.role) << ", from "
            << session.address << (session.program.empty() ? "" : ", " + session.program) << ", since "
            << session.since << '\n';
        for (const auto& work : session.work) {
            out << "  transaction " << work.id << ": open " << work.age << " (since " << work.since << "), "
                << work.kind << (work.running ? "" : ", no statement running") << '\n';
            for (const auto& statement : work.statements)
                out << "    " << statement.state << " since " << statement.since << ": " << statement.text << '\n';
        }
        for (const auto& statement : session.loose)
            out << "  " << statement.state << " since " << statement.since << ": " << statement.text << '\n';
    }
    for (const char* table : {"LOGSPARATE", "COLLI"}) {
        if (!ReservedByOther(connection, table))
            continue;
        out << "warning: " << table << " is reserved by another transaction (SET TRANSACTION ... RESERVING "
            << table << "): every other writer waits for it. The server does not tell which one; look for a "
               "transaction that is open long with no statement running and end its attachment\n";
    }
}

void EndSession(dataaccess::Connection& connection, dataaccess::Transaction& transaction, std::int64_t id)
{
    if (id == connection.AttachmentId())
        throw std::invalid_argument("attachment " + std::to_string(id) + " is colli-admin's own");
    transaction.SetActive(false);
    transaction.SetActive(true);
    const bool there = Counted(connection, transaction,
                               "SELECT COUNT(*) AS N FROM MON$ATTACHMENTS WHERE MON$SYSTEM_FLAG = 0 AND "
                               "MON$ATTACHMENT_ID = " + std::to_string(id) +
                                   " AND MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
    if (!there) {
        transaction.Rollback();
        throw std::runtime_error("no attachment " + std::to_string(id) + " (see colli-admin sessions)");
    }
    // The server rolls back the attachment's open work and drops it.
    RunDdl(connection, transaction, "DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + std::to_string(id));
    transaction.Commit();
}

std::string NewPassword(std::size_t length)
{
    // No look-alikes (0 O 1 l I) and nothing a shell, dati.ini or SQL quoting
    // would touch.
    static constexpr std::string_view alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
    std::string password;
    QRandomGenerator* random = QRandomGenerator::system(); // the system's random source
    while (password.size() < length)
        password += alphabet[random->bounded(static_cast<quint32>(alphabet.size()))];
    return password;
}

} // namespace admin
