#include "Internals.h"

#include "dataaccess/Errors.h"

#include <algorithm>

namespace dataaccess {

isc_tr_handle* Transaction::Impl::RequireHandle()
{
    if (handle == 0)
        throw DatabaseError("Transaction is not active");
    return &handle;
}

void Transaction::Impl::Start()
{
    if (handle != 0)
        return;
    if (connection == nullptr)
        throw DatabaseError("Database not assigned");
    Connection::Impl& database = connection->impl();
    database.AttachAgainIfLost();
    try {
        WatchLink(connection, [this] { StartOnce(); });
    } catch (const NoAnswerError&) {
        throw; // the server is away, not just the old link: attaching would wait again
    } catch (const WaitCancelledError&) {
        throw;
    } catch (const ConnectionLostError&) {
        // The link died since the last call; nothing of this transaction was
        // at the server yet, so starting it on a new attachment loses nothing.
        if (!database.lost)
            throw;
        database.AttachAgainIfLost();
        WatchLink(connection, [this] { StartOnce(); });
    }
}

int Transaction::Impl::LockWaitNow() const
{
    const Connection::Impl& database = connection->impl();
    if (lockTimeout <= 0 || !database.OverNetwork())
        return lockTimeout;
    const auto now = std::chrono::steady_clock::now();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(database.CallDeadline(now) - now);
    return std::clamp(static_cast<int>(left.count() * 2 / 3 / 1000), 1, lockTimeout);
}

std::string Transaction::Impl::ParameterBlock(int lockSeconds) const
{
    if (lockSeconds <= 0 && !readCommitted && !readOnly && !autoCommit && !noWait && reservations.empty())
        return {}; // the server's defaults: snapshot, read-write, endless wait
    std::string block{static_cast<char>(isc_tpb_version3),
                      static_cast<char>(readOnly ? isc_tpb_read : isc_tpb_write)};
    if (readCommitted) {
        block += static_cast<char>(isc_tpb_read_committed);
        block += static_cast<char>(isc_tpb_rec_version);
    } else {
        block += static_cast<char>(isc_tpb_concurrency);
    }
    block += static_cast<char>(noWait ? isc_tpb_nowait : isc_tpb_wait);
    if (lockSeconds > 0 && !noWait) {
        block += static_cast<char>(isc_tpb_lock_timeout);
        block += static_cast<char>(4);
        for (int shift = 0; shift < 32; shift += 8)
            block += static_cast<char>((lockSeconds >> shift) & 0xFF);
    }
    if (autoCommit)
        block += static_cast<char>(isc_tpb_autocommit);
    for (const auto& [table, mode] : reservations) {
        block += static_cast<char>(isc_tpb_lock_write);
        block += static_cast<char>(table.size());
        block += table;
        block += static_cast<char>(mode == Transaction::Reservation::ProtectedWrite ? isc_tpb_protected
                                                                                   : isc_tpb_shared);
    }
    return block;
}

void Transaction::Impl::StartOnce()
{
    Connection::Impl& database = connection->impl();
    isc_db_handle* db = database.RequireHandle();
    const std::string block = ParameterBlock(LockWaitNow());
    database.Run([&] {
        struct {
            isc_db_handle* database;
            long length;
            const char* block;
        } vector{db, static_cast<long>(block.size()), block.empty() ? nullptr : block.data()};
        Status status;
        isc_tr_handle newHandle = 0;
        isc_start_multiple(&status, &newHandle, 1, &vector);
        Check(status);
        handle = newHandle;
    });
}

void Transaction::Impl::ForgetHandles() noexcept
{
    for (CursorOwner* owner : cursors)
        owner->ForgetStatement();
    handle = 0;
}

void Transaction::Impl::CloseCursors() noexcept
{
    for (CursorOwner* owner : cursors)
        owner->CloseCursor();
}

void Transaction::Impl::End(bool commit)
{
    RequireHandle();
    try {
        WatchLink(connection, [&] {
            connection->impl().Run([&] {
                CloseCursors();
                Status status;
                if (commit)
                    isc_commit_transaction(&status, &handle);
                else
                    isc_rollback_transaction(&status, &handle);
                Check(status); // a refused end keeps the transaction open
            });
        });
    } catch (const ConnectionLostError&) {
        // A server that lost the link drops the uncommitted work itself, which
        // is all a rollback asks for; a commit's outcome is unknown.
        if (commit)
            throw;
    }
    handle = 0;
}

void Transaction::Impl::FinishHere() noexcept
{
    if (handle == 0)
        return;
    CloseCursors();
    Status status;
    isc_commit_transaction(&status, &handle);
    if (!status.Failed())
        return;
    Status rollbackStatus;
    isc_rollback_transaction(&rollbackStatus, &handle);
    handle = 0;
}

void Transaction::Impl::Finish() noexcept
{
    if (handle == 0)
        return;
    if (connection == nullptr) {
        FinishHere();
        return;
    }
    try {
        connection->impl().Run([this] { FinishHere(); });
    } catch (...) {
        handle = 0; // cut off: the server drops the work with the link
    }
}

void Transaction::Impl::Unregister(CursorOwner* owner) noexcept
{
    const auto found = std::find(cursors.begin(), cursors.end(), owner);
    if (found != cursors.end())
        cursors.erase(found);
}

Transaction::Transaction(Connection& connection) : d_(std::make_unique<Impl>())
{
    d_->connection = &connection;
    Connection::Impl& database = connection.impl();
    database.transactions.push_back(this);
    if (database.defaultTransaction == nullptr)
        database.defaultTransaction = this;
}

Transaction::~Transaction()
{
    d_->Finish();
    for (CursorOwner* owner : d_->cursors)
        owner->ForgetTransaction();
    if (d_->connection) {
        Connection::Impl& database = d_->connection->impl();
        std::erase(database.transactions, this);
        if (database.defaultTransaction == this)
            database.defaultTransaction = nullptr;
    }
}

Connection& Transaction::DefaultDatabase() const
{
    if (d_->connection == nullptr)
        throw DatabaseError("Database not assigned");
    return *d_->connection;
}

int Transaction::LockTimeout() const { return d_->lockTimeout; }
bool Transaction::ReadCommitted() const { return d_->readCommitted; }
void Transaction::SetReadCommitted(bool on) { d_->readCommitted = on; }
bool Transaction::ReadOnly() const { return d_->readOnly; }
void Transaction::SetReadOnly(bool on) { d_->readOnly = on; }
bool Transaction::AutoCommit() const { return d_->autoCommit; }
void Transaction::SetAutoCommit(bool on) { d_->autoCommit = on; }
bool Transaction::NoWait() const { return d_->noWait; }
void Transaction::SetNoWait(bool on) { d_->noWait = on; }
void Transaction::Reserve(const std::string& table, Reservation mode)
{
    if (table.empty() || table.size() > 255)
        throw DatabaseError("A reserved table needs a name of 1 to 255 bytes");
    d_->reservations.emplace_back(table, mode);
}
void Transaction::SetLockTimeout(int seconds) { d_->lockTimeout = seconds > 0 ? seconds : 0; }

bool Transaction::Active() const { return d_->handle != 0; }

void Transaction::SetActive(bool on)
{
    if (on)
        d_->Start();
    else if (d_->handle != 0)
        d_->End(false);
}

void Transaction::Commit() { d_->End(true); }
void Transaction::Rollback() { d_->End(false); }

} // namespace dataaccess
