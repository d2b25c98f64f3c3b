#pragma once
// One tracker per watched issue: it takes quote points from its source (the live conversation
// or the replay), keeps the issue's figures, hands each point to its move detector and posts
// one record per direction with what the detector judged.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/TextFile.h"
#include "common/ZeroPages.h"
#include "ranking/Meigara.h"
#include "refdata/LimitPriceRange.h"
#include "refdata/MeigaraInfo.h"
#include "tracking/DdeConv.h"
#include "tracking/MoveDetector.h"

class CTrkgList;
struct CReplayData;

// Everything a tracker needs of the rest of the system, handed over explicitly so a test can
// build a tracker alone. One context is shared by all trackers of a run.
struct CTrkgContext {
    // The rule every tracker's detector judges by, as the settings give it at start-up.
    MoveRule Rule;
    // Quote points come from the replay (debug mode), not from live conversations.
    bool Replaying = false;
    const bool* InitDone = nullptr;
    // Process-wide in the monitor: set by the first change after start-up, never cleared.
    bool HandlerArmed = false;
    CReplayData* Replay = nullptr;
    const CMeigaraInfoList* MasterList = nullptr;
    const CLimitPriceRangeList* LimitList = nullptr;
    CMeigaraQueue* QueueA = nullptr;
    CMeigaraQueue* QueueD = nullptr;
    // Records are held back in their queues (Hold) for the driver to push in batches
    // (PushHeld), rather than pushed one by one.
    bool HoldRecords = false;
    // Records are folded into their trackers instead (CReplayDriver::FoldRecords): a replay
    // run to its end needs of each issue and kind only its last alert's record and its last
    // record, in the order they came. FoldSeq numbers the records as they come.
    bool FoldRecords = false;
    int64_t FoldSeq = 0;
    // The points' volumes are kept in the detectors' rings; a run that shows no issue's day
    // (the backtest, the study) does without.
    bool KeepVolumes = true;
    // Further rules judged over the same points in the same replay, each with its own moves
    // and records (a study of several settings in one pass). Only while records are folded:
    // such a rule's records are its alerts' and the last point's, like the fold's.
    struct CSideRule {
        MoveRule Rule;
        std::function<void(const MoveEvent&)> EventLog;
        CMeigaraQueue* QueueA = nullptr;
        CMeigaraQueue* QueueD = nullptr;
        size_t Span = 0;  // its window: SideSpans[Span]
    };
    std::vector<CSideRule> SideRules;
    // The distinct spans of the side rules: a window is looked up once per span, not per rule.
    std::vector<int32_t> SideSpans;
    void AddSideRule(CSideRule rule);
    // Where each judged move that is an alert goes (the event viewer, stdout, the study).
    std::function<void(const MoveEvent&)> EventLog;
    // Message box ("ERROR:getPos").
    std::function<void(const std::string&)> ShowMessage;
    // An error raised out of a live change (a malformed time text).
    std::function<void(const std::string&)> ReportError;
    DdeConvFactory ConvFactory;  // live mode only
    // Quote points stored from the live feed so far (a replay does not count): whoever watches
    // for a silent feed compares it from one look to the next.
    int64_t LiveQuotes = 0;
    std::string Service = "RSS";
};

class alignas(64) CTrkg {
public:
    static constexpr int kHistory = CMoveDetector::kHistory;

    // `spill`: where its detector keeps what it seldom reads (CMoveDetector), or null.
    CTrkg(const std::string& topic, CTrkgContext& context, void* spill = nullptr);
    ~CTrkg();
    CTrkg(const CTrkg&) = delete;
    CTrkg& operator=(const CTrkg&) = delete;
    // Trackers come from zeroed pages, and the ring and slot arrays are left as they come: the
    // pages of points never stored (most of the ring early in a session) are never touched at
    // all. One made alone has pages of its own; a list makes all of its trackers in one block.
    static void* operator new(size_t size);
    static void operator delete(void* p, size_t size) noexcept;

    // The change handler: the item's OnChange in live mode, called by the replay in debug mode.
    // A malformed time text raises kestrel::TimeFormatError (nothing is stored).
    void OnVolumeChange(TDdeClientItem* sender);
    bool Reconnect();
    bool ResetItem();
    const std::string& GetTopic() const { return Topic; }
    // The rule its detector judges by.
    const MoveRule& Rule() const { return Ctx.Rule; }
    // The first four characters of the topic, the issue code.
    const std::string& IssueCode() const { return Code; }
    // Whether a quote point has been stored (a tracker without one has no price to show).
    bool HasQuote() const { return Detector.PointCount > 0; }
    // The issue's figures now, as a movement record carries them: every field but Action,
    // which is left as it is. The windows show an issue's day the way the lists show a move.
    void FillRecord(CMeigara& m) const;

    // Folding (CTrkgContext::FoldRecords): keeps what a record of `kind` with `action` would
    // carry now, numbered `seq`, in place of the record itself.
    void FoldRecord(char kind, char action, int64_t seq);
    // The folded records of `kind`, each with its number: the last alert's, then the last one
    // when that came later. The tracker's fold of that kind is empty afterwards. The side rules'
    // (TakeSideFolded) are taken first: their last records are numbered as this one's.
    using CNumberedRecords = std::vector<std::pair<int64_t, std::unique_ptr<CMeigara>>>;
    void TakeFolded(char kind, CNumberedRecords& out);
    void TakeSideFolded(size_t side, char kind, CNumberedRecords& out);

    // Hints for a caller that knows which tracker a coming point is for (the replay reads
    // ahead): the first brings in the fields every point reads; the second, called once those
    // are in, the newest points, the ends of the deques the point will touch and the side
    // rules' windows.
    void PrefetchFields() const;
    void PrefetchPoints() const;

    // Internal steps, public for tests and tools.
    std::string RequestItem(const std::string& item);
    void RefreshStatic();
    void LiveUpdate();
    void LoadReplayBase();
    bool ReplayStep();
    // Writes a point into the detector's next slot (the ring moves on with the step that stores
    // it, live or replayed).
    void AddTick(int32_t p, int32_t v, double t);
    // The detector's judgement of the newest point by the context's rule, posted.
    void Detect();
    // Each looks up the window starting at x itself; Detect looks it up once for both.
    void CheckRise(double x);
    void CheckFall(double x);
    // The record of one judged move, and its event line when it is an alert.
    void PostMovement(const MoveEvent& e);

    // A tracker's first cache lines: what every alert reads, then the fields every point reads
    // or writes, side by side, and the detector's own small fields right after them. A replay
    // over thousands of issues brings in only those few lines of a tracker for a point
    // (PrefetchFields), besides the newest points. What only start-up or the making of a
    // record reads lies past the detector's ring.
    std::string Topic;

private:
    // A record while folded: the figures a point changes as they stood then. The rest of the
    // record is the tracker's, which a replayed tracker does not change once its first point
    // has come.
    struct CFoldedPoint {
        int64_t Seq = -1;  // -1: none
        int32_t Price = 0, Volume = 0;
        double Time = 0, MoveRatio = 0, DayRatio = 0;
    };
    // By kind, the figures of the last alert's record while folded.
    std::array<CFoldedPoint, 2> FoldedAlerts;

public:
    std::unique_ptr<TDdeClientConv> Conv;

private:
    CTrkgContext& Ctx;

public:
    int32_t PrevClose = 0;
    int32_t LimitHigh = 0;
    int32_t LimitGap = 0;
    int32_t Price = 0;
    int32_t Volume = 0;
    int32_t Move = 0;
    double DayRatio = 0;
    double Time = 0;
    double MoveRatio = 0;

private:
    void AddTickMs(int32_t p, int32_t v, int32_t ms);
    // The side rules' judgements of the newest point, their alerts folded and logged. `seq` is
    // the number the rise's record of the context's own rule gets (the fall's is the next).
    void DetectSide(int64_t seq);
    void CheckMove(char kind, double x);
    // A record with the judged figures given: the rest is the tracker's.
    void FillRecordAt(CMeigara& m, int32_t price, double time, double moveRatio) const;
    // The same with the figures a point changed as they stood then.
    void FillRecordAs(CMeigara& m, int32_t price, double time, double moveRatio, int32_t volume,
                      double dayRatio) const;

    // A replayed tracker's reference line has been looked for and found (its name is set).
    bool BaseLoaded = false;
    // What one kind's last record left behind while folded (every point writes it). Only the
    // judged figures differ from one kind to the other, and from the tracker's figures after
    // its last point.
    struct CFolded {
        int64_t LastSeq = -1;  // -1: no record yet
        char LastAction = 0;
        int32_t Price = 0;
        double Time = 0;
        double MoveRatio = 0;
    };
    std::array<CFolded, 2> Folded;
    // The record made of folded figures, with `action`, when there are any (Seq >= 0).
    void TakeRecord(const CFoldedPoint& figures, char action, CNumberedRecords& out) const;
    // A side rule's judgement of the newest point, by its span's window; k: 0 rise, 1 fall.
    MoveEvent JudgeSide(size_t side, int k) const;

    // What a side rule's records left while folded: its alerts' records (its last records are
    // those of the context's own rule, judged anew by its rule when taken). Read with every
    // point, so among the fields fetched ahead of it (PrefetchFields), not after the ring.
    struct CSideFolded {
        std::array<CFoldedPoint, 2> Alert;  // by kind: the figures its record is made from
    };
    std::vector<CSideFolded> SideFolded;               // by side rule
    std::vector<CMoveDetector::SpanMemo> SideWindows;  // by side span

public:
    CMoveDetector Detector;  // its small fields, then its ring: most of a tracker's size

    std::unique_ptr<TDdeClientItem> Item;
    std::string Name;
    std::string MarginClass;
    int32_t OpenPrice = 0;
    int32_t Gap = 0;
    float LoanRatio = 0;
    int32_t YearHigh = 0;
    double Vwap = 0;

private:
    std::string Code;
};

// The watch list's trackers, in file order.
class CTrkgList {
public:
    // Throws std::bad_alloc when the system refuses the trackers' block.
    CTrkgList(const std::vector<std::string>& watchLines, CTrkgContext& context);
    // The list of a watch list changed while the monitor runs: a line whose topic `previous`
    // tracks keeps that tracker as it is (its points, figures and link), each tracker taken at
    // most once, in order; the other lines get new trackers. `previous` is left holding the
    // trackers not taken, which go (and drop their links) when it does. Throws std::bad_alloc
    // when the system refuses the new trackers' block; `previous` is then unchanged.
    CTrkgList(const std::vector<std::string>& watchLines, CTrkgContext& context,
              CTrkgList& previous);
    ~CTrkgList();
    CTrkgList(const CTrkgList&) = delete;
    CTrkgList& operator=(const CTrkgList&) = delete;
    CTrkg* Items(int index) const { return Trackers[static_cast<size_t>(index)]; }
    int Count() const { return static_cast<int>(Trackers.size()); }
    // The first tracker whose topic's first four characters equal the whole code, or -1.
    int IndexOfIssue(std::string_view code) const;
    // Trackers whose quote conversation is open now.
    int LinkedCount() const;
    bool ReconnectAll();
    bool ResetItemAll();

private:
    // Codes are at most four characters, 16 bytes of UTF-8: one is kept packed in two words,
    // so a lookup (once per replayed line) compares words in a small open-addressed table and
    // touches no tracker.
    struct CodeSlot {
        uint64_t Lo = 0, Hi = 0;
        int32_t Length = 0;
        int32_t Index = -1;  // -1: free
    };
    static constexpr size_t kMaxCodeBytes = 16;
    static bool Pack(std::string_view code, CodeSlot& key);
    // The blocks of `count` new trackers: the trackers themselves, side by side, and what
    // their detectors keep apart (CMoveDetector::kSpillBytes each, a whole number of pages).
    struct CBlocks {
        std::shared_ptr<kestrel::CZeroPages> Trackers, Spills;
    };
    static CBlocks MakeBlocks(size_t count);
    static CTrkg* MakeTracker(const CBlocks& blocks, size_t index, const std::string& line,
                              CTrkgContext& context);
    static size_t Hash(const CodeSlot& key);
    // The code table made anew from the trackers in list order.
    void IndexCodes();
    // The tracker's memory goes back to the system, whole pages of it: its block lives on for
    // the trackers beside it.
    static void Release(CTrkg* tracker);

    // All trackers in one block of zeroed pages, and what their detectors keep apart in
    // another: two mappings however long the list, costing nothing for pages never written.
    // Where the system backs the trackers' block with large pages (a list of up to some 4,900
    // issues asks for them), it is taken a large page at a time: a list of 2,000 then holds
    // about 140 MB from its first points on, the most its rings ever take. A list made from a
    // changed watch list shares the blocks of the trackers it took over.
    std::vector<std::shared_ptr<kestrel::CZeroPages>> Blocks;
    std::vector<CTrkg*> Trackers;
    std::vector<CodeSlot> ByCode;  // a power of two long, at most half full
    // The same for the codes of four ASCII digits, by their number: a lookup is one read.
    std::vector<int32_t> ByNumber;
};
