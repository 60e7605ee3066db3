#pragma once

#include <memory>
#include <string>

namespace dataaccess {

class Connection;

// A transaction of a connection, started with an empty parameter block unless
// told otherwise.
class Transaction {
public:
    explicit Transaction(Connection& connection);
    ~Transaction(); // an open transaction is committed, else rolled back; never throws
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    Connection& DefaultDatabase() const;

    // Seconds a statement waits for rows that another transaction holds locked
    // before it fails with a lock conflict; 0 (the default) starts transactions
    // with an empty parameter block, so the server's endless wait applies.
    // Taken at the next start.
    int LockTimeout() const;
    void SetLockTimeout(int seconds);

    // How the next start opens the transaction; all off by default (the
    // server's snapshot). Read committed sees what others committed since it
    // started (read-only, it holds nothing back at the server however long
    // it stays open); autocommit makes the server commit every statement that
    // changes data as part of that statement, and the transaction stays open.
    bool ReadCommitted() const;
    void SetReadCommitted(bool on);
    bool ReadOnly() const;
    void SetReadOnly(bool on);
    bool AutoCommit() const;
    void SetAutoCommit(bool on);
    // A lock conflict fails at once instead of waiting (overrides the lock
    // timeout).
    bool NoWait() const;
    void SetNoWait(bool on);
    // Tables locked as a whole when the transaction starts (RESERVING): a
    // protected write keeps every other writer out until it ends; a shared
    // write only keeps out those who protect the table. Taken at the next start.
    enum class Reservation { SharedWrite, ProtectedWrite };
    void Reserve(const std::string& table, Reservation mode);

    // A lost link ends the transaction: the server drops its uncommitted work.
    bool Active() const;
    // true attaches again first when the link was lost, and once more when the
    // start finds a link that died unnoticed. false rolls back an open
    // transaction; silent when inactive or when the link is gone.
    void SetActive(bool on);
    void Commit();   // "Transaction is not active" when none is open; a lost link raises
    void Rollback(); // a lost link counts as rolled back

    struct Impl;
    Impl& impl() const { return *d_; }

private:
    std::unique_ptr<Impl> d_;
};

} // namespace dataaccess
