// Ends the way the station does, in the same order: termination signals taken
// before the database is attached (so the client library hooks them after us),
// then a write left pending in the one transaction, then the event loop. Prints
// "ready" when the loop is about to run. Argument: the database to attach.
#include "ColliApplication.h"
#include "MessageBoxes.h"

#include <dataaccess/Connection.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    MessageBoxes boxes;
    ColliApplication application(argc, argv, boxes);
    TerminationSignals terminationSignals;
    dataaccess::Connection connection;
    dataaccess::Transaction transaction(connection);
    connection.SetDatabaseName(argv[1]);
    connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    connection.SetConnected(true);
    transaction.SetActive(true);
    dataaccess::SqlStatement pending(connection, transaction);
    pending.SetParamCheck(false);
    pending.AddLine("INSERT INTO COLLI (BARCODESPEED) VALUES ('PENDING')");
    pending.ExecQuery();
    terminationSignals.AtSessionEnd([&connection] { connection.SetConnected(false); });
    std::puts("ready");
    std::fflush(stdout);
    return terminationSignals.Received() ? 0 : application.exec();
}
