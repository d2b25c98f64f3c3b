#pragma once
// TM_Global: the controller as the monitor runs it, on the Qt event loop. It owns the
// controller's logic and the three timers that drive it (start-up, reconnect, replay). The
// timers come from the clock it is given, so a test's clock runs them without real waiting.
#include <QObject>

#include <functional>
#include <memory>

#include "app/Controller.h"

#ifdef KESTREL_HAVE_RUBY
#include "script/RubyHost.h"
#endif

class TM_Global : public QObject {
    Q_OBJECT
public:
    TM_Global(IUserInterface& ui, IClock& clock, DdeConvFactory convFactory = {},
              QObject* parent = nullptr);
    ~TM_Global() override;

    CController& Core() { return *Controller; }
    bool InitDone() const { return Controller->InitDone; }

#ifdef KESTREL_HAVE_RUBY
    // Made first: creating it starts the interpreter before anything else of the controller.
    std::unique_ptr<TRubyHost> RubyHost1;
#endif
    static constexpr int kInitMs = 1000;
    static constexpr int kDebugMs = 100;
    static constexpr int kReConnMs = 30000;

    std::unique_ptr<ITimer> InitTimer;
    std::unique_ptr<ITimer> DebugTimer;
    std::unique_ptr<ITimer> ReConnTimer;
    // Called once start-up has run to its end: the lists offered, the splash gone, the window
    // open to input. What a signal ends from then on saves today's lists.
    std::function<void()> OnStartUpDone;

    void InitTimerTimer();
    void DebugTimerTimer();
    void ReConnTimerTimer();

private:
    // After each handler the timers follow the controller's switches.
    void SyncTimers();
    std::unique_ptr<CController> Controller;
};

extern TM_Global* M_Global;
