#pragma once
// Ending the monitor by a signal (SIGTERM at logout, SIGINT from a terminal, SIGHUP when the
// terminal goes) takes the same road as the exit command, so both ranking lists are saved.
// The signal only writes a byte into a pipe; the handler runs later on the event loop.
#include <functional>

// Installs the handlers; `onSignal` runs on the thread of the calling event loop, once for the
// first signal. Later signals are ignored while that shutdown runs. False when the pipe or the
// handlers cannot be made.
// `atSignal`, when given, runs inside the signal handler itself (so it must be async-signal-safe):
// for waits that would keep the event loop from the handler.
bool InstallQuitSignals(std::function<void(int signo)> onSignal, void (*atSignal)() = nullptr);
// Puts the previous handlers back.
void RemoveQuitSignals();
