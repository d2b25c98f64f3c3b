#pragma once
// The one seam for what the windows ask and tell the user: message boxes, confirmations, the
// beep and the hourglass cursor. The monitor uses the Qt boxes; tests script the answers.
#include <deque>
#include <functional>
#include <string>
#include <vector>

class QWidget;

class IDialogs {
public:
    virtual ~IDialogs() = default;
    // A message box with the application title and one OK button.
    virtual void Message(const std::string& text) = 0;
    // Question icon, caption "確認", はい(&Y)/いいえ(&N); true only on はい(&Y).
    virtual bool Confirm(const std::string& question) = 0;
    virtual void Beep() = 0;
    // The hourglass cursor on or back to normal; repeated calls do not stack.
    virtual void SetBusy(bool busy) = 0;
};

class CQtDialogs : public IDialogs {
public:
    static constexpr const char* kTitle = "ケストレル2005";

    void Message(const std::string& text) override;
    bool Confirm(const std::string& question) override;
    void Beep() override;
    void SetBusy(bool busy) override;
};

// Answers from a script, texts recorded: for tests and for runs without a user.
class CScriptedDialogs : public IDialogs {
public:
    void Message(const std::string& text) override;
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

// The parent for dialogs: the active window, else the main window when there is one.
QWidget* DialogParent();
