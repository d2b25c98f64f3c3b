#pragma once
// The Qt boxes behind the dialogs seam (app/Interaction.h); tests script the answers instead.
#include <string>

#include "app/Interaction.h"

class QWidget;

class CQtDialogs : public IDialogs {
public:
    static constexpr const char* kTitle = "ケストレル2005";

    void ShowMessage(const std::string& text) override;
    bool Confirm(const std::string& question) override;
    void Beep() override;
    void SetBusy(bool busy) override;
};

// The parent for dialogs: the active window, else the main window when there is one.
QWidget* DialogParent();
// The main window, for DialogParent; set by whoever makes it (null when it goes).
void SetDialogMainWindow(QWidget* window);
