// Labels printed through a private CUPS scheduler to a listener that plays the printer.
#include "CupsRig.h"
#include "RawPrinterListener.h"

#include "printing/CupsPlatform.h"
#include "printing/LabelPrinter.h"
#include "printing/PrintError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace printing;
using namespace std::chrono_literals;

namespace {

// libcups keeps the user's default under HOME (some versions keep root's
// under CUPS_SERVERROOT); both point into a folder of this test process.
fs::path g_settings;

std::string RootLpoptions() { return (g_settings / "serverroot" / "lpoptions").string(); }
std::string Lpoptions() { return (g_settings / "home" / ".cups" / "lpoptions").string(); }

// A file made unwritable for this process, root included (immutable
// attribute), and writable again on destruction.
class Unwritable {
public:
    explicit Unwritable(std::string path) : path_(std::move(path))
    {
        if (::geteuid() == 0)
            immutable_ = SetImmutable(true);
        else
            fs::permissions(path_, fs::perms::owner_write, fs::perm_options::remove);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        else
            cause = std::strerror(errno);
    }
    ~Unwritable()
    {
        if (immutable_)
            SetImmutable(false);
        else
            fs::permissions(path_, fs::perms::owner_write, fs::perm_options::add);
    }
    Unwritable(const Unwritable&) = delete;
    Unwritable& operator=(const Unwritable&) = delete;

    std::string cause; // why opening for writing fails; empty when it does not

private:
    bool SetImmutable(bool on)
    {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            ::close(fd);
        return done;
    }

    std::string path_;
    bool immutable_ = false;
};

class CupsPrinting : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!cupsrig::Available())
            GTEST_SKIP() << "CUPS_SERVER is not set: no private CUPS scheduler";
        cupsrig::RemoveAllQueues();
        fs::remove(RootLpoptions());
        fs::remove_all(g_settings / "home" / ".cups");
        ::unsetenv("LPDEST");
        ::unsetenv("PRINTER");
        folder_ = g_settings / "labels";
        fs::create_directories(folder_);
    }

    void TearDown() override
    {
        if (cupsrig::Available())
            cupsrig::RemoveAllQueues();
        ::unsetenv("LPDEST");
    }

    std::string Queue(const std::string& name, const RawPrinterListener& listener)
    {
        cupsrig::AddRawQueue(name, listener.DeviceUri());
        return name + ",Local Raw Printer," + listener.DeviceUri();
    }

    std::string Template(const std::string& bytes)
    {
        const std::string path = (folder_ / "ETICHETTA.TXT").string();
        cupsrig::WriteFile(path, bytes);
        return path;
    }

    void Print(const std::string& device, const std::string& templateBytes, bool clipboard = false)
    {
        LabelJob job;
        job.templatePath = Template(templateBytes);
        job.selectedDevice = device;
        job.codiceEan = ean_;
        job.copyToClipboard = clipboard;
        PrintLabel(platform_, job, [this](const std::string& text) { warnings_.push_back(text); });
    }

    std::string Delivered(RawPrinterListener& listener)
    {
        auto delivery = listener.WaitForDelivery(30s);
        if (!delivery) {
            ADD_FAILURE() << "nothing reached the printer";
            return {};
        }
        return delivery->bytes;
    }

    fs::path folder_;
    std::string ean_ = "8001234567890";
    std::vector<std::string> clipboardWrites_;
    CupsPlatform platform_{[this](const std::string& text) { clipboardWrites_.push_back(text); }};
    std::vector<std::string> warnings_;
};

TEST_F(CupsPrinting, QueuesBecomeDeviceStrings)
{
    RawPrinterListener listener;
    EXPECT_FALSE(FillPrinterList(platform_).ok) << "no queue is a failure";

    const std::string only = Queue("Etichette", listener);
    PrinterList list = FillPrinterList(platform_);
    EXPECT_TRUE(list.ok);
    EXPECT_EQ(list.devices, std::vector<std::string>{only});
    EXPECT_EQ(list.selectedIndex, 0);

    const std::string second = Queue("Banco2", listener);
    list = FillPrinterList(platform_);
    EXPECT_TRUE(list.ok);
    EXPECT_EQ(list.devices, (std::vector<std::string>{second, only}));
    EXPECT_EQ(list.selectedIndex, -1);
}

TEST_F(CupsPrinting, DriverIsTheMakeAndModelUpToItsFirstDot)
{
    // A queue with a driver description, whose model name carries dots.
    const std::string ppd = (folder_ / "termo.ppd").string();
    cupsrig::WriteFile(ppd,
                       "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
                       "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"TERMO.PPD\"\n"
                       "*Manufacturer: \"Termo\"\n*Product: \"(Termo)\"\n*ModelName: \"TERMO.DRV.OLD label\"\n"
                       "*NickName: \"TERMO.DRV.OLD label\"\n*PSVersion: \"(3010.000) 0\"\n*ColorDevice: False\n"
                       "*DefaultColorSpace: Gray\n*FileSystem: False\n*LandscapeOrientation: Plus90\n"
                       "*TTRasterizer: Type42\n*OpenUI *PageSize: PickOne\n*DefaultPageSize: Label\n"
                       "*PageSize Label/Label: \"\"\n*CloseUI: *PageSize\n*DefaultImageableArea: Label\n"
                       "*ImageableArea Label/Label: \"0 0 288 432\"\n*DefaultPaperDimension: Label\n"
                       "*PaperDimension Label/Label: \"288 432\"\n");
    RawPrinterListener listener;
    cupsrig::Run({"lpadmin", "-p", "Termica", "-E", "-v", listener.DeviceUri(), "-P", ppd});
    const PrinterList list = FillPrinterList(platform_);
    EXPECT_EQ(list.devices, std::vector<std::string>{"Termica,TERMO," + listener.DeviceUri()});

    // Raw data still goes through unrendered on a queue with a driver.
    Print(list.devices.at(0), "^XA<CODICEEAN>\xB0^XZ");
    EXPECT_EQ(Delivered(listener), "^XA8001234567890\xB0^XZ\r\n");
}

TEST_F(CupsPrinting, UnreachableServerIsAFailedEnumeration)
{
    RawPrinterListener listener;
    Queue("Etichette", listener);
    const std::string server = std::getenv("CUPS_SERVER");
    // A fresh thread picks up the changed server; libcups keeps it per thread.
    PrinterList list;
    std::thread([&] {
        ::setenv("CUPS_SERVER", (g_settings / "no-such.sock").c_str(), 1);
        CupsPlatform other(nullptr);
        list = FillPrinterList(other);
        ::setenv("CUPS_SERVER", server.c_str(), 1);
    }).join();
    EXPECT_FALSE(list.ok);
    EXPECT_TRUE(list.devices.empty());
}

TEST_F(CupsPrinting, LabelArrivesByteForByte)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    const std::string label = "^XA\n^FO20,20^FD<CODICEEAN>^FS\r\n^FD<CODICEEAN_SHORT> \xE8\xE0\xF9\x80\xFF^FS\n^XZ";
    Print(device, label);
    EXPECT_EQ(Delivered(listener), "^XA\r\n^FO20,20^FD8001234567890^FS\r\n^FD800123456789 \xE8\xE0\xF9\x80\xFF^FS\r\n^XZ\r\n");
    EXPECT_TRUE(warnings_.empty());
}

TEST_F(CupsPrinting, LongLabelIsSentWhole)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    std::string label;
    for (int i = 0; label.size() < 20000; ++i)
        label += "^FO0," + std::to_string(i) + "^FD<CODICEEAN> riga " + std::to_string(i) + "^FS\r\n";
    Print(device, label);
    const std::string delivered = Delivered(listener);
    EXPECT_GT(delivered.size(), 20000u);
    EXPECT_EQ(delivered.substr(0, 34), "^FO0,0^FD8001234567890 riga 0^FS\r\n");
    EXPECT_EQ(delivered.substr(delivered.size() - 2), "\r\n");
}

TEST_F(CupsPrinting, DataStopsAtAZeroByte)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    Print(device, std::string("^XA\n^FD<CODICEEAN>") + '\0' + "never sent\n");
    EXPECT_EQ(Delivered(listener), "^XA\r\n^FD8001234567890");
}

TEST_F(CupsPrinting, EmptyTemplateIsAnEmptyJobNotAnError)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    EXPECT_NO_THROW(Print(device, ""));
    // The backend may or may not open the connection for an empty document; nothing may arrive either way.
    if (auto delivery = listener.WaitForDelivery(2s)) {
        EXPECT_EQ(delivery->bytes, "");
    }
}

TEST_F(CupsPrinting, UserDefaultIsPutBackByteForByte)
{
    RawPrinterListener listener;
    const std::string label = Queue("Etichette", listener);
    const std::string office = Queue("Ufficio", listener);
    cupsrig::Run({"lpoptions", "-d", "Ufficio"});
    cupsrig::Run({"lpoptions", "-p", "Etichette", "-o", "media=Custom.4x6in"});
    const std::string before = cupsrig::ReadFile(Lpoptions());
    ASSERT_NE(before.find("Default Ufficio"), std::string::npos) << before;
    EXPECT_EQ(platform_.ReadDefaultDevice(), office);

    Print(label, "^XA<CODICEEAN>^XZ");
    EXPECT_EQ(Delivered(listener), "^XA8001234567890^XZ\r\n");
    bool exists = false;
    EXPECT_EQ(cupsrig::ReadFile(Lpoptions(), &exists), before);
    EXPECT_TRUE(exists);
    EXPECT_EQ(platform_.ReadDefaultDevice(), office);
}

TEST_F(CupsPrinting, NoDefaultBeforeMeansNoDefaultAfter)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    Queue("Ufficio", listener);
    EXPECT_EQ(platform_.ReadDefaultDevice(), ",,,");
    Print(device, "x");
    EXPECT_EQ(Delivered(listener), "x\r\n");
    EXPECT_FALSE(fs::exists(Lpoptions()));
    EXPECT_EQ(platform_.ReadDefaultDevice(), ",,,");
}

TEST_F(CupsPrinting, SelectedDefaultIsNotRewritten)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    Queue("Ufficio", listener);
    cupsrig::Run({"lpoptions", "-d", "Etichette"});
    const auto before = fs::last_write_time(Lpoptions());
    const std::string bytes = cupsrig::ReadFile(Lpoptions());
    Print(device, "x");
    EXPECT_EQ(Delivered(listener), "x\r\n");
    EXPECT_EQ(fs::last_write_time(Lpoptions()), before);
    EXPECT_EQ(cupsrig::ReadFile(Lpoptions()), bytes);
}

TEST_F(CupsPrinting, LongDeviceStringsAreKeptWhole)
{
    RawPrinterListener listener;
    const std::string longName = "Etichette_" + std::string(110, 'x');
    const std::string longDevice = Queue(longName, listener);
    ASSERT_GT(longDevice.size(), 127u);
    const std::string office = Queue("Ufficio", listener);
    cupsrig::Run({"lpoptions", "-d", longName});
    EXPECT_EQ(platform_.ReadDefaultDevice(), longDevice);

    Print(office, "a");
    EXPECT_EQ(Delivered(listener), "a\r\n");
    EXPECT_EQ(platform_.ReadDefaultDevice(), longDevice);
    Print(longDevice, "b");
    EXPECT_EQ(Delivered(listener), "b\r\n");
}

TEST_F(CupsPrinting, RemovedQueueFailsAndRestores)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    Queue("Ufficio", listener);
    cupsrig::Run({"lpoptions", "-d", "Ufficio"});
    const std::string before = cupsrig::ReadFile(Lpoptions());
    cupsrig::RemoveQueue("Etichette");
    try {
        Print(device, "x");
        ADD_FAILURE() << "no error";
    } catch (const PrintError& e) {
        EXPECT_STREQ(e.what(), "There is no default printer currently selected");
    }
    EXPECT_EQ(cupsrig::ReadFile(Lpoptions()), before);
}

TEST_F(CupsPrinting, UnwritableUserSettingsAreTheReasonGiven)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    Queue("Ufficio", listener);
    cupsrig::Run({"lpoptions", "-d", "Ufficio"});
    const std::string before = cupsrig::ReadFile(Lpoptions());
    const Unwritable locked(Lpoptions());
    if (locked.cause.empty())
        GTEST_SKIP() << "cannot make " << Lpoptions() << " unwritable here (no immutable attribute)";
    try {
        Print(device, "x");
        ADD_FAILURE() << "no error";
    } catch (const PrintError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot set the default printer: cannot write " + Lpoptions() + ": " + locked.cause);
    }
    EXPECT_EQ(cupsrig::ReadFile(Lpoptions()), before);
    EXPECT_FALSE(listener.WaitForDelivery(2s));
}

TEST_F(CupsPrinting, RejectingQueueFailsWithTheReasonAndRestores)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    cupsrig::Run({"cupsreject", "-r", "carta finita", "Etichette"});
    try {
        Print(device, "x");
        ADD_FAILURE() << "no error";
    } catch (const PrintError& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("Printer selected is not valid: ", 0), 0u) << message;
        EXPECT_GT(message.size(), std::string("Printer selected is not valid: ").size());
    }
    EXPECT_FALSE(fs::exists(Lpoptions()));
    EXPECT_FALSE(listener.WaitForDelivery(2s));
}

TEST_F(CupsPrinting, LpdestCannotRedirectTheLabel)
{
    RawPrinterListener labels;
    RawPrinterListener office;
    const std::string device = Queue("Etichette", labels);
    const std::string officeDevice = Queue("Ufficio", office);
    ::setenv("LPDEST", "Ufficio", 1);
    EXPECT_EQ(platform_.ReadDefaultDevice(), officeDevice);
    Print(device, "to labels");
    EXPECT_EQ(Delivered(labels), "to labels\r\n");
    EXPECT_FALSE(office.WaitForDelivery(2s));
    EXPECT_FALSE(fs::exists(Lpoptions()));
}

TEST_F(CupsPrinting, QueueNameWithACommaGetsItsOwnLabel)
{
    RawPrinterListener plain;
    RawPrinterListener withComma;
    Queue("Banco", plain);
    const std::string device = Queue("Banco,2", withComma);
    Queue("Ufficio", plain);
    const PrinterList list = FillPrinterList(platform_);
    ASSERT_NE(std::find(list.devices.begin(), list.devices.end(), device), list.devices.end());
    Print(device, "virgola");
    EXPECT_EQ(Delivered(withComma), "virgola\r\n");
    EXPECT_FALSE(plain.WaitForDelivery(2s));
    EXPECT_FALSE(fs::exists(Lpoptions()));
}

TEST_F(CupsPrinting, ClipboardOnlyWhenChecked)
{
    RawPrinterListener listener;
    const std::string device = Queue("Etichette", listener);
    Print(device, "^FD<CODICEEAN>\n", false);
    EXPECT_EQ(Delivered(listener), "^FD8001234567890\r\n");
    EXPECT_TRUE(clipboardWrites_.empty());
    Print(device, "^FD<CODICEEAN>\n", true);
    EXPECT_EQ(Delivered(listener), "^FD8001234567890\r\n");
    EXPECT_EQ(clipboardWrites_, std::vector<std::string>{"^FD8001234567890\r\n"});
}

TEST_F(CupsPrinting, SecondLabelFollowsTheNewSelection)
{
    RawPrinterListener first;
    RawPrinterListener second;
    const std::string firstDevice = Queue("Banco1", first);
    const std::string secondDevice = Queue("Banco2", second);
    Print(firstDevice, "uno <CODICEEAN>");
    EXPECT_EQ(Delivered(first), "uno 8001234567890\r\n");
    ean_ = "4006381333931";
    Print(secondDevice, "due <CODICEEAN>");
    EXPECT_EQ(Delivered(second), "due 4006381333931\r\n");
    EXPECT_FALSE(first.WaitForDelivery(1s));
    EXPECT_FALSE(fs::exists(Lpoptions()));
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    g_settings = fs::temp_directory_path() / ("cups-printing-" + std::to_string(::getpid()));
    fs::create_directories(g_settings / "serverroot");
    fs::create_directories(g_settings / "home");
    fs::permissions(g_settings, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    ::setenv("CUPS_SERVERROOT", (g_settings / "serverroot").c_str(), 1);
    ::setenv("HOME", (g_settings / "home").c_str(), 1);
    const int result = RUN_ALL_TESTS();
    fs::remove_all(g_settings);
    return result;
}
