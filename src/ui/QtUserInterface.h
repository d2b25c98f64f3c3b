#pragma once
// CQtUserInterface: the controller's view of the user in the real program. Boxes go through the
// dialogs seam; the status text, the splash, the event log and the column widths reach the
// windows through their instance pointers, looked up at each call since the controller is
// made before any window.
#include <string>

#include "app/Interaction.h"

class IDialogs;

class CQtUserInterface : public IUserInterface {
public:
    explicit CQtUserInterface(IDialogs& dialogs) : Dialogs(dialogs) {}

    void ShowMessage(const std::string& text) override;
    bool Confirm(const std::string& question) override;
    void SetStatusText(const std::string& text) override;
    void SetBusy(bool busy) override;
    void RequestQuit() override;
    void AppendEventLine(const std::string& line) override;
    void EnableMainWindow() override;
    void ShowSplash(bool shown) override;
    void ProcessEvents() override;
    void ApplyColumnWidths(const CIni& ini) override;

    // Whether a quit has been asked for (the request itself is queued on the event loop).
    bool QuitRequested() const { return Quitting; }

private:
    IDialogs& Dialogs;
    bool Quitting = false;
};
