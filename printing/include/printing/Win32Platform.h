#pragma once

#include "printing/PrintPlatform.h"

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
    Win32Platform();
    ~Win32Platform() override;

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
};

} // namespace printing
