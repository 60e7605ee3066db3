#include "printing/Win32Platform.h"

#include "WideText.h"
#include "printing/DeviceString.h"
#include "printing/PrintError.h"
#include "printing/RunWithin.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <vector>

namespace printing {

namespace {

constexpr const char* kNoDefaultPrinter = "There is no default printer currently selected";
constexpr const char* kPrinterNotValid = "Printer selected is not valid";
constexpr const wchar_t* kDriverKeys = L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows 4.0\\Drivers\\";
// Text bytes one PASSTHROUGH record carries after its 16-bit count.
constexpr size_t kRecordText = 16385;
// How long telling the running programs about a new default printer may take.
constexpr std::chrono::milliseconds kBroadcastPerWindow(200);
constexpr std::chrono::milliseconds kBroadcastTotal(1500);

std::string SystemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                              FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text ? text : L"", length);
    ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : Narrow(message);
}

class RegistryKey {
public:
    explicit RegistryKey(const std::wstring& path)
    {
        // Read access only: the value is never written, and asking for full
        // access fails for every user who is not an administrator.
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~RegistryKey()
    {
        if (key_)
            ::RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool IsOpen() const { return key_ != nullptr; }

    // A missing value reads as empty text; a value of another type is an error.
    std::string ReadText(const wchar_t* name) const
    {
        DWORD type = 0;
        DWORD size = 0;
        if (::RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return {};
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            throw PrintError("Invalid data type for '" + Narrow(name) + "'");
        std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (::RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) !=
            ERROR_SUCCESS)
            return {};
        value.resize(::wcsnlen(value.c_str(), size / sizeof(wchar_t)));
        return Narrow(value);
    }

private:
    HKEY key_ = nullptr;
};

class DeviceContext {
public:
    DeviceContext() = default;
    explicit DeviceContext(HDC dc) : dc_(dc) {}
    ~DeviceContext()
    {
        if (!dc_)
            return;
        if (inDocument_)
            ::AbortDoc(dc_);
        ::DeleteDC(dc_);
    }
    DeviceContext(const DeviceContext&) = delete;
    DeviceContext& operator=(const DeviceContext&) = delete;

    HDC get() const { return dc_; }
    void SetInDocument(bool inDocument) { inDocument_ = inDocument; }

private:
    HDC dc_ = nullptr;
    bool inDocument_ = false;
};

// The clipboard open for one write, owned by a hidden window of our own: with
// no owner, SetClipboardData fails after EmptyClipboard.
class OpenClipboardFor {
public:
    OpenClipboardFor()
    {
        window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        // Another program (a remote desktop, a clipboard manager) may hold the
        // clipboard for a moment: wait up to about a second before giving up.
        bool open = window_ && ::OpenClipboard(window_);
        for (int attempt = 0; window_ && !open && attempt < 20; ++attempt) {
            ::Sleep(50);
            open = ::OpenClipboard(window_);
        }
        if (!open) {
            if (window_)
                ::DestroyWindow(window_);
            throw PrintError("Cannot open clipboard");
        }
    }
    ~OpenClipboardFor()
    {
        ::CloseClipboard();
        ::DestroyWindow(window_);
    }
    OpenClipboardFor(const OpenClipboardFor&) = delete;
    OpenClipboardFor& operator=(const OpenClipboardFor&) = delete;

private:
    HWND window_ = nullptr;
};

struct SpooledPrinter {
    std::wstring name;
    std::wstring port;
};

// Level 2: names and ports, in the spooler's order. Throws
// PrinterEnumerationError when the spooler fails or knows no printer.
std::vector<SpooledPrinter> EnumerateWithPorts(DWORD flags)
{
    DWORD needed = 0;
    DWORD count = 0;
    ::EnumPrintersW(flags, nullptr, 2, nullptr, 0, &needed, &count);
    if (needed == 0)
        throw PrinterEnumerationError("No printer is installed");
    std::vector<BYTE> buffer(needed);
    if (!::EnumPrintersW(flags, nullptr, 2, buffer.data(), needed, &needed, &count))
        throw PrinterEnumerationError(SystemMessage(::GetLastError()));
    std::vector<SpooledPrinter> printers;
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        printers.push_back({info[i].pPrinterName ? info[i].pPrinterName : L"",
                            info[i].pPortName ? info[i].pPortName : L""});
    return printers;
}

std::vector<std::wstring> InstalledPrinterNames()
{
    DWORD needed = 0;
    DWORD count = 0;
    ::EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed);
    std::vector<std::wstring> names;
    if (needed == 0 || !::EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, buffer.data(),
                                        needed, &needed, &count))
        return names;
    const auto* info = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        names.emplace_back(info[i].pPrinterName ? info[i].pPrinterName : L"");
    return names;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM windows)
{
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

// Running programs re-read their default printer on this message. Each
// top-level window is given a short wait and all of them together a bounded
// one, so slow or hung programs hold up a label by at most that long; a
// window left out still finds the new default the next time it reads it.
void BroadcastProfileChange()
{
    using namespace std::chrono;
    std::vector<HWND> windows;
    ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
    const auto deadline = steady_clock::now() + kBroadcastTotal;
    for (HWND window : windows) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left <= milliseconds::zero())
            break;
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(window, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"windows"),
                              SMTO_ABORTIFHUNG | SMTO_NORMAL,
                              static_cast<UINT>(std::min(left, kBroadcastPerWindow).count()), &result);
    }
}

} // namespace

struct Win32Platform::Impl {
    std::unique_ptr<DeviceContext> job;

    // The printer the default device names, spelled as installed: Windows
    // printer names hold no comma, and the spooler compares them without case.
    std::wstring DefaultPrinter()
    {
        wchar_t buffer[1024];
        DWORD size = static_cast<DWORD>(std::size(buffer));
        std::wstring name;
        if (::GetDefaultPrinterW(buffer, &size))
            name = buffer;
        else
            name = Widen(PrinterNameOf(ReadProfileDevice()));
        for (const std::wstring& installed : InstalledPrinterNames()) {
            if (::lstrcmpiW(installed.c_str(), name.c_str()) == 0)
                return installed;
        }
        throw PrintError(kNoDefaultPrinter);
    }

    static std::string ReadProfileDevice()
    {
        // Read whole, however long: a device string cut here would be
        // written back cut.
        std::vector<wchar_t> buffer(256);
        for (;;) {
            const DWORD got = ::GetProfileStringW(L"windows", L"device", L",,,", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()));
            if (got + 1 < buffer.size())
                return Narrow(std::wstring(buffer.data(), got));
            buffer.resize(buffer.size() * 4);
        }
    }
};

namespace {

// Names from level 4, which the spooler answers from this machine's own
// registry, in the same order as level 2; ports from the local printers alone.
std::vector<SpooledPrinter> EnumerateWithoutServers()
{
    std::map<std::wstring, std::wstring> localPorts;
    try {
        for (SpooledPrinter& printer : EnumerateWithPorts(PRINTER_ENUM_LOCAL))
            localPorts.emplace(std::move(printer.name), std::move(printer.port));
    } catch (const PrinterEnumerationError&) {
        // only connections, or none at all: the names tell
    }
    std::vector<SpooledPrinter> printers;
    for (std::wstring& name : InstalledPrinterNames()) {
        const auto local = localPorts.find(name);
        printers.push_back({std::move(name), local == localPorts.end() ? std::wstring() : local->second});
    }
    if (printers.empty())
        throw PrinterEnumerationError("No printer is installed");
    return printers;
}

} // namespace

Win32Platform::Win32Platform(std::chrono::milliseconds enumerationBound)
    : d_(std::make_unique<Impl>()), enumerationBound_(enumerationBound)
{
}

Win32Platform::~Win32Platform() = default;

std::vector<PrinterRecord> Win32Platform::ListPrinters()
{
    // Local and connected printers: every 64-bit Windows is of the NT line.
    std::optional<std::vector<SpooledPrinter>> spooled = RunWithin<std::vector<SpooledPrinter>>(
        enumerationBound_, [] { return EnumerateWithPorts(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS); });
    if (!spooled)
        spooled = EnumerateWithoutServers();

    std::vector<PrinterRecord> printers;
    for (const SpooledPrinter& spooledPrinter : *spooled) {
        PrinterRecord printer;
        printer.name = Narrow(spooledPrinter.name);
        printer.port = Narrow(spooledPrinter.port);
        const RegistryKey key(kDriverKeys + spooledPrinter.name);
        if (key.IsOpen())
            printer.driver = key.ReadText(L"Driver");
        printers.push_back(std::move(printer));
    }
    return printers;
}

std::string Win32Platform::ReadDefaultDevice()
{
    return Impl::ReadProfileDevice();
}

void Win32Platform::WriteDefaultDevice(const std::string& device)
{
    // ",,," is what reading gives when no default is set: putting that back
    // means removing the entry, not leaving Windows an invalid default.
    const bool none = device == ",,,";
    if (!::WriteProfileStringW(L"windows", L"device", none ? nullptr : Widen(device).c_str()) &&
        !(none && Impl::ReadProfileDevice() == device))
        throw PrintError("Cannot set the default printer: " + SystemMessage(::GetLastError()));
    ::WriteProfileStringW(nullptr, nullptr, nullptr); // flushes the profile cache
    BroadcastProfileChange();
}

bool Win32Platform::SupportsPassThrough()
{
    const std::wstring printer = d_->DefaultPrinter();
    const DeviceContext query(::CreateICW(L"WINSPOOL", printer.c_str(), nullptr, nullptr));
    if (!query.get())
        throw PrintError(kPrinterNotValid);
    const int escape = PASSTHROUGH;
    return ::Escape(query.get(), QUERYESCSUPPORT, sizeof escape, reinterpret_cast<LPCSTR>(&escape), nullptr) > 0;
}

void Win32Platform::BeginJob()
{
    d_->job.reset();
    const std::wstring printer = d_->DefaultPrinter();
    auto job = std::make_unique<DeviceContext>(::CreateDCW(L"WINSPOOL", printer.c_str(), nullptr, nullptr));
    if (!job->get())
        throw PrintError(kPrinterNotValid);
    DOCINFOW document {};
    document.cbSize = sizeof document;
    document.lpszDocName = L"";
    if (::StartDocW(job->get(), &document) <= 0)
        throw PrintError("Cannot start the print job: " + SystemMessage(::GetLastError()));
    job->SetInDocument(true);
    if (::StartPage(job->get()) <= 0)
        throw PrintError("Cannot start the print job: " + SystemMessage(::GetLastError()));
    d_->job = std::move(job);
}

void Win32Platform::SendRaw(const std::string& bytes)
{
    if (!d_->job)
        throw PrintError("No print job is open");
    // Records of a 16-bit count and the bytes; an empty label is one empty record.
    std::vector<char> record(sizeof(WORD) + kRecordText + 1);
    size_t done = 0;
    do {
        const size_t chunk = std::min(kRecordText, bytes.size() - done);
        const WORD count = static_cast<WORD>(chunk);
        std::memcpy(record.data(), &count, sizeof count);
        std::memcpy(record.data() + sizeof count, bytes.data() + done, chunk);
        // The input size is the record's own: what a driver does with 0 is its choice.
        const int sent = ::Escape(d_->job->get(), PASSTHROUGH, static_cast<int>(sizeof count + chunk), record.data(),
                                  nullptr);
        // 0 is "not done" and below 0 an error: the label did not reach the spooler.
        if (sent < 0 || (sent == 0 && chunk > 0)) {
            d_->job.reset(); // aborts the job rather than leave half a label queued
            throw PrintError("Cannot send the label: the printer driver did not take the data");
        }
        done += chunk;
    } while (done < bytes.size());
}

void Win32Platform::EndPage()
{
    if (!d_->job)
        throw PrintError("No print job is open");
    if (::Escape(d_->job->get(), NEWFRAME, 0, nullptr, nullptr) <= 0) {
        d_->job.reset();
        throw PrintError("Cannot send the label: the printer driver did not end the page");
    }
}

void Win32Platform::EndJob()
{
    if (!d_->job)
        throw PrintError("No print job is open");
    const std::unique_ptr<DeviceContext> job = std::move(d_->job);
    // NEWFRAME ended the label's page; what this ends, if anything, is empty.
    ::EndPage(job->get());
    job->SetInDocument(false);
    if (::EndDoc(job->get()) <= 0)
        throw PrintError("Cannot send the label: " + SystemMessage(::GetLastError()));
}

void Win32Platform::SetClipboardText(const std::string& text)
{
    const OpenClipboardFor clipboard;
    ::EmptyClipboard();
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    if (!memory)
        throw PrintError("Cannot open clipboard");
    if (void* target = ::GlobalLock(memory)) {
        std::memcpy(target, text.c_str(), text.size() + 1);
        ::GlobalUnlock(memory);
    }
    if (!::SetClipboardData(CF_TEXT, memory)) {
        ::GlobalFree(memory);
        throw PrintError("Cannot open clipboard");
    }
}

} // namespace printing
