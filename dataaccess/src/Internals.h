#pragma once

#include "Status.h"

#include "dataaccess/Connection.h"
#include "dataaccess/Transaction.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dataaccess {

// Something whose open cursor must be closed before its transaction ends.
class CursorOwner {
public:
    virtual void CloseCursor() noexcept = 0;
    virtual void ForgetTransaction() noexcept = 0;
    virtual void ForgetConnection() noexcept = 0; // detached and destroyed: handles are gone

protected:
    ~CursorOwner() = default;
};

struct Connection::Impl {
    isc_db_handle handle = 0;
    std::string databaseName;
    std::vector<std::string> params;
    int sqlDialect = 3;
    bool loginPrompt = false;
    Transaction* defaultTransaction = nullptr;
    std::vector<Transaction*> transactions; // every transaction bound to this connection
    std::uint64_t attachment = 0;           // bumped on every attach; stale statements re-prepare

    void Attach();
    void Detach() noexcept;
    void AdoptDialect();
    // Raises "Database not connected" when detached.
    isc_db_handle* RequireHandle();
};

struct Transaction::Impl {
    Connection* connection = nullptr;
    isc_tr_handle handle = 0;
    std::vector<CursorOwner*> cursors; // queries and statements bound to this transaction

    void Start();
    void End(bool commit);
    // Commit, else roll back, else forget the handle; never raises.
    void Finish() noexcept;
    void CloseCursors() noexcept;
    // Raises "Transaction is not active" when none is open.
    isc_tr_handle* RequireHandle();

    void Register(CursorOwner* owner) { cursors.push_back(owner); }
    void Unregister(CursorOwner* owner) noexcept;
};

// SQL text as sent: every line followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);

} // namespace dataaccess
