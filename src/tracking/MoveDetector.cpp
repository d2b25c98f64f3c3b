#include "tracking/MoveDetector.h"

#include <algorithm>
#include <new>

#include "common/TimeOfDay.h"

using namespace kestrel;

namespace {
int32_t ClampInt32(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}
}  // namespace

const size_t CMoveDetector::kSpillBytes = sizeof(CMoveDetector::CSpill);

CMoveDetector::CMoveDetector(void* spill) {
    if (!spill) {
        OwnSpill = std::make_unique<CZeroPages>(kSpillBytes);
        spill = OwnSpill->Data();
    }
    // Made over zeroed memory without writing it: its parts are plain numbers, zero until set.
    Spill = ::new (spill) CSpill;
    Lows.Attach(NearExtremes.data());
    Highs.Attach(NearExtremes.data());
    Times.Attach(Spill->TimeSlots.data());
}

void CMoveDetector::PrefetchPoints() const {
    __builtin_prefetch(Lows.BackAddress());
    __builtin_prefetch(Highs.BackAddress());
    if (TimesKept) __builtin_prefetch(Times.BackAddress());
    __builtin_prefetch(&Points[static_cast<size_t>(WritePos)], 1);
    __builtin_prefetch(&Points[static_cast<size_t>(LatestSlot())]);
}

void CMoveDetector::Advance() {
    const int w = WritePos;
    if (PointCount == kHistory) {
        // Slot w held the oldest point, now overwritten: it can only be at a deque's front.
        if (Lows.Size() > 0 && Lows.Front() == w) Lows.PopFront(NearExtremes.data());
        if (Highs.Size() > 0 && Highs.Front() == w) Highs.PopFront(NearExtremes.data());
        if (TimesKept && Times.Size() > 0 && Times.Front() == w) Times.PopFront();
    }
    const TPricePoint& e = Points[static_cast<size_t>(w)];
    const int64_t t = e.TimeMs;
    const uint16_t slot = static_cast<uint16_t>(w);
    while (Lows.Size() > 0 && Lows.BackPrice() >= e.Price) Lows.PopBack();
    TExtremeEntry* const nearPlaces = NearExtremes.data();
    TExtremeEntry* const farPlaces = Spill->FarExtremes.data();
    Lows.PushBack(e.Price, slot, nearPlaces, farPlaces);
    while (Highs.Size() > 0 && Highs.BackPrice() <= e.Price) Highs.PopBack();
    Highs.PushBack(e.Price, slot, nearPlaces, farPlaces);
    if (!TimesKept && PointCount > 0 && t < Points[static_cast<size_t>(LatestSlot())].TimeMs)
        KeepTimes(w);
    if (TimesKept) {
        while (Times.Size() > 0 && Points[static_cast<size_t>(Times.Back())].TimeMs >= t)
            Times.PopBack();
        Times.PushBack(slot);
    }
    WritePos = w + 1 == kHistory ? 0 : w + 1;
    if (PointCount < kHistory) ++PointCount;
    ++Advances;
}

void CMoveDetector::KeepTimes(int newSlot) {
    // The points stored before the one in newSlot, oldest first, as Advance would have kept
    // them; none of them goes back, so only equal times give way.
    TimesKept = true;
    const int stored = PointCount == kHistory ? kHistory - 1 : PointCount;
    int s = PointCount == kHistory ? (newSlot + 1) % kHistory : 0;
    for (int i = 0; i < stored; ++i, s = s + 1 == kHistory ? 0 : s + 1) {
        const int64_t t = Points[static_cast<size_t>(s)].TimeMs;
        while (Times.Size() > 0 && Points[static_cast<size_t>(Times.Back())].TimeMs >= t)
            Times.PopBack();
        Times.PushBack(static_cast<uint16_t>(s));
    }
}

int64_t CMoveDetector::WindowStartMs(const MoveRule& rule) const {
    const int64_t latest = Points[static_cast<size_t>(LatestSlot())].TimeMs;
    return CutToMinuteMs(latest % kMsPerDay) - int64_t{rule.SpanMinutes} * kMsPerMinute;
}

CMoveDetector::Window CMoveDetector::LatestWindow(const MoveRule& rule) const {
    Window w;
    w.StartMs = WindowStartMs(rule);
    int end = 0;
    GetWindow(MsToDays(w.StartMs), w.First, end);  // never empty: a point is stored
    w.Low = WindowLow(w.First, end);
    w.High = WindowHigh(w.First, end);
    return w;
}

void CMoveDetector::UpdateSpan(const MoveRule& rule, SpanMemo& memo) const {
    const int latestSlot = LatestSlot();
    const TPricePoint& e = Points[static_cast<size_t>(latestSlot)];
    const int64_t latest = e.TimeMs;
    // The start time as the window search sees it (through a time in days), worked out anew
    // only when the newest point's minute moves.
    const int64_t startMs = WindowStartMs(rule);
    const int64_t xMs =
        memo.Point >= 0 && memo.StartMs == startMs ? memo.X : DaysToMs(MsToDays(startMs));
    if (memo.Point == Advances && memo.X == xMs) return;  // this point's window already
    if (memo.Valid && memo.Point == Advances - 1 && memo.X == xMs && latest >= xMs &&
        !(PointCount == kHistory && memo.Start == latestSlot)) {
        // One point on, inside the same window, its start point still there.
        memo.Low = std::min(memo.Low, e.Price);
        memo.High = std::max(memo.High, e.Price);
    } else {
        int start = 0, found = 0;
        FindWindow(xMs, start, found, memo.TimesHint);  // never empty: a point is stored
        memo.Low = WindowLow(start, latestSlot);
        memo.High = WindowHigh(start, latestSlot);
        memo.StartMs = startMs;
        memo.X = xMs;
        memo.Start = start;
        // Only a window that holds the newest point can be carried to the next one.
        memo.Valid = PointCount >= 2 && latest >= xMs;
    }
    memo.Point = Advances;
}

void CMoveDetector::Detect(const MoveRule& rule, MoveEvent& rise, MoveEvent& fall) {
    UpdateSpan(rule, Memo);
    rise = JudgeAt(rule, 'A', LatestSlot(), Memo.Low);
    fall = JudgeAt(rule, 'D', LatestSlot(), Memo.High);
}

MoveEvent CMoveDetector::Judge(const MoveRule& rule, char kind, int start, int end) const {
    return JudgeAt(rule, kind, end, kind == 'A' ? WindowLow(start, end) : WindowHigh(start, end));
}

MoveEvent CMoveDetector::JudgeAt(const MoveRule& rule, char kind, int end, int32_t extreme) const {
    const TPricePoint& last = Points[static_cast<size_t>(end)];
    MoveEvent e;
    e.Kind = kind;
    e.TimeMs = last.TimeMs;
    e.Price = last.Price;
    e.Move = ClampInt32(int64_t{e.Price} - extreme);
    e.MoveRatio = MoveEvent::RatioOf(e.Move, e.Price);
    // Under 100 yen a one-yen step is a percent or more: a move must be at least two yen.
    if (kind == 'A') {
        if (e.MoveRatio >= rule.Rate && !(e.Price < 100 && e.Move < 2)) e.Action = 'A';
    } else {
        if (e.MoveRatio <= -rule.Rate && !(e.Price < 100 && int64_t{extreme} - e.Price < 2))
            e.Action = 'A';
    }
    return e;
}

bool CMoveDetector::GetWindowScan(double xDays, int& start, int& end) const {
    if (PointCount == 0) return false;
    end = LatestSlot();
    if (PointCount == 1) {
        start = 0;
        return true;
    }
    const int oldest = OldestSlot();
    auto walk = [&](int from, int64_t x) {
        int s = from;
        while (Points[static_cast<size_t>(s)].TimeMs >= x) {
            if (s == oldest) break;
            s = s == 0 ? kHistory - 1 : s - 1;
        }
        return s;
    };
    const int64_t x = DaysToMs(xDays);
    start = walk(end, x);
    if (start == end) {
        // Only when the latest point itself is older than the window start (a negative span).
        if (start == oldest) return true;
        int s = start == 0 ? kHistory - 1 : start - 1;
        start = walk(s, Points[static_cast<size_t>(s)].TimeMs);
    }
    return true;
}

bool CMoveDetector::GetWindow(double xDays, int& start, int& end) const {
    return FindWindow(DaysToMs(xDays), start, end, TimesHint);
}

bool CMoveDetector::FindWindow(int64_t x, int& start, int& end, int& hint) const {
    if (PointCount == 0) return false;
    end = LatestSlot();
    if (PointCount == 1) {
        start = 0;
        return true;
    }
    if (Points[static_cast<size_t>(end)].TimeMs < x) return GetWindowScan(MsToDays(x), start, end);
    // The window starts at the newest point older than x; none such means the oldest stored
    // point. In a ring in time order that is the point before the first one not older than x.
    if (!TimesKept) {
        const int lo = FirstOfSuffix(
            PointCount,
            [&](int age) { return Points[static_cast<size_t>(SlotOfAge(age))].TimeMs >= x; }, hint);
        hint = lo;
        start = lo == 0 ? OldestSlot() : SlotOfAge(lo - 1);
        return true;
    }
    // Otherwise it is the last entry of Times (times rise along it) that is older than x.
    const int lo = Times.FirstOfSuffix(
        [&](int slot) { return Points[static_cast<size_t>(slot)].TimeMs >= x; }, hint);
    hint = lo;
    start = lo == 0 ? OldestSlot() : Times.At(lo - 1);
    return true;
}

int32_t CMoveDetector::ScanLow(int start, int end) const {
    int32_t low = Points[static_cast<size_t>(start)].Price;
    for (int s = start; s != end;) {
        s = s + 1 == kHistory ? 0 : s + 1;
        if (Points[static_cast<size_t>(s)].Price < low) low = Points[static_cast<size_t>(s)].Price;
    }
    return low;
}

int32_t CMoveDetector::ScanHigh(int start, int end) const {
    int32_t high = Points[static_cast<size_t>(start)].Price;
    for (int s = start; s != end;) {
        s = s + 1 == kHistory ? 0 : s + 1;
        if (Points[static_cast<size_t>(s)].Price > high)
            high = Points[static_cast<size_t>(s)].Price;
    }
    return high;
}

int32_t CMoveDetector::WindowLow(int start, int end) const {
    if (end != LatestSlot() || Lows.Size() == 0) return ScanLow(start, end);
    // The first entry inside the window: the latest slot is always an entry, so there is one.
    const int age = Age(start);
    return Lows.PriceAt(Lows.FirstOfSuffix([&](int s) { return Age(s) >= age; }));
}

int32_t CMoveDetector::WindowHigh(int start, int end) const {
    if (end != LatestSlot() || Highs.Size() == 0) return ScanHigh(start, end);
    const int age = Age(start);
    return Highs.PriceAt(Highs.FirstOfSuffix([&](int s) { return Age(s) >= age; }));
}
