#pragma once

#include <string>

namespace printing {

// Reads the label template as bytes: LF or CR LF end a line, a lone CR is
// dropped, Ctrl-Z at the start of a line ends the text, every line is
// followed by CR LF. Throws PrintError ("File not found", "File access
// denied" or the system's text) when the file cannot be read.
std::string ReadLabelTemplate(const std::string& path);

// Puts the EAN in place of "<CODICEEAN>", then its first 12 bytes in place of
// "<CODICEEAN_SHORT>"; exact case, inserted text is not searched again.
std::string FillPlaceholders(const std::string& templateText, const std::string& codiceEan);

} // namespace printing
