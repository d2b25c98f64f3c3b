#pragma once
// The controller's user and clock for tests: texts recorded, answers from a script, a clock that
// stands where the test puts it and moves only when something sleeps.
#include <string>
#include <vector>

#include "app/Interaction.h"

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

struct FakeClock : IClock {
    CDate date{2026, 12, 7};
    int64_t now = 9 * 3600000;
    CDate Today() override { return date; }
    int64_t TimeOfDayMs() override { return now; }
    void SleepMs(int ms) override { now += ms; }
};

}  // namespace kestrel::test
