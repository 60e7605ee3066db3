#pragma once

#include <dblocate/DatabaseLocator.h>

class MessageBoxes;
class QWidget;

// How the database search talks to the operator at the station: plain message
// boxes and the server-location dialog, both owned by the main window.
class StationLocationUi : public dblocate::LocationUi {
public:
    StationLocationUi(QWidget* owner, MessageBoxes& boxes) : owner_(owner), boxes_(boxes) {}

    void ShowMessage(const std::string& text) override;
    ServerAnswer AskServerDialog() override;
    bool AskRetry(const std::string& text) override;

private:
    QWidget* owner_;
    MessageBoxes& boxes_;
};
