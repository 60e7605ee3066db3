#include "StationLocationUi.h"

#include "MessageBoxes.h"

#include <dblocate/QuenIn2Form.h>

void StationLocationUi::ShowMessage(const std::string& text)
{
    boxes_.Plain(owner_, QString::fromStdString(text));
}

dblocate::LocationUi::ServerAnswer StationLocationUi::AskServerDialog()
{
    return dblocate::RunServerDialog(owner_);
}

bool StationLocationUi::AskRetry(const std::string& text)
{
    return boxes_.Confirm(owner_, QString::fromStdString(text));
}
