#pragma once

#include <stdexcept>
#include <string>

namespace dataaccess {

// Every failure of the layer. The message is UTF-8 text meant for the operator;
// server errors carry the client library's lines joined by CR LF.
class DatabaseError : public std::runtime_error {
public:
    explicit DatabaseError(const std::string& message, long gdsCode = 0, long sqlCode = 0,
                           std::string sqlState = {});

    long gdsCode() const noexcept { return gdsCode_; }
    long sqlCode() const noexcept { return sqlCode_; }
    const std::string& sqlState() const noexcept { return sqlState_; }

private:
    long gdsCode_;
    long sqlCode_;
    std::string sqlState_;
};

// The link to the server is gone (SQLSTATE class 08): the caller can only
// reconnect or give up, retrying the statement is pointless.
class ConnectionLostError : public DatabaseError {
public:
    using DatabaseError::DatabaseError;
};

// The server gave no answer within the bound: the call was cut off and the
// attachment counts as lost.
class NoAnswerError : public ConnectionLostError {
public:
    using ConnectionLostError::ConnectionLostError;
};

// The program ended the wait itself (the station is closing): the call was cut
// off, the attachment counts as lost, and nothing more is tried.
class WaitCancelledError : public ConnectionLostError {
public:
    using ConnectionLostError::ConnectionLostError;
};

} // namespace dataaccess
