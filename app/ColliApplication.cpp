#include "ColliApplication.h"

#include "MessageBoxes.h"

#include <exception>

ColliApplication::ColliApplication(int& argc, char** argv, MessageBoxes& boxes)
    : QApplication(argc, argv), boxes_(boxes)
{
    setApplicationName(QString::fromUtf8(kApplicationTitle));
}

bool ColliApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportUnhandledError(boxes_, activeWindow(), std::current_exception());
        return false;
    }
}
