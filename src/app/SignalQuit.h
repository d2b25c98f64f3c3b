#pragma once
// Ending the monitor from outside takes the same road as the exit command, so both ranking
// lists are saved. On POSIX systems that is a signal (SIGTERM at logout, SIGINT from a terminal,
// SIGHUP when the terminal goes): it only writes a byte into a pipe, and the handler runs later
// on the event loop. On Windows it is the session manager's end at log-off or shut-down
// (WM_ENDSESSION): the handler runs inside that message, with kEndSession, and must have saved
// what is to be kept before it returns, since the system may end the process right after.
#include <functional>

// The handler's argument for the session manager's end (no signal number is this large).
constexpr int kEndSession = 1 << 16;

// Installs the handlers; `onSignal` runs on the thread of the calling event loop, once for the
// first signal. Later signals are ignored while that shutdown runs. False when the pipe or the
// handlers cannot be made.
// `atSignal`, when given, runs inside the signal handler itself (so it must be async-signal-safe):
// for waits that would keep the event loop from the handler.
bool InstallQuitSignals(std::function<void(int signo)> onSignal, void (*atSignal)() = nullptr);
// Puts the previous handlers back.
void RemoveQuitSignals();
