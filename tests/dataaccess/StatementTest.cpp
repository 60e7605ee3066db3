#include "Fixture.h"

#include "dataaccess/Errors.h"
#include "dataaccess/SqlStatement.h"

using dataaccess::DatabaseError;
using dataaccess::SqlStatement;
using Rows = std::vector<std::vector<std::string>>;

class StatementTest : public DatabaseTest {};
COLLI_DATABASE_TEST_SUITE(StatementTest);

template <typename Action> DatabaseError ErrorOf(Action action)
{
    try {
        action();
    } catch (const DatabaseError& error) {
        return error;
    }
    return DatabaseError("(no error)");
}

TEST_P(StatementTest, NamedParametersMatchWithoutRegardToCase)
{
    database->Execute("INSERT INTO COLLI VALUES ('B1', '8001234567890', NULL);"
                      "INSERT INTO COLLI VALUES ('B2', '8001234567891', NULL)");
    transaction->SetActive(true);
    SqlStatement update(*connection, *transaction);
    update.AddLine("UPDATE COLLI SET CODICEEAN_ERRATO = :ean_errato /* :not_a_param */");
    update.AddLine("WHERE BARCODESPEED = :\"Barcode\" AND CODICEEAN <> 'x:y'");
    update.Prepare();
    EXPECT_TRUE(update.Prepared());
    update.SetParamText("EAN_ERRATO", "1111111111111");
    update.SetParamText("barcode", "B1");
    update.ExecQuery();
    update.SetParamText("BARCODE", "B2"); // the EAN stays set
    update.ExecQuery();
    transaction->Commit();
    EXPECT_EQ(database->Query("SELECT CODICEEAN_ERRATO FROM COLLI ORDER BY 1"),
              (Rows{{"1111111111111"}, {"1111111111111"}}));
}

TEST_P(StatementTest, SameNameTwiceSetsBoth)
{
    transaction->SetActive(true);
    SqlStatement insert(*connection, *transaction);
    insert.AddLine("INSERT INTO COLLI VALUES (:CODE, :Code, :EAN)");
    insert.SetParamText("code", "C1");
    insert.SetParamNull("EAN");
    insert.ExecQuery();
    transaction->Commit();
    EXPECT_EQ(database->Query("SELECT * FROM COLLI"), (Rows{{"C1", "C1", ""}}));
}

TEST_P(StatementTest, NumbersAndTimestampsFromText)
{
    database->Execute("CREATE TABLE T (N NUMERIC(9,2), B BIGINT, TS TIMESTAMP)");
    transaction->SetActive(true);
    SqlStatement insert(*connection, *transaction);
    insert.AddLine("INSERT INTO T VALUES (:N, :B, :TS)");
    insert.SetParamText("N", "12.5");
    insert.SetParamText("B", "9000000000");
    insert.SetParamText("TS", "2024-03-01 10:11:12");
    insert.ExecQuery();
    transaction->Commit();
    EXPECT_EQ(database->Query("SELECT * FROM T"), (Rows{{"12.50", "9000000000", "2024-03-01 10:11:12"}}));
}

TEST_P(StatementTest, OwnErrorTexts)
{
    SqlStatement statement(*connection, *transaction);
    statement.AddLine("DELETE FROM COLLI WHERE BARCODESPEED = :B");
    EXPECT_STREQ(ErrorOf([&] { statement.Prepare(); }).what(), "Transaction is not active");
    EXPECT_STREQ(ErrorOf([&] { statement.ExecQuery(); }).what(), "Transaction is not active");
    transaction->SetActive(true);
    EXPECT_STREQ(ErrorOf([&] { statement.SetParamText("X", "1"); }).what(), "Field \"X\" not found");
    SqlStatement empty(*connection, *transaction);
    EXPECT_STREQ(ErrorOf([&] { empty.Prepare(); }).what(), "Empty query");
    empty.AddLine("  ");
    EXPECT_STREQ(ErrorOf([&] { empty.ExecQuery(); }).what(), "Empty query");
}

TEST_P(StatementTest, ServerErrorCarriesTheClientLibraryLines)
{
    transaction->SetActive(true);
    SqlStatement statement(*connection, *transaction);
    statement.SetParamCheck(false);
    statement.AddLine("INSERT INTO NOSUCH VALUES (1)");
    const DatabaseError error = ErrorOf([&] { statement.ExecQuery(); });
    EXPECT_STREQ(error.what(), "Dynamic SQL Error\r\nSQL error code = -204\r\nTable unknown\r\n"
                               "NOSUCH\r\nAt line 1, column 13");
    EXPECT_EQ(error.gdsCode(), 335544569L);
    EXPECT_EQ(error.sqlCode(), -204L);
    EXPECT_EQ(error.sqlState(), "42S02");
    try {
        statement.ExecQuery();
    } catch (const dataaccess::ConnectionLostError&) {
        ADD_FAILURE() << "a syntax error is not a lost connection";
    } catch (const DatabaseError&) {
    }
    EXPECT_TRUE(transaction->Active());
}

TEST_P(StatementTest, ServerTextIsDecodedFromWindows1252)
{
    transaction->SetActive(true);
    SqlStatement statement(*connection, *transaction);
    statement.SetParamCheck(false);
    statement.AddLine("INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ('B', CAST('\xE8x' AS INTEGER))");
    const std::string message = ErrorOf([&] { statement.ExecQuery(); }).what();
    EXPECT_NE(message.find("\"\xC3\xA8x\""), std::string::npos) << message;
}

TEST_P(StatementTest, ConstraintViolationEndsWithoutFullStop)
{
    transaction->SetActive(true);
    SqlStatement insert(*connection, *transaction);
    insert.SetParamCheck(false);
    insert.AddLine("INSERT INTO LOGSPARATE (IDSCANSIONE, STATUS) VALUES ('T1', 'EanCorretto')");
    insert.ExecQuery();
    const DatabaseError error = ErrorOf([&] { insert.ExecQuery(); });
    const std::string message = error.what();
    EXPECT_EQ(message.rfind("attempt to store duplicate value", 0), 0u) << message;
    EXPECT_NE(message.back(), '.');
    EXPECT_EQ(error.sqlState(), "23000");
    // The first row is still pending and commits.
    transaction->Commit();
    EXPECT_EQ(database->Query("SELECT STATUS FROM LOGSPARATE"), (Rows{{"EanCorretto"}}));
}

TEST_P(StatementTest, ExecQueryNeverCommits)
{
    transaction->SetActive(true);
    SqlStatement insert(*connection, *transaction);
    insert.SetParamCheck(false);
    insert.AddLine("INSERT INTO LOGSPARATE (BARCODESPEED, CODICEEANLETTO, STATUS)");
    insert.AddLine("VALUES ('B:1', NULL,");
    insert.AddLine("'BarCodeSpeedSconosciuto')");
    insert.ExecQuery();
    EXPECT_TRUE(transaction->Active());
    EXPECT_TRUE(database->Query("SELECT * FROM LOGSPARATE").empty());
    transaction->Commit();
    EXPECT_EQ(database->Query("SELECT ID, BARCODESPEED, CODICEEANLETTO FROM LOGSPARATE"),
              (Rows{{"1", "B:1", ""}}));
}

TEST_P(StatementTest, PreparedStatementSurvivesReconnect)
{
    transaction->SetActive(true);
    SqlStatement insert(*connection, *transaction);
    insert.AddLine("INSERT INTO COLLI (BARCODESPEED) VALUES (:B)");
    insert.SetParamText("B", "first");
    insert.ExecQuery();
    connection->SetConnected(false); // commits
    connection->SetConnected(true);
    transaction->SetActive(true);
    insert.SetParamText("B", "second");
    insert.ExecQuery();
    transaction->Commit();
    EXPECT_EQ(database->Query("SELECT BARCODESPEED FROM COLLI ORDER BY 1"),
              (Rows{{"first"}, {"second"}}));
}
