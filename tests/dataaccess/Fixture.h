#pragma once

#include "TestDatabase.h"

#include "dataaccess/Connection.h"
#include "dataaccess/Transaction.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

namespace testsupport {
inline void PrintTo(Where where, std::ostream* out)
{
    *out << (where == Where::Embedded ? "embedded" : "server");
}
} // namespace testsupport

// A fresh database with the parcel tables, embedded or on the private server,
// and a connection with its transaction attached to it.
class DatabaseTest : public ::testing::TestWithParam<testsupport::Where> {
protected:
    void SetUp() override
    {
        if (GetParam() == testsupport::Where::Server && testsupport::ServerAddress().empty())
            GTEST_SKIP() << "COLLI_FB_SERVER not set";
        database = std::make_unique<testsupport::TestDatabase>(GetParam());
        connection = std::make_unique<dataaccess::Connection>();
        transaction = std::make_unique<dataaccess::Transaction>(*connection);
        connection->SetDatabaseName(database->Name());
        connection->Params() = {"user_name=SYSDBA", "password=plumtrove"};
        connection->SetLoginPrompt(false);
        connection->SetConnected(true);
    }
    void TearDown() override
    {
        transaction.reset();
        connection.reset();
        database.reset();
    }

    std::unique_ptr<testsupport::TestDatabase> database;
    std::unique_ptr<dataaccess::Connection> connection;
    std::unique_ptr<dataaccess::Transaction> transaction;
};

inline std::string WhereName(const ::testing::TestParamInfo<testsupport::Where>& info)
{
    return info.param == testsupport::Where::Embedded ? "Embedded" : "Server";
}

#define COLLI_DATABASE_TEST_SUITE(Suite)                                                           \
    INSTANTIATE_TEST_SUITE_P(Both, Suite,                                                          \
                             ::testing::Values(testsupport::Where::Embedded,                       \
                                               testsupport::Where::Server),                        \
                             WhereName)
