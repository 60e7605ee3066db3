#pragma once

#include "dblocate/DatabaseLocator.h"

#include <string>
#include <vector>

// Records what the operator would have seen and answers the server dialog as prepared.
class ScriptedUi : public dblocate::LocationUi {
public:
    std::vector<std::string> seen; // messages, and "<dialog>" where the dialog appeared
    ServerAnswer answer;

    void ShowMessage(const std::string& text) override { seen.push_back(text); }
    ServerAnswer AskServerDialog() override
    {
        seen.push_back("<dialog>");
        return answer;
    }
};
