#include "Fixture.h"

#include "dataaccess/Errors.h"
#include "dataaccess/SqlQuery.h"
#include "dataaccess/SqlStatement.h"

#include <memory>

using dataaccess::DatabaseError;
using dataaccess::SqlQuery;

class QueryTest : public DatabaseTest {
protected:
    std::unique_ptr<SqlQuery> Select(const std::string& sql)
    {
        auto query = std::make_unique<SqlQuery>(*connection, *transaction);
        query->SetParamCheck(false);
        query->SetUniDirectional(true);
        query->AddLine(sql);
        query->Open();
        return query;
    }
};
COLLI_DATABASE_TEST_SUITE(QueryTest);

TEST_P(QueryTest, ReadsOneParcelAndLeavesTheTransactionOpen)
{
    database->Execute("INSERT INTO COLLI VALUES ('B1', '8001234567890', NULL)");
    {
        SqlQuery query(*connection, *transaction);
        query.SetParamCheck(false);
        query.SetUniDirectional(true);
        query.AddLine("SELECT *");
        query.AddLine("FROM COLLI WHERE BARCODESPEED = 'B1'");
        query.Open();
        EXPECT_EQ(query.FetchedCount(), 1);
        EXPECT_FALSE(query.AtEnd());
        EXPECT_EQ(query.FieldText("CODICEEAN"), "8001234567890");
        EXPECT_EQ(query.FieldText("codiceean_errato"), ""); // NULL, name in any case
        EXPECT_TRUE(query.FieldIsNull("CODICEEAN_ERRATO"));
        query.NextRow();
        EXPECT_TRUE(query.AtEnd());
        EXPECT_EQ(query.FetchedCount(), 1);
    }
    EXPECT_TRUE(transaction->Active());
}

TEST_P(QueryTest, EmptyResult)
{
    auto query = Select("SELECT * FROM COLLI WHERE BARCODESPEED = 'none'");
    EXPECT_EQ(query->FetchedCount(), 0);
    EXPECT_TRUE(query->AtEnd());
    EXPECT_EQ(query->FieldText("CODICEEAN"), "");
    EXPECT_NO_THROW(query->NextRow());
    EXPECT_TRUE(query->AtEnd());
}

TEST_P(QueryTest, CountsRowsAsTheyAreFetched)
{
    database->Execute("INSERT INTO COLLI (BARCODESPEED) VALUES ('A');"
                      "INSERT INTO COLLI (BARCODESPEED) VALUES ('B');"
                      "INSERT INTO COLLI (BARCODESPEED) VALUES ('C')");
    auto query = Select("SELECT BARCODESPEED FROM COLLI ORDER BY BARCODESPEED");
    std::string seen;
    for (; !query->AtEnd(); query->NextRow()) {
        seen += query->FieldText("BARCODESPEED");
        EXPECT_EQ(query->FetchedCount(), static_cast<long>(seen.size()));
    }
    EXPECT_EQ(seen, "ABC");
}

TEST_P(QueryTest, OpenAttachesAndStarts)
{
    connection->SetConnected(false);
    auto query = Select("SELECT 1 AS ONE FROM RDB$DATABASE");
    EXPECT_TRUE(connection->Connected());
    EXPECT_TRUE(transaction->Active());
    EXPECT_EQ(query->FieldInteger("ONE"), 1);
}

TEST_P(QueryTest, UnknownColumnAndEmptyText)
{
    auto query = Select("SELECT BARCODESPEED FROM COLLI");
    try {
        query->FieldText("NOPE");
        FAIL() << "no error";
    } catch (const DatabaseError& error) {
        EXPECT_STREQ(error.what(), "Field 'NOPE' not found");
    }
    SqlQuery empty(*connection, *transaction);
    try {
        empty.Open();
        FAIL() << "no error";
    } catch (const DatabaseError& error) {
        EXPECT_STREQ(error.what(), "Empty query");
    }
}

TEST_P(QueryTest, ColonInsideALiteralReachesTheServer)
{
    auto query = Select("SELECT 'a:b :C' AS T FROM RDB$DATABASE WHERE 'x' <> ':y'");
    EXPECT_EQ(query->FieldText("T"), "a:b :C");
}

TEST_P(QueryTest, EightBitBytesRoundTrip)
{
    std::string high;
    for (int c = 0x80; c <= 0xFF; ++c)
        high += static_cast<char>(c);
    database->Execute("CREATE TABLE T (BARCODESPEED VARCHAR(200), CODICEEAN VARCHAR(200))");
    transaction->SetActive(true);
    dataaccess::SqlStatement insert(*connection, *transaction);
    insert.SetParamCheck(false);
    insert.AddLine("INSERT INTO T (BARCODESPEED, CODICEEAN) VALUES ('" + high + "', 'x')");
    insert.ExecQuery();
    dataaccess::SqlStatement update(*connection, *transaction);
    update.AddLine("UPDATE T SET CODICEEAN = :EAN WHERE BARCODESPEED = :B");
    update.SetParamText("EAN", high + "\xE8");
    update.SetParamText("B", high);
    update.ExecQuery();
    transaction->Commit();
    auto query = Select("SELECT BARCODESPEED, CODICEEAN, CHAR_LENGTH(BARCODESPEED) AS N FROM T "
                        "WHERE BARCODESPEED = '" + high + "'");
    ASSERT_FALSE(query->AtEnd());
    EXPECT_EQ(query->FieldText("BARCODESPEED"), high);
    EXPECT_EQ(query->FieldText("CODICEEAN"), high + "\xE8");
    EXPECT_EQ(query->FieldInteger("N"), 128);
}

TEST_P(QueryTest, EveryColumnTypeAsText)
{
    database->Execute(
        "CREATE TABLE T (C CHAR(5), V VARCHAR(10), S SMALLINT, I INTEGER, B BIGINT,"
        " N2 NUMERIC(9,2), N4 NUMERIC(18,4), D1 DECIMAL(4,1), NS SMALLINT, F FLOAT,"
        " DP DOUBLE PRECISION, DT DATE, TM TIME, TS TIMESTAMP, BO BOOLEAN,"
        " BT BLOB SUB_TYPE TEXT, BB BLOB SUB_TYPE BINARY);"
        "INSERT INTO T VALUES ('ab', 'xyz', -7, 2147483647, -9223372036854775808,"
        " 12.5, -0.0042, -3.0, NULL, 1.5, 0.1,"
        " '2024-02-29', '23:59:58.1234', '1999-12-31 08:07:06', TRUE,"
        " 'blob text', X'00FF80');"
        "INSERT INTO T (C) VALUES (NULL)");
    auto query = Select("SELECT * FROM T");
    EXPECT_EQ(query->FieldText("C"), "ab   "); // fixed width, padded as stored
    EXPECT_EQ(query->FieldText("V"), "xyz");
    EXPECT_EQ(query->FieldText("S"), "-7");
    EXPECT_EQ(query->FieldText("I"), "2147483647");
    EXPECT_EQ(query->FieldText("B"), "-9223372036854775808");
    EXPECT_EQ(query->FieldText("N2"), "12.50");
    EXPECT_EQ(query->FieldText("N4"), "-0.0042");
    EXPECT_EQ(query->FieldText("D1"), "-3.0");
    EXPECT_EQ(query->FieldText("NS"), "");
    EXPECT_EQ(query->FieldText("F"), "1.5");
    EXPECT_EQ(query->FieldText("DP"), "0.1");
    EXPECT_EQ(query->FieldText("DT"), "2024-02-29");
    EXPECT_EQ(query->FieldText("TM"), "23:59:58.1234");
    EXPECT_EQ(query->FieldText("TS"), "1999-12-31 08:07:06");
    EXPECT_EQ(query->FieldText("BO"), "True");
    EXPECT_EQ(query->FieldText("BT"), "blob text");
    EXPECT_EQ(query->FieldText("BB"), std::string("\x00\xFF\x80", 3));
    EXPECT_EQ(query->FieldInteger("I"), 2147483647);
    EXPECT_EQ(query->FieldInteger("B"), INT64_MIN);
    EXPECT_EQ(query->FieldInteger("N2"), 13); // rounded half away from zero
    EXPECT_EQ(query->FieldInteger("D1"), -3);
    EXPECT_EQ(query->FieldInteger("NS"), 0);
    query->NextRow();
    ASSERT_FALSE(query->AtEnd());
    for (const char* column : {"C", "V", "S", "B", "N2", "F", "DP", "DT", "TM", "TS", "BO", "BT"})
        EXPECT_EQ(query->FieldText(column), "") << column;
}

TEST_P(QueryTest, LongTextBlobIsReadWhole)
{
    database->Execute("CREATE TABLE T (BT BLOB SUB_TYPE TEXT)");
    std::string text;
    for (int i = 0; i < 50000; ++i)
        text += static_cast<char>('a' + i % 26);
    text += "\xE8";
    transaction->SetActive(true);
    dataaccess::SqlStatement insert(*connection, *transaction);
    insert.AddLine("INSERT INTO T VALUES (:TEXT)");
    insert.SetParamText("text", text);
    insert.ExecQuery();
    auto query = Select("SELECT BT FROM T");
    EXPECT_EQ(query->FieldText("BT"), text);
}

TEST_P(QueryTest, IntegerOfText)
{
    auto query = Select("SELECT ' 42 ' AS A, 'x1' AS B FROM RDB$DATABASE");
    EXPECT_EQ(query->FieldInteger("A"), 42);
    EXPECT_THROW(query->FieldInteger("B"), DatabaseError);
}
