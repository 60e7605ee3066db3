#include "TestDatabase.h"

#include <dataaccess/SqlScript.h>

#include <gtest/gtest.h>

using dataaccess::SplitSqlScript;
using Statements = std::vector<std::string>;

TEST(SqlScript, SplitsAtSemicolonsOutsideQuotesAndComments)
{
    const auto statements = SplitSqlScript("/* head; */ CREATE TABLE A (X VARCHAR(5));\n"
                                        "INSERT INTO A VALUES ('a;b'); -- note; here\n"
                                        "INSERT INTO \"A\" VALUES ('c''d;');\n/* tail */\n");
    EXPECT_EQ(statements,
              (Statements{"/* head; */ CREATE TABLE A (X VARCHAR(5))",
                          "INSERT INTO A VALUES ('a;b')",
                          "-- note; here\nINSERT INTO \"A\" VALUES ('c''d;')"}));
}

TEST(SqlScript, KeepsBlockBodiesWhole)
{
    const auto statements =
        SplitSqlScript("EXECUTE BLOCK AS DECLARE I INT = 0; BEGIN WHILE (I < 3) DO BEGIN "
                    "I = CASE WHEN I > 1 THEN I + 1 ELSE I + 2 END; END END;\nCOMMIT");
    ASSERT_EQ(statements.size(), 2u);
    EXPECT_EQ(statements[1], "COMMIT");
}

TEST(SqlScript, ParcelSchemaMakesTheTablesAndTheGenerator)
{
    testsupport::TestDatabase database(testsupport::Where::Embedded);
    database.Execute("INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ('B', '8001234567890');"
                     "INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ('B', '8001234567891');"
                     "INSERT INTO LOGSPARATE (ID, BARCODESPEED, STATUS) VALUES (77, 'B', 'BarCodeSpeedSconosciuto')");
    // Duplicate courier barcodes are tolerated: the index is not unique.
    EXPECT_EQ(database.Query("SELECT COUNT(*) FROM COLLI WHERE BARCODESPEED = 'B'"),
              (std::vector<Statements>{{"2"}}));
    // The key and the time come from the server, whatever the writer says.
    EXPECT_EQ(database.Query("SELECT ID, CODICEEANLETTO, STATUS, DATAORA IS NOT NULL FROM LOGSPARATE"),
              (std::vector<Statements>{{"1", "", "BarCodeSpeedSconosciuto", "True"}}));
    EXPECT_EQ(database.Query("SELECT RDB$INDEX_NAME FROM RDB$INDICES WHERE "
                             "RDB$RELATION_NAME = 'COLLI' AND RDB$UNIQUE_FLAG IS DISTINCT FROM 1")
                  .size(),
              1u);
}
