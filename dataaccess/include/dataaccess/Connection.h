#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dataaccess {

class Transaction;

// What the program does while a call waits for the server, and what it hears
// about the link.
class LinkMonitor {
public:
    virtual ~LinkMonitor() = default;
    // On the calling thread, about every 50 ms while a call is out; false cuts
    // the call off at once (WaitCancelledError).
    virtual bool Waiting(std::chrono::milliseconds elapsed) = 0;
    // Why Waiting said false, for the error and the diagnostic log.
    virtual std::string StopReason() const { return "il programma si sta chiudendo"; }
    // After a wait that saw at least one Waiting call.
    virtual void WaitOver(std::chrono::milliseconds waited) = 0;
    // A lost link, a call cut off, an attach: one line for a diagnostic log.
    virtual void Note(const std::string& text) = 0;
};

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

    // "name=value" lines; user_name, password, sql_role_name, lc_ctype and config
    // (client configuration lines for this attachment) are understood
    // (case-insensitive names).
    // For CreateDatabase the lines are appended verbatim to the create statement.
    std::vector<std::string>& Params();
    const std::vector<std::string>& Params() const;
    // The lines the current or last attachment was made with (after a create,
    // those made from its lines): what a second attachment needs.
    const std::vector<std::string>& AttachedParams() const;

    // Lowered to the database's own dialect when that is lower, once the
    // attachment has told it (asked here when nothing has yet).
    int SQLDialect() const;
    void SetSQLDialect(int dialect);

    bool LoginPrompt() const;
    void SetLoginPrompt(bool on); // kept for the contract; the layer never prompts

    // False also once the link to the server was found broken: the attachment is
    // then dropped with its transactions and statements, and the next query open
    // or transaction start attaches again with the lines that last attached
    // (never with create lines left in Params).
    bool Connected() const;
    // true attaches (DPB from Params); false ends every open transaction bound here
    // (commit, else rollback) and detaches, raising nothing, and nothing attaches
    // again by itself.
    void SetConnected(bool on);
    // The server's number of the current attachment (MON$ATTACHMENT_ID,
    // CURRENT_CONNECTION), learnt along with the attachment's first one-row
    // select, else asked before its first prepare; 0 when detached or not yet
    // known.
    std::int64_t AttachmentId() const;

    // A call waits for the server right now (the caller is inside its wait).
    bool CallOut() const;

    // CREATE DATABASE '<DatabaseName>' followed by each Params line and CR LF,
    // run with isc_dsql_execute_immediate; afterwards the connection is attached.
    // Attaching again later uses the USER, PASSWORD and ROLE given there.
    void CreateDatabase();

    // The first transaction made on the connection becomes its default one.
    Transaction* DefaultTransaction() const;
    void SetDefaultTransaction(Transaction* transaction);

    // The longest wait for an answer from a server, in seconds (10 unless
    // set). Attaching is bounded by the client's connect timeout; a call on an
    // open attachment that gets no answer is cut off, and the attachment counts
    // as lost. A local file is opened on the calling thread, unbounded.
    int WaitBound() const;
    void SetWaitBound(int seconds);
    // Calls to a server run on a thread of the connection while the caller
    // waits; the monitor (may be null, must outlive the connection) is told
    // meanwhile.
    void SetLinkMonitor(LinkMonitor* monitor);

    struct Impl;
    Impl& impl() const { return *d_; }

private:
    std::unique_ptr<Impl> d_;
};

// The calls made while it lives share one bound counted from its start, and
// attach at most once: a failed attach is not tried again inside it. Without
// one, every call has the whole bound.
class WaitScope {
public:
    explicit WaitScope(Connection& connection);
    ~WaitScope();
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;

    struct State;

private:
    Connection& connection_;
    std::unique_ptr<State> state_; // null inside an outer scope, which holds
};

// Work that keeps a working server busy longer than a scan may wait (the
// batch, an import): while it lives, each call on an open attachment waits up
// to its own bound. Attaching keeps the connection's bound, so a server that
// is away is still found out as soon. A call cut off at this bound drops the
// attachment, and with it the uncommitted work.
class LongWork {
public:
    // A big table, or a server busy with a sweep or a backup, is slow but
    // working for minutes.
    static constexpr int kDefaultSeconds = 300;
    static constexpr int kMostSeconds = 3600;

    LongWork(Connection& connection, int seconds);
    ~LongWork();
    LongWork(const LongWork&) = delete;
    LongWork& operator=(const LongWork&) = delete;

private:
    Connection& connection_;
    int previous_;
};

// The server part of a database name ("host", "host/port"), or empty for a
// local file.
std::string ServerOf(const std::string& databaseName);

// On SIGINT and SIGTERM the client library ends every attachment of the
// process by itself, so a program that ends on those signals would find its
// transaction gone before it could commit. After this call the library leaves
// those signals to the program.
void KeepAttachmentsOnSignals();

} // namespace dataaccess
