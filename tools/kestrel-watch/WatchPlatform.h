#pragma once
// What kestrel-watch asks of its platform, so the one program runs over DDEML on Windows and over
// the local feed socket elsewhere: the quote conversations, an event loop that ends on Ctrl+C (or
// SIGTERM) or at the end of the input, and a way out of a process whose input thread may still
// sit in a read.
#include <functional>
#include <memory>
#include <string>

#include "tracking/DdeConv.h"

class CWatchPlatform {
public:
    // Made once the command line has been read: on POSIX systems it makes the Qt application,
    // which must come before the first conversation.
    CWatchPlatform(int& argc, char** argv);
    ~CWatchPlatform();
    CWatchPlatform(const CWatchPlatform&) = delete;
    CWatchPlatform& operator=(const CWatchPlatform&) = delete;

    // Conversations with the service "RSS" with these time-outs (a request's; an advise start's
    // and a notice's reading).
    DdeConvFactory ConvFactory(int requestTimeoutMs, int adviseTimeoutMs);
    // Makes Run return soon, also when asked before it runs (a missing watch list at start-up).
    void Quit();
    // Runs the event loop until Ctrl+C, SIGTERM (or SIGHUP), Quit or the end of the input.
    // Each input line, without its line end, goes to `onCommand` on the loop's thread;
    // `onReconnectTick` runs every 30 s there, as the monitor's reconnect timer does.
    void Run(const std::function<void(const std::string&)>& onCommand,
             const std::function<void()>& onReconnectTick);
    // The transport's counts for the last line of the run, each after ", " (may be empty).
    std::string Counts() const;
    // Ends the process with `code`, standard output and error flushed.
    [[noreturn]] void Exit(int code);

private:
    struct Impl;
    std::unique_ptr<Impl> P;
};
