#pragma once

#include <string>
#include <vector>

namespace printing {

struct PrinterRecord {
    std::string name;   // full name; the device string cuts it to 255 characters
    std::string driver; // driver module text as found (may hold dots), empty when unknown
    std::string port;
};

// The platform calls the printer list and the label job need. One backend per
// platform (CUPS now); the logic above it is written once.
class PrintPlatform {
public:
    virtual ~PrintPlatform() = default;

    // Throws PrinterEnumerationError when the enumeration itself fails; an
    // empty result means no printer.
    virtual std::vector<PrinterRecord> ListPrinters() = 0;

    // The user's default device string (UTF-8), ",,," when none is set.
    virtual std::string ReadDefaultDevice() = 0;
    // Makes device the default. Writing back the string the last
    // ReadDefaultDevice returned puts the user's setting back as it was.
    virtual void WriteDefaultDevice(const std::string& device) = 0;

    // Asks the printer of the current default device whether it takes raw
    // data; throws PrintError when that printer cannot be reached.
    virtual bool SupportsPassThrough() = 0;

    // The job goes to the printer of the current default device, with an empty
    // document name. SendRaw may be called more than once per job.
    virtual void BeginJob() = 0;                        // StartDoc + StartPage
    virtual void SendRaw(const std::string& bytes) = 0; // PASSTHROUGH
    virtual void EndPage() = 0;                         // NEWFRAME
    virtual void EndJob() = 0;                          // EndPage + EndDoc

    virtual void SetClipboardText(const std::string& text) = 0;
};

} // namespace printing
