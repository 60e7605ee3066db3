// The Win32 backend against a real spooler. Under Wine: a CUPS raw queue
// (COLLI_WIN_QUEUE) whose device writes every job into a file of
// COLLI_WIN_LABEL_DIR (a Windows path), as a label printer on a socket would.
#include "printing/DeviceString.h"
#include "printing/LabelPrinter.h"
#include "printing/PrintError.h"
#include "printing/Win32Platform.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using namespace printing;

namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Wine's PostScript driver wraps each pass-through record; a label printer's
// own driver sends the bytes alone.
std::string PassThroughBytes(const std::string& job)
{
    const std::string begin = "%%BeginDocument: Wine passthrough\n";
    const std::string end = "\n%%EndDocument"; // the line end is Wine's
    if (job.find(begin) == std::string::npos)
        return job;
    std::string bytes;
    for (size_t at = job.find(begin); at != std::string::npos; at = job.find(begin, at)) {
        at += begin.size();
        const size_t stop = job.find(end, at);
        bytes += job.substr(at, stop - at);
        at = stop;
    }
    return bytes;
}

class Win32Spooler : public ::testing::Test {
protected:
    void SetUp() override
    {
        queue_ = Env("COLLI_WIN_QUEUE");
        labels_ = Env("COLLI_WIN_LABEL_DIR");
        if (queue_.empty() || labels_.empty())
            GTEST_SKIP() << "COLLI_WIN_QUEUE and COLLI_WIN_LABEL_DIR name the test queue";
        for (const auto& entry : fs::directory_iterator(labels_))
            seen_.insert(entry.path());
        folder_ = fs::temp_directory_path() / ("win32-print-" + std::to_string(::GetCurrentProcessId()));
        fs::create_directories(folder_);
        savedDefault_ = platform_.ReadDefaultDevice();
    }
    void TearDown() override
    {
        // The user's own default printer, whatever a test did to it.
        if (savedDefault_)
            platform_.WriteDefaultDevice(*savedDefault_);
        if (!folder_.empty())
            fs::remove_all(folder_);
    }

    std::string QueueDevice()
    {
        for (const PrinterRecord& printer : platform_.ListPrinters()) {
            if (printer.name == queue_)
                return MakeDeviceString(printer);
        }
        ADD_FAILURE() << "queue " << queue_ << " not listed";
        return {};
    }

    // The next job the queue delivers, as the printer got it.
    std::string NextJob()
    {
        for (int i = 0; i < 300; ++i) {
            for (const auto& entry : fs::directory_iterator(labels_)) {
                if (seen_.insert(entry.path()).second) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // let the writer finish
                    return ReadFile(entry.path());
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "no job arrived in " << labels_;
        return {};
    }

    std::string WriteTemplate(const std::string& bytes)
    {
        const fs::path path = folder_ / "ETICHETTA.TXT";
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    Win32Platform platform_;
    std::string queue_;
    fs::path labels_;
    fs::path folder_;
    std::set<fs::path> seen_;
    std::optional<std::string> savedDefault_;
};

// The profile entry itself: absent reads as the fallback given here.
std::wstring ProfileDevice()
{
    wchar_t buffer[512];
    const DWORD got = ::GetProfileStringW(L"windows", L"device", L"<absent>", buffer, 512);
    return std::wstring(buffer, got);
}

std::string ClipboardText()
{
    if (!::OpenClipboard(nullptr))
        return "<not open>";
    const HANDLE data = ::GetClipboardData(CF_TEXT);
    const std::string text = data ? static_cast<const char*>(::GlobalLock(data)) : "";
    if (data)
        ::GlobalUnlock(data);
    ::CloseClipboard();
    return text;
}

// Keeps the clipboard open from another thread, as another program would.
class ClipboardHolder {
public:
    explicit ClipboardHolder(std::chrono::milliseconds hold)
        : thread_([this, hold] {
              const bool open = ::OpenClipboard(nullptr);
              ready_.set_value(open);
              std::this_thread::sleep_for(hold);
              if (open)
                  ::CloseClipboard();
          })
    {
    }
    ~ClipboardHolder() { thread_.join(); }
    bool Holding() { return ready_.get_future().get(); }

private:
    std::promise<bool> ready_;
    std::thread thread_;
};

// Top-level windows whose thread answers no message, as a busy program's.
class UnansweringWindows {
public:
    explicit UnansweringWindows(int count)
        : release_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), thread_([this, count] {
              std::vector<HWND> windows;
              for (int i = 0; i < count; ++i)
                  windows.push_back(::CreateWindowExW(0, L"STATIC", L"busy", WS_POPUP, 0, 0, 10, 10, nullptr,
                                                      nullptr, nullptr, nullptr));
              ready_.set_value();
              ::WaitForSingleObject(release_, INFINITE);
              for (HWND window : windows)
                  ::DestroyWindow(window);
          })
    {
        ready_.get_future().wait();
    }
    ~UnansweringWindows()
    {
        ::SetEvent(release_);
        thread_.join();
        ::CloseHandle(release_);
    }

private:
    HANDLE release_;
    std::promise<void> ready_;
    std::thread thread_;
};

TEST_F(Win32Spooler, ListsTheQueueWithItsPort)
{
    const PrinterList list = FillPrinterList(platform_);
    ASSERT_TRUE(list.ok);
    // Wine keeps no driver key in the registry, and names the port after the queue.
    EXPECT_NE(std::find(list.devices.begin(), list.devices.end(), queue_ + ",,CUPS:" + queue_), list.devices.end());
}

// Past the bound the list is made without asking print servers: the same
// entries, in the same order, for printers of this machine.
TEST_F(Win32Spooler, ListWithoutWaitingForServersIsTheSame)
{
    Win32Platform impatient(std::chrono::milliseconds(0));
    EXPECT_EQ(FillPrinterList(impatient).devices, FillPrinterList(platform_).devices);
}

TEST_F(Win32Spooler, LabelArrivesVerbatimAndTheDefaultIsPutBack)
{
    const std::string before = "Ufficio \xC3\xA8,winspool,Ne01:"; // UTF-8 survives the round trip
    platform_.WriteDefaultDevice(before);
    ASSERT_EQ(platform_.ReadDefaultDevice(), before);

    const std::string tail(40000, 'x'); // more than one pass-through record
    LabelJob job;
    job.templatePath = WriteTemplate("^XA^FD<CODICEEAN>^FS\n^FD\x1A inside\n" + tail + "\n");
    job.selectedDevice = QueueDevice();
    job.codiceEan = "8001234567890";
    job.copyToClipboard = true;
    std::vector<std::string> warnings;
    PrintLabel(platform_, job, [&](const std::string& text) { warnings.push_back(text); });

    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(platform_.ReadDefaultDevice(), before);
    const std::string label = "^XA^FD8001234567890^FS\r\n^FD\x1A inside\r\n" + tail + "\r\n";
    const std::string sent = PassThroughBytes(NextJob());
    EXPECT_EQ(sent.size(), label.size());
    EXPECT_TRUE(sent == label) << "the bytes differ";

    ASSERT_TRUE(::OpenClipboard(nullptr));
    const HANDLE text = ::GetClipboardData(CF_TEXT);
    const std::string copied = text ? static_cast<const char*>(::GlobalLock(text)) : "";
    if (text)
        ::GlobalUnlock(text);
    ::CloseClipboard();
    EXPECT_TRUE(copied == label) << "clipboard: " << copied.size() << " bytes";
}

TEST_F(Win32Spooler, PassThroughQueryAndUnknownPrinter)
{
    const std::string saved = platform_.ReadDefaultDevice();
    platform_.WriteDefaultDevice(QueueDevice());
    EXPECT_TRUE(platform_.SupportsPassThrough());
    platform_.WriteDefaultDevice("Nessuna stampante,,LPT9:");
    try {
        platform_.SupportsPassThrough();
        ADD_FAILURE() << "no error for a printer that is not installed";
    } catch (const PrintError& e) {
        EXPECT_STREQ(e.what(), "There is no default printer currently selected");
    }
    platform_.WriteDefaultDevice(saved);
}

// Without a default printer the label leaves none behind, rather than a
// literal ",,," that Windows would take for a printer.
TEST_F(Win32Spooler, NoDefaultPrinterStaysNone)
{
    ASSERT_TRUE(::WriteProfileStringW(L"windows", L"device", nullptr));
    ASSERT_EQ(platform_.ReadDefaultDevice(), ",,,");
    LabelJob job;
    job.templatePath = WriteTemplate("^XA^FD<CODICEEAN>^FS^XZ");
    job.selectedDevice = QueueDevice();
    job.codiceEan = "8001234567890";
    PrintLabel(platform_, job, [](const std::string& text) { ADD_FAILURE() << text; });
    NextJob();
    EXPECT_EQ(ProfileDevice(), L"<absent>");
}

TEST_F(Win32Spooler, ClipboardHeldForAMomentIsWaitedFor)
{
    const struct {
        std::chrono::milliseconds hold;
        bool copied;
    } cases[] = {{std::chrono::milliseconds(300), true}, {std::chrono::milliseconds(3000), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hold.count());
        const std::string text = "label " + std::to_string(c.hold.count());
        ClipboardHolder other(c.hold);
        ASSERT_TRUE(other.Holding());
        try {
            platform_.SetClipboardText(text);
            EXPECT_TRUE(c.copied) << "the clipboard was not held";
            EXPECT_EQ(ClipboardText(), text);
        } catch (const PrintError& e) {
            EXPECT_FALSE(c.copied) << e.what();
            EXPECT_STREQ(e.what(), "Cannot open clipboard");
        }
    }
}

// Telling the other programs about the new default is bounded as a whole,
// not per window: eight silent windows once held a label for eight seconds.
TEST_F(Win32Spooler, SilentProgramsHoldUpTheDefaultSwitchBriefly)
{
    const UnansweringWindows busy(8);
    const auto start = std::chrono::steady_clock::now();
    platform_.WriteDefaultDevice(QueueDevice());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

} // namespace
