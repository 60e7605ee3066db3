// Names and credentials for the client in the code page it reads them in,
// whatever the system's ANSI code page is.
#include "Status.h"
#include "SystemCodePage.h"

#include <dataaccess/Errors.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

TEST(SystemCodePage, TextTakesTheCodePageOrIsRefused)
{
    const std::string accented = "C:\\Magazzino\\Per\xC3\xB2\\ARCHIVIOCOLLI.FDB";
    const std::string polish = "C:\\\xC5\x81\xC3\xB3" "dz\\ARCHIVIOCOLLI.FDB";
    struct Case {
        std::string utf8;
        unsigned codePage;
        std::optional<std::string> expected; // nothing: refused
    } cases[] = {
        {accented, 65001, accented}, // Windows with UTF-8 as its ANSI code page
        {polish, 65001, polish},
        {accented, 1252, "C:\\Magazzino\\Per\xF2\\ARCHIVIOCOLLI.FDB"},
        {polish, 1252, std::nullopt}, // no best fit: "L" would name another folder
        {polish, 1250, "C:\\\xA3\xF3" "dz\\ARCHIVIOCOLLI.FDB"},
        {"C:\\Per\xF2\\", 1252, "C:\\Per\xF2\\"}, // bytes of the code page already
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8 + " in " + std::to_string(c.codePage));
        if (c.expected) {
            EXPECT_EQ(dataaccess::FileNameForClient(c.utf8, c.codePage), *c.expected);
        } else {
            try {
                dataaccess::FileNameForClient(c.utf8, c.codePage);
                ADD_FAILURE() << "converted with a loss";
            } catch (const dataaccess::DatabaseError& e) {
                EXPECT_NE(std::string(e.what()).find(c.utf8), std::string::npos) << e.what();
            }
        }
    }
}

TEST(SystemCodePage, ClientMessagesAreReadInTheCodePageTheyComeIn)
{
    const struct {
        std::string text;
        unsigned codePage;
        std::string utf8;
    } cases[] = {
        {"I/O error for file \"C:\\Per\xF2\\A.FDB\"", 1252, "I/O error for file \"C:\\Per\xC3\xB2\\A.FDB\""},
        {"C:\\\xA3\xF3" "dz\\A.FDB", 1250, "C:\\\xC5\x81\xC3\xB3" "dz\\A.FDB"},  // a Polish Windows
        {"C:\\\xA3\xF3" "dz\\A.FDB", 1252, "C:\\\xC2\xA3\xC3\xB3" "dz\\A.FDB"},
        {"C:\\Per\xC3\xB2\\A.FDB", 1250, "C:\\Per\xC3\xB2\\A.FDB"},                 // a name given as UTF-8
        {"C:\\Per\xF2\\A.FDB", 65001, "C:\\Per\xC3\xB2\\A.FDB"},                    // a server's Windows-1252
        {"\xC8 stato impossibile", 1252, "\xC3\x88 stato impossibile"},
        {"plain text", 1250, "plain text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " in " + std::to_string(c.codePage));
        EXPECT_EQ(dataaccess::ClientTextToUtf8(c.text, c.codePage), c.utf8);
    }
}
