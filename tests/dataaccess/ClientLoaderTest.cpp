// Run where the client library is loaded at run time and absent: every
// database call fails with a message that names the library, nothing crashes.
#include <dataaccess/ClientLibrary.h>
#include <dataaccess/Connection.h>

#include <gtest/gtest.h>

#include <string>

TEST(ClientLoader, MissingLibraryIsAClearErrorEveryTime)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        dataaccess::Connection connection;
        connection.SetDatabaseName("C:\\Colli\\ARCHIVIOCOLLI.FDB");
        try {
            connection.SetConnected(true);
            ADD_FAILURE() << "attached without a client library";
        } catch (const dataaccess::ClientLibraryError& e) {
            EXPECT_NE(std::string(e.what()).find("fbclient.dll"), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("Impossibile caricare", 0), 0u) << e.what();
        }
    }
}
