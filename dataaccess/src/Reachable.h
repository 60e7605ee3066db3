#pragma once

#include <string>

struct addrinfo;

namespace dataaccess {

// False when the server of a remote database name takes no TCP connection
// within the time (its packets are dropped); true when one of its addresses
// connects, when every one refuses at once, or when the name is not one to
// try (a local file, named pipes, a URL, a host that does not resolve): the
// client then reports for itself. Asked
// before the client connects, because a connect whose packets are dropped
// waits for the system's retransmissions, which no client setting shortens.
// attachmentConfig: the firebird.conf lines given to this attachment alone,
// which the client takes over its own firebird.conf.
bool ServerAnswers(const std::string& databaseName, int milliseconds, const std::string& attachmentConfig = {});

// The probe of one resolved name, address after address in the client's
// order: true once one connects, or when every one refuses at once; false
// when the budget runs out, or when one drops packets and none connects.
bool AddressesAnswer(const addrinfo* addresses, int milliseconds);

// The service the client connects to when the name gives no port:
// RemoteServicePort when set, else RemoteServiceName (gds_db when unset);
// each key from the attachment's own lines, else from the client's
// firebird.conf text.
std::string ClientService(const std::string& attachmentConfig, const std::string& clientConfig);

} // namespace dataaccess
