#include "dataaccess/SqlStatement.h"

#include <gtest/gtest.h>

using dataaccess::ParseNamedParameters;
using Names = std::vector<std::string>;

TEST(ParamParserTest, MarkersBecomePositionalInOrder)
{
    const auto parsed =
        ParseNamedParameters("UPDATE COLLI SET CODICEEAN_ERRATO=:EAN_1 WHERE BARCODESPEED=:b$c");
    EXPECT_EQ(parsed.text, "UPDATE COLLI SET CODICEEAN_ERRATO=? WHERE BARCODESPEED=?");
    EXPECT_EQ(parsed.names, (Names{"EAN_1", "b$c"}));
}

TEST(ParamParserTest, NameEndsAtTheFirstOtherCharacter)
{
    const auto parsed = ParseNamedParameters("SELECT :A+:B||:C-1, :D\r\n");
    EXPECT_EQ(parsed.text, "SELECT ?+?||?-1, ?\r\n");
    EXPECT_EQ(parsed.names, (Names{"A", "B", "C", "D"}));
}

TEST(ParamParserTest, ColonsInsideQuotesAndCommentsAreText)
{
    const char* sql = "SELECT 'a:b', 'it''s :no', \"X:Y\", /* :c\r\n :d */ :E FROM T";
    const auto parsed = ParseNamedParameters(sql);
    EXPECT_EQ(parsed.text, "SELECT 'a:b', 'it''s :no', \"X:Y\", /* :c\r\n :d */ ? FROM T");
    EXPECT_EQ(parsed.names, (Names{"E"}));
}

TEST(ParamParserTest, DoubledQuoteDoesNotEndTheString)
{
    // After 'x''' the string is closed, so :P is a marker; inside it, :Q is not.
    const auto parsed = ParseNamedParameters("VALUES ('x'':Q''', :P, \"a\"\":R\")");
    EXPECT_EQ(parsed.names, (Names{"P"}));
    EXPECT_EQ(parsed.text, "VALUES ('x'':Q''', ?, \"a\"\":R\")");
}

TEST(ParamParserTest, QuotedNamesKeepBlanksAndDoubledQuotes)
{
    const auto parsed = ParseNamedParameters("WHERE A=:\"my name\" AND B=:\"x\"\"y\" AND C=:z");
    EXPECT_EQ(parsed.text, "WHERE A=? AND B=? AND C=?");
    EXPECT_EQ(parsed.names, (Names{"my name", "x\"y", "z"}));
}

TEST(ParamParserTest, LoneColonsStay)
{
    const auto parsed = ParseNamedParameters("SELECT ': ' FROM T WHERE A = : B OR C = :");
    EXPECT_EQ(parsed.text, "SELECT ': ' FROM T WHERE A = : B OR C = :");
    EXPECT_TRUE(parsed.names.empty());
}

TEST(ParamParserTest, RepeatedNamesAreRecordedEachTime)
{
    const auto parsed = ParseNamedParameters("WHERE A=:x OR B=:X");
    EXPECT_EQ(parsed.names, (Names{"x", "X"}));
}

TEST(ParamParserTest, UnterminatedQuoteOrCommentSwallowsTheRest)
{
    EXPECT_TRUE(ParseNamedParameters("SELECT 'abc :x").names.empty());
    EXPECT_TRUE(ParseNamedParameters("SELECT /* abc :x").names.empty());
    EXPECT_EQ(ParseNamedParameters("SELECT 'abc :x").text, "SELECT 'abc :x");
}

TEST(ParamParserTest, EightBitBytesPassUnchanged)
{
    const std::string sql = "SELECT '\xE8\xFF:\x80' FROM T WHERE A=:P\xE0";
    const auto parsed = ParseNamedParameters(sql);
    EXPECT_EQ(parsed.text, "SELECT '\xE8\xFF:\x80' FROM T WHERE A=?\xE0");
    EXPECT_EQ(parsed.names, (Names{"P"}));
}
