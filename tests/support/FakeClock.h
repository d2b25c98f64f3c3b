#pragma once
// The one clock of the tests: it stands where the test puts it and moves only when something
// sleeps, and keeps every sleep asked of it.
#include <cstdint>
#include <functional>
#include <vector>

#include "app/Interaction.h"

namespace kestrel::test {

class CFakeClock : public IClock {
public:
    static constexpr int64_t kOpening = 9 * 3'600'000LL;
    static constexpr int64_t kAfterTheClose = (15 * 60 + 30) * 60'000LL;

    explicit CFakeClock(int64_t nowMs = kOpening, CDate date = {2026, 12, 7})
        : Date(date), NowMs(nowMs) {}

    CDate Today() override { return Date; }
    int64_t TimeOfDayMs() override { return NowMs; }
    void SleepMs(int ms) override {
        Sleeps.push_back(ms);
        NowMs += ms;
        if (OnSleep) OnSleep();
    }

    CDate Date;
    int64_t NowMs;
    std::vector<int> Sleeps;
    std::function<void()> OnSleep;
};

}  // namespace kestrel::test
