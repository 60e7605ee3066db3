#include "TestDatabase.h"

#include "dataaccess/Connection.h"
#include "dataaccess/SqlScript.h"
#include "dataaccess/SqlQuery.h"
#include "dataaccess/SqlStatement.h"
#include "dataaccess/Transaction.h"

#include <ibase.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr const char* kUser = "SYSDBA";
constexpr const char* kPassword = "plumtrove";

std::string EnvOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

void Attach(dataaccess::Connection& connection, const std::string& name)
{
    connection.SetDatabaseName(name);
    connection.Params() = {std::string("user_name=") + kUser, std::string("password=") + kPassword};
    connection.SetConnected(true);
}

void DropDatabase(const std::string& name)
{
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    for (auto [tag, value] : {std::pair{isc_dpb_user_name, kUser}, {isc_dpb_password, kPassword}}) {
        dpb += static_cast<char>(tag);
        dpb += static_cast<char>(std::char_traits<char>::length(value));
        dpb += value;
    }
    ISC_STATUS_ARRAY status{};
    isc_db_handle handle = 0;
    if (isc_attach_database(status, static_cast<short>(name.size()), name.c_str(), &handle,
                            static_cast<short>(dpb.size()), dpb.data()) == 0) {
        if (isc_drop_database(status, &handle) != 0)
            isc_detach_database(status, &handle);
    }
}


} // namespace

std::string ServerAddress() { return EnvOrEmpty("COLLI_FB_SERVER"); }

std::string ServerRootDir()
{
    const std::string dir = EnvOrEmpty("COLLI_FB_SERVER_DIR");
    return dir.empty() ? dir : dir + "/root";
}

TestDatabase::TestDatabase(Where where, bool withSchema)
{
    std::string server;
    if (where == Where::Server) {
        server = ServerAddress();
        if (server.empty())
            throw std::runtime_error("COLLI_FB_SERVER is not set: no private server to use");
    }
    folder_ = MakeScratchFolder("colli-db-");
    path_ = folder_ + "/test.fdb";
    name_ = server.empty() ? path_ : server + ":" + path_;

    try {
        CreateDatabaseAt(name_, withSchema);
    } catch (...) {
        // no destructor runs for a half-made object: leave no database or folder behind
        DropDatabase(name_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        throw;
    }
}

TestDatabase::~TestDatabase()
{
    DropDatabase(name_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void TestDatabase::Execute(const std::string& sql) { ExecuteOn(name_, sql); }

std::vector<std::vector<std::string>> TestDatabase::Query(const std::string& sql)
{
    return QueryOn(name_, sql);
}

void CreateDatabaseAt(const std::string& name, bool withSchema)
{
    {
        dataaccess::Connection connection;
        connection.SetDatabaseName(name);
        connection.Params() = {std::string("USER \"") + kUser + "\"",
                               std::string("PASSWORD \"") + kPassword + "\"", "PAGE_SIZE 4096"};
        connection.SetSQLDialect(3);
        connection.CreateDatabase();
        connection.SetConnected(false);
    }
    if (withSchema)
        ExecuteOn(name, SchemaSql());
}

void ExecuteOn(const std::string& name, const std::string& sql)
{
    dataaccess::Connection connection;
    dataaccess::Transaction transaction(connection);
    Attach(connection, name);
    for (const std::string& text : dataaccess::SplitSqlScript(sql)) {
        transaction.SetActive(true);
        dataaccess::SqlStatement statement(connection, transaction);
        statement.SetParamCheck(false);
        statement.AddLine(text);
        statement.ExecQuery();
        transaction.Commit(); // one at a time: later statements see earlier definitions
    }
}

std::vector<std::vector<std::string>> QueryOn(const std::string& name, const std::string& sql)
{
    dataaccess::Connection connection;
    dataaccess::Transaction transaction(connection);
    Attach(connection, name);
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine(sql);
    query.Open();
    std::vector<std::vector<std::string>> rows;
    for (; !query.AtEnd(); query.NextRow()) {
        std::vector<std::string>& row = rows.emplace_back();
        for (int i = 0; i < query.FieldCount(); ++i)
            row.push_back(query.FieldText(i));
    }
    query.Close();
    transaction.Commit();
    return rows;
}

std::string MakeScratchFolder(const std::string& prefix)
{
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[9];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        const std::filesystem::path folder = std::filesystem::temp_directory_path() / (prefix + suffix);
        std::error_code error;
        if (std::filesystem::create_directory(folder, error)) {
            std::filesystem::permissions(folder, std::filesystem::perms::all);
            return folder.string();
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

std::string SchemaSql()
{
    const std::string sourceDir = EnvOrEmpty("COLLI_SOURCE_DIR");
    const std::string path =
        sourceDir.empty() ? std::string(COLLI_SCHEMA_SQL_PATH) : sourceDir + "/parcels/schema.sql";
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace testsupport
