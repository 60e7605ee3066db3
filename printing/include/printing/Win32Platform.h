#pragma once

#include "printing/PrintPlatform.h"

#include <chrono>
#include <memory>
#include <string>

namespace printing {

// The platform calls on Windows: the spooler's printers with the driver
// module from the registry, the "windows"/"device" profile entry as the
// default device, GDI escapes for the raw label data and the clipboard's
// text format. Texts cross the interface as UTF-8 and the Win32 calls
// as UTF-16; label bytes go through unchanged.
class Win32Platform : public PrintPlatform {
public:
    // The printer list waits at most enumerationBound for print servers
    // (see ListPrinters).
    explicit Win32Platform(std::chrono::milliseconds enumerationBound = std::chrono::seconds(5));
    ~Win32Platform() override;

    // Level 2 of the spooler, as it comes. That opens every printer
    // connection, and a dead print server holds it for its RPC time-out:
    // past the bound the list is made without asking any server (names from
    // level 4, ports of the local printers; a connection's port stays empty).
    std::vector<PrinterRecord> ListPrinters() override;
    std::string ReadDefaultDevice() override;
    void WriteDefaultDevice(const std::string& device) override;
    bool SupportsPassThrough() override;
    void BeginJob() override;
    void SendRaw(const std::string& bytes) override;
    void EndPage() override;
    void EndJob() override;
    void SetClipboardText(const std::string& text) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
    std::chrono::milliseconds enumerationBound_;
};

} // namespace printing
