// Ends the way the station does, in the same order: termination signals taken
// before the database is attached (so the client library hooks them after us),
// then a write left pending in the one transaction, then the event loop. Prints
// "ready" when the loop is about to run. Arguments: the database to attach,
// and "no-handlers" to take every file descriptor away while the signals are
// set up, so that no pipe can be made for them.
#include "ColliApplication.h"
#include "MessageBoxes.h"

#include <dataaccess/Connection.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3)
        return 2;
    MessageBoxes boxes;
    ColliApplication application(argc, argv, boxes);
    std::vector<int> taken;
    if (argc == 3 && std::strcmp(argv[2], "no-handlers") == 0) {
        // The client library and the engine set themselves up at the first
        // attach; that is not what is tested without descriptors.
        dataaccess::Connection warmUp;
        warmUp.SetDatabaseName(argv[1]);
        warmUp.Params() = {"user_name=SYSDBA", "password=plumtrove"};
        try {
            warmUp.SetConnected(true);
        } catch (...) {
        }
        for (int fd; (fd = ::dup(0)) >= 0;)
            taken.push_back(fd);
    }
    const auto terminationSignals = std::make_unique<TerminationSignals>();
    for (int fd : taken)
        ::close(fd);
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
    terminationSignals->AtSessionEnd([&connection] { connection.SetConnected(false); });
    std::puts("ready");
    std::fflush(stdout);
    return terminationSignals->Received() ? 0 : application.exec();
}
