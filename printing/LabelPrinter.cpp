#include "printing/LabelPrinter.h"

#include "printing/DeviceString.h"
#include "printing/LabelTemplate.h"
#include "printing/PrintError.h"
#include "printing/PrintPlatform.h"

namespace printing {
namespace {

// Makes the selected device the default for the life of one label and puts
// the saved default back, exactly when it had to be switched.
class DefaultDeviceSwitch {
public:
    DefaultDeviceSwitch(PrintPlatform& platform, const std::string& selected, const std::string& saved)
        : platform_(platform), saved_(saved), switched_(selected != saved)
    {
        if (switched_)
            platform_.WriteDefaultDevice(selected);
    }

    ~DefaultDeviceSwitch()
    {
        // An error is already on its way out; a failed restore cannot be reported on top of it.
        try {
            Restore();
        } catch (...) {
        }
    }

    DefaultDeviceSwitch(const DefaultDeviceSwitch&) = delete;
    DefaultDeviceSwitch& operator=(const DefaultDeviceSwitch&) = delete;

    // On the normal paths, so that a failed restore reaches the operator.
    void Restore()
    {
        if (!switched_)
            return;
        switched_ = false;
        platform_.WriteDefaultDevice(saved_);
    }

private:
    PrintPlatform& platform_;
    const std::string saved_;
    bool switched_;
};

std::string NoPassThroughWarning(const std::string& device)
{
    return "La stampante selezionata\r" + device + "\rnon supporta i comandi Escape";
}

} // namespace

PrinterList FillPrinterList(PrintPlatform& platform)
{
    PrinterList list;
    std::vector<PrinterRecord> printers;
    try {
        printers = platform.ListPrinters();
    } catch (const PrinterEnumerationError&) {
        return list;
    }
    if (printers.empty())
        return list;
    list.devices.reserve(printers.size());
    for (const PrinterRecord& printer : printers)
        list.devices.push_back(MakeDeviceString(printer));
    list.ok = true;
    if (list.devices.size() == 1)
        list.selectedIndex = 0;
    return list;
}

void PrintLabel(PrintPlatform& platform, const LabelJob& job,
                const std::function<void(const std::string&)>& warn)
{
    const std::string templateText = ReadLabelTemplate(job.templatePath);
    const std::string selected = job.selectedDevice;
    const std::string saved = platform.ReadDefaultDevice();
    DefaultDeviceSwitch defaultDevice(platform, selected, saved);

    if (!platform.SupportsPassThrough()) {
        // The user's own default first: other programs must not print to the
        // label printer while the box waits, maybe for good.
        defaultDevice.Restore();
        warn(NoPassThroughWarning(selected));
        return;
    }

    const std::string label = FillPlaceholders(templateText, job.codiceEan);
    // The printer gets the text up to its first zero byte, never cut for length.
    const std::string data = label.substr(0, label.find('\0'));
    platform.BeginJob();
    platform.SendRaw(data);
    platform.EndPage();
    platform.EndJob();
    if (job.copyToClipboard)
        platform.SetClipboardText(data);
    defaultDevice.Restore();
}

} // namespace printing
