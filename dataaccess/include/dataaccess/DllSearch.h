#pragma once

namespace dataaccess {

// Takes the current folder and PATH out of every later DLL search of the
// process: only the program's folder, the system folder and folders named on
// purpose remain. Called first thing, before anything is loaded by name.
// Does nothing outside Windows.
void RestrictDllSearch();

} // namespace dataaccess
