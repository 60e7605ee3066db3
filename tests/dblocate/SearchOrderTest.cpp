#include "dblocate/DatabaseLocator.h"
#include "dblocate/SettingsFile.h"

#include "ScriptedUi.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <deque>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <optional>
#include <sstream>

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#endif

using namespace dblocate;

namespace {

const std::string NotFound = "Non trovato dati.ini";
const std::string NotOpened = "Apertura / creazione del database non riuscita!";
const std::string NetworkPath = "Errore: nonostante le configurazioni, il particolare percorso di rete sta "
                                "rendendo impossibile l'attivazione del database";

std::string ShareWarning(const std::string& share)
{
    return "Attenzione: il disco con gli archivi \xC3\xA8 stato condiviso in rete con un nome - " + share
        + " - e non con la lettera che lo identifica. Si consiglia di correggere la condivisione oppure di "
          "correggere manualmente la sezione Percorso Nel Server nel file Dati.ini accanto al database";
}

#ifdef _WIN32
// A real folder of the machine that a test writes settings into: the test
// starts without settings there, and the folder and its settings file are put
// back as they were afterwards, so that running the tests on a workstation
// leaves its own dati.ini alone.
class BorrowedFolder {
public:
    explicit BorrowedFolder(const std::string& folder) : file_(std::filesystem::u8path(folder + "dati.ini"))
    {
        std::error_code error;
        const std::filesystem::path path = std::filesystem::u8path(folder);
        made_ = !std::filesystem::exists(path, error) && std::filesystem::create_directories(path, error);
        if (std::ifstream in {file_, std::ios::binary}) {
            std::ostringstream content;
            content << in.rdbuf();
            saved_ = content.str();
        }
        std::filesystem::remove(file_, error);
    }
    ~BorrowedFolder()
    {
        std::error_code error;
        if (saved_)
            std::ofstream(file_, std::ios::binary | std::ios::trunc) << *saved_;
        else
            std::filesystem::remove(file_, error);
        if (made_)
            std::filesystem::remove(file_.parent_path(), error);
    }
    BorrowedFolder(const BorrowedFolder&) = delete;
    BorrowedFolder& operator=(const BorrowedFolder&) = delete;

private:
    std::filesystem::path file_;
    std::optional<std::string> saved_;
    bool made_ = false;
};
#endif

// Runs the search in a scratch working folder, so that a Windows-style program
// folder such as C:\Colli\ finds its settings in a file literally named
// "C:\Colli\dati.ini" there.
class SearchOrderTest : public ::testing::Test {
protected:
    QTemporaryDir scratch;
    std::filesystem::path previous = std::filesystem::current_path();
    ScriptedUi ui;
    std::vector<std::string> tried;   // names as they reach the client library
    std::deque<bool> outcomes;        // what each attempt reports; false when none left
#ifdef _WIN32
    // On Windows these folders are real.
    std::list<BorrowedFolder> borrowed;
#endif

    void SetUp() override
    {
        std::filesystem::current_path(scratch.path().toStdString());
#ifdef _WIN32
        for (const char* folder : {"C:\\Colli\\", "Z:\\Colli\\", "\\\\SRV\\D\\Colli\\", "\\\\SRV\\Dati\\Colli\\"})
            borrowed.emplace_back(folder);
#endif
    }
    void TearDown() override
    {
#ifdef _WIN32
        borrowed.clear();
#endif
        std::filesystem::current_path(previous);
    }

    static void PutSettings(const std::string& folder, const std::string& content)
    {
        std::ofstream(folder + "dati.ini", std::ios::binary) << content;
    }
    static std::string Settings(const std::string& folder)
    {
        std::ifstream in(folder + "dati.ini", std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    bool Search(const std::string& folder, const std::string& fileName = "ARCHIVIOCOLLI.FDB",
                const DriveSystem& drives = SystemDrives())
    {
        return SearchDatabase(folder, fileName, ui,
                              [this](const std::string& name, const std::string& server, const std::string& drive) {
                                  tried.push_back(ConnectionName(name, server, drive));
                                  if (outcomes.empty())
                                      return false;
                                  const bool ok = outcomes.front();
                                  outcomes.pop_front();
                                  return ok;
                              },
                              drives);
    }
};

// Drives as Windows would describe them.
struct FakeDrives : DriveSystem {
    std::map<char, std::string> remote;  // letter -> WNetGetConnectionW's answer ("" when it has none)
    std::map<char, std::string> devices; // letter -> QueryDosDeviceW's answer

    bool IsRemote(char letter) const override { return remote.count(letter) != 0; }
    std::string Connection(char letter) const override { return remote.count(letter) ? remote.at(letter) : ""; }
    std::string DosDevice(char letter) const override
    {
        return devices.count(letter) ? devices.at(letter) : "\\Device\\HarddiskVolume1";
    }
};

FakeDrives SiteDrives()
{
    FakeDrives drives;
    drives.remote['P'] = "\\\\SRV\\D";
    drives.remote['Q'] = "";
    drives.devices['Q'] = "\\Device\\LanmanRedirector\\;Q:000000000001a2b3\\SRV\\Dati";
    drives.remote['N'] = ""; // a network drive nothing tells the share of
    drives.devices['S'] = "\\??\\C:\\Magazzino"; // subst S: C:\Magazzino
    drives.devices['T'] = "\\??\\S:\\Reparto";   // subst T: S:\Reparto
    drives.devices['U'] = "\\??\\UNC\\SRV\\D\\Dati"; // subst U: \\SRV\D\Dati
    drives.devices['V'] = "\\??\\P:\\";          // subst V: P:\\ (itself a network drive)
    return drives;
}

using Names = std::vector<std::string>;

TEST_F(SearchOrderTest, AliasOnTheServerIsTriedFirstAndEndsTheSearch)
{
    PutSettings("C:\\Colli\\", "[CONFIG]\r\nNome Server=SRV\r\nAlias=colli\r\nPercorsoDatabase=D:\\Dati\r\n");
    outcomes = {true};
    EXPECT_TRUE(Search("C:\\Colli\\"));
    EXPECT_EQ(tried, Names{"SRV:colli"});
    EXPECT_TRUE(ui.seen.empty());
}

TEST_F(SearchOrderTest, AliasNeedsBothServerAndAlias)
{
    PutSettings("C:\\Colli\\", "[CONFIG]\r\nAlias=colli\r\n");
    outcomes = {true};
    EXPECT_TRUE(Search("C:\\Colli\\"));
    EXPECT_EQ(tried, Names{"C:\\Colli\\ARCHIVIOCOLLI.FDB"});

    tried.clear();
    PutSettings("C:\\Colli\\", "[CONFIG]\r\nNome Server=SRV\r\n");
    outcomes = {true};
    EXPECT_TRUE(Search("C:\\Colli\\"));
    EXPECT_EQ(tried, Names{"C:\\Colli\\ARCHIVIOCOLLI.FDB"});
    EXPECT_TRUE(ui.seen.empty());
}

#ifdef _WIN32
TEST_F(SearchOrderTest, ServerFolderIsTheLastAttemptWithoutMessages)
{
    for (const std::string folder : {"D:\\Dati", "D:\\Dati\\"}) {
        SCOPED_TRACE(folder);
        tried.clear();
        PutSettings("C:\\Colli\\", "[CONFIG]\r\nNome Server=SRV\r\nAlias=colli\r\nPercorsoDatabase=" + folder + "\r\n");
        EXPECT_FALSE(Search("C:\\Colli\\"));
        EXPECT_EQ(tried, (Names{"SRV:colli", "\\\\SRV\\D:\\Dati\\ARCHIVIOCOLLI.FDB"}));
        EXPECT_TRUE(ui.seen.empty());
    }

    tried.clear();
    PutSettings("C:\\Colli\\", "[CONFIG]\r\nPercorsoDatabase=D:\\Dati\r\n");
    outcomes = {true};
    EXPECT_TRUE(Search("C:\\Colli\\"));
    EXPECT_EQ(tried, Names{"\\\\\\D:\\Dati\\ARCHIVIOCOLLI.FDB"});
}
#else
// Without named pipes the server folder cannot be reached: only the alias is
// tried, and nothing follows, as when the folder attempt fails.
TEST_F(SearchOrderTest, ServerFolderWithoutNamedPipesEndsTheSearch)
{
    const std::string folder = scratch.path().toStdString() + "/";
    const struct {
        std::string settings;
        Names tried;
    } cases[] = {
        {"Nome Server=magazzino\nAlias=colli\nPercorsoDatabase=Dati\n", {"magazzino:colli"}},
        {"Nome Server=magazzino\nPercorsoDatabase=Dati\n", {}},
        {"PercorsoDatabase=D:\\Dati\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        tried.clear();
        PutSettings(folder, "[CONFIG]\n" + c.settings);
        EXPECT_FALSE(Search(folder));
        EXPECT_EQ(tried, c.tried);
        EXPECT_TRUE(ui.seen.empty());
    }
}
#endif

TEST_F(SearchOrderTest, ProgramFolderNames)
{
    outcomes = {true};
    EXPECT_TRUE(Search("C:\\Colli\\"));
    EXPECT_EQ(tried, Names{"C:\\Colli\\ARCHIVIOCOLLI.FDB"});

    tried.clear();
    outcomes = {true};
    EXPECT_TRUE(Search("\\\\SRV\\D\\Colli\\"));
    EXPECT_EQ(tried, Names{"SRV:D:\\Colli\\ARCHIVIOCOLLI.FDB"});

    tried.clear();
    PutSettings("\\\\SRV\\Dati\\Colli\\", "[CONFIG]\r\nPercorso Nel Server=E:\\Dati\\Colli\\\r\n");
    outcomes = {true};
    EXPECT_TRUE(Search("\\\\SRV\\Dati\\Colli\\"));
    EXPECT_EQ(tried, Names{"SRV:E:\\Dati\\Colli\\ARCHIVIOCOLLI.FDB"});

    tried.clear();
    outcomes = {true};
    EXPECT_TRUE(Search("C:\\Colli\\", ""));
    EXPECT_EQ(tried, Names{"C:\\Colli\\archivio.fdb"});
    EXPECT_TRUE(ui.seen.empty());
}

TEST_F(SearchOrderTest, NamedShareWithoutServerFolderOnlyWarns)
{
    EXPECT_FALSE(Search("\\\\SRV\\Dati\\Colli\\"));
    EXPECT_TRUE(tried.empty());
    EXPECT_EQ(ui.seen, Names{ShareWarning("Dati")});
}

TEST_F(SearchOrderTest, NamedShareWithServerFolderReportsTheNetworkPathAndStops)
{
    PutSettings("\\\\SRV\\Dati\\Colli\\",
                "[CONFIG]\r\nPercorso Nel Server=E:\\Dati\\Colli\\\r\nNome Server=SRV\r\n");
    EXPECT_FALSE(Search("\\\\SRV\\Dati\\Colli\\"));
    EXPECT_EQ(tried, Names{"SRV:E:\\Dati\\Colli\\ARCHIVIOCOLLI.FDB"});
    EXPECT_EQ(ui.seen, Names{NetworkPath});
}

TEST_F(SearchOrderTest, StoredServerIsUsedWithoutAsking)
{
    PutSettings("Z:\\Colli\\", "[CONFIG]\r\nNome Server=SRV\r\nLettera Disco Server=D\r\n");
    outcomes = {false, true};
    EXPECT_TRUE(Search("Z:\\Colli\\"));
    EXPECT_EQ(tried, (Names{"Z:\\Colli\\ARCHIVIOCOLLI.FDB", "SRV:D:\\Colli\\ARCHIVIOCOLLI.FDB"}));
    EXPECT_TRUE(ui.seen.empty());

    tried.clear();
    PutSettings("Z:\\Colli\\", "[CONFIG]\r\nNome Server=SRV\r\n");
    EXPECT_FALSE(Search("Z:\\Colli\\"));
    EXPECT_EQ(tried, (Names{"Z:\\Colli\\ARCHIVIOCOLLI.FDB", "SRV:Z:\\Colli\\ARCHIVIOCOLLI.FDB"}));
    EXPECT_TRUE(ui.seen.empty()); // a failed last attempt is silent
}

// The share already names the server that holds the file: no other server
// could open it, so none is asked for and the settings stay as they are.
TEST_F(SearchOrderTest, LetterShareThatFailsReportsTheNetworkPathAndStops)
{
    const std::string folder = "\\\\SRV\\D\\Colli\\";
    for (const std::string settings : {"", "[CONFIG]\r\nNome Server=OTHER\r\nLettera Disco Server=E\r\n"}) {
        SCOPED_TRACE(settings);
        tried.clear();
        ui.seen.clear();
        std::error_code ignored;
        std::filesystem::remove(folder + "dati.ini", ignored);
        if (!settings.empty())
            PutSettings(folder, settings);
        ui.answer = {1, "OTHER", "E"};
        EXPECT_FALSE(Search(folder));
        EXPECT_EQ(tried, Names{"SRV:D:\\Colli\\ARCHIVIOCOLLI.FDB"});
        EXPECT_EQ(ui.seen, Names{NetworkPath});
        EXPECT_EQ(Settings(folder), settings);
    }
}

#ifndef _WIN32
TEST_F(SearchOrderTest, PosixFolderKeepsItsPathOnTheServer)
{
    const std::string folder = scratch.path().toStdString() + "/";
    PutSettings(folder, "[CONFIG]\nNome Server=SRV\nLettera Disco Server=D\n");
    outcomes = {false, true};
    EXPECT_TRUE(Search(folder));
    EXPECT_EQ(tried, (Names{folder + "ARCHIVIOCOLLI.FDB", "SRV:" + folder + "ARCHIVIOCOLLI.FDB"}));
}
#endif

TEST_F(SearchOrderTest, DialogCancelledEndsWithTheFailureMessage)
{
    PutSettings("Z:\\Colli\\", "[CONFIG]\r\nLettera Disco Server=D\r\n");
    ui.answer = {2, "SRV", "E"};
    EXPECT_FALSE(Search("Z:\\Colli\\"));
    EXPECT_EQ(tried, Names{"Z:\\Colli\\ARCHIVIOCOLLI.FDB"});
    EXPECT_EQ(ui.seen, (Names{NotFound, "<dialog>", NotOpened}));
    EXPECT_EQ(Settings("Z:\\Colli\\"), "[CONFIG]\r\nLettera Disco Server=D\r\n");

    // closed with the close box: the same
    ui.seen.clear();
    ui.answer = {0, "SRV", "E"};
    EXPECT_FALSE(Search("Z:\\Colli\\"));
    EXPECT_EQ(ui.seen, (Names{NotFound, "<dialog>", NotOpened}));
}

TEST_F(SearchOrderTest, DialogAnswerIsRememberedForTheNextStart)
{
    ui.answer = {1, "SRV", "D"};
    outcomes = {false, true};
    EXPECT_TRUE(Search("Z:\\Colli\\"));
    EXPECT_EQ(tried, (Names{"Z:\\Colli\\ARCHIVIOCOLLI.FDB", "SRV:D:\\Colli\\ARCHIVIOCOLLI.FDB"}));
    EXPECT_EQ(ui.seen, (Names{NotFound, "<dialog>"}));
    EXPECT_EQ(Settings("Z:\\Colli\\"), "[CONFIG]\r\nNome Server=SRV\r\nLettera Disco Server=D\r\n");

    tried.clear();
    ui.seen.clear();
    EXPECT_FALSE(Search("Z:\\Colli\\"));
    EXPECT_EQ(tried, (Names{"Z:\\Colli\\ARCHIVIOCOLLI.FDB", "SRV:D:\\Colli\\ARCHIVIOCOLLI.FDB"}));
    EXPECT_TRUE(ui.seen.empty());
}

TEST_F(SearchOrderTest, DialogOkWithoutServerWritesItEmptyAndAsksAgainNextTime)
{
    ui.answer = {1, "", "D"};
    EXPECT_FALSE(Search("Z:\\Colli\\"));
    EXPECT_EQ(tried, Names{"Z:\\Colli\\ARCHIVIOCOLLI.FDB"});
    EXPECT_EQ(ui.seen, (Names{NotFound, "<dialog>", NotOpened}));
    EXPECT_EQ(Settings("Z:\\Colli\\"), "[CONFIG]\r\nNome Server=\r\nLettera Disco Server=D\r\n");

    ui.seen.clear();
    EXPECT_FALSE(Search("Z:\\Colli\\"));
    EXPECT_EQ(ui.seen, (Names{NotFound, "<dialog>", NotOpened}));
}

TEST_F(SearchOrderTest, UnwritableSettingsFileStopsTheSearchWithAnError)
{
    const std::string folder = scratch.path().toStdString() + "/missing/";
    ui.answer = {1, "SRV", "D"};
    try {
        Search(folder);
        FAIL() << "no error";
    } catch (const SettingsWriteError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + folder + "dati.ini");
    }
    EXPECT_EQ(tried, Names{folder + "ARCHIVIOCOLLI.FDB"});
}

TEST(AskServerLocationTest, StoredValuesNeedNoQuestion)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/";
    std::ofstream(folder + "dati.ini") << "[CONFIG]\nNome Server=SRV\n";
    ScriptedUi ui;
    std::string server = "x", drive = "y";
    AskServerLocation(folder, ui, server, drive);
    EXPECT_EQ(server, "SRV");
    EXPECT_EQ(drive, "");
    EXPECT_TRUE(ui.seen.empty());
}

TEST(AskServerLocationTest, CancelKeepsTheStoredDriveLetter)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/";
    std::ofstream(folder + "dati.ini") << "[CONFIG]\nLettera Disco Server=D\n";
    ScriptedUi ui;
    ui.answer = {2, "SRV", "E"};
    std::string server, drive;
    AskServerLocation(folder, ui, server, drive);
    EXPECT_EQ(server, "");
    EXPECT_EQ(drive, "D");
    EXPECT_EQ(ui.seen, (Names{NotFound, "<dialog>"}));
}

TEST(AskServerLocationTest, OkWithoutDriveLetterLeavesTheStoredOneInTheFile)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/";
    std::ofstream(folder + "dati.ini") << "[CONFIG]\nLettera Disco Server=D\n";
    ScriptedUi ui;
    ui.answer = {1, " srv ", ""};
    std::string server, drive;
    AskServerLocation(folder, ui, server, drive);
    EXPECT_EQ(server, " srv "); // as typed
    EXPECT_EQ(drive, "");
    EXPECT_EQ(SettingsFile(folder + "dati.ini").ReadString("CONFIG", "Lettera Disco Server"), "D");
    EXPECT_EQ(SettingsFile(folder + "dati.ini").ReadString("CONFIG", "Nome Server"), "srv");
}

TEST(UncToServerPathTest, LetterShareBecomesServerDriveForm)
{
    ScriptedUi ui;
    std::string path;
    bool shareNamed = true;
    EXPECT_FALSE(UncToServerPath("\\\\SRV\\D\\Colli\\", "E:\\ignored\\", path, shareNamed, ui));
    EXPECT_EQ(path, "SRV:D:\\Colli\\");
    EXPECT_TRUE(shareNamed); // left as it was

    shareNamed = false;
    EXPECT_FALSE(UncToServerPath("\\\\SRV\\D", "", path, shareNamed, ui));
    EXPECT_EQ(path, ":SRV:D");
    EXPECT_FALSE(shareNamed);

    // The administrative share of a drive names that drive.
    EXPECT_FALSE(UncToServerPath("\\\\SRV\\d$\\Colli\\", "", path, shareNamed, ui));
    EXPECT_EQ(path, "SRV:d:\\Colli\\");
    EXPECT_FALSE(shareNamed);
    EXPECT_TRUE(ui.seen.empty());
}

TEST(UncToServerPathTest, NamedShareUsesTheServerFolderOrWarns)
{
    ScriptedUi ui;
    std::string path;
    bool shareNamed = false;
    EXPECT_FALSE(UncToServerPath("\\\\SRV\\Dati\\Colli\\Sub\\", "E:\\Dati\\", path, shareNamed, ui));
    EXPECT_EQ(path, "SRV:E:\\Dati\\");
    EXPECT_TRUE(shareNamed);
    EXPECT_TRUE(ui.seen.empty());

    shareNamed = false;
    EXPECT_TRUE(UncToServerPath("\\\\SRV\\Dati\\Colli\\", "", path, shareNamed, ui));
    EXPECT_EQ(path, "Dati\\Colli\\");
    EXPECT_TRUE(shareNamed);
    EXPECT_EQ(ui.seen, Names{ShareWarning("Dati")});

    // An administrative share follows the site's server folder as well.
    shareNamed = false;
    ui.seen.clear();
    EXPECT_FALSE(UncToServerPath("\\\\SRV\\D$\\Colli\\", "E:\\Dati\\", path, shareNamed, ui));
    EXPECT_EQ(path, "SRV:E:\\Dati\\");
    EXPECT_TRUE(shareNamed);
    EXPECT_TRUE(ui.seen.empty());
}

TEST(ConnectionNameTest, DriveLetterReplacesOnlyALocalDrive)
{
    EXPECT_EQ(ConnectionName("Z:\\Colli\\ARCHIVIOCOLLI.FDB", "", "D"), "Z:\\Colli\\ARCHIVIOCOLLI.FDB");
    EXPECT_EQ(ConnectionName("Z:\\Colli\\ARCHIVIOCOLLI.FDB", "SRV", "D"), "SRV:D:\\Colli\\ARCHIVIOCOLLI.FDB");
    EXPECT_EQ(ConnectionName("Z:\\Colli\\ARCHIVIOCOLLI.FDB", "SRV", ""), "SRV:Z:\\Colli\\ARCHIVIOCOLLI.FDB");
    EXPECT_EQ(ConnectionName("Z:\\Colli\\A.FDB", "SRV", "Disk"), "SRV:Disk:\\Colli\\A.FDB");
    EXPECT_EQ(ConnectionName("/opt/colli/A.FDB", "SRV", "D"), "SRV:/opt/colli/A.FDB");
}

TEST(ResolveProgramFolderTest, DrivesLeadToTheFolderTheyStandFor)
{
    const FakeDrives drives = SiteDrives();
    const std::pair<std::string, ResolvedFolder> cases[] = {
        {"C:\\Colli\\", {"C:\\Colli\\", ""}},
        {"P:\\Colli\\", {"\\\\SRV\\D\\Colli\\", ""}},
        {"p:\\", {"\\\\SRV\\D\\", ""}},
        {"Q:\\Colli\\", {"\\\\SRV\\Dati\\Colli\\", ""}},
        {"N:\\Colli\\", {"N:\\Colli\\", "N:"}},
        {"S:\\Colli\\", {"C:\\Magazzino\\Colli\\", ""}},
        {"T:\\Colli\\", {"C:\\Magazzino\\Reparto\\Colli\\", ""}},
        {"U:\\Colli\\", {"\\\\SRV\\D\\Dati\\Colli\\", ""}},
        {"V:\\Colli\\", {"\\\\SRV\\D\\Colli\\", ""}},
        {"\\\\SRV\\D\\Colli\\", {"\\\\SRV\\D\\Colli\\", ""}},
    };
    for (const auto& [folder, expected] : cases) {
        const ResolvedFolder resolved = ResolveProgramFolder(folder, drives);
        EXPECT_EQ(resolved.folder, expected.folder) << folder;
        EXPECT_EQ(resolved.remoteDrive, expected.remoteDrive) << folder;
    }
}

// A network or subst drive is never named as a local file: the client would
// take "P" for a host, and a Firebird service sees no drive of the operator's session.
TEST_F(SearchOrderTest, NetworkAndSubstDrivesAreTriedAsWhatTheyStandFor)
{
    const FakeDrives drives = SiteDrives();
    outcomes = {true};
    EXPECT_TRUE(Search("P:\\Colli\\", "ARCHIVIOCOLLI.FDB", drives));
    outcomes = {true};
    EXPECT_TRUE(Search("S:\\Colli\\", "ARCHIVIOCOLLI.FDB", drives));
    EXPECT_EQ(tried, (Names{"SRV:D:\\Colli\\ARCHIVIOCOLLI.FDB", "C:\\Magazzino\\Colli\\ARCHIVIOCOLLI.FDB"}));
    EXPECT_TRUE(ui.seen.empty());

    // A failed share stops as for the share itself: no server is asked for.
    tried.clear();
    EXPECT_FALSE(Search("P:\\", "ARCHIVIOCOLLI.FDB", drives));
    EXPECT_EQ(tried, Names{"SRV:D:\\ARCHIVIOCOLLI.FDB"});
    EXPECT_EQ(ui.seen, Names{NetworkPath});
}

#ifndef _WIN32 // the settings of a drive that is not there
TEST_F(SearchOrderTest, NetworkDriveOfUnknownShareIsToldAndOnlyAServerIsTried)
{
    const FakeDrives drives = SiteDrives();
    const std::string told = "Il programma si trova sul disco di rete N:, di cui non \xC3\xA8 noto il percorso di "
                             "rete: un database locale non pu\xC3\xB2 stare su quel disco. Avviare il programma dal "
                             "percorso di rete (\\\\server\\cartella) oppure indicare il server nel file dati.ini";
    PutSettings("N:\\Colli\\", "[CONFIG]\r\nNome Server=SRV\r\nLettera Disco Server=D\r\n");
    outcomes = {true};
    EXPECT_TRUE(Search("N:\\Colli\\", "ARCHIVIOCOLLI.FDB", drives));
    EXPECT_EQ(tried, Names{"SRV:D:\\Colli\\ARCHIVIOCOLLI.FDB"});
    EXPECT_EQ(ui.seen, Names{told});
}
#endif

#ifdef _WIN32
// A drive letter defined for the length of one test, taken away on every exit.
class DosDrive {
public:
    DosDrive(DWORD flags, const std::wstring& target)
    {
        const DWORD used = ::GetLogicalDrives();
        for (wchar_t letter = L'Y'; letter >= L'K' && name_.empty(); --letter)
            if (!(used & (1u << (letter - L'A'))))
                name_ = std::wstring(1, letter) + L":";
        if (name_.empty() || !::DefineDosDeviceW(flags, name_.c_str(), target.c_str()))
            name_.clear();
    }
    ~DosDrive()
    {
        if (!name_.empty())
            ::DefineDosDeviceW(DDD_REMOVE_DEFINITION, name_.c_str(), nullptr);
    }
    DosDrive(const DosDrive&) = delete;
    DosDrive& operator=(const DosDrive&) = delete;
    std::string Letter() const { return std::string(1, char(name_.empty() ? '?' : name_[0])); }
    bool Defined() const { return !name_.empty(); }

private:
    std::wstring name_;
};

TEST(SystemDrivesTest, SubstDrivesLeadToTheirFolder)
{
    const DosDrive local(0, L"C:\\Colli");
    const DosDrive share(DDD_RAW_TARGET_PATH, L"\\??\\UNC\\SRV\\D\\Dati");
    ASSERT_TRUE(local.Defined() && share.Defined());
    EXPECT_EQ(ResolveProgramFolder(local.Letter() + ":\\Reparto\\", SystemDrives()).folder, "C:\\Colli\\Reparto\\");
    EXPECT_EQ(ResolveProgramFolder(share.Letter() + ":\\Colli\\", SystemDrives()).folder, "\\\\SRV\\D\\Dati\\Colli\\");
    EXPECT_EQ(ResolveProgramFolder("C:\\Colli\\", SystemDrives()).folder, "C:\\Colli\\");
}

// A drive Wine is told is a network drive (HKLM\Software\Wine\Drives), whose
// share no one knows: never a local folder.
TEST(SystemDrivesTest, NetworkDriveOfUnknownShareIsNeverALocalName)
{
    const char* drive = std::getenv("COLLI_WIN_NETWORK_DRIVE");
    if (!drive || !*drive)
        GTEST_SKIP() << "no network drive declared (COLLI_WIN_NETWORK_DRIVE)";
    const std::string folder = std::string(drive) + "\\Colli\\";
    const ResolvedFolder resolved = ResolveProgramFolder(folder, SystemDrives());
    EXPECT_EQ(resolved.folder, folder);
    EXPECT_EQ(resolved.remoteDrive, drive);
}
#endif

} // namespace
