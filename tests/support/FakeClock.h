#pragma once
// The one clock of the tests: it stands where the test puts it and moves only when something
// sleeps or the test advances it, and keeps every sleep asked of it. Its timers fire as
// Advance passes their time, in time order, never on their own.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/Interaction.h"

namespace kestrel::test {

class CFakeClock : public IClock {
public:
    static constexpr int64_t kOpening = 9 * 3'600'000LL;
    static constexpr int64_t kAfterTheClose = (15 * 60 + 30) * 60'000LL;

    explicit CFakeClock(int64_t nowMs = kOpening, CDate date = {2026, 12, 7})
        : Date(date), NowMs(nowMs) {}
    ~CFakeClock() override {
        for (CTimer* t : Timers) t->Clock = nullptr;
    }

    CDate Today() override { return Date; }
    int64_t TimeOfDayMs() override { return NowMs; }
    void SleepMs(int ms) override {
        Sleeps.push_back(ms);
        NowMs += ms;
        if (OnSleep) OnSleep();
    }
    std::unique_ptr<ITimer> MakeTimer(std::function<void()> onTimeout) override {
        return std::make_unique<CTimer>(*this, std::move(onTimeout));
    }

    // Moves the time on by ms. Each timer due meanwhile is called back at its time, the
    // earliest first (the one made first on a tie); what a call back sleeps counts too.
    void Advance(int64_t ms) {
        const int64_t until = NowMs + ms;
        for (;;) {
            CTimer* next = nullptr;
            for (CTimer* t : Timers)
                if (t->Active && t->DueMs <= until && (!next || t->DueMs < next->DueMs)) next = t;
            if (!next) break;
            NowMs = std::max(NowMs, next->DueMs);
            next->DueMs = NowMs + std::max(next->IntervalMs, 1);
            auto onTimeout = next->OnTimeout;  // the call back may destroy its timer
            onTimeout();
        }
        NowMs = std::max(NowMs, until);
    }

    CDate Date;
    int64_t NowMs;
    std::vector<int> Sleeps;
    std::function<void()> OnSleep;

private:
    struct CTimer : ITimer {
        CTimer(CFakeClock& clock, std::function<void()> onTimeout)
            : Clock(&clock), OnTimeout(std::move(onTimeout)) {
            clock.Timers.push_back(this);
        }
        ~CTimer() override {
            if (!Clock) return;
            auto& all = Clock->Timers;
            all.erase(std::find(all.begin(), all.end(), this));
        }
        void SetInterval(int ms) override {
            IntervalMs = ms;
            if (Active) Start();
        }
        int Interval() const override { return IntervalMs; }
        void Start() override {
            Active = true;
            DueMs = (Clock ? Clock->NowMs : 0) + std::max(IntervalMs, 1);
        }
        void Stop() override { Active = false; }
        bool IsActive() const override { return Active; }

        CFakeClock* Clock;
        std::function<void()> OnTimeout;
        int IntervalMs = 0;
        bool Active = false;
        int64_t DueMs = 0;
    };
    std::vector<CTimer*> Timers;
};

}  // namespace kestrel::test
