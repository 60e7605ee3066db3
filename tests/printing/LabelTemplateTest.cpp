#include "printing/LabelTemplate.h"
#include "printing/PrintError.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using printing::FillPlaceholders;
using printing::ReadLabelTemplate;

namespace {

class TemplateFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = fs::temp_directory_path() / ("label-template-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string Write(const std::string& bytes)
    {
        const std::string path = (folder_ / "ETICHETTA.TXT").string();
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    std::string Read(const std::string& bytes) { return ReadLabelTemplate(Write(bytes)); }

    fs::path folder_;
};

TEST_F(TemplateFile, LineEndsBecomeCrLf)
{
    EXPECT_EQ(Read("^XA\n^FO10\n^XZ\n"), "^XA\r\n^FO10\r\n^XZ\r\n");
    EXPECT_EQ(Read("^XA\r\n^XZ\r\n"), "^XA\r\n^XZ\r\n");
    EXPECT_EQ(Read("a\r\nb\nc"), "a\r\nb\r\nc\r\n") << "last line without line end still ends with CR LF";
    EXPECT_EQ(Read("\n\n"), "\r\n\r\n") << "empty lines are kept";
}

TEST_F(TemplateFile, EmptyFileGivesEmptyText)
{
    EXPECT_EQ(Read(""), "");
}

TEST_F(TemplateFile, LoneCrIsDropped)
{
    EXPECT_EQ(Read("ab\rcd\n"), "abcd\r\n");
    EXPECT_EQ(Read("ab\r"), "ab\r\n");
    EXPECT_EQ(Read("x\r\r\ny"), "x\r\ny\r\n");
}

TEST_F(TemplateFile, CtrlZEndsTheTextOnlyAtLineStart)
{
    EXPECT_EQ(Read("one\n\x1Atwo\nthree\n"), "one\r\n");
    EXPECT_EQ(Read("\x1A" "all gone\n"), "");
    EXPECT_EQ(Read("in\x1Aline\nnext\n"), "in\x1Aline\r\nnext\r\n");
    EXPECT_EQ(Read("a\r\x1A" "b\n"), "a\x1A" "b\r\n") << "a dropped CR does not start a line";
}

TEST_F(TemplateFile, EightBitBytesAndZeroBytesPassUnchanged)
{
    const std::string bytes = std::string("\xE0\xE8\xFF\x80 ") + '\0' + "z\n";
    EXPECT_EQ(Read(bytes), std::string("\xE0\xE8\xFF\x80 ") + '\0' + "z\r\n");
}

TEST_F(TemplateFile, LongLinesAreNotCut)
{
    const std::string line(100000, 'Q');
    EXPECT_EQ(Read(line), line + "\r\n");
}

TEST_F(TemplateFile, MissingFileIsReportedAsNotFound)
{
    try {
        ReadLabelTemplate((folder_ / "NOPE.TXT").string());
        FAIL() << "no error";
    } catch (const printing::PrintError& e) {
        EXPECT_STREQ(e.what(), "File not found");
    }
}

TEST_F(TemplateFile, UnreadableFileReportsTheSystemText)
{
    // A folder in place of the file: opens, but cannot be read as one.
    try {
        ReadLabelTemplate(folder_.string());
        FAIL() << "no error";
    } catch (const printing::PrintError& e) {
        EXPECT_STREQ(e.what(), std::strerror(EISDIR));
    }
}

TEST(Placeholders, EveryOccurrenceIsReplacedInOrder)
{
    EXPECT_EQ(FillPlaceholders("A<CODICEEAN>B<CODICEEAN>C", "8001234567890"), "A8001234567890B8001234567890C");
    EXPECT_EQ(FillPlaceholders("<CODICEEAN_SHORT>|<CODICEEAN>", "8001234567890"), "800123456789|8001234567890");
}

TEST(Placeholders, ShortFormTakesTwelveBytesOrTheWholeEan)
{
    EXPECT_EQ(FillPlaceholders("<CODICEEAN_SHORT>", "8001234567890"), "800123456789");
    EXPECT_EQ(FillPlaceholders("<CODICEEAN_SHORT>", "12345"), "12345");
    EXPECT_EQ(FillPlaceholders("<CODICEEAN_SHORT>", ""), "");
}

TEST(Placeholders, CaseMattersAndInsertedTextIsNotSearchedAgain)
{
    EXPECT_EQ(FillPlaceholders("<codiceean> <CodiceEan_Short>", "123"), "<codiceean> <CodiceEan_Short>");
    EXPECT_EQ(FillPlaceholders("<CODICEEAN>", "<CODICEEAN>"), "<CODICEEAN>");
    EXPECT_EQ(FillPlaceholders("<CODICE<CODICEEAN>EAN>", "X"), "<CODICEXEAN>");
}

} // namespace
