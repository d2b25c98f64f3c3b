#include "app/Global.h"

#include <QCoreApplication>

TM_Global* M_Global = nullptr;

TM_Global::TM_Global(IUserInterface& ui, IClock& clock, DdeConvFactory convFactory, QObject* parent)
    : QObject(parent),
#ifdef KESTREL_HAVE_RUBY
      RubyHost1(std::make_unique<TRubyHost>()),
#endif
      Controller(std::make_unique<CController>(ui, clock, "", "", std::move(convFactory))) {
    M_Global = this;
    InitTimer.setInterval(1000);
    InitTimer.setSingleShot(true);
    DebugTimer.setInterval(100);
    ReConnTimer.setInterval(30000);
    connect(&InitTimer, &QTimer::timeout, this, &TM_Global::InitTimerTimer);
    connect(&DebugTimer, &QTimer::timeout, this, &TM_Global::DebugTimerTimer);
    connect(&ReConnTimer, &QTimer::timeout, this, &TM_Global::ReConnTimerTimer);
    Controller->DataModuleCreate();
    InitTimer.start();
    ReConnTimer.start();
}

TM_Global::~TM_Global() {
    InitTimer.stop();
    DebugTimer.stop();
    ReConnTimer.stop();
    Controller->DataModuleDestroy();
    if (M_Global == this) M_Global = nullptr;
}

void TM_Global::SyncTimers() {
    if (!Controller->InitTimerEnabled) InitTimer.stop();
    if (Controller->DebugTimerEnabled && !DebugTimer.isActive()) DebugTimer.start();
    if (!Controller->DebugTimerEnabled) DebugTimer.stop();
    if (!Controller->ReConnTimerEnabled) ReConnTimer.stop();
}

void TM_Global::InitTimerTimer() {
    InitTimer.stop();
    Controller->InitTimerTimer();
    SyncTimers();
}

void TM_Global::DebugTimerTimer() {
    Controller->DebugTimerTimer();
    SyncTimers();
}

void TM_Global::ReConnTimerTimer() {
    Controller->ReConnTimerTimer();
    SyncTimers();
}
