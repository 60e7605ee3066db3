#pragma once

#include "printing/PrintPlatform.h"

#include <functional>
#include <memory>
#include <string>

namespace printing {

// The printing platform of the system the program runs on: the spooler and
// GDI on Windows, CUPS elsewhere. clipboardWriter receives the label text
// (Windows-1252 bytes) where the platform has no clipboard call of its own.
std::unique_ptr<PrintPlatform> MakeSystemPrintPlatform(std::function<void(const std::string&)> clipboardWriter);

} // namespace printing
