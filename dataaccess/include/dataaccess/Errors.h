#pragma once

#include <stdexcept>
#include <string>

namespace dataaccess {

// Why a server turned an attach down, in the classes a caller acts on: only
// NoSuchDatabase says that nothing is there under the name.
enum class AttachRefusal {
    Other,          // any other error, or not one of an attach
    NoSuchDatabase, // the server looked and found no file under the name
    NoConnection,   // no link to the server: refused, unknown host, rejected
    LoginRefused,   // user name, password or login method turned down
    ShutDown,       // the database (or the server) is shut down
    NotAllowed,     // the server's configuration or rights forbid that file
};

// Every failure of the layer. The message is UTF-8 text meant for the operator;
// server errors carry the client library's lines joined by CR LF.
class DatabaseError : public std::runtime_error {
public:
    explicit DatabaseError(const std::string& message, long gdsCode = 0, long sqlCode = 0,
                           std::string sqlState = {}, AttachRefusal refusal = AttachRefusal::Other);

    long gdsCode() const noexcept { return gdsCode_; }
    long sqlCode() const noexcept { return sqlCode_; }
    const std::string& sqlState() const noexcept { return sqlState_; }
    // Read from the whole status vector, which the message and the first
    // GDS code do not tell apart.
    AttachRefusal refusal() const noexcept { return refusal_; }

private:
    long gdsCode_;
    long sqlCode_;
    std::string sqlState_;
    AttachRefusal refusal_;
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
