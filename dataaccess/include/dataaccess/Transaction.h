#pragma once

#include <memory>

namespace dataaccess {

class Connection;

// The one transaction of a connection, started with an empty parameter block.
class Transaction {
public:
    explicit Transaction(Connection& connection);
    ~Transaction(); // an open transaction is committed, else rolled back; never throws
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    Connection& DefaultDatabase() const;

    bool Active() const;
    void SetActive(bool on); // false rolls back an open transaction; silent when inactive
    void Commit();           // "Transaction is not active" when none is open
    void Rollback();

    struct Impl;
    Impl& impl() const { return *d_; }

private:
    std::unique_ptr<Impl> d_;
};

} // namespace dataaccess
