#pragma once

#include <functional>
#include <string>
#include <vector>

namespace printing {

class PrintPlatform;

// Fills the printer list: returns false (and no entries) when the enumeration
// fails or finds no printer. selectedIndex is 0 when exactly one entry exists, else -1.
struct PrinterList {
    bool ok = false;
    std::vector<std::string> devices;
    int selectedIndex = -1;
};
PrinterList FillPrinterList(PrintPlatform& platform);

struct LabelJob {
    std::string templatePath;   // UTF-8 file system path
    std::string selectedDevice; // text of ComboStampante (UTF-8), never cut
    std::string codiceEan;      // CurrentCodiceEAN, Windows-1252 bytes
    bool copyToClipboard = false;
};

// Reads the template, switches the default device, checks pass-through support,
// sends the filled-in label raw and puts the default back on every path.
// warn shows a warning box (UTF-8 text, CR line breaks) and returns when it is closed.
// Errors leave as PrintError (or the platform's own exceptions) after the
// default device has been put back.
void PrintLabel(PrintPlatform& platform, const LabelJob& job,
                const std::function<void(const std::string&)>& warn);

} // namespace printing
