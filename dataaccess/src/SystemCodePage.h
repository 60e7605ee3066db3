#pragma once

#include <string>

namespace dataaccess {

// A file name the way the client library reads one that comes without
// isc_dpb_utf8_filename (as in CREATE DATABASE): in the ANSI code page on
// Windows, as bytes elsewhere. Throws DatabaseError when a character has no
// code there, rather than letting the client name another file.
std::string FileNameForClient(const std::string& utf8);

} // namespace dataaccess
