// The password file and the environment reach colli-admin whole, whatever the
// folder's name and whatever the system's ANSI code page holds.
#include "Passwords.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <QString>
#include <stdlib.h>
#endif

namespace {

void SetEnvironment(const char* name, const std::string& utf8)
{
#ifdef _WIN32
    // Wide: the ANSI call would already lose what the code page lacks.
    _wputenv_s(QString::fromLatin1(name).toStdWString().c_str(), QString::fromStdString(utf8).toStdWString().c_str());
#else
    setenv(name, utf8.c_str(), 1);
#endif
}

void UnsetEnvironment(const char* name)
{
#ifdef _WIN32
    _wputenv_s(QString::fromLatin1(name).toStdWString().c_str(), L"");
#else
    unsetenv(name);
#endif
}

} // namespace

TEST(Passwords, FileUnderAFolderOfAnyNameIsRead)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const struct {
        const char* folder;
        const char* content;
        const char* password;
    } cases[] = {
        {"Niccol\xC3\xB2", "plumtrove\r\n", "plumtrove"},                          // in Windows-1252
        {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "\xEF\xBB\xBFp\xC3\xA0ss\n", "p\xC3\xA0ss"}, // in no Western code page
        {"\xE5\x80\x89\xE5\xBA\xAB", "x y\n", "x y"},                                // nor this
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        const QString folder = dir.filePath(QString::fromUtf8(c.folder));
        ASSERT_TRUE(QDir().mkpath(folder));
        QFile file(folder + "/password.txt");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(c.content);
        file.close();
        // Windows' own spelling, backslashes included.
        const std::string path = QDir::toNativeSeparators(file.fileName()).toStdString();
        EXPECT_EQ(admin::ReadPasswordFile(path), c.password);
        EXPECT_THROW(admin::ReadPasswordFile(path + ".missing"), std::runtime_error);
    }
}

TEST(Passwords, EnvironmentIsReadWhole)
{
    const char* name = "COLLI_TEST_WIDE_VALUE";
    for (const std::string value : {"plumtrove", "Niccol\xC3\xB2", "\xC5\x81\xC3\xB3" "d\xC5\xBA-\xE5\x80\x89"}) {
        SetEnvironment(name, value);
        EXPECT_EQ(admin::EnvironmentText(name), value);
    }
    UnsetEnvironment(name);
    EXPECT_FALSE(admin::EnvironmentText(name).has_value());
}

#ifdef _WIN32
#include "FileRights.h"

#include <windows.h>

// The database beside a program that Users may only read: the station's own
// process must be able to write it, and only it.
TEST(FileRights, UsersGetReadAndWriteOnTheFileAlone)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.filePath(QString::fromUtf8("Per\xC3\xB2"));
    ASSERT_TRUE(QDir().mkpath(folder));
    for (const char* name : {"ARCHIVIOCOLLI.FDB", "altro.txt"}) {
        QFile file(folder + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    const std::string database = QDir::toNativeSeparators(folder + "/ARCHIVIOCOLLI.FDB").toStdString();
    const std::string other = QDir::toNativeSeparators(folder + "/altro.txt").toStdString();
    const bool before = admin::UsersMayWrite(other);
    admin::LetUsersWrite(database);
    const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    if (!admin::UsersMayWrite(database) && wine)
        GTEST_SKIP() << "Wine keeps no rights set on a file (it makes them from the Unix mode)";
    EXPECT_TRUE(admin::UsersMayWrite(database));
    EXPECT_EQ(admin::UsersMayWrite(other), before);
    EXPECT_THROW(admin::LetUsersWrite(database + ".missing"), std::runtime_error);
}
#endif
