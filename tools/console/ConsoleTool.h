#pragma once
// What the console tools (kestrel-backtest, kestrel-watch) share: the user seen as a terminal,
// a clock whose date an option can fix, the replay to the end, folders and a progress bar.
// Their command lines are read by Options.h.
#include <cstdint>
#include <functional>
#include <string>

#include "app/Interaction.h"

// Messages to stderr as "<tool>: text", event lines to stdout. Every question (there is one:
// whether to load today's resume files) gets the tool's fixed answer, said on stderr too.
struct CConsoleUi : IUserInterface {
    explicit CConsoleUi(std::string tool) : Tool(std::move(tool)) {}
    ~CConsoleUi() override { Flush(); }
    void ShowMessage(const std::string& text) override;
    bool Confirm(const std::string& question) override;
    void SetStatusText(const std::string&) override {}
    bool WantsStatusText() const override { return false; }
    void SetBusy(bool) override {}
    void RequestQuit() override {
        if (OnQuit) OnQuit();
    }
    void AppendEventLine(const std::string& line) override;
    // The move's line formatted straight into the block for stdout.
    void AppendMove(const MoveEvent& e) override;
    // Writes the event lines gathered so far to stdout.
    void Flush();

    std::string Tool;
    long events = 0;
    bool quiet = false;
    bool answer = false;
    // Each line flushed as it happens (a live tool), or left to the buffer (a fast replay).
    bool flushEach = false;
    std::function<void()> OnQuit;

private:
    void LineAdded();
    std::string Pending;  // event lines not yet handed to stdout
};

// The local clock, or a given date when --date fixed one.
struct CConsoleClock : CSystemClock {
    CDate date{};
    bool fixedDate = false;
    CDate Today() override { return fixedDate ? date : CSystemClock::Today(); }
};

class CController;

// A started controller's recorded lines replayed to their end without pacing, as the backtest
// replays them: read ahead on a thread of their own, records folded into their trackers and
// pushed to the watchers at the end (CReplayDriver::FoldRecords), lines given back once passed.
// `beforeLine` is called with each line's number before its tick, `afterLine` with the position
// after it. With `foldRecords` false every record goes to the queues in batches, as in the
// monitor (at most 20,000 in flight each, so the watchers keep up).
struct CReplayCounts {
    long NoIssue = 0;  // lines that name no watched issue
    long BadTime = 0;  // lines whose time does not read
};
CReplayCounts ReplayToEnd(CController& c, const std::function<void(int32_t line)>& beforeLine = {},
                          const std::function<void(int32_t position)>& afterLine = {},
                          bool foldRecords = true);

bool IsDir(const std::string& path);
// Makes the folder `path` (its parent must be there); nothing is said when it cannot.
void MakeDir(const std::string& path);

// A progress bar on standard error, "\r[#####     ]  10%", drawn again only when the percentage
// changes.
class CProgressBar {
public:
    void Show(int percent);
    bool Drawn() const { return Last >= 0; }

private:
    int Last = -1;
};
