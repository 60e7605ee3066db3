#include "Fixture.h"

#include "dataaccess/Errors.h"
#include "dataaccess/SqlQuery.h"

using dataaccess::SqlQuery;

class QueryTest : public DatabaseTest {};
COLLI_DATABASE_TEST_SUITE(QueryTest);

TEST_P(QueryTest, ReadsOneParcelAndLeavesTheTransactionOpen)
{
    database->Execute("INSERT INTO COLLI VALUES ('B1', '8001234567890', NULL)");
    {
        SqlQuery query(*connection, *transaction);
        query.SetParamCheck(false);
        query.SetUniDirectional(true);
        query.AddLine("SELECT * FROM COLLI");
        query.AddLine("WHERE BARCODESPEED = 'B1'");
        query.Open();
        EXPECT_EQ(query.FetchedCount(), 1);
        EXPECT_FALSE(query.AtEnd());
        EXPECT_EQ(query.FieldText("CODICEEAN"), "8001234567890");
        EXPECT_EQ(query.FieldText("codiceean_errato"), "");
        EXPECT_TRUE(query.FieldIsNull("CODICEEAN_ERRATO"));
        query.NextRow();
        EXPECT_TRUE(query.AtEnd());
    }
    EXPECT_TRUE(transaction->Active());
}
