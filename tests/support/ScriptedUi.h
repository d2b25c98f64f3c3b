#pragma once
// The controller's user for tests: texts recorded, answers from a script.
#include <string>
#include <vector>

#include "app/Interaction.h"
#include "support/FakeClock.h"

namespace kestrel::test {

struct ScriptedUi : IUserInterface {
    std::vector<std::string> messages, events, status;
    std::vector<bool> answers;  // the confirmations' answers in turn; "no" once they run out
    int confirms = 0, quits = 0;
    void ShowMessage(const std::string& t) override { messages.push_back(t); }
    bool Confirm(const std::string&) override {
        ++confirms;
        return static_cast<size_t>(confirms) <= answers.size() &&
               answers[static_cast<size_t>(confirms - 1)];
    }
    void SetStatusText(const std::string& t) override { status.push_back(t); }
    void SetBusy(bool) override {}
    void RequestQuit() override { ++quits; }
    void AppendEventLine(const std::string& l) override { events.push_back(l); }
};

}  // namespace kestrel::test
