#pragma once

#include "ParcelCsv.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace dataaccess { class Connection; class Transaction; }

namespace admin {

struct Credentials {
    std::string user = "SYSDBA";
    std::string password = "plumtrove";
    // A server that cannot encrypt the link (or log in with Srp) is used all
    // the same: only when asked, for an old server.
    bool allowPlainLink = false;
};

// The client configuration lines of an attachment to name: for a server an
// encrypted link and an Srp login; empty for a local file.
std::string LinkConfig(const std::string& name, bool allowPlainLink);

// Attaches, or creates the database when none exists under the name.
// Returns true when it was created.
bool AttachOrCreate(dataaccess::Connection& connection, const std::string& name,
                    const Credentials& credentials);
// characterSet, when given, is the connection's (UTF8 for names and passwords
// typed by an administrator).
void Attach(dataaccess::Connection& connection, const std::string& name,
            const Credentials& credentials, const std::string& characterSet = {});

// Creates what the schema script defines and the database lacks; returns the
// names created (empty when everything was there).
std::vector<std::string> CreateMissingSchema(dataaccess::Connection& connection,
                                             dataaccess::Transaction& transaction,
                                             const std::string& schemaScript);

// Inserts new parcels and updates existing ones by BARCODESPEED in one
// transaction; throws (after rolling back) with the line number of a failing row.
void ImportParcels(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                   const std::vector<ParcelRow>& rows,
                   const std::function<void(size_t done)>& progress);

// Column widths of COLLI, in bytes, for the checks before an import.
struct ParcelColumnWidths {
    int barcodeSpeed = 0;
    int codiceEan = 0;
    int codiceEanErrato = 0;
};
ParcelColumnWidths ReadParcelColumnWidths(dataaccess::Connection& connection,
                                          dataaccess::Transaction& transaction);
std::vector<CsvProblem> CheckWidths(const std::vector<ParcelRow>& rows, const ParcelColumnWidths& widths);

// The Firebird user the stations attach as, and the role that carries exactly
// the rights a station uses. Names are plain SQL identifiers, kept in upper case.
struct StationAccount {
    std::string user;
    std::string password;
    std::string role = "COLLI_STATION";
};
// The account with its names in upper case; throws std::invalid_argument for a
// name that is no plain identifier, is reserved, or when user and role share it.
StationAccount CheckedStationAccount(const StationAccount& account);
// The privileges of the station's role, as GRANT clauses without the grantee.
const std::vector<std::string>& StationPrivileges();
// Refuses a user that is an administrator, owns the database or its objects,
// or names a role. Creates the user, or sets its password when it exists, and
// takes every right and role from it; creates the role, or takes from it every
// privilege it had; grants the station's privileges to the role, makes the
// trigger that keeps the station roles from changing a faulty EAN already set,
// grants the role to the user, and commits. Returns what it did, one line each.
// Needs an administrator (SYSDBA or RDB$ADMIN) on a server database.
// Then reports the rights PUBLIC holds on the schema's objects, which every
// account shares, and revokes them when revokePublic. The role is recorded in
// COLLI_RUOLI_STAZIONE.
std::vector<std::string> SetUpStationAccount(dataaccess::Connection& connection,
                                             dataaccess::Transaction& transaction,
                                             const StationAccount& account, bool revokePublic = false);
// Every recorded station role gets exactly the station's privileges and the
// faulty-EAN trigger; a database of an older colli-admin has its roles
// recorded from the trigger that named them. A role that merely looks like one
// is only reported. Returns what it changed.
std::vector<std::string> UpgradeStationRoles(dataaccess::Connection& connection,
                                             dataaccess::Transaction& transaction);

// The names of what the schema script creates, and the faulty-EAN trigger.
std::vector<std::string> SchemaObjectNames(const std::string& schemaScript);
// One line per right PUBLIC holds on those objects; revoked when revoke.
std::vector<std::string> RightsOfPublic(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                                        bool revoke);

// LOGSPARATE rows as CSV (UTF-8 with its byte order mark, ';'), oldest first; dates are yyyy-MM-dd, --to inclusive.
void ExportLog(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
               const std::optional<std::string>& from, const std::optional<std::string>& to,
               std::ostream& out);

// The attachments of the database other than system ones: account, role,
// address, program, since when; their open transactions with age and kind,
// and the statements running. A table that another transaction holds
// reserved is named. Needs an administrator to see every attachment.
void ListSessions(dataaccess::Connection& connection, dataaccess::Transaction& transaction, std::ostream& out);
// Ends attachment id (its open work rolled back); never colli-admin's own.
void EndSession(dataaccess::Connection& connection, dataaccess::Transaction& transaction, std::int64_t id);

// length characters from the system's random source, of 57 letters and digits.
std::string NewPassword(std::size_t length = 24);

} // namespace admin
