#pragma once

#include <string>

namespace admin {

// Lets BUILTIN\Users read and write the file itself (nothing inherited, no
// delete, no change of its rights): what the station's embedded engine needs
// on a database in a program folder that Users may only read. Windows only;
// elsewhere nothing is done. Throws with Windows' reason when refused.
void LetUsersWrite(const std::string& utf8Path);

// Whether BUILTIN\Users may write the file's data, as its ACL says (Windows);
// false elsewhere.
bool UsersMayWrite(const std::string& utf8Path);

} // namespace admin
