#pragma once
// The seams between the program and the outside world: what the user sees and answers, and
// the clock. The monitor implements them with Qt; tests and tools with scripted versions.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tracking/EventLine.h"

class CIni;

// What asks and tells the user: message boxes, confirmations, the beep and the hourglass cursor.
// The windows need only this much; the controller needs the whole IUserInterface below.
class IDialogs {
public:
    virtual ~IDialogs() = default;
    // A message box with the application title and one OK button.
    virtual void ShowMessage(const std::string& text) = 0;
    // A confirmation (question icon, "確認", はい(&Y)/いいえ(&N)); true only on はい(&Y).
    virtual bool Confirm(const std::string& question) = 0;
    // The hourglass cursor on (true) or back to normal (false); repeated calls do not stack.
    virtual void SetBusy(bool busy) = 0;
    // The system beep; nothing where there is no speaker.
    virtual void Beep() {}
};

// The controller's user: the dialogs, and the main window's status bar, the event viewer, the
// splash and the application's end.
class IUserInterface : public IDialogs {
public:
    virtual void SetStatusText(const std::string& text) = 0;
    // False when status text is shown nowhere, so callers may skip building it.
    virtual bool WantsStatusText() const { return true; }
    // The hourglass cursor on (true) or back to normal (false).
    virtual void SetBusy(bool busy) = 0;
    // Ask the application to end once control is back in the event loop.
    virtual void RequestQuit() = 0;
    // Append one line to the event viewer.
    virtual void AppendEventLine(const std::string& line) = 0;
    // A move that is an alert: by default its event line goes to the viewer. A user that acts
    // on moves (a sound, a study) reads the event's fields, never the line.
    virtual void AppendMove(const MoveEvent& e) { AppendEventLine(EventLineText(e)); }
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

// A timer on the program's event loop: once started it calls back every interval until stopped.
class ITimer {
public:
    virtual ~ITimer() = default;
    virtual void SetInterval(int ms) = 0;
    virtual int Interval() const = 0;
    // (Re)starts: the first call back comes one interval from now.
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual bool IsActive() const = 0;
};

class IClock {
public:
    virtual ~IClock() = default;
    virtual CDate Today() = 0;
    // Local time of day in milliseconds since midnight.
    virtual int64_t TimeOfDayMs() = 0;
    // Blocks for a while (a fake clock just moves on).
    virtual void SleepMs(int ms) = 0;
    // A timer that runs on this clock's time, stopped. Null where the clock has none of its own:
    // the event loop's timers then run on the machine's time.
    virtual std::unique_ptr<ITimer> MakeTimer(std::function<void()> /*onTimeout*/) {
        return nullptr;
    }
};

// The machine's local clock.
class CSystemClock : public IClock {
public:
    CDate Today() override;
    int64_t TimeOfDayMs() override;
    void SleepMs(int ms) override;
};
