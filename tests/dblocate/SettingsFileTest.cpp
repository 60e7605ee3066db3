#include "dblocate/SettingsFile.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using dblocate::SettingsFile;
using dblocate::SettingsWriteError;

namespace {

class SettingsFileTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::string path = dir.path().toStdString() + "/dati.ini";

    void Put(const std::string& bytes) const
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string Bytes() const
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    std::string Read(const std::string& key, const std::string& section = "CONFIG") const
    {
        return SettingsFile(path).ReadString(section, key);
    }
};

TEST_F(SettingsFileTest, MissingFileSectionOrKeyReadEmpty)
{
    EXPECT_EQ(Read("Nome Server"), "");
    EXPECT_FALSE(std::filesystem::exists(path)); // reading never creates the file

    Put("[OTHER]\nNome Server=SRV\n");
    EXPECT_EQ(Read("Nome Server"), "");
    Put("[CONFIG]\nAlias=colli\n");
    EXPECT_EQ(Read("Nome Server"), "");
}

TEST_F(SettingsFileTest, SectionAndKeyNamesIgnoreCase)
{
    Put("[config]\nNOME SERVER=SRV\n  alias = colli\n");
    EXPECT_EQ(Read("Nome Server"), "SRV");
    EXPECT_EQ(Read("Alias"), "colli");
}

TEST_F(SettingsFileTest, BlanksAndEnclosingQuotesAreNotPartOfTheValue)
{
    Put("[CONFIG]\n"
        "a =   spaced value \t \n"
        "b= \"quoted value\" \n"
        "c='single'\n"
        "d=\"only at the start\n"
        "e=say \"hi\"\n"
        "f=\"mixed'\n"
        "g=\"\"\n");
    EXPECT_EQ(Read("a"), "spaced value");
    EXPECT_EQ(Read("b"), "quoted value");
    EXPECT_EQ(Read("c"), "single");
    EXPECT_EQ(Read("d"), "\"only at the start");
    EXPECT_EQ(Read("e"), "say \"hi\"");
    EXPECT_EQ(Read("f"), "\"mixed'");
    EXPECT_EQ(Read("g"), "");
}

TEST_F(SettingsFileTest, WindowsLineEndsAndByteOrderMarkAreRead)
{
    Put("\xEF\xBB\xBF[CONFIG]\r\nNome Server=SRV\r\nLettera Disco Server=D\r\n");
    EXPECT_EQ(Read("Nome Server"), "SRV");
    EXPECT_EQ(Read("Lettera Disco Server"), "D");
}

TEST_F(SettingsFileTest, LongValueIsCutAt2047Characters)
{
    const std::string longValue(3000, 'x');
    Put("[CONFIG]\nPercorsoDatabase=" + longValue + "\n");
    EXPECT_EQ(Read("PercorsoDatabase"), std::string(2047, 'x'));

    // characters, not bytes: a cut never splits a UTF-8 sequence
    std::string accented;
    for (int i = 0; i < 2100; ++i)
        accented += "\xC3\xA0"; // à
    Put("[CONFIG]\nx=" + accented + "\n");
    EXPECT_EQ(Read("x").size(), 2047u * 2);
}

TEST_F(SettingsFileTest, DuplicatedKeyReadsFirstAndWriteReplacesOnlyTheFirst)
{
    Put("[CONFIG]\r\nNome Server=FIRST\r\nNome Server=SECOND\r\n");
    EXPECT_EQ(Read("Nome Server"), "FIRST");

    SettingsFile(path).WriteString("CONFIG", "Nome Server", "NEW");
    EXPECT_EQ(Bytes(), "[CONFIG]\r\nNome Server=NEW\r\nNome Server=SECOND\r\n");
}

TEST_F(SettingsFileTest, GarbageLinesAreIgnoredAndKept)
{
    const std::string before = "just some words\n"
                               "[CONFIG]\n"
                               "=no key\n"
                               "[unterminated\n"
                               "another stray line\n"
                               "Nome Server=SRV\n"
                               "; comment = not a key\n"
                               "# Alias=hash comment\n";
    Put(before);
    EXPECT_EQ(Read("Nome Server"), "SRV");
    EXPECT_EQ(Read("Alias"), "");
    EXPECT_EQ(Read("; comment"), "");

    SettingsFile(path).WriteString("CONFIG", "Alias", "colli");
    EXPECT_EQ(Bytes(), "just some words\n"
                       "[CONFIG]\n"
                       "=no key\n"
                       "[unterminated\n"
                       "another stray line\n"
                       "Nome Server=SRV\n"
                       "Alias=colli\n"
                       "; comment = not a key\n"
                       "# Alias=hash comment\n");
    EXPECT_EQ(Read("Alias"), "colli");
}

TEST_F(SettingsFileTest, WriteReplacesInPlaceKeepingEverythingElse)
{
    Put("\xEF\xBB\xBF; station settings\r\n"
        "[OTHER]\r\n"
        "Nome Server=UNRELATED\r\n"
        "\r\n"
        "[Config]\r\n"
        "  nome server = OLD ; note\r\n"
        "Alias=colli\r\n"
        "\r\n"
        "[LAST]\r\n"
        "k=v"); // no line end at the very end
    SettingsFile(path).WriteString("CONFIG", "Nome Server", "SRV");
    EXPECT_EQ(Bytes(), "\xEF\xBB\xBF; station settings\r\n"
                       "[OTHER]\r\n"
                       "Nome Server=UNRELATED\r\n"
                       "\r\n"
                       "[Config]\r\n"
                       "Nome Server=SRV\r\n"
                       "Alias=colli\r\n"
                       "\r\n"
                       "[LAST]\r\n"
                       "k=v");
    EXPECT_EQ(Read("Nome Server"), "SRV");
    EXPECT_EQ(Read("Nome Server", "OTHER"), "UNRELATED");
}

TEST_F(SettingsFileTest, NewKeyGoesAtTheEndOfItsSection)
{
    Put("[CONFIG]\r\nNome Server=SRV\r\n\r\n[OTHER]\r\nx=1\r\n");
    SettingsFile(path).WriteString("config", "Lettera Disco Server", "D");
    EXPECT_EQ(Bytes(), "[CONFIG]\r\nNome Server=SRV\r\nLettera Disco Server=D\r\n\r\n[OTHER]\r\nx=1\r\n");

    Put("[CONFIG]\n");
    SettingsFile(path).WriteString("CONFIG", "Nome Server", "");
    EXPECT_EQ(Bytes(), "[CONFIG]\nNome Server=\n");
}

TEST_F(SettingsFileTest, FileAndSectionAreCreatedWhenMissing)
{
    SettingsFile(path).WriteString("CONFIG", "Nome Server", "SRV");
    EXPECT_EQ(Bytes(), "[CONFIG]\r\nNome Server=SRV\r\n");

    Put("[OTHER]\nx=1"); // last line without its end
    SettingsFile(path).WriteString("CONFIG", "Nome Server", "SRV");
    EXPECT_EQ(Bytes(), "[OTHER]\nx=1\n[CONFIG]\nNome Server=SRV\n");
    EXPECT_EQ(Read("x", "OTHER"), "1");
}

TEST_F(SettingsFileTest, WriteLeavesNoTemporaryFileBehind)
{
    Put("[CONFIG]\nNome Server=A\n");
    SettingsFile(path).WriteString("CONFIG", "Nome Server", "B");
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path().toStdString()))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST_F(SettingsFileTest, ValueCannotAddLines)
{
    SettingsFile(path).WriteString("CONFIG", "Nome Server", "SRV\r\n[EVIL]\r\nAlias=x");
    EXPECT_EQ(Read("Alias", "EVIL"), "");
    EXPECT_EQ(Read("Alias"), "");
}

TEST_F(SettingsFileTest, Windows1252FileIsReadAndWrittenInItsOwnEncoding)
{
    Put("[CONFIG]\r\nNome Server=Citt\xE0\r\n");
    EXPECT_EQ(Read("Nome Server"), "Citt\xC3\xA0");
    SettingsFile(path).WriteString("CONFIG", "Alias", "perch\xC3\xA9");
    EXPECT_EQ(Bytes(), "[CONFIG]\r\nNome Server=Citt\xE0\r\nAlias=perch\xE9\r\n");
}

// Notepad's "Unicode" and "Unicode big endian": read as Windows reads them, saved in the same form.
TEST_F(SettingsFileTest, Utf16FileIsReadAndWrittenInItsOwnEncoding)
{
    auto utf16 = [](const std::u16string& text, bool little) {
        std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
        for (char16_t c : text) {
            const char low = char(c & 0xFF), high = char(c >> 8);
            out += little ? std::string{low, high} : std::string{high, low};
        }
        return out;
    };
    for (bool little : {true, false}) {
        Put(utf16(u"[CONFIG]\r\nNome Server=Citt\u00E0\r\n", little));
        EXPECT_EQ(Read("Nome Server"), "Citt\xC3\xA0");
        SettingsFile(path).WriteString("CONFIG", "Alias", "perch\xC3\xA9");
        EXPECT_EQ(Bytes(), utf16(u"[CONFIG]\r\nNome Server=Citt\u00E0\r\nAlias=perch\u00E9\r\n", little));
    }
}

TEST_F(SettingsFileTest, FailedWriteNamesTheFullPath)
{
    const std::string missingFolder = dir.path().toStdString() + "/missing/dati.ini";
    try {
        SettingsFile(missingFolder).WriteString("CONFIG", "Nome Server", "SRV");
        FAIL() << "no error";
    } catch (const SettingsWriteError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + missingFolder);
    }

}

// A file that is there but cannot be read never reads as the defaults, nor is
// it replaced by a file of defaults.
TEST_F(SettingsFileTest, FileThatCannotBeReadIsAnErrorNamingIt)
{
    std::filesystem::create_directory(path); // there, but no file to read
    EXPECT_THROW(SettingsFile(path).WriteString("CONFIG", "Nome Server", "SRV"), dblocate::SettingsReadError);
    try {
        Read("Nome Server");
        FAIL() << "no error";
    } catch (const dblocate::SettingsReadError& error) {
        EXPECT_EQ(std::string(error.what()), "Impossibile leggere il file delle impostazioni " + path);
    }
}

#ifndef _WIN32
// Exit codes of a step run as an operator that say the set-up did not hold.
constexpr int NoOtherUser = 100;
constexpr int FolderStillWritable = 101;

// Runs step as a user without root's right to write anywhere: this process when
// it is not root, else a child that becomes "nobody". Returns step's result.
int AsOperator(const std::function<int()>& step)
{
    if (::geteuid() != 0)
        return step();
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody)
        return NoOtherUser;
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(NoOtherUser);
        ::_exit(step());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST_F(SettingsFileTest, ReadOnlyFolderStillTakesAWritableFile)
{
    namespace fs = std::filesystem;
    const std::string folder = dir.path().toStdString();
    Put("[CONFIG]\r\nAlias=colli\r\n");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read
                              | fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read
                                | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    struct Unlock {
        std::string folder;
        ~Unlock() { fs::permissions(folder, fs::perms::owner_all); }
    } unlock{folder};

    const int result = AsOperator([&] {
        const std::string probe = folder + "/probe";
        if (std::ofstream(probe)) {
            fs::remove(probe);
            return FolderStillWritable;
        }
        try {
            SettingsFile(path).WriteString("CONFIG", "Nome Server", "SRV");
        } catch (const SettingsWriteError&) {
            return 1;
        }
        // a file that is not there yet still needs the folder
        try {
            SettingsFile(folder + "/new.ini").WriteString("CONFIG", "Nome Server", "SRV");
            return 2;
        } catch (const SettingsWriteError&) {
        }
        return 0;
    });
    if (result == NoOtherUser || result == FolderStillWritable)
        GTEST_SKIP() << "no user here for whom a read-only folder refuses a new file";
    EXPECT_EQ(result, 0) << "1: the existing file was not written, 2: a new file was made";
    EXPECT_EQ(Bytes(), "[CONFIG]\r\nAlias=colli\r\nNome Server=SRV\r\n");
}
TEST_F(SettingsFileTest, SavedFileKeepsItsOwnerGroupAndPermissions)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can hand the file to other owners";
    namespace fs = std::filesystem;
    const std::string folder = dir.path().toStdString();
    fs::permissions(folder, fs::perms::all); // the folder as careless as it gets
    const struct {
        uid_t owner;
        gid_t group;
        mode_t mode;
        bool byOperator; // saved by "nobody", else by root
    } cases[] = {
        {1234, 4321, 0640, false}, // another owner and group than the saver's
        {0, 0, 0666, true}, // writable by all: the operator's save must not take it over
    };
    for (const auto& c : cases) {
        Put("[CONFIG]\r\nAlias=colli\r\n");
        ASSERT_EQ(::chown(path.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        auto save = [&] {
            try {
                SettingsFile(path).WriteString("CONFIG", "Nome Server", "SRV");
                return 0;
            } catch (const std::exception&) {
                return 1;
            }
        };
        const int result = c.byOperator ? AsOperator(save) : save();
        if (result == NoOtherUser)
            continue;
        EXPECT_EQ(result, 0) << c.owner << ":" << c.group;
        struct stat after {};
        ASSERT_EQ(::stat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, c.owner);
        EXPECT_EQ(after.st_gid, c.group);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        EXPECT_EQ(Bytes(), "[CONFIG]\r\nAlias=colli\r\nNome Server=SRV\r\n");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1); // no temporary left
    fs::permissions(folder, fs::perms::owner_all);
}
#endif

} // namespace
