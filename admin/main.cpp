#include "AdminCli.h"

#include <dataaccess/DllSearch.h>

#include <QCoreApplication>
#include <QStringList>

#include <iostream>
#include <unistd.h>

int main(int argc, char** argv)
{
    dataaccess::RestrictDllSearch();
    QCoreApplication app(argc, argv); // the text codecs, and the arguments on Windows
#ifdef _WIN32
    // argv holds the ANSI code page; names go on as UTF-8, as the database layer takes them.
    std::vector<std::string> args;
    const QStringList arguments = QCoreApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i)
        args.push_back(arguments[i].toStdString());
#else
    std::vector<std::string> args(argv + 1, argv + argc);
#endif
    return admin::RunAdminCli(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0, admin::AskOnTerminal);
}
