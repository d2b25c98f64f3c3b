#pragma once
// The replay of recorded quote lines (debug mode and the backtest): which line comes next, its
// reading (by the tick itself, or ahead on a reader thread into a ring), the delivery of the
// line to its tracker, and the records held back to reach the queues in batches. The
// controller decides when a line is due and what the user sees of it; this decides nothing.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/TextFile.h"
#include "common/WaitableValue.h"
#include "tracking/Trkg.h"

// One recorded quote line as the replay reads it: time, code, price, volume, in columns.
struct CReplayPoint {
    static constexpr int32_t kBadTime = -1;
    int32_t Line = -1;     // the line it was read from
    int32_t Tracker = -1;  // the watched issue the code names, or -1 (none, or no code column)
    int32_t Price = 0;     // 0 when the column does not read as a whole number
    int32_t Volume = 0;
    int32_t TimeMs = kBadTime;  // time of day, or kBadTime when it does not read as a time
};
// Reads line number `line` (text `text`); the tracker only when a list is given. The one
// reading of a replay line: the replay tick, its reader thread and a tracker on its own.
void ReadReplayPoint(int32_t line, std::string_view text, const CTrkgList* list, CReplayPoint& out);

// The recorded quote lines of debug mode and the position of the next one to deliver. The
// position is the driver's (CReplayDriver) to move; a tracker only reads the line there.
struct CReplayData {
    kestrel::CTextLines ReplayLines;
    std::vector<std::string> ReplayBaseLines;
    // The first line of each code in ReplayBaseLines, made on first use from that many lines
    // (SIZE_MAX: not made yet). Whoever replaces the lines resets it.
    std::unordered_map<std::string, size_t> BaseIndex;
    size_t BaseIndexedLines = SIZE_MAX;
    int32_t ReplayPos = 0;
    // The line at ReplayPos, read, while the replay tick delivers it; null otherwise, and the
    // tracker reads the line itself.
    const CReplayPoint* DeliveredPoint = nullptr;

    // The reference line (std.csv) of an issue code, or null. A tracker without one looks
    // again at every point: that costs one look-up, not a scan.
    const std::string* BaseLine(const std::string& code);
    // The line at the position, read (into `own` when the driver has not read it); null past
    // the end.
    const CReplayPoint* Current(CReplayPoint& own) const;
    // The time column of line `line` as it stands, for an error.
    std::string TimeText(int32_t line) const;
};

class CReplayDriver {
public:
    // The lines and position live in `data`; the trackers' context says where records go.
    CReplayDriver(CReplayData& data, CTrkgContext& context);
    ~CReplayDriver();
    CReplayDriver(const CReplayDriver&) = delete;
    CReplayDriver& operator=(const CReplayDriver&) = delete;

    // The trackers the lines are read against (null: none). Stops the reader and forgets what
    // was read ahead: the codes may name other trackers now.
    void SetTrackers(CTrkgList* trackers);
    // The lines were loaded anew: back to the first, nothing read ahead.
    void Restart();
    // For a replay that runs once to its end and never goes back (the backtest): the lines
    // come from `file` (opened, its lines begun as parts) a block at a time, read by the reader
    // thread or the replay itself as they reach the end of what is read, instead of all at
    // start. Restart forgets the file.
    void StreamFrom(std::unique_ptr<kestrel::CTextFileReader> file);
    // The lines of the whole replay: while streamed, those the file will give.
    size_t ExpectedLineCount() const;
    // Why the streamed file could not be read to its end, or "".
    std::string StreamFailure() const;

    int32_t Position() const { return Data.ReplayPos; }
    // Moves to another line; the reader, if any, stops by itself at the jump.
    void JumpTo(int32_t line) { Data.ReplayPos = line; }
    // The line read names no watched issue: the position moves past it.
    void PassOver(int32_t line) {
        Data.ReplayPos = line + 1;
        ReleaseBehind(line);
    }
    // The lines read so far (all of them unless streamed).
    size_t LineCount() const { return Data.ReplayLines.size(); }
    const kestrel::CTextLines& Lines() const { return Data.ReplayLines; }
    bool AtEnd() const;

    // The line at the position, read, with the trackers of the coming lines brought into the
    // cache. Only while not AtEnd().
    const CReplayPoint& Read();
    // Hands the line read to its tracker (which must exist) as the tracker's change. What the
    // tracker throws (kestrel::TimeFormatError for a time that does not read) goes to the caller.
    void Deliver(const CReplayPoint& point);
    // The line is done with, delivered or not: the position moves past it if the tracker did
    // not move it, and held records go out every few dozen lines and at the end.
    void Done(int32_t line);

    // Reads the lines ahead on a thread of their own, for a replay that goes line by line from
    // its position as fast as it can. Without it each Read reads its line itself; either way a
    // line is read by the same code. Stops by itself when the replay jumps.
    void StartReader();
    void StopReader();
    // Records held back in their queues and pushed in batches of a few dozen lines' worth, not
    // one by one. Switching it off pushes what is held.
    void HoldRecords(bool on);
    void PushHeld();
    // For a replay that runs once to its end over one watch list (the backtest, the study):
    // records are folded into their trackers instead of queued line by line. A list ends the
    // same whether it merges every record of an issue or only its last alert's and its last
    // one, in the order they came; so switching it off pushes those, in that order, through
    // the queues to the watchers, which merge, sort and save them as ever.
    void FoldRecords(bool on);
    // Whether the points stored from now on keep their volumes (CTrkgContext::KeepVolumes).
    void KeepVolumes(bool on) { Ctx.KeepVolumes = on; }
    // For a replay that runs once to its end and never goes back (the backtest): the text of
    // the lines well behind the position goes back to the system as the replay moves on.
    void ReleasePassedLines(bool on) { ReleasePassed = on; }
    // Each line read is shown to `see` as it is read, on the replay's thread, before its tracker
    // has it (the study keeps the day's points so while the lines stream by). Empty: none.
    void SeeEachPoint(std::function<void(const CReplayPoint&)> see) { See = std::move(see); }

private:
    const CReplayPoint& PointAt(int32_t pos);
    void ReaderLoop(std::stop_token stop);
    // Whether line `line` is there, reading blocks of a streamed file until it is or the file
    // ends. Either thread may call it; one reads at a time.
    bool Have(int32_t line) const;
    // Gives back the lines well behind `line`, when passed lines go back.
    void ReleaseBehind(int32_t line) {
        if (ReleasePassed && line - kRing >= ReleasedTo + kReleaseBlock) {
            ReleasedTo = line - kRing;
            Data.ReplayLines.Release(static_cast<size_t>(ReleasedTo));
        }
    }

    CReplayData& Data;
    CTrkgContext& Ctx;
    CTrkgList* Trackers = nullptr;
    std::function<void(const CReplayPoint&)> See;
    // Lines read ahead, by line number in a ring: the replay brings the trackers of the coming
    // lines into the cache. The reader thread, when there is one, may fill the slots of lines up
    // to ReaderLimit (exclusive) and publishes how far it got in ReaderEnd.
    static constexpr int32_t kRing = 8192, kReaderBlock = 512, kFar = 12, kNear = 6;
    std::vector<CReplayPoint> Ahead = std::vector<CReplayPoint>(kRing);
    std::jthread Reader;
    CWaitableValue ReaderEnd;
    CWaitableValue ReaderLimit;
    int32_t NextPos = 0;  // the line the reader expects the replay to take next
    int32_t ReadTo = 0;   // the slots of the lines before this one are read for the replay
    static constexpr int kHeldLines = 64;
    int HeldLines = 0;  // lines delivered since held records were last pushed
    bool ReleasePassed = false;
    // Lines are released a block at a time, a ring behind the position.
    static constexpr int32_t kReleaseBlock = 1 << 16;
    int32_t ReleasedTo = 0;
    mutable std::mutex StreamLock;
    mutable std::unique_ptr<kestrel::CTextFileReader> Stream;
};
