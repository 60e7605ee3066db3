#include "Fixture.h"

#include "dataaccess/Errors.h"
#include "dataaccess/SqlQuery.h"
#include "dataaccess/SqlStatement.h"

using dataaccess::DatabaseError;
using dataaccess::SqlQuery;
using dataaccess::SqlStatement;
using Rows = std::vector<std::vector<std::string>>;

class TransactionTest : public DatabaseTest {
protected:
    std::string CurrentTransactionId()
    {
        SqlQuery query(*connection, *transaction);
        query.SetParamCheck(false);
        query.AddLine("SELECT CURRENT_TRANSACTION AS ID FROM RDB$DATABASE");
        query.Open();
        return query.FieldText("ID");
    }
    void Insert(const std::string& barcode)
    {
        SqlStatement statement(*connection, *transaction);
        statement.SetParamCheck(false);
        statement.AddLine("INSERT INTO COLLI (BARCODESPEED) VALUES ('" + barcode + "')");
        statement.ExecQuery();
    }
    Rows Barcodes() { return database->Query("SELECT BARCODESPEED FROM COLLI ORDER BY 1"); }
};
COLLI_DATABASE_TEST_SUITE(TransactionTest);

template <typename Action> std::string ErrorText(Action action)
{
    try {
        action();
    } catch (const DatabaseError& error) {
        return error.what();
    }
    return "(no error)";
}

TEST_P(TransactionTest, CommitRightAfterStartEndsAnEmptyTransaction)
{
    EXPECT_FALSE(transaction->Active());
    transaction->SetActive(true);
    EXPECT_TRUE(transaction->Active());
    transaction->Commit();
    EXPECT_FALSE(transaction->Active());
}

TEST_P(TransactionTest, ReadLeftOpenIsReusedByTheNextWrite)
{
    const std::string readId = CurrentTransactionId();
    EXPECT_TRUE(transaction->Active());
    transaction->SetActive(true); // nothing happens
    EXPECT_EQ(CurrentTransactionId(), readId);
    Insert("B1");
    transaction->Commit();
    EXPECT_FALSE(transaction->Active());
    EXPECT_EQ(Barcodes(), (Rows{{"B1"}}));
    EXPECT_NE(CurrentTransactionId(), readId);
}

TEST_P(TransactionTest, EndingAnInactiveTransaction)
{
    EXPECT_NO_THROW(transaction->SetActive(false));
    EXPECT_EQ(ErrorText([&] { transaction->Commit(); }), "Transaction is not active");
    EXPECT_EQ(ErrorText([&] { transaction->Rollback(); }), "Transaction is not active");
    EXPECT_FALSE(transaction->Active());
}

TEST_P(TransactionTest, DeactivatingRollsBack)
{
    transaction->SetActive(true);
    Insert("B1");
    transaction->SetActive(false);
    EXPECT_FALSE(transaction->Active());
    transaction->SetActive(true);
    Insert("B2");
    transaction->Rollback();
    EXPECT_TRUE(Barcodes().empty());
}

TEST_P(TransactionTest, StartNeedsAnAttachedConnection)
{
    connection->SetConnected(false);
    EXPECT_THROW(transaction->SetActive(true), DatabaseError);
    EXPECT_FALSE(transaction->Active());
}

TEST_P(TransactionTest, CommitClosesOpenCursors)
{
    database->Execute("INSERT INTO COLLI (BARCODESPEED) VALUES ('B1');"
                      "INSERT INTO COLLI (BARCODESPEED) VALUES ('B2')");
    SqlQuery query(*connection, *transaction);
    query.SetParamCheck(false);
    query.AddLine("SELECT BARCODESPEED FROM COLLI ORDER BY 1");
    query.Open();
    EXPECT_EQ(query.FieldText("BARCODESPEED"), "B1");
    transaction->Commit();
    EXPECT_FALSE(query.IsOpen());
    EXPECT_THROW(query.NextRow(), DatabaseError);
    // The same query opens again in a fresh transaction.
    query.Open();
    EXPECT_EQ(query.FieldText("BARCODESPEED"), "B1");
    query.NextRow();
    EXPECT_EQ(query.FieldText("BARCODESPEED"), "B2");
    EXPECT_EQ(query.FetchedCount(), 2);
}

TEST_P(TransactionTest, ClosingTheConnectionCommitsTheOpenTransaction)
{
    transaction->SetActive(true);
    Insert("B1");
    connection->SetConnected(false);
    EXPECT_FALSE(transaction->Active());
    EXPECT_EQ(Barcodes(), (Rows{{"B1"}}));
}

TEST_P(TransactionTest, DestroyingTheConnectionCommitsTheOpenTransaction)
{
    transaction->SetActive(true);
    Insert("B1");
    SqlQuery open(*connection, *transaction);
    open.SetParamCheck(false);
    open.AddLine("SELECT * FROM COLLI");
    open.Open(); // a cursor still open does not stop the commit
    connection.reset();
    EXPECT_EQ(Barcodes(), (Rows{{"B1"}}));
}

TEST_P(TransactionTest, FailedStatementLeavesEarlierChangesPending)
{
    transaction->SetActive(true);
    Insert("B1");
    SqlStatement bad(*connection, *transaction);
    bad.SetParamCheck(false);
    bad.AddLine("INSERT INTO COLLI (BARCODESPEED) VALUES (NULL)");
    EXPECT_THROW(bad.ExecQuery(), DatabaseError);
    EXPECT_TRUE(transaction->Active());
    EXPECT_TRUE(Barcodes().empty()); // not committed yet
    transaction->Commit();
    EXPECT_EQ(Barcodes(), (Rows{{"B1"}}));
}
