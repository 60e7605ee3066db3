#pragma once

#include <string>
#include <vector>

namespace testsupport {

// "127.0.0.1/PORT" of the private test server (COLLI_FB_SERVER), empty when none runs.
std::string ServerAddress();
// Folder of the private server's root (COLLI_FB_SERVER_DIR + "/root"), holding databases.conf.
std::string ServerRootDir();

enum class Where { Embedded, Server };

// A throwaway database in its own temporary folder, dropped (and the folder removed)
// on destruction. With withSchema the tables of parcels/schema.sql are created.
class TestDatabase {
public:
    explicit TestDatabase(Where where, bool withSchema = true);
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    const std::string& Name() const { return name_; } // what to attach: path or server:path
    const std::string& Path() const { return path_; } // local file path
    const std::string& Folder() const { return folder_; }

    // Runs statements on a connection of its own and commits.
    void Execute(const std::string& sql);
    // All rows of a select, every column as FieldText gives it.
    std::vector<std::vector<std::string>> Query(const std::string& sql);

private:
    std::string folder_;
    std::string path_;
    std::string name_;
};

// The same for any database name the test made itself (as SYSDBA, default password).
void CreateDatabaseAt(const std::string& name, bool withSchema);
void ExecuteOn(const std::string& name, const std::string& sql);
std::vector<std::vector<std::string>> QueryOn(const std::string& name, const std::string& sql);

// A new folder of the system's temporary folder, named prefix + random letters,
// writable by everyone (the private server writes there as itself).
std::string MakeScratchFolder(const std::string& prefix);

// The text of parcels/schema.sql.
std::string SchemaSql();

} // namespace testsupport
