#pragma once
// The one seam for what the windows ask and tell the user: message boxes, confirmations, the
// beep and the hourglass cursor. The monitor uses the Qt boxes; tests script the answers.
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

// The parent for dialogs: the active window, else the main window when there is one.
QWidget* DialogParent();
// The main window, for DialogParent; set by whoever makes it (null when it goes).
void SetDialogMainWindow(QWidget* window);
