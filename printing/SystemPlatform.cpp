#include "printing/SystemPlatform.h"

#ifdef _WIN32
#include "printing/Win32Platform.h"
#else
#include "printing/CupsPlatform.h"
#endif

namespace printing {

std::unique_ptr<PrintPlatform> MakeSystemPrintPlatform(std::function<void(const std::string&)> clipboardWriter)
{
#ifdef _WIN32
    (void)clipboardWriter; // the Win32 clipboard is written directly, as CF_TEXT
    return std::make_unique<Win32Platform>();
#else
    return std::make_unique<CupsPlatform>(std::move(clipboardWriter));
#endif
}

} // namespace printing
