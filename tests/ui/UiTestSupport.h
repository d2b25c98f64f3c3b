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
#include "support/FakeClock.h"

namespace kestrel::test {

// Made on first use, destroyed before the program's static objects are.
void EnsureApplication();
void DestroyApplication();

// A pixel whose colour is clearly not grey (text that took a colour).
bool IsChromatic(QRgb p);

}  // namespace kestrel::test
