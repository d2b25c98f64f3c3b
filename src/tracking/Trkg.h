#pragma once
// One tracker per watched issue: its quote conversation, reference figures and a ring of the
// last 8,000 quote points; after every stored point it decides whether the issue has just risen
// or fallen sharply and posts one record per direction.
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
#include "settings/Ini.h"
#include "tracking/DdeConv.h"

// Trivial on purpose: a tracker's ring is not written through when it is made (trackers are
// made in zeroed pages, see CTrkgList); a point is whole once stored. The time is kept in whole
// milliseconds since midnight, as every time of day is computed: the time in days is exactly
// MsToDays of it.
struct TTickEntry {
    int32_t Price;
    int32_t TimeMs;
    int32_t Volume;
    int32_t VolumeDelta;
};

class CTrkgList;

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

// The recorded quote lines of debug mode and the position of the next one to deliver.
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
};

// Everything a tracker needs of the rest of the system, handed over explicitly so a test can
// build a tracker alone. One context is shared by all trackers of a run.
struct CTrkgContext {
    const CIni* Ini = nullptr;
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
    // The event viewer's log: one call appends one line.
    std::function<void(const std::string&)> EventLog;
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

class CTrkg {
public:
    static constexpr int kHistory = 8000;

    CTrkg(const std::string& topic, CTrkgContext& context);
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
    // The first four characters of the topic, the issue code.
    const std::string& IssueCode() const { return Code; }
    // Whether a quote point has been stored (a tracker without one has no price to show).
    bool HasQuote() const { return PointCount > 0; }
    // The issue's figures now, as a movement record carries them: every field but Action,
    // which is left as it is. The windows show an issue's day the way the lists show a move.
    void FillRecord(CMeigara& m) const;

    // Hints for a caller that knows which tracker a coming point is for (the replay reads
    // ahead): the first brings in the fields every point reads; the second, called once those
    // are in, the newest points and the ends of the deques the point will touch.
    void PrefetchFields() const;
    void PrefetchPoints() const;

    // Internal steps, public for tests and tools.
    std::string RequestItem(const std::string& item);
    void RefreshStatic();
    void LiveUpdate();
    void LoadReplayBase();
    bool ReplayStep();
    void AddTick(int32_t p, int32_t v, double t);
    void Detect();
    // Start and end slot of the look-back window starting at x (days); false when empty.
    bool GetWindow(double x, int& start, int& end) const;
    // The same by walking the ring point by point, exactly as the rule reads; the fast path
    // above must always agree with it.
    bool GetWindowScan(double x, int& start, int& end) const;
    // Each looks up the window starting at x itself; Detect looks it up once for both.
    void CheckRise(double x);
    void CheckFall(double x);
    void PostMovement(char kind, char action);

    // Lowest and highest price of the points from start to end, going forward through the ring.
    int32_t WindowLow(int start, int end) const;
    int32_t WindowHigh(int start, int end) const;
    int32_t ScanLow(int start, int end) const;
    int32_t ScanHigh(int start, int end) const;

    std::string Topic;
    std::unique_ptr<TDdeClientConv> Conv;
    std::unique_ptr<TDdeClientItem> Item;
    std::string Name;
    std::string MarginClass;
    int32_t PrevClose = 0;
    int32_t LimitHigh = 0;
    int32_t OpenPrice = 0;
    int32_t Gap = 0;
    float LoanRatio = 0;
    int32_t YearHigh = 0;
    double Vwap = 0;
    int32_t LimitGap = 0;
    double DayRatio = 0;
    int32_t WritePos = 0;
    int32_t PointCount = 0;
    int32_t Price = 0;
    int32_t Volume = 0;
    double Time = 0;
    int32_t Move = 0;
    double MoveRatio = 0;

private:
    // Slots of the stored points whose price (or time) is smaller (larger) than every later
    // point's, oldest first: a window's low is the first of them inside the window, and the
    // window start is found by a galloping search, so a check costs O(log n) whatever its
    // length.
    // The low and high queues keep each entry's price beside its slot, so keeping them up to
    // date reads no points.
    struct CPricedSlot {
        int32_t Price;
        uint16_t Slot;
    };
    template <typename E>
    class SlotDeque {
    public:
        void Attach(E* storage) { Slots = storage; }
        int Size() const { return Count; }
        const E& EntryAt(int i) const { return Slots[(Head + i) % kHistory]; }
        int At(int i) const { return SlotOf(EntryAt(i)); }
        int Front() const { return SlotOf(Slots[Head]); }
        const E& BackEntry() const { return Slots[(Head + Count - 1) % kHistory]; }
        int Back() const { return SlotOf(BackEntry()); }
        const E* BackAddress() const {
            return &Slots[(Head + (Count > 0 ? Count - 1 : 0)) % kHistory];
        }
        void PopFront() { Head = (Head + 1) % kHistory, --Count; }
        void PopBack() { --Count; }
        void PushBack(E entry) { Slots[(Head + Count++) % kHistory] = entry; }
        // The first index whose slot satisfies `inSuffix`, which must hold for a suffix of the
        // deque (Size() when for none). Windows are short next to the ring, so the search
        // gallops back from the newest entry: it costs O(log k) for an answer k entries from
        // the end and touches the recently used part of the deque.
        // With a hint (an earlier answer, say: the suffix of a window that moves on a little
        // starts near its last start), it gallops from there instead, either way. The answer
        // is the same whatever the hint; only the cost differs.
        template <typename Pred>
        int FirstOfSuffix(Pred inSuffix, int hint = -1) const {
            int hi = Count;  // entries from hi on are in the suffix
            int lo = -1;     // entries up to lo are not
            if (hint >= 0 && hint < Count && !inSuffix(At(hint))) {
                lo = hint;
                for (int step = 1; lo + step < hi; step *= 2) {
                    if (inSuffix(At(lo + step))) {
                        hi = lo + step;
                        break;
                    }
                    lo += step;
                }
            } else {
                if (hint >= 0 && hint < Count) hi = hint;
                for (int step = 1; hi > 0; step *= 2) {
                    int probe = hi > step ? hi - step : 0;
                    if (!inSuffix(At(probe))) {
                        lo = probe;
                        break;
                    }
                    hi = probe;
                }
            }
            while (hi - lo > 1) {
                int mid = lo + (hi - lo) / 2;
                if (inSuffix(At(mid)))
                    hi = mid;
                else
                    lo = mid;
            }
            return hi;
        }

    private:
        static int SlotOf(uint16_t slot) { return slot; }
        static int SlotOf(const CPricedSlot& e) { return e.Slot; }
        E* Slots = nullptr;  // kHistory of them, in the tracker
        int Head = 0;
        int Count = 0;
    };

    int OldestSlot() const { return PointCount < kHistory ? 0 : WritePos; }
    int LatestSlot() const { return (WritePos + kHistory - 1) % kHistory; }
    int Age(int slot) const { return (slot - OldestSlot() + kHistory) % kHistory; }
    void AddTickMs(int32_t p, int32_t v, int32_t ms);
    void AdvanceRing();
    void CheckMove(char kind, double x);
    void CheckMove(char kind, int start, int end);
    // The judgement itself, given the window's lowest ('A') or highest ('D') price.
    void JudgeMove(char kind, int end, int32_t extreme);

    // The last window Detect looked up, carried forward point by point: while the window start
    // stays put (the same start time, a new point inside the window, the start point not
    // overwritten), the low and high are the old ones against the new price, and most points
    // need no search at all.
    struct CWindowMemo {
        bool Valid = false;
        int64_t X = 0;  // window start time, ms
        int Start = 0;  // its first slot
        int32_t Low = 0, High = 0;
    };
    CWindowMemo Memo;
    // Where in Times the last window search ended: the next one starts there.
    mutable int TimesHint = -1;

    CTrkgContext& Ctx;
    std::string Code;
    SlotDeque<CPricedSlot> Lows, Highs;
    SlotDeque<uint16_t> Times;

public:
    // The large parts come last, after the small fields every point reads.
    std::array<TTickEntry, kHistory> History;

private:
    std::array<CPricedSlot, kHistory> LowSlots, HighSlots;
    std::array<uint16_t, kHistory> TimeSlots;
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
    static size_t Hash(const CodeSlot& key);
    // The code table made anew from the trackers in list order.
    void IndexCodes();
    // The tracker's memory goes back to the system, whole pages of it: its block lives on for
    // the trackers beside it.
    static void Release(CTrkg* tracker);

    // All trackers in one block of zeroed pages: the cost of a list grows with the points
    // stored, not with the trackers made, and the block is one mapping however long the list.
    // A list made from a changed watch list shares the blocks of the trackers it took over.
    std::vector<std::shared_ptr<kestrel::CZeroPages>> Blocks;
    std::vector<CTrkg*> Trackers;
    std::vector<CodeSlot> ByCode;  // a power of two long, at most half full
};
