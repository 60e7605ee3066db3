#pragma once

#include <QApplication>

class MessageBoxes;

// The application object: every error that leaves an event handler ends up here,
// is shown to the operator, and the event loop goes on.
class ColliApplication : public QApplication {
public:
    ColliApplication(int& argc, char** argv, MessageBoxes& boxes);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    MessageBoxes& boxes_;
};
