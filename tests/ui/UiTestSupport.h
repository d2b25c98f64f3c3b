#pragma once
// What the window tests share: one QApplication for the test program, a clock that does not
// sleep, and helpers to look at rendered pixels.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QImage>

#include "app/Interaction.h"

namespace kestrel::test {

// Made on first use, destroyed before the program's static objects are.
void EnsureApplication();
void DestroyApplication();

class CFakeClock : public IClock {
public:
    CDate Today() override { return Date; }
    int64_t TimeOfDayMs() override { return NowMs; }
    void SleepMs(int ms) override {
        Sleeps.push_back(ms);
        NowMs += ms;
        if (OnSleep) OnSleep();
    }

    CDate Date{2026, 12, 7};
    int64_t NowMs = (15 * 60 + 30) * 60'000LL;
    std::vector<int> Sleeps;
    std::function<void()> OnSleep;
};

// A pixel whose colour is clearly not grey (text that took a colour).
bool IsChromatic(QRgb p);

}  // namespace kestrel::test
