#pragma once

#include <string>

namespace dataaccess {

// The code page the client library reads names and statement text in when
// they come without isc_dpb_utf8_filename: the ANSI code page on Windows
// (65001 when the system runs in UTF-8), UTF-8 elsewhere.
unsigned SystemCodePage();

// utf8 in codePage; throws DatabaseError naming what when a character has no
// code there, rather than letting the client read another text.
std::string InCodePage(const std::string& utf8, unsigned codePage, const std::string& what);

// A file name the way the client library reads one that comes without
// isc_dpb_utf8_filename (as in CREATE DATABASE).
std::string FileNameForClient(const std::string& utf8, unsigned codePage = SystemCodePage());

} // namespace dataaccess
