#pragma once

#include "printing/PrintPlatform.h"

#include <string>

namespace printing {

// "name,driver,port": the name cut to its first 255 characters (UTF-8), the
// driver up to its first ".", the port whole.
std::string MakeDeviceString(const PrinterRecord& printer);

// The printer a device string names: the text before its first comma, leading
// blanks skipped.
std::string PrinterNameOf(const std::string& device);

} // namespace printing
