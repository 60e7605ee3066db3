// The printer list and the label steps over a recording platform.
#include "printing/LabelPrinter.h"
#include "printing/PrintError.h"
#include "printing/PrintPlatform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace printing;

namespace {

// Records every call; any step can be told to fail.
class RecordingPlatform : public PrintPlatform {
public:
    std::vector<std::string> calls;
    std::vector<PrinterRecord> printers;
    bool enumerationFails = false;
    std::string defaultDevice = ",,,";
    bool passThrough = true;
    std::string failAt; // name of the call that throws
    std::string sent;
    std::string clipboard;

    std::vector<PrinterRecord> ListPrinters() override
    {
        Record("ListPrinters");
        if (enumerationFails)
            throw PrinterEnumerationError("enumeration failed");
        return printers;
    }
    std::string ReadDefaultDevice() override
    {
        Record("ReadDefaultDevice");
        return defaultDevice;
    }
    void WriteDefaultDevice(const std::string& device) override
    {
        Record("WriteDefaultDevice " + device);
        defaultDevice = device;
    }
    bool SupportsPassThrough() override
    {
        Record("SupportsPassThrough");
        return passThrough;
    }
    void BeginJob() override { Record("BeginJob"); }
    void SendRaw(const std::string& bytes) override
    {
        Record("SendRaw");
        sent += bytes;
    }
    void EndPage() override { Record("EndPage"); }
    void EndJob() override { Record("EndJob"); }
    void SetClipboardText(const std::string& text) override
    {
        Record("SetClipboardText");
        clipboard = text;
    }

private:
    void Record(const std::string& call)
    {
        calls.push_back(call);
        if (!failAt.empty() && call.rfind(failAt, 0) == 0)
            throw PrintError("failed at " + failAt);
    }
};

using Calls = std::vector<std::string>;

class PrintLabelSteps : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = fs::temp_directory_path() / ("label-steps-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
        job_.templatePath = WriteTemplate("^XA^FD<CODICEEAN>^FS\n^FD<CODICEEAN_SHORT>^FS^XZ\n");
        job_.selectedDevice = "Etichette,TERMO,socket://10.0.0.9";
        job_.codiceEan = "8001234567890";
        platform_.defaultDevice = "Ufficio,LASER,ipp://office";
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string WriteTemplate(const std::string& bytes)
    {
        const std::string path = (folder_ / "ETICHETTA.TXT").string();
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    void Print() { PrintLabel(platform_, job_, [this](const std::string& text) { warnings_.push_back(text); }); }

    fs::path folder_;
    RecordingPlatform platform_;
    LabelJob job_;
    std::vector<std::string> warnings_;
};

TEST_F(PrintLabelSteps, SwitchesPrintsAndRestoresInOrder)
{
    job_.copyToClipboard = true;
    Print();
    EXPECT_EQ(platform_.calls, (Calls{"ReadDefaultDevice", "WriteDefaultDevice Etichette,TERMO,socket://10.0.0.9",
                                      "SupportsPassThrough", "BeginJob", "SendRaw", "EndPage", "EndJob",
                                      "SetClipboardText", "WriteDefaultDevice Ufficio,LASER,ipp://office"}));
    EXPECT_EQ(platform_.sent, "^XA^FD8001234567890^FS\r\n^FD800123456789^FS^XZ\r\n");
    EXPECT_EQ(platform_.clipboard, platform_.sent);
    EXPECT_TRUE(warnings_.empty());
}

TEST_F(PrintLabelSteps, SelectedEqualToDefaultTouchesNoSetting)
{
    platform_.defaultDevice = job_.selectedDevice;
    Print();
    EXPECT_EQ(platform_.calls, (Calls{"ReadDefaultDevice", "SupportsPassThrough", "BeginJob", "SendRaw", "EndPage", "EndJob"}));
}

TEST_F(PrintLabelSteps, DefaultsDifferingOnlyInCaseAreSwitched)
{
    platform_.defaultDevice = "etichette,TERMO,socket://10.0.0.9";
    Print();
    EXPECT_EQ(platform_.calls.at(1), "WriteDefaultDevice Etichette,TERMO,socket://10.0.0.9");
    EXPECT_EQ(platform_.calls.back(), "WriteDefaultDevice etichette,TERMO,socket://10.0.0.9");
}

TEST_F(PrintLabelSteps, NoDefaultSetIsPutBackAsNone)
{
    platform_.defaultDevice = ",,,";
    Print();
    EXPECT_EQ(platform_.calls.back(), "WriteDefaultDevice ,,,");
    EXPECT_EQ(platform_.defaultDevice, ",,,");
}

TEST_F(PrintLabelSteps, WithoutPassThroughWarnsAndStartsNoJob)
{
    platform_.passThrough = false;
    job_.copyToClipboard = true;
    Print();
    EXPECT_EQ(platform_.calls, (Calls{"ReadDefaultDevice", "WriteDefaultDevice Etichette,TERMO,socket://10.0.0.9",
                                      "SupportsPassThrough", "WriteDefaultDevice Ufficio,LASER,ipp://office"}));
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_EQ(warnings_[0], "La stampante selezionata\rEtichette,TERMO,socket://10.0.0.9\rnon supporta i comandi Escape");
}

TEST_F(PrintLabelSteps, WarningWaitsWithTheUsersOwnDefaultBack)
{
    platform_.passThrough = false;
    std::string defaultDuringWarning;
    PrintLabel(platform_, job_, [&](const std::string&) { defaultDuringWarning = platform_.defaultDevice; });
    EXPECT_EQ(defaultDuringWarning, "Ufficio,LASER,ipp://office");
    EXPECT_EQ(platform_.defaultDevice, "Ufficio,LASER,ipp://office");
}

TEST_F(PrintLabelSteps, MissingTemplateFailsBeforeAnythingIsTouched)
{
    job_.templatePath = (folder_ / "MISSING.TXT").string();
    EXPECT_THROW(
        {
            try {
                Print();
            } catch (const PrintError& e) {
                EXPECT_STREQ(e.what(), "File not found");
                throw;
            }
        },
        PrintError);
    EXPECT_TRUE(platform_.calls.empty());
}

TEST_F(PrintLabelSteps, EveryFailingStepStillRestoresTheDefault)
{
    for (const std::string step : {"SupportsPassThrough", "BeginJob", "SendRaw", "EndPage", "EndJob", "SetClipboardText"}) {
        SCOPED_TRACE(step);
        platform_ = RecordingPlatform{};
        platform_.defaultDevice = "Ufficio,LASER,ipp://office";
        platform_.failAt = step;
        job_.copyToClipboard = true;
        EXPECT_THROW(Print(), PrintError);
        ASSERT_GE(platform_.calls.size(), 2u);
        EXPECT_EQ(platform_.calls.rbegin()[1], step);
        EXPECT_EQ(platform_.calls.back(), "WriteDefaultDevice Ufficio,LASER,ipp://office");
        EXPECT_EQ(platform_.defaultDevice, "Ufficio,LASER,ipp://office");
    }
}

TEST_F(PrintLabelSteps, FailingStepWithoutSwitchWritesNothing)
{
    platform_.defaultDevice = job_.selectedDevice;
    platform_.failAt = "BeginJob";
    EXPECT_THROW(Print(), PrintError);
    EXPECT_EQ(platform_.calls, (Calls{"ReadDefaultDevice", "SupportsPassThrough", "BeginJob"}));
}

TEST_F(PrintLabelSteps, ClipboardUncheckedIsNotTouched)
{
    platform_.clipboard = "untouched";
    Print();
    EXPECT_EQ(platform_.clipboard, "untouched");
    EXPECT_EQ(std::count(platform_.calls.begin(), platform_.calls.end(), "SetClipboardText"), 0);
}

TEST_F(PrintLabelSteps, DataEndsBeforeTheFirstZeroByte)
{
    job_.templatePath = WriteTemplate(std::string("^XA\n^FD<CODICEEAN>") + '\0' + "tail\n");
    Print();
    EXPECT_EQ(platform_.sent, "^XA\r\n^FD8001234567890");
}

TEST_F(PrintLabelSteps, EmptyTemplateSendsAnEmptyJob)
{
    job_.templatePath = WriteTemplate("");
    Print();
    EXPECT_EQ(platform_.sent, "");
    EXPECT_NE(std::find(platform_.calls.begin(), platform_.calls.end(), "EndJob"), platform_.calls.end());
}

TEST_F(PrintLabelSteps, LabelsLongerThanOneRecordAreSentWhole)
{
    const std::string line(1000, 'L');
    std::string bytes;
    for (int i = 0; i < 20; ++i)
        bytes += line + "\n";
    job_.templatePath = WriteTemplate(bytes);
    Print();
    EXPECT_EQ(platform_.sent.size(), 20u * 1002u);
}

TEST_F(PrintLabelSteps, LongDeviceStringsAreNeitherCutNorRestoredShortened)
{
    const std::string longSelected = std::string(200, 'S') + ",DRV," + std::string(50, 'p');
    const std::string longDefault = std::string(150, 'D') + ",,lpd://x";
    job_.selectedDevice = longSelected;
    platform_.defaultDevice = longDefault;
    platform_.passThrough = false;
    Print();
    EXPECT_EQ(platform_.calls.at(1), "WriteDefaultDevice " + longSelected);
    EXPECT_EQ(platform_.calls.back(), "WriteDefaultDevice " + longDefault);
    EXPECT_NE(warnings_.at(0).find(longSelected), std::string::npos);
}

TEST_F(PrintLabelSteps, TemplateIsReadAfreshForEveryLabel)
{
    Print();
    job_.templatePath = WriteTemplate("second <CODICEEAN>");
    platform_.sent.clear();
    Print();
    EXPECT_EQ(platform_.sent, "second 8001234567890\r\n");
}

TEST(PrinterListFill, DeviceStringsFollowTheEnumerationOrder)
{
    RecordingPlatform platform;
    platform.printers = {{"Zebra", "TERMO.DRV", "LPT1:"}, {"Alfa", "", "socket://a"}, {"Zebra", "ABC.DRV.OLD", "COM1:"},
                         {"Punto", ".hidden", "x"}, {"NoDot", "PLAIN", "y"}};
    const PrinterList list = FillPrinterList(platform);
    EXPECT_TRUE(list.ok);
    EXPECT_EQ(list.devices, (std::vector<std::string>{"Zebra,TERMO,LPT1:", "Alfa,,socket://a", "Zebra,ABC,COM1:",
                                                      "Punto,,x", "NoDot,PLAIN,y"}));
    EXPECT_EQ(list.selectedIndex, -1);
}

TEST(PrinterListFill, OnlyPrinterIsSelected)
{
    RecordingPlatform platform;
    platform.printers = {{"Etichette", "TERMO.DRV", "LPT1:"}};
    const PrinterList list = FillPrinterList(platform);
    EXPECT_TRUE(list.ok);
    EXPECT_EQ(list.devices, std::vector<std::string>{"Etichette,TERMO,LPT1:"});
    EXPECT_EQ(list.selectedIndex, 0);
}

TEST(PrinterListFill, NoPrinterOrFailedEnumerationIsAFailure)
{
    RecordingPlatform none;
    EXPECT_FALSE(FillPrinterList(none).ok);
    RecordingPlatform failing;
    failing.printers = {{"A", "", "p"}};
    failing.enumerationFails = true;
    const PrinterList list = FillPrinterList(failing);
    EXPECT_FALSE(list.ok);
    EXPECT_TRUE(list.devices.empty());
    EXPECT_EQ(list.selectedIndex, -1);
}

TEST(PrinterListFill, LongNamesAreCutToTheirFirst255Characters)
{
    RecordingPlatform platform;
    std::string accented;
    for (int i = 0; i < 300; ++i)
        accented += "\xC3\xA8"; // è, two bytes in UTF-8
    platform.printers = {{std::string(300, 'n'), "", "p"}, {accented, "", "q"}};
    const PrinterList list = FillPrinterList(platform);
    EXPECT_EQ(list.devices.at(0), std::string(255, 'n') + ",,p");
    EXPECT_EQ(list.devices.at(1), accented.substr(0, 510) + ",,q");
}

} // namespace
