#pragma once
// The monitor's process from its entry to its end: options, the working folder, the one-per-user
// guard, the controller and the windows in their order, the event loop, and the shutdown that
// saves both ranking lists. `kestrel`'s main() is one call to RunKestrel; the end-to-end test
// makes the same call with hooks of its own.
#include <functional>

class IDialogs;
class IClock;
class TF_DEBUG;
class TF_Kestrel2005_Init;
class TF_Main;

struct TKestrelHooks {
    // Dialogs and clock to use instead of the real ones.
    IDialogs* Dialogs = nullptr;
    IClock* Clock = nullptr;
    // Runs once the windows exist, just before the event loop starts.
    std::function<void()> BeforeLoop;
};

int RunKestrel(int argc, char** argv, const TKestrelHooks& hooks = {});

// The running monitor's windows, for the signal handler, the second start and tests; set by
// RunKestrel once they are made and null again before they go. Nothing below the entry reads them.
extern TF_Main* F_Main;
extern TF_DEBUG* F_DEBUG;
extern TF_Kestrel2005_Init* F_Kestrel2005_Init;
