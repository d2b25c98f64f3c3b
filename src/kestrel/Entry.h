#pragma once
// The monitor's process from its entry to its end: options, the working folder, the one-per-user
// guard, the controller and the windows in their order, the event loop, and the shutdown that
// saves both ranking lists. `kestrel`'s main() is one call to RunKestrel; the end-to-end test
// makes the same call with hooks of its own.
#include <functional>

class IDialogs;
class IClock;

struct TKestrelHooks {
    // Dialogs and clock to use instead of the real ones.
    IDialogs* Dialogs = nullptr;
    IClock* Clock = nullptr;
    // Runs once the windows exist, just before the event loop starts.
    std::function<void()> BeforeLoop;
};

int RunKestrel(int argc, char** argv, const TKestrelHooks& hooks = {});
