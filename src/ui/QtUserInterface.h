#pragma once
// CQtUserInterface: the controller's view of the user in the real program. Boxes go through the
// dialogs it is given; the status text, the splash, the event log and the column widths reach the
// windows it is given (Attach), once they are made: the controller is made before any window.
#include <functional>
#include <string>

#include "app/Interaction.h"

class TF_DEBUG;
class TF_Kestrel2005_Init;
class TF_Main;

class CQtUserInterface : public IUserInterface {
public:
    explicit CQtUserInterface(IDialogs& dialogs) : Dialogs(dialogs) {}

    // The windows the texts go to; any may be null (nothing is shown there). All null before
    // the windows go.
    struct TWindows {
        TF_Main* Main = nullptr;
        TF_DEBUG* Events = nullptr;
        TF_Kestrel2005_Init* Splash = nullptr;
    };
    void Attach(TWindows windows) { Windows = windows; }
    // Also given each move, after the event viewer (the alert sound); none when empty.
    std::function<void(const MoveEvent&)> OnMove;

    void ShowMessage(const std::string& text) override;
    bool Confirm(const std::string& question) override;
    void SetStatusText(const std::string& text) override;
    void SetBusy(bool busy) override;
    void Beep() override;
    void RequestQuit() override;
    void AppendEventLine(const std::string& line) override;
    void AppendMove(const MoveEvent& e) override;
    void EnableMainWindow() override;
    void ShowSplash(bool shown) override;
    void ProcessEvents() override;
    void ApplyColumnWidths(const CIni& ini) override;

    // Whether a quit has been asked for (the request itself is queued on the event loop).
    bool QuitRequested() const { return Quitting; }

private:
    IDialogs& Dialogs;
    TWindows Windows;
    bool Quitting = false;
};
