#pragma once
// The seams between the controller and the outside world: what the user sees and answers, and
// the clock. The monitor implements them with Qt; tests and tools with scripted versions.
#include <cstdint>
#include <string>

class CIni;

class IUserInterface {
public:
    virtual ~IUserInterface() = default;
    // A message box with the application title and one OK button.
    virtual void ShowMessage(const std::string& text) = 0;
    // A confirmation (question icon, "確認", はい(&Y)/いいえ(&N)); true only on はい(&Y).
    virtual bool Confirm(const std::string& question) = 0;
    // The main window's status bar (simple text).
    virtual void SetStatusText(const std::string& text) = 0;
    // False when status text is shown nowhere, so callers may skip building it.
    virtual bool WantsStatusText() const { return true; }
    // The hourglass cursor on (true) or back to normal (false).
    virtual void SetBusy(bool busy) = 0;
    // Ask the application to end once control is back in the event loop.
    virtual void RequestQuit() = 0;
    // Append one line to the event viewer.
    virtual void AppendEventLine(const std::string& line) = 0;
    virtual void EnableMainWindow() {}
    virtual void ShowSplash(bool /*shown*/) {}
    virtual void ProcessEvents() {}
    virtual void ApplyColumnWidths(const CIni& /*ini*/) {}
};

struct CDate {
    int Year = 1970;
    int Month = 1;
    int Day = 1;
};

class IClock {
public:
    virtual ~IClock() = default;
    virtual CDate Today() = 0;
    // Local time of day in milliseconds since midnight.
    virtual int64_t TimeOfDayMs() = 0;
    // Blocks for a while (a fake clock just moves on).
    virtual void SleepMs(int ms) = 0;
};

// The machine's local clock.
class CSystemClock : public IClock {
public:
    CDate Today() override;
    int64_t TimeOfDayMs() override;
    void SleepMs(int ms) override;
};
