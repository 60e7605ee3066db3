#include "ParcelCsv.h"

#include <gtest/gtest.h>

using admin::ParseParcelCsv;

TEST(ParcelCsv, ReadsBothSeparatorsHeaderAndOptionalFaultyEan)
{
    auto semi = ParseParcelCsv("BarcodeSpeed;CodiceEAN;CodiceEAN_Errato\r\nS1;8001234567890;\r\nS2;8001234567891\r\n");
    ASSERT_TRUE(semi.problems.empty());
    ASSERT_EQ(semi.rows.size(), 2u);
    EXPECT_EQ(semi.rows[0].barcodeSpeed, "S1");
    EXPECT_EQ(semi.rows[0].lineNumber, 2);
    ASSERT_TRUE(semi.rows[0].codiceEanErrato.has_value());
    EXPECT_EQ(*semi.rows[0].codiceEanErrato, "");
    EXPECT_FALSE(semi.rows[1].codiceEanErrato.has_value());

    auto comma = ParseParcelCsv("S1,8001234567890,0012345678905\nS2,\"80,01\"\n");
    ASSERT_TRUE(comma.problems.empty());
    ASSERT_EQ(comma.rows.size(), 2u);
    EXPECT_EQ(*comma.rows[0].codiceEanErrato, "0012345678905");
    EXPECT_EQ(comma.rows[1].codiceEan, "80,01");
}

TEST(ParcelCsv, KeepsValuesExactlyAndQuotesInside)
{
    auto csv = ParseParcelCsv(" S1 ;\"a\"\"b\";x' OR '1'='1\n");
    ASSERT_TRUE(csv.problems.empty());
    EXPECT_EQ(csv.rows[0].barcodeSpeed, " S1 ");
    EXPECT_EQ(csv.rows[0].codiceEan, "a\"b");
    EXPECT_EQ(*csv.rows[0].codiceEanErrato, "x' OR '1'='1");
}

TEST(ParcelCsv, ReportsBadLinesWithTheirNumbers)
{
    auto csv = ParseParcelCsv("S1;1\nonlyone\n;123\nS4;1;2;3\nS5;\"open\n");
    ASSERT_EQ(csv.problems.size(), 4u);
    EXPECT_EQ(csv.problems[0].lineNumber, 2);
    EXPECT_EQ(csv.problems[1].lineNumber, 3);
    EXPECT_EQ(csv.problems[1].message, "has an empty BARCODESPEED");
    EXPECT_EQ(csv.problems[2].lineNumber, 4);
    EXPECT_EQ(csv.problems[3].lineNumber, 5);
}

TEST(ParcelCsv, ConvertsUtf8ToWindows1252AndKeepsWindows1252)
{
    auto utf8 = ParseParcelCsv("\xEF\xBB\xBFS\xC3\xA8;\xE2\x82\xAC\n");
    ASSERT_TRUE(utf8.problems.empty());
    EXPECT_TRUE(utf8.utf8);
    EXPECT_EQ(utf8.rows[0].barcodeSpeed, "S\xE8");
    EXPECT_EQ(utf8.rows[0].codiceEan, "\x80");

    auto cp1252 = ParseParcelCsv("S\xE8;\x80\n");
    ASSERT_TRUE(cp1252.problems.empty());
    EXPECT_FALSE(cp1252.utf8);
    EXPECT_EQ(cp1252.rows[0].barcodeSpeed, "S\xE8");
}

TEST(ParcelCsv, RefusesTextThatIsNeitherEncoding)
{
    auto undefinedByte = ParseParcelCsv("S1;1\nS\x81;2\n");
    ASSERT_EQ(undefinedByte.problems.size(), 1u);
    EXPECT_EQ(undefinedByte.problems[0].lineNumber, 2);

    auto noCp1252 = ParseParcelCsv("S1;\xE6\xBC\xA2\n");
    ASSERT_EQ(noCp1252.problems.size(), 1u);
    EXPECT_EQ(noCp1252.problems[0].lineNumber, 1);
}
