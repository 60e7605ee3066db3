#include "AdminCli.h"
#include "ConsoleStream.h"

#include <dataaccess/DllSearch.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QStringList>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string_view>
#include <unistd.h>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char** argv)
{
    dataaccess::RestrictDllSearch();
    // The report paints its chart and its PDF, which needs fonts and so a
    // GUI application; on Linux the offscreen platform, so that no display is
    // wanted. Windows' own platform needs no desktop to paint on.
    const bool painting = std::any_of(argv + 1, argv + argc, [](const char* a) { return std::string_view(a) == "report"; });
    std::unique_ptr<QCoreApplication> app;
    if (painting) {
#ifndef _WIN32
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv); // the text codecs, and the arguments on Windows
    }
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
