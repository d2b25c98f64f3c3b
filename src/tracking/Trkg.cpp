#include "tracking/Trkg.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <unordered_map>

#include "common/Codec.h"
#include "common/CommaText.h"
#include "common/Format.h"
#include "common/Numbers.h"
#include "common/TimeOfDay.h"

using namespace kestrel;

namespace {
const std::string kVolumeItem = "出来高";

inline int64_t Ms(const TTickEntry& e) { return e.TimeMs; }

int32_t ClampInt32(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}
}  // namespace

CTrkg::CTrkg(const std::string& topic, CTrkgContext& context)
    : Topic(topic), Ctx(context), Code(FirstChars(topic, 4)) {
    Lows.Attach(LowSlots.data());
    Highs.Attach(HighSlots.data());
    Times.Attach(TimeSlots.data());
    if (Ctx.Ini->IsDebug() || !Ctx.ConvFactory) return;
    Conv = Ctx.ConvFactory();
    Conv->ConnectMode = ddeManual;
    Conv->SetLink(Ctx.Service, Topic);
    Item = std::make_unique<TDdeClientItem>();
    ResetItem();
    Conv->OpenLink();  // a link that does not open stays silent until a reconnect
}

void* CTrkg::operator new(size_t size) {
    if (void* p = CZeroPages::Map(size)) return p;
    throw std::bad_alloc();
}

void CTrkg::operator delete(void* p, size_t size) noexcept { CZeroPages::Unmap(p, size); }

CTrkg::~CTrkg() {
    // The item first, so no change can reach this tracker once it is going.
    Item.reset();
    Conv.reset();
}

void CTrkg::PrefetchFields() const {
    const char* p = reinterpret_cast<const char*>(this);
    const char* end = reinterpret_cast<const char*>(&History);
    for (; p < end; p += 64) __builtin_prefetch(p);
    __builtin_prefetch(end - 1);  // the last line, when the fields do not start on one
}

void CTrkg::PrefetchPoints() const {
    __builtin_prefetch(Lows.BackAddress());
    __builtin_prefetch(Highs.BackAddress());
    __builtin_prefetch(Times.BackAddress());
    __builtin_prefetch(&History[static_cast<size_t>(WritePos)], 1);
    __builtin_prefetch(&History[static_cast<size_t>(LatestSlot())]);
}

bool CTrkg::Reconnect() {
    if (!Conv) return true;
    Conv->CloseLink();
    Conv->SetLink(Ctx.Service, Topic);
    Conv->OpenLink();
    return true;
}

bool CTrkg::ResetItem() {
    if (!Conv || !Item) return true;
    Item->SetDdeConv(Conv.get());
    Item->OnChange = [this](TDdeClientItem& sender) {
        try {
            OnVolumeChange(&sender);
        } catch (const std::exception& e) {
            if (Ctx.ReportError) Ctx.ReportError(e.what());
        }
    };
    Item->SetDdeItem(kVolumeItem);
    return true;
}

void CTrkg::OnVolumeChange(TDdeClientItem*) {
    if (!Ctx.HandlerArmed) {
        if (!Ctx.InitDone || !*Ctx.InitDone) return;  // changes during start-up are dropped
        Ctx.HandlerArmed = true;
    }
    if (Conv)
        LiveUpdate();
    else
        ReplayStep();
}

std::string CTrkg::RequestItem(const std::string& item) {
    return Conv ? Conv->RequestData(item) : std::string();
}

void CTrkg::RefreshStatic() {
    // Texts every record carries, kept to a field's length whatever the service answers.
    Name = CutUtf8(RequestItem("銘柄名称"), kMaxTextFieldBytes);
    MarginClass = CutUtf8(RequestItem("信用貸借区分"), kMaxTextFieldBytes);
    PrevClose = FloorYen(RequestItem("前日終値"));
    LimitHigh = Ctx.LimitList ? Ctx.LimitList->GetLimitHigh(PrevClose) : PrevClose;
    OpenPrice = FloorYen(RequestItem("始値"));
    Gap = ClampInt32(int64_t{OpenPrice} - PrevClose);
    LoanRatio = static_cast<float>(ParseRealOr0(RequestItem("貸借倍率")));
    YearHigh = FloorYen(RequestItem("年初来高値"));
}

void CTrkg::LiveUpdate() {
    RefreshStatic();
    int32_t p = 0, v = 0;
    std::string text = RequestItem("現在値");
    if (!text.empty()) p = FloorYen(text);
    text = RequestItem(kVolumeItem);
    if (!text.empty()) v = ParseIntOr0(text);
    text = RequestItem("現在値時刻");
    if (text.empty() || text == "  :  ") return;  // no trade yet: nothing stored or posted
    double t = ParseTime(text);
    AddTick(p, v, t);
    ++Ctx.LiveQuotes;
    Price = p;
    Volume = v;
    LimitGap = ClampInt32(int64_t{LimitHigh} - p);
    text = RequestItem("出来高加重平均");
    if (!text.empty()) Vwap = ParseRealOr0(text);
    text = RequestItem("前日比率");
    if (!text.empty()) DayRatio = ParseRealOr0(text);
    AdvanceRing();
    Detect();
}

void CTrkg::LoadReplayBase() {
    if (!Ctx.Replay) return;
    CReplayData& replay = *Ctx.Replay;
    const std::vector<std::string>& base = replay.ReplayBaseLines;
    // The first line of this code. A tracker without one looks again at every point: that
    // costs one look-up, not a scan. An index that no longer fits the lines is made anew.
    const std::string* found = nullptr;
    for (int attempt = 0; attempt < 2 && !found; ++attempt) {
        if (attempt > 0 || replay.BaseIndexedLines != base.size()) {
            replay.BaseIndex.clear();
            for (size_t i = 0; i < base.size(); ++i)
                replay.BaseIndex.emplace(FirstChars(base[i], 4), i);
            replay.BaseIndexedLines = base.size();
        }
        auto it = replay.BaseIndex.find(Code);
        if (it == replay.BaseIndex.end()) return;
        if (it->second < base.size() && FirstChars(base[it->second], 4) == Code)
            found = &base[it->second];
    }
    if (!found) return;
    const CMeigaraInfo* info = Ctx.MasterList ? Ctx.MasterList->FindByCode(Topic) : nullptr;
    Name = info ? info->GetName() : "$" + Topic + "$";
    auto cols = SplitCommaText(*found);
    auto col = [&](size_t i) { return i < cols.size() ? cols[i] : std::string(); };
    MarginClass = CutUtf8(col(1), kMaxTextFieldBytes);
    PrevClose = ParseIntOr0(col(2));
    LimitHigh = Ctx.LimitList ? Ctx.LimitList->GetLimitHigh(PrevClose) : PrevClose;
    OpenPrice = ParseIntOr0(col(3));
    Gap = ClampInt32(int64_t{OpenPrice} - PrevClose);
    LoanRatio = static_cast<float>(ParseRealOr0(col(5)));
    YearHigh = ParseIntOr0(col(6));
}

bool CTrkg::ReplayStep() {
    if (Name.empty()) LoadReplayBase();
    if (!Ctx.Replay) return false;
    auto& lines = Ctx.Replay->ReplayLines;
    int32_t pos = Ctx.Replay->ReplayPos;
    if (pos < 0 || static_cast<size_t>(pos) >= lines.size()) return false;
    CReplayPoint own;
    const CReplayPoint* point = Ctx.Replay->DeliveredPoint;
    if (!point || point->Line != pos) {
        ReadReplayPoint(pos, lines[static_cast<size_t>(pos)], nullptr, own);
        point = &own;
    }
    if (point->TimeMs == CReplayPoint::kBadTime) {
        // Nothing is stored; the error names the time column as it stands.
        std::vector<std::string_view> cols;
        std::string scratch;
        SplitCommaText(lines[static_cast<size_t>(pos)], cols, scratch);
        throw TimeFormatError(std::string(cols.empty() ? std::string_view() : cols[0]));
    }
    const int32_t p = point->Price;
    const int32_t v = point->Volume;
    AddTickMs(p, v, point->TimeMs);
    Price = p;
    Volume = v;
    LimitGap = ClampInt32(int64_t{LimitHigh} - p);
    DayRatio = PrevClose > 0 ? static_cast<double>(int64_t{p} - PrevClose) / PrevClose * 100 : 0;
    AdvanceRing();
    Detect();
    Ctx.Replay->ReplayPos = pos + 1;
    return true;
}

void ReadReplayPoint(int32_t line, std::string_view text, const CTrkgList* list,
                     CReplayPoint& out) {
    // The first four columns, and how many there are. A line without a blank, a quote or a
    // control byte (almost every recorded line) splits at its commas and nowhere else, as the
    // comma-text rules read it; any other line goes through those rules themselves.
    constexpr size_t kUsed = 4;
    std::string_view cols[kUsed];
    size_t count = 0;
    bool plain = !text.empty();
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= 32 || c == '"') {
            plain = false;
            break;
        }
        if (c == ',') {
            if (count < kUsed) cols[count] = text.substr(start, i - start);
            ++count;
            start = i + 1;
        }
    }
    if (plain) {
        if (count < kUsed) cols[count] = text.substr(start);
        ++count;
    } else {
        thread_local std::vector<std::string_view> all;
        thread_local std::string scratch;
        SplitCommaText(text, all, scratch);
        count = all.size();
        for (size_t i = 0; i < kUsed; ++i) cols[i] = i < count ? all[i] : std::string_view();
    }
    out.Line = line;
    out.Tracker = list && count >= 2 ? list->IndexOfIssue(cols[1]) : -1;
    out.Price = ParseIntOr0(cols[2]);
    out.Volume = ParseIntOr0(cols[3]);
    const std::optional<int64_t> ms = ParseTimeMs(cols[0]);
    out.TimeMs = ms ? static_cast<int32_t>(*ms) : CReplayPoint::kBadTime;
}

void CTrkg::AddTick(int32_t p, int32_t v, double t) { AddTickMs(p, v, ClampInt32(DaysToMs(t))); }

void CTrkg::AddTickMs(int32_t p, int32_t v, int32_t ms) {
    TTickEntry& e = History[static_cast<size_t>(WritePos)];
    e.Price = p;
    e.TimeMs = ms;
    e.Volume = v;
    e.VolumeDelta = static_cast<int32_t>(static_cast<uint32_t>(v) - static_cast<uint32_t>(Volume));
}

void CTrkg::AdvanceRing() {
    const int w = WritePos;
    if (PointCount == kHistory) {
        // Slot w held the oldest point, now overwritten: it can only be at a deque's front.
        if (Lows.Size() > 0 && Lows.Front() == w) Lows.PopFront();
        if (Highs.Size() > 0 && Highs.Front() == w) Highs.PopFront();
        if (Times.Size() > 0 && Times.Front() == w) Times.PopFront();
    }
    const TTickEntry& e = History[static_cast<size_t>(w)];
    const int64_t t = Ms(e);
    if (Memo.Valid) {
        if (t < Memo.X || (PointCount == kHistory && Memo.Start == w)) {
            Memo.Valid = false;  // the window start may have moved
        } else {
            Memo.Low = std::min(Memo.Low, e.Price);
            Memo.High = std::max(Memo.High, e.Price);
        }
    }
    const uint16_t slot = static_cast<uint16_t>(w);
    while (Lows.Size() > 0 && Lows.BackEntry().Price >= e.Price) Lows.PopBack();
    Lows.PushBack({e.Price, slot});
    while (Highs.Size() > 0 && Highs.BackEntry().Price <= e.Price) Highs.PopBack();
    Highs.PushBack({e.Price, slot});
    while (Times.Size() > 0 && Ms(History[static_cast<size_t>(Times.Back())]) >= t) Times.PopBack();
    Times.PushBack(slot);
    WritePos = w + 1 == kHistory ? 0 : w + 1;
    if (PointCount < kHistory) ++PointCount;
}

void CTrkg::Detect() {
    if (PointCount == 0) return;
    const int64_t latest = Ms(History[static_cast<size_t>(LatestSlot())]);
    const int64_t x =
        CutToMinuteMs(latest % kMsPerDay) - int64_t{Ctx.Ini->GetSpan()} * kMsPerMinute;
    const double xDays = MsToDays(x);
    const int64_t xMs = DaysToMs(xDays);  // the start time as the window search sees it
    const int end = LatestSlot();
    if (!Memo.Valid || Memo.X != xMs) {
        int start = 0, found = 0;
        GetWindow(xDays, start, found);  // never empty: a point is stored
        Memo.Low = WindowLow(start, end);
        Memo.High = WindowHigh(start, end);
        Memo.X = xMs;
        Memo.Start = start;
        // Only a window that holds the newest point can be carried to the next one.
        Memo.Valid = PointCount >= 2 && latest >= xMs;
    }
    JudgeMove('A', end, Memo.Low);
    JudgeMove('D', end, Memo.High);
}

bool CTrkg::GetWindowScan(double xDays, int& start, int& end) const {
    if (PointCount == 0) return false;
    end = LatestSlot();
    if (PointCount == 1) {
        start = 0;
        return true;
    }
    const int oldest = OldestSlot();
    auto walk = [&](int from, int64_t x) {
        int s = from;
        while (Ms(History[static_cast<size_t>(s)]) >= x) {
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
        start = walk(s, Ms(History[static_cast<size_t>(s)]));
    }
    return true;
}

bool CTrkg::GetWindow(double xDays, int& start, int& end) const {
    if (PointCount == 0) return false;
    end = LatestSlot();
    if (PointCount == 1) {
        start = 0;
        return true;
    }
    const int64_t x = DaysToMs(xDays);
    if (Ms(History[static_cast<size_t>(end)]) < x) return GetWindowScan(xDays, start, end);
    // The window starts at the newest point older than x: the last entry of Times (times rise
    // along it) that is older than x; none such means the oldest stored point.
    const int lo = Times.FirstOfSuffix(
        [&](int slot) { return Ms(History[static_cast<size_t>(slot)]) >= x; }, TimesHint);
    TimesHint = lo;
    start = lo == 0 ? OldestSlot() : Times.At(lo - 1);
    return true;
}

int32_t CTrkg::ScanLow(int start, int end) const {
    int32_t low = History[static_cast<size_t>(start)].Price;
    for (int s = start; s != end;) {
        s = s + 1 == kHistory ? 0 : s + 1;
        if (History[static_cast<size_t>(s)].Price < low)
            low = History[static_cast<size_t>(s)].Price;
    }
    return low;
}

int32_t CTrkg::ScanHigh(int start, int end) const {
    int32_t high = History[static_cast<size_t>(start)].Price;
    for (int s = start; s != end;) {
        s = s + 1 == kHistory ? 0 : s + 1;
        if (History[static_cast<size_t>(s)].Price > high)
            high = History[static_cast<size_t>(s)].Price;
    }
    return high;
}

int32_t CTrkg::WindowLow(int start, int end) const {
    if (end != LatestSlot() || Lows.Size() == 0) return ScanLow(start, end);
    // The first entry inside the window: the latest slot is always an entry, so there is one.
    const int age = Age(start);
    return Lows.EntryAt(Lows.FirstOfSuffix([&](int s) { return Age(s) >= age; })).Price;
}

int32_t CTrkg::WindowHigh(int start, int end) const {
    if (end != LatestSlot() || Highs.Size() == 0) return ScanHigh(start, end);
    const int age = Age(start);
    return Highs.EntryAt(Highs.FirstOfSuffix([&](int s) { return Age(s) >= age; })).Price;
}

void CTrkg::CheckRise(double x) { CheckMove('A', x); }
void CTrkg::CheckFall(double x) { CheckMove('D', x); }

void CTrkg::CheckMove(char kind, double x) {
    int start = 0, end = 0;
    if (!GetWindow(x, start, end)) {
        if (Ctx.ShowMessage) Ctx.ShowMessage("ERROR:getPos");
        return;
    }
    CheckMove(kind, start, end);
}

void CTrkg::CheckMove(char kind, int start, int end) {
    JudgeMove(kind, end, kind == 'A' ? WindowLow(start, end) : WindowHigh(start, end));
}

void CTrkg::JudgeMove(char kind, int end, int32_t extreme) {
    const TTickEntry& last = History[static_cast<size_t>(end)];
    Price = last.Price;
    Time = MsToDays(last.TimeMs);
    const double rate = Ctx.Ini->GetRate();
    char action = 'U';
    if (kind == 'A') {
        const int32_t low = extreme;
        Move = ClampInt32(int64_t{Price} - low);
        MoveRatio = Price > 0 ? static_cast<double>(Move) / Price * 100 : 0;
        if (MoveRatio >= rate && !(Price < 100 && Move < 2)) action = 'A';
    } else {
        const int32_t high = extreme;
        Move = ClampInt32(int64_t{Price} - high);
        MoveRatio = Price > 0 ? static_cast<double>(Move) / Price * 100 : 0;
        if (MoveRatio <= -rate && !(Price < 100 && int64_t{high} - Price < 2)) action = 'A';
    }
    PostMovement(kind, action);
}

void CTrkg::FillRecord(CMeigara& m) const {
    m.Code = Topic;
    m.Spare = 0;
    m.Name = Name;
    m.MarginClass = MarginClass;
    m.PrevClose = PrevClose;
    m.LimitHigh = LimitHigh;
    m.OpenPrice = OpenPrice;
    m.Gap = Gap;
    m.YearHigh = YearHigh;
    m.Price = Price;
    m.Time = Time;
    m.MoveRatio = MoveRatio;
    m.DayRatio = DayRatio;
    m.LoanRatio = static_cast<double>(LoanRatio);
    m.Volume = Volume;
    m.LimitGap = ClampInt32(int64_t{LimitHigh} - Price);
    m.OpenRatio =
        OpenPrice != 0 ? static_cast<double>(int64_t{Price} - OpenPrice) / OpenPrice * 100 : 0;
}

void CTrkg::PostMovement(char kind, char action) {
    CMeigaraQueue* q = kind == 'A' ? Ctx.QueueA : Ctx.QueueD;
    // A record the watcher has handed back, or a new one. Every field is set here, so a reused
    // record keeps nothing of its last use (and its texts keep their buffers).
    std::unique_ptr<CMeigara> m = q ? q->TakeSpare() : nullptr;
    if (!m) m = std::make_unique<CMeigara>();
    FillRecord(*m);
    m->Action = action;
    if (action == 'A' && Ctx.EventLog) {
        thread_local std::string line;  // keeps its buffer from one event to the next
        line = FormatHhNn(Time);
        line += ' ';
        line += Topic;
        line += ':';
        line += std::to_string(Price);
        line += ",(";
        line += std::to_string(Move);
        line += "),";
        line += FormatFixed(MoveRatio, 2, 4);
        line += "% ";
        line += std::to_string(LimitHigh);
        line += '[';
        line += kind;
        line += ',';
        line += action;
        line += ']';
        Ctx.EventLog(line);
    }
    if (!q) return;
    if (Ctx.HoldRecords)
        q->Hold(std::move(m));
    else
        q->Push(std::move(m));
}

CTrkgList::CTrkgList(const std::vector<std::string>& watchLines, CTrkgContext& context) {
    Blocks.push_back(std::make_shared<CZeroPages>(watchLines.size() * sizeof(CTrkg)));
    char* const block = Blocks.back()->Data();
    Trackers.reserve(watchLines.size());
    for (const auto& line : watchLines) {
        try {
            Trackers.push_back(::new (block + Trackers.size() * sizeof(CTrkg))
                                   CTrkg(line, context));
        } catch (...) {
            for (CTrkg* t : Trackers) t->~CTrkg();
            Trackers.clear();
            throw;
        }
    }
    IndexCodes();
}

CTrkgList::CTrkgList(const std::vector<std::string>& watchLines, CTrkgContext& context,
                     CTrkgList& previous) {
    // Which old tracker each line keeps (null: a new one), the first unclaimed of its topic.
    std::unordered_map<std::string, std::vector<size_t>> byTopic;
    for (size_t i = previous.Trackers.size(); i-- > 0;)
        byTopic[previous.Trackers[i]->GetTopic()].push_back(i);
    std::vector<CTrkg*> kept(watchLines.size(), nullptr);
    std::vector<bool> taken(previous.Trackers.size(), false);
    size_t fresh = 0;
    for (size_t l = 0; l < watchLines.size(); ++l) {
        auto it = byTopic.find(watchLines[l]);
        if (it == byTopic.end() || it->second.empty()) {
            ++fresh;
            continue;
        }
        taken[it->second.back()] = true;
        kept[l] = previous.Trackers[it->second.back()];
        it->second.pop_back();
    }
    auto block = std::make_shared<CZeroPages>(fresh * sizeof(CTrkg));
    Trackers.reserve(watchLines.size());
    size_t made = 0;
    for (size_t l = 0; l < watchLines.size(); ++l) {
        if (kept[l]) {
            Trackers.push_back(kept[l]);
            continue;
        }
        try {
            Trackers.push_back(::new (block->Data() + made * sizeof(CTrkg))
                                   CTrkg(watchLines[l], context));
            ++made;
        } catch (...) {
            // Only the new ones go; the old list keeps every tracker it had.
            for (CTrkg* t : Trackers)
                if (std::find(kept.begin(), kept.end(), t) == kept.end()) t->~CTrkg();
            Trackers.clear();
            throw;
        }
    }
    // Nothing can fail from here on.
    Blocks = previous.Blocks;
    Blocks.push_back(std::move(block));
    std::vector<CTrkg*> left;
    for (size_t i = 0; i < previous.Trackers.size(); ++i)
        if (!taken[i]) left.push_back(previous.Trackers[i]);
    previous.Trackers = std::move(left);
    previous.IndexCodes();
    IndexCodes();
}

void CTrkgList::IndexCodes() {
    size_t slots = 16;
    while (slots < 2 * Trackers.size()) slots *= 2;
    ByCode.assign(slots, CodeSlot{});
    for (size_t index = 0; index < Trackers.size(); ++index) {
        CodeSlot key;
        if (!Pack(Trackers[index]->IssueCode(), key)) continue;  // cannot happen: four characters
        for (size_t i = Hash(key) & (slots - 1);; i = (i + 1) & (slots - 1)) {
            CodeSlot& slot = ByCode[i];
            if (slot.Index < 0) {
                key.Index = static_cast<int32_t>(index);
                slot = key;
                break;
            }
            if (slot.Lo == key.Lo && slot.Hi == key.Hi && slot.Length == key.Length)
                break;  // the first one wins
        }
    }
}

void CTrkgList::Release(CTrkg* tracker) {
    tracker->~CTrkg();
    const uintptr_t page = CZeroPages::PageSize();
    const uintptr_t from = (reinterpret_cast<uintptr_t>(tracker) + page - 1) / page * page;
    const uintptr_t to = (reinterpret_cast<uintptr_t>(tracker) + sizeof(CTrkg)) / page * page;
    if (to > from) CZeroPages::Discard(reinterpret_cast<void*>(from), to - from);
}

bool CTrkgList::Pack(std::string_view code, CodeSlot& key) {
    if (code.size() > kMaxCodeBytes) return false;
    char bytes[kMaxCodeBytes] = {};
    if (!code.empty())
        std::memcpy(bytes, code.data(), code.size());  // an empty view may hold no pointer
    std::memcpy(&key.Lo, bytes, 8);
    std::memcpy(&key.Hi, bytes + 8, 8);
    key.Length = static_cast<int32_t>(code.size());
    return true;
}

size_t CTrkgList::Hash(const CodeSlot& key) {
    uint64_t h = (key.Lo ^ (key.Hi * 0x9E3779B97F4A7C15ull) ^ static_cast<uint64_t>(key.Length)) *
                 0xFF51AFD7ED558CCDull;
    return static_cast<size_t>(h ^ (h >> 29));
}

int CTrkgList::IndexOfIssue(std::string_view code) const {
    CodeSlot key;
    if (!Pack(code, key)) return -1;  // longer than any code
    const size_t mask = ByCode.size() - 1;
    for (size_t i = Hash(key) & mask;; i = (i + 1) & mask) {
        const CodeSlot& slot = ByCode[i];
        if (slot.Index < 0) return -1;
        if (slot.Lo == key.Lo && slot.Hi == key.Hi && slot.Length == key.Length) return slot.Index;
    }
}

CTrkgList::~CTrkgList() {
    // A block another list shares keeps that list's trackers: only these give back their pages.
    // A block of this list alone goes back whole.
    const bool shared =
        std::any_of(Blocks.begin(), Blocks.end(), [](const auto& b) { return b.use_count() > 1; });
    for (CTrkg* t : Trackers) shared ? Release(t) : t->~CTrkg();
}

int CTrkgList::LinkedCount() const {
    int linked = 0;
    for (const CTrkg* t : Trackers)
        if (t->Conv && t->Conv->Connected()) ++linked;
    return linked;
}

bool CTrkgList::ReconnectAll() {
    for (auto& t : Trackers) t->Reconnect();
    return true;
}

bool CTrkgList::ResetItemAll() {
    for (auto& t : Trackers) t->ResetItem();
    return true;
}
