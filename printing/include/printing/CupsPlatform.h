#pragma once

#include "printing/PrintPlatform.h"

#include <functional>
#include <memory>
#include <string>

namespace printing {

// The platform calls on CUPS (libcups 2.4): the server's own queues as
// printers (driver = make and model, port = device URI), the user's lpoptions
// default as the default device (put back byte for byte after a switch), and
// raw jobs created on the queue by name, so LPDEST or PRINTER never redirect
// a label. The server is the one libcups is set up for (CUPS_SERVER,
// client.conf).
class CupsPlatform : public PrintPlatform {
public:
    // clipboardWriter receives the label text (Windows-1252 bytes) for the clipboard.
    explicit CupsPlatform(std::function<void(const std::string&)> clipboardWriter);
    ~CupsPlatform() override;

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
