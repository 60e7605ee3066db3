#pragma once

#include <string>

namespace dataaccess {

// False when the server of a remote database name takes no TCP connection
// within the time (its packets are dropped); true when it connects, refuses at
// once, or the name is not one to try (a local file, named pipes, a URL, a
// host that does not resolve): the client then reports for itself. Asked
// before the client connects, because a connect whose packets are dropped
// waits for the system's retransmissions, which no client setting shortens.
bool ServerAnswers(const std::string& databaseName, int milliseconds);

} // namespace dataaccess
