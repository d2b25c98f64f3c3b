#pragma once
// The dialogs of the windows for tests: answers from a script, texts recorded.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/Interaction.h"

// Answers from a script, texts recorded: the user of the windows in tests.
class CScriptedDialogs : public IDialogs {
public:
    void ShowMessage(const std::string& text) override;
    bool Confirm(const std::string& question) override;
    void Beep() override { ++Beeps; }
    void SetBusy(bool busy) override { Busy = busy; }

    // The next answers, first one first; with none left the answer is DefaultAnswer.
    std::deque<bool> Answers;
    bool DefaultAnswer = false;
    // Like a real box, each message and question runs an event loop of its own until it is
    // answered, AnswerAfterMs later: what is posted meanwhile runs inside it, and a loop ended
    // from outside (the application quitting) leaves the question unanswered (false).
    bool RunsEventLoop = false;
    int AnswerAfterMs = 0;
    // Called as a question opens, before it is answered.
    std::function<void(const std::string&)> OnQuestion;
    std::vector<std::string> Messages;
    std::vector<std::string> Questions;
    int Beeps = 0;
    bool Busy = false;
};
