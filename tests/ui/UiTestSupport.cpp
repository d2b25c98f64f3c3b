#include "ui/UiTestSupport.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {
std::unique_ptr<QApplication> app;

// The application object must be gone before static destruction begins.
class AppEnvironment : public ::testing::Environment {
public:
    void TearDown() override { DestroyApplication(); }
};
const ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new AppEnvironment);
}  // namespace

void EnsureApplication() {
    if (QApplication::instance()) return;
    static int argc = 1;
    static char name[] = "kestrel_ui_test";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
}

void DestroyApplication() { app.reset(); }

bool IsChromatic(QRgb p) {
    const int r = qRed(p), g = qGreen(p), b = qBlue(p);
    const int hi = std::max({r, g, b}), lo = std::min({r, g, b});
    return hi - lo > 60;
}

}  // namespace kestrel::test
