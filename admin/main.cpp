#include "AdminCli.h"
#include "ConsoleStream.h"

#include <dataaccess/DllSearch.h>

#include <QCoreApplication>
#include <QStringList>

#include <iostream>
#include <unistd.h>

#ifdef _WIN32
#include <windows.h>
#endif

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
    // An Italian console shows its OEM code page: the UTF-8 text goes to it as UTF-16.
    admin::ConsoleStream out(STD_OUTPUT_HANDLE);
    admin::ConsoleStream err(STD_ERROR_HANDLE);
    return admin::RunAdminCli(args, out, err, isatty(STDERR_FILENO) != 0, admin::AskOnTerminal);
#else
    std::vector<std::string> args(argv + 1, argv + argc);
    return admin::RunAdminCli(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0, admin::AskOnTerminal);
#endif
}
