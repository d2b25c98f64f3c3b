#include "app/Global.h"

#include <QCoreApplication>
#include <QTimer>

TM_Global* M_Global = nullptr;

namespace {
// The event loop's own timer, on the machine's time.
class CQtTimer : public ITimer {
public:
    explicit CQtTimer(std::function<void()> onTimeout) {
        QObject::connect(&Timer, &QTimer::timeout, std::move(onTimeout));
    }
    void SetInterval(int ms) override { Timer.setInterval(ms); }
    int Interval() const override { return Timer.interval(); }
    void Start() override { Timer.start(); }
    void Stop() override { Timer.stop(); }
    bool IsActive() const override { return Timer.isActive(); }

private:
    QTimer Timer;
};

std::unique_ptr<ITimer> MakeTimer(IClock& clock, int intervalMs, std::function<void()> onTimeout) {
    std::unique_ptr<ITimer> t = clock.MakeTimer(onTimeout);
    if (!t) t = std::make_unique<CQtTimer>(std::move(onTimeout));
    t->SetInterval(intervalMs);
    return t;
}
}  // namespace

TM_Global::TM_Global(IUserInterface& ui, IClock& clock, DdeConvFactory convFactory, QObject* parent)
    : QObject(parent),
#ifdef KESTREL_HAVE_RUBY
      RubyHost1(std::make_unique<TRubyHost>()),
#endif
      InitTimer(MakeTimer(clock, kInitMs, [this] { InitTimerTimer(); })),
      DebugTimer(MakeTimer(clock, kDebugMs, [this] { DebugTimerTimer(); })),
      ReConnTimer(MakeTimer(clock, kReConnMs, [this] { ReConnTimerTimer(); })),
      Controller(std::make_unique<CController>(ui, clock, "", "", std::move(convFactory))) {
    M_Global = this;
    Controller->DataModuleCreate();
    InitTimer->Start();
    ReConnTimer->Start();
}

TM_Global::~TM_Global() {
    InitTimer->Stop();
    DebugTimer->Stop();
    ReConnTimer->Stop();
    Controller->DataModuleDestroy();
    if (M_Global == this) M_Global = nullptr;
}

void TM_Global::SyncTimers() {
    if (!Controller->InitTimerEnabled) InitTimer->Stop();
    if (Controller->DebugTimerEnabled && !DebugTimer->IsActive()) DebugTimer->Start();
    if (!Controller->DebugTimerEnabled) DebugTimer->Stop();
    if (!Controller->ReConnTimerEnabled) ReConnTimer->Stop();
}

void TM_Global::InitTimerTimer() {
    InitTimer->Stop();
    Controller->InitTimerTimer();
    SyncTimers();
    if (OnStartUpDone) OnStartUpDone();
}

void TM_Global::DebugTimerTimer() {
    Controller->DebugTimerTimer();
    SyncTimers();
}

void TM_Global::ReConnTimerTimer() {
    Controller->ReConnTimerTimer();
    SyncTimers();
}
