#include "printing/DeviceString.h"

namespace printing {
namespace {

// Byte length of the first maxChars UTF-8 characters of text.
size_t Utf8Prefix(const std::string& text, size_t maxChars)
{
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80) {
            if (chars == maxChars)
                return i;
            ++chars;
        }
    }
    return text.size();
}

} // namespace

std::string MakeDeviceString(const PrinterRecord& printer)
{
    const std::string name = printer.name.substr(0, Utf8Prefix(printer.name, 255));
    const std::string driver = printer.driver.substr(0, printer.driver.find('.'));
    return name + "," + driver + "," + printer.port;
}

std::string PrinterNameOf(const std::string& device)
{
    const size_t start = device.find_first_not_of(' ');
    if (start == std::string::npos)
        return {};
    const size_t comma = device.find(',', start);
    return device.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
}

} // namespace printing
