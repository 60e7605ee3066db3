#pragma once

#include <memory>
#include <string>
#include <vector>

namespace dataaccess {

class Transaction;

// One attachment to a Firebird database. Text travels as 8-bit bytes
// (Windows-1252); no character set is declared to the server.
class Connection {
public:
    Connection();
    ~Connection(); // commits (else rolls back) an open default transaction, then detaches
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::string& DatabaseName() const;
    void SetDatabaseName(std::string name);

    // "name=value" lines; user_name and password are understood (case-insensitive names).
    // For CreateDatabase the lines are appended verbatim to the create statement.
    std::vector<std::string>& Params();
    const std::vector<std::string>& Params() const;

    int SQLDialect() const;
    void SetSQLDialect(int dialect);

    bool LoginPrompt() const;
    void SetLoginPrompt(bool on); // kept for the contract; the layer never prompts

    // False also once the link to the server was found broken: the attachment is
    // then dropped with its transactions and statements, and the next query open
    // or transaction start attaches again with the lines that last attached
    // (never with create lines left in Params).
    bool Connected() const;
    // true attaches (DPB from Params, then SQLDialect is lowered to the database's own
    // dialect when that is lower); false ends every open transaction bound here
    // (commit, else rollback) and detaches, raising nothing, and nothing attaches
    // again by itself.
    void SetConnected(bool on);

    // CREATE DATABASE '<DatabaseName>' followed by each Params line and CR LF,
    // run with isc_dsql_execute_immediate; afterwards the connection is attached.
    // Attaching again later uses the USER, PASSWORD and ROLE given there.
    void CreateDatabase();

    // The first transaction made on the connection becomes its default one.
    Transaction* DefaultTransaction() const;
    void SetDefaultTransaction(Transaction* transaction);

    struct Impl;
    Impl& impl() const { return *d_; }

private:
    std::unique_ptr<Impl> d_;
};

// On SIGINT and SIGTERM the client library ends every attachment of the
// process by itself, so a program that ends on those signals would find its
// transaction gone before it could commit. After this call the library leaves
// those signals to the program.
void KeepAttachmentsOnSignals();

} // namespace dataaccess
