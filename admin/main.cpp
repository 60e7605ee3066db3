#include "AdminCli.h"

#include <QCoreApplication>

#include <iostream>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv); // for the text codecs only
    std::vector<std::string> args(argv + 1, argv + argc);
    return admin::RunAdminCli(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0, admin::AskOnTerminal);
}
