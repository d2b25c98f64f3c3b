#pragma once
// The sharp-move detector of one watched issue: a ring of its last 8,000 quote points and the
// window arithmetic over it. After each stored point it judges, by the rule it is handed, how
// far the latest price stands from the window's low (a rise) and high (a fall). It knows
// nothing of where points come from or where moves go.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/ZeroPages.h"
#include "tracking/MoveEvent.h"

// A stored quote point. The time is kept in whole milliseconds since midnight, as every time of
// day is computed: the time in days is exactly MsToDays of it.
struct TTickEntry {
    int32_t Price;
    int32_t TimeMs;
    int32_t Volume;
    int32_t VolumeDelta;
};

class CMoveDetector {
public:
    static constexpr int kHistory = 8000;

    // What a detector keeps outside itself, seldom or never touched while judging (see
    // CSpill), in `spill` (kSpillBytes of zeroed memory that outlives it), or in a block of its
    // own when none is given. Throws std::bad_alloc when the system refuses that block.
    explicit CMoveDetector(void* spill = nullptr);
    CMoveDetector(const CMoveDetector&) = delete;
    CMoveDetector& operator=(const CMoveDetector&) = delete;

    // Writes a point into the next slot; the ring moves on only with Advance, so a point
    // written and not advanced is overwritten by the next. Its volumes are kept only when
    // asked: nothing judged reads them, and a run that shows no issue's day (the backtest,
    // the study) leaves their pages untouched.
    void Write(const TTickEntry& e, bool keepVolumes = true) {
        const size_t w = static_cast<size_t>(WritePos);
        Points[w] = {e.Price, e.TimeMs};
        if (keepVolumes) Spill->Volumes[w] = {e.Volume, e.VolumeDelta};
    }
    // The point in a slot, with its volumes as kept (zero where they were not).
    TTickEntry Entry(int slot) const {
        const size_t s = static_cast<size_t>(slot);
        const TVolumes& v = Spill->Volumes[s];
        return {Points[s].Price, Points[s].TimeMs, v.Volume, v.Delta};
    }
    // Takes the point written as the newest of the ring.
    void Advance();
    // The lowest and highest price of the newest point's look-back window under a span, as
    // Detect judges by them. The last window looked up is carried forward point by point: while
    // the window start stays put (the same start time, a new point inside the window, the start
    // point not overwritten), the low and high are the old ones against the new price, and most
    // points need no search at all. A detector judged by several spans at once (a study of
    // settings) keeps one memo per span; each must be brought up to date after every point.
    struct SpanMemo {
        int64_t Point = -1;   // the point (Advances) the figures are of; -1: none
        int64_t StartMs = 0;  // window start time of the newest point's minute, ms
        int64_t X = 0;        // the same as the window search sees it
        int Start = 0;        // its first slot
        int32_t Low = 0, High = 0;
        int TimesHint = -1;  // where in Times the last window search ended
        bool Valid = false;  // may be carried to the next point
    };
    void UpdateSpan(const MoveRule& rule, SpanMemo& memo) const;
    // Judges the newest point against the window the rule gives: the rise first, then the
    // fall. Only with a point stored.
    void Detect(const MoveRule& rule, MoveEvent& rise, MoveEvent& fall);
    // The judgement of one kind over the window from slot start to slot end.
    MoveEvent Judge(const MoveRule& rule, char kind, int start, int end) const;
    // The judgement of the newest point, given its window's lowest ('A') or highest ('D') price.
    MoveEvent JudgeLatest(const MoveRule& rule, char kind, int32_t extreme) const {
        return JudgeAt(rule, kind, LatestSlot(), extreme);
    }

    // The look-back window of the newest point as Detect reads it under the rule: the time it
    // starts at (ms of the day), its first slot (the point in force at that time, or the oldest
    // stored) and its lowest and highest price. Only with a point stored.
    struct Window {
        int64_t StartMs = 0;
        int First = 0;
        int32_t Low = 0, High = 0;
    };
    Window LatestWindow(const MoveRule& rule) const;

    // Start and end slot of the look-back window starting at x (days); false when empty.
    bool GetWindow(double x, int& start, int& end) const;
    // The same by walking the ring point by point, exactly as the rule reads; the fast path
    // above must always agree with it.
    bool GetWindowScan(double x, int& start, int& end) const;
    // Lowest and highest price of the points from start to end, going forward through the ring.
    int32_t WindowLow(int start, int end) const;
    int32_t WindowHigh(int start, int end) const;
    int32_t ScanLow(int start, int end) const;
    int32_t ScanHigh(int start, int end) const;

    int LatestSlot() const { return (WritePos + kHistory - 1) % kHistory; }
    TTickEntry Latest() const { return Entry(LatestSlot()); }
    // Hints for a caller that knows a point for this detector is coming: the ends of the
    // queues and the slots the point will touch.
    void PrefetchPoints() const;
    // Where the large parts start, after the small fields every point reads.
    const void* RingsBegin() const { return NearExtremes.data(); }
    // The bytes kept outside the detector, and where they are.
    static const size_t kSpillBytes;
    void* SpillBlock() const { return Spill; }

    int32_t WritePos = 0;
    int32_t PointCount = 0;
    int64_t Advances = 0;  // points taken since the detector was made

private:
    // Slots of the stored points whose price (or time) is smaller (larger) than every later
    // point's, oldest first: a window's low is the first of them inside the window, and the
    // window start is found by a galloping search, so a check costs O(log n) whatever its
    // length.
    // The low and high queues keep each entry's price beside its slot, so keeping them up to
    // date reads no points. Their entries lie side by side, one of each per place, from the
    // start of a shared block, and both keep to their first places (see ExtremeQueue): as a
    // rule the few hundred places inside the detector, beside its own fields, whatever the
    // ring's position; a longer queue (a price that trends for thousands of points) moves out
    // to the spill block until it is short again.
    struct TExtremeEntry {
        int32_t Price[2];  // by queue: 0 the lows, 1 the highs
        uint16_t Slot[2];
    };
    static constexpr int kNearPlaces = 256;
    static constexpr int kFarPlaces = 2 * kHistory;
    // The first of `count` indices that satisfies `inSuffix`, which must hold for a suffix of
    // them (count when for none). Windows are short next to the ring, so the search
    // gallops back from the newest entry: it costs O(log k) for an answer k entries from
    // the end and touches the recently used part of the deque.
    // With a hint (an earlier answer, say: the suffix of a window that moves on a little
    // starts near its last start), it gallops from there instead, either way. The answer
    // is the same whatever the hint; only the cost differs.
    template <typename Pred>
    static int FirstOfSuffix(int count, Pred inSuffix, int hint) {
        int hi = count;  // entries from hi on are in the suffix
        int lo = -1;     // entries up to lo are not
        if (hint >= 0 && hint < count && !inSuffix(hint)) {
            lo = hint;
            for (int step = 1; lo + step < hi; step *= 2) {
                if (inSuffix(lo + step)) {
                    hi = lo + step;
                    break;
                }
                lo += step;
            }
        } else {
            if (hint >= 0 && hint < count) hi = hint;
            for (int step = 1; hi > 0; step *= 2) {
                int probe = hi > step ? hi - step : 0;
                if (!inSuffix(probe)) {
                    lo = probe;
                    break;
                }
                hi = probe;
            }
        }
        while (hi - lo > 1) {
            int mid = lo + (hi - lo) / 2;
            if (inSuffix(mid))
                hi = mid;
            else
                lo = mid;
        }
        return hi;
    }

    // The slots of the stored points whose time is larger than every earlier one's still
    // stored, oldest first, in a ring of kHistory places.
    class SlotDeque {
    public:
        void Attach(uint16_t* storage) { Slots = storage; }
        int Size() const { return Count; }
        int At(int i) const { return Slots[(Head + i) % kHistory]; }
        int Front() const { return Slots[Head]; }
        int Back() const { return Slots[(Head + Count - 1) % kHistory]; }
        const uint16_t* BackAddress() const {
            return &Slots[(Head + (Count > 0 ? Count - 1 : 0)) % kHistory];
        }
        void PopFront() { Head = (Head + 1) % kHistory, --Count; }
        void PopBack() { --Count; }
        void PushBack(uint16_t slot) { Slots[(Head + Count++) % kHistory] = slot; }
        // The first index whose slot satisfies `inSuffix`, which must hold for a suffix of the
        // deque (Size() when for none), as the search above finds it.
        template <typename Pred>
        int FirstOfSuffix(Pred inSuffix, int hint = -1) const {
            return CMoveDetector::FirstOfSuffix(
                Count, [&](int i) { return inSuffix(At(i)); }, hint);
        }

    private:
        uint16_t* Slots = nullptr;  // kHistory of them, in the tracker
        int Head = 0;
        int Count = 0;
    };

    // One of the two queues (Q: 0 the lows, 1 the highs) in the shared places. Its entries run
    // from Head on; once as many have left the front as are left, they move back to the start
    // (of the near places when they fit in half of them). A move costs no more than the pops
    // that led to it, and the queue keeps to its first twice-its-length places: a few, as a
    // rule, where a ring would wander through all of them. When the near places run out, the
    // entries move to the far ones.
    template <int Q>
    class ExtremeQueue {
    public:
        void Attach(TExtremeEntry* nearPlaces) { Entries = nearPlaces; }
        int Size() const { return Count; }
        int32_t PriceAt(int i) const { return Entries[Head + i].Price[Q]; }
        int At(int i) const { return Entries[Head + i].Slot[Q]; }
        int Front() const { return At(0); }
        int32_t BackPrice() const { return PriceAt(Count - 1); }
        const TExtremeEntry* BackAddress() const {
            return &Entries[Head + (Count > 0 ? Count - 1 : 0)];
        }
        void PopBack() { --Count; }
        // `nearPlaces` and `farPlaces`: kNearPlaces in the detector and kFarPlaces in the
        // spill block, where the entries may move.
        void PushBack(int32_t price, uint16_t slot, TExtremeEntry* nearPlaces,
                      TExtremeEntry* farPlaces) {
            if (Entries == nearPlaces && Head + Count == kNearPlaces)
                MoveTo(Count <= kNearPlaces / 2 ? nearPlaces : farPlaces);
            TExtremeEntry& e = Entries[Head + Count++];
            e.Price[Q] = price;
            e.Slot[Q] = slot;
        }
        void PopFront(TExtremeEntry* nearPlaces) {
            ++Head, --Count;
            if (Head >= Count) MoveTo(Count <= kNearPlaces / 2 ? nearPlaces : Entries);
        }
        template <typename Pred>
        int FirstOfSuffix(Pred inSuffix, int hint = -1) const {
            return CMoveDetector::FirstOfSuffix(
                Count, [&](int i) { return inSuffix(At(i)); }, hint);
        }

    private:
        // The entries to the start of `to`, which holds none of them past Count.
        void MoveTo(TExtremeEntry* to) {
            for (int i = 0; i < Count; ++i) {
                to[i].Price[Q] = Entries[Head + i].Price[Q];
                to[i].Slot[Q] = Entries[Head + i].Slot[Q];
            }
            Entries = to;
            Head = 0;
        }
        // In the near places or the far ones. In the far places Head stays below the length the
        // queue had at its last move (at most kHistory), so its entries never pass their end.
        TExtremeEntry* Entries = nullptr;
        int Head = 0;
        int Count = 0;
    };

    int OldestSlot() const { return PointCount < kHistory ? 0 : WritePos; }
    // Where the newest point's window starts: the rule's span back from the start of the
    // point's minute.
    int64_t WindowStartMs(const MoveRule& rule) const;
    int Age(int slot) const { return (slot - OldestSlot() + kHistory) % kHistory; }
    // The judgement itself, given the window's lowest ('A') or highest ('D') price.
    MoveEvent JudgeAt(const MoveRule& rule, char kind, int end, int32_t extreme) const;

    // The window of the rule Detect judges by.
    SpanMemo Memo;
    // Where in Times (or the ring) the last window search outside a memo ended: the next one
    // starts there.
    mutable int TimesHint = -1;
    // While every stored point's time is at least the one's before it (a clock that does not
    // go back, as a feed's does not), the ring itself is in time order and Times is not kept:
    // a window's start is searched in the ring. The first point that goes back makes Times of
    // the points stored, and it is kept from then on.
    bool TimesKept = false;
    void KeepTimes(int newSlot);
    int SlotOfAge(int age) const {
        const int s = OldestSlot() + age;
        return s >= kHistory ? s - kHistory : s;
    }
    bool FindWindow(int64_t x, int& start, int& end, int& hint) const;
    ExtremeQueue<0> Lows;
    ExtremeQueue<1> Highs;
    SlotDeque Times;

    // What is seldom or never read while judging: the queues' far places, Times (kept only
    // once a clock has gone back) and the volumes (kept only where a day is shown). Apart
    // from the detector, so that a detector holds just what a point reads: 64 KB and a little,
    // and a list of thousands fits in few large pages (CTrkgList).
    struct TVolumes {
        int32_t Volume;
        int32_t Delta;
    };
    struct CSpill {
        std::array<TExtremeEntry, kFarPlaces> FarExtremes;
        std::array<uint16_t, kHistory> TimeSlots;
        std::array<TVolumes, kHistory> Volumes;
    };
    CSpill* Spill = nullptr;

    // The large parts come last, after the small fields every point reads. The ring keeps
    // what the judging reads, 8 bytes a point: a point touches a new cache line every eighth
    // point, and a page every 512th. Trivial on purpose: the ring is not written through when
    // it is made (trackers are made in zeroed pages, see CTrkgList).
    struct TPricePoint {
        int32_t Price;
        int32_t TimeMs;
    };
    std::array<TExtremeEntry, kNearPlaces> NearExtremes;
    std::array<TPricePoint, kHistory> Points;
    std::unique_ptr<kestrel::CZeroPages> OwnSpill;  // when no block was given
};
