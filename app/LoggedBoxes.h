#pragma once

#include "MessageBoxes.h"

#include <cstddef>
#include <functional>

class DiagnosticLog;

// The boxes of the main window: every warning and error is also written to the
// diagnostic log, and while the station is closing nothing is shown any more
// (the loops that would run the boxes are ending), only logged.
class LoggedBoxes : public MessageBoxes {
public:
    LoggedBoxes(MessageBoxes& shown, DiagnosticLog* log, std::function<bool()> closing);

    void Warning(QWidget* parent, const QString& text) override;
    void Error(QWidget* parent, const QString& text) override;
    void Information(QWidget* parent, const QString& text) override;
    bool Confirm(QWidget* parent, const QString& text) override;
    void Plain(QWidget* parent, const QString& text) override;
    void ApplicationError(QWidget* parent, const QString& text) override;
    void Outcome(QWidget* owner, std::uint8_t kind, const QString& text) override;

    // How many windows were asked for so far (shown or, while closing, only logged).
    std::size_t Asked() const { return asked_; }

private:
    // False when the box is not to be shown.
    bool Log(const char* kind, const QString& text, bool always);

    MessageBoxes& shown_;
    DiagnosticLog* log_;
    std::function<bool()> closing_;
    std::size_t asked_ = 0;
};
