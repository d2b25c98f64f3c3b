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
#include "tracking/MoveRecord.h"
#include "tracking/Replay.h"

using namespace kestrel;

namespace {
const std::string kVolumeItem = "出来高";

int32_t ClampInt32(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}
}  // namespace

CTrkg::CTrkg(const std::string& topic, CTrkgContext& context, void* spill)
    : Topic(topic), Ctx(context), Detector(spill), Code(FirstChars(topic, 4)) {
    if (Ctx.Replaying || !Ctx.ConvFactory) return;
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
    const char* p = reinterpret_cast<const char*>(&Conv);  // the first a point reads
    const char* end = static_cast<const char*>(Detector.RingsBegin());
    for (; p < end; p += 64) __builtin_prefetch(p);
    __builtin_prefetch(end - 1);  // the last line, when the fields do not start on one
}

void CTrkg::PrefetchPoints() const {
    Detector.PrefetchPoints();
    // The side rules' windows, kept apart from the tracker: their pointer is in by now.
    const char* windows = reinterpret_cast<const char*>(SideWindows.data());
    const size_t bytes = SideWindows.size() * sizeof(CMoveDetector::SpanMemo);
    for (size_t at = 0; at < bytes; at += 64) __builtin_prefetch(windows + at);
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
    Detector.Advance();
    Detect();
}

void CTrkg::LoadReplayBase() {
    const std::string* found = Ctx.Replay ? Ctx.Replay->BaseLine(Code) : nullptr;
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
    if (!BaseLoaded) {
        // Looked for again at every point until found (a look-up, not a scan).
        if (Name.empty()) LoadReplayBase();
        BaseLoaded = !Name.empty();
    }
    if (!Ctx.Replay) return false;
    CReplayPoint own;
    const CReplayPoint* point = Ctx.Replay->Current(own);
    if (!point) return false;
    // Nothing is stored; the error names the time column as it stands.
    if (point->TimeMs == CReplayPoint::kBadTime)
        throw TimeFormatError(Ctx.Replay->TimeText(point->Line));
    const int32_t p = point->Price;
    const int32_t v = point->Volume;
    AddTickMs(p, v, point->TimeMs);
    Price = p;
    Volume = v;
    LimitGap = ClampInt32(int64_t{LimitHigh} - p);
    DayRatio = PrevClose > 0 ? static_cast<double>(int64_t{p} - PrevClose) / PrevClose * 100 : 0;
    Detector.Advance();
    Detect();
    return true;
}

void CTrkg::AddTick(int32_t p, int32_t v, double t) { AddTickMs(p, v, ClampInt32(DaysToMs(t))); }

void CTrkg::AddTickMs(int32_t p, int32_t v, int32_t ms) {
    // The volume traded since the last point, wrapping as the feed's counter does.
    Detector.Write(
        {p, ms, v, static_cast<int32_t>(static_cast<uint32_t>(v) - static_cast<uint32_t>(Volume))},
        Ctx.KeepVolumes);
}

void CTrkgContext::AddSideRule(CSideRule rule) {
    const auto at = std::find(SideSpans.begin(), SideSpans.end(), rule.Rule.SpanMinutes);
    rule.Span = static_cast<size_t>(at - SideSpans.begin());
    if (at == SideSpans.end()) SideSpans.push_back(rule.Rule.SpanMinutes);
    SideRules.push_back(std::move(rule));
}

void CTrkg::Detect() {
    if (Detector.PointCount == 0) return;
    MoveEvent rise, fall;
    Detector.Detect(Ctx.Rule, rise, fall);
    if (!Ctx.SideRules.empty() && Ctx.FoldRecords) DetectSide(Ctx.FoldSeq);
    PostMovement(rise);
    PostMovement(fall);
}

void CTrkg::DetectSide(int64_t seq) {
    if (SideFolded.size() != Ctx.SideRules.size()) SideFolded.resize(Ctx.SideRules.size());
    if (SideWindows.size() != Ctx.SideSpans.size()) SideWindows.resize(Ctx.SideSpans.size());
    for (size_t i = 0; i < SideWindows.size(); ++i)
        Detector.UpdateSpan({0, Ctx.SideSpans[i]}, SideWindows[i]);
    for (size_t r = 0; r < Ctx.SideRules.size(); ++r) {
        const CTrkgContext::CSideRule& rule = Ctx.SideRules[r];
        for (int k = 0; k < 2; ++k) {
            MoveEvent e = JudgeSide(r, k);
            if (!e.IsAlert()) continue;
            // What the record the rule's own replay would make carries: the figures judged by
            // it and the ones the point changed; the rest stay the tracker's.
            SideFolded[r].Alert[static_cast<size_t>(k)] = {
                seq + k, e.Price, Volume, MsToDays(e.TimeMs), e.MoveRatio, DayRatio};
            if (rule.EventLog) {
                e.Topic = Topic;
                e.LimitHigh = LimitHigh;
                rule.EventLog(e);
            }
        }
    }
}

void CTrkg::CheckRise(double x) { CheckMove('A', x); }
void CTrkg::CheckFall(double x) { CheckMove('D', x); }

void CTrkg::CheckMove(char kind, double x) {
    int start = 0, end = 0;
    if (!Detector.GetWindow(x, start, end)) {
        if (Ctx.ShowMessage) Ctx.ShowMessage("ERROR:getPos");
        return;
    }
    PostMovement(Detector.Judge(Ctx.Rule, kind, start, end));
}

void CTrkg::FillRecord(CMeigara& m) const { FillRecordAt(m, Price, Time, MoveRatio); }

void CTrkg::FillRecordAt(CMeigara& m, int32_t price, double time, double moveRatio) const {
    FillRecordAs(m, price, time, moveRatio, Volume, DayRatio);
}

void CTrkg::FillRecordAs(CMeigara& m, int32_t price, double time, double moveRatio, int32_t volume,
                         double dayRatio) const {
    m.Code = Topic;
    m.Spare = 0;
    m.Name = Name;
    m.MarginClass = MarginClass;
    m.PrevClose = PrevClose;
    m.LimitHigh = LimitHigh;
    m.OpenPrice = OpenPrice;
    m.Gap = Gap;
    m.YearHigh = YearHigh;
    m.Price = price;
    m.Time = time;
    m.MoveRatio = moveRatio;
    m.DayRatio = dayRatio;
    m.LoanRatio = static_cast<double>(LoanRatio);
    m.Volume = volume;
    m.LimitGap = ClampInt32(int64_t{LimitHigh} - price);
    m.OpenRatio =
        OpenPrice != 0 ? static_cast<double>(int64_t{price} - OpenPrice) / OpenPrice * 100 : 0;
}

void CTrkg::FoldRecord(char kind, char action, int64_t seq) {
    CFolded& f = Folded[kind == 'A' ? 0 : 1];
    f.LastSeq = seq;
    f.LastAction = action;
    f.Price = Price;
    f.Time = Time;
    f.MoveRatio = MoveRatio;
    if (action == 'A')
        FoldedAlerts[kind == 'A' ? 0 : 1] = {seq, Price, Volume, Time, MoveRatio, DayRatio};
}

void CTrkg::TakeSideFolded(size_t side, char kind, CNumberedRecords& out) {
    if (side >= SideFolded.size()) return;  // no point came
    const int k = kind == 'A' ? 0 : 1;
    CFoldedPoint& alert = SideFolded[side].Alert[static_cast<size_t>(k)];
    const int64_t lastSeq = Folded[static_cast<size_t>(k)].LastSeq;
    TakeRecord(alert, 'A', out);
    if (lastSeq >= 0 && lastSeq != alert.Seq) {
        // The last point's record under this rule: its judgement by the window of the rule's
        // span, as it stood after that point.
        const MoveEvent e = JudgeSide(side, k);
        TakeRecord({lastSeq, e.Price, Volume, MsToDays(e.TimeMs), e.MoveRatio, DayRatio}, e.Action,
                   out);
    }
    alert = CFoldedPoint();
}

MoveEvent CTrkg::JudgeSide(size_t side, int k) const {
    const CTrkgContext::CSideRule& rule = Ctx.SideRules[side];
    const CMoveDetector::SpanMemo& window = SideWindows[rule.Span];
    return Detector.JudgeLatest(rule.Rule, k == 0 ? 'A' : 'D', k == 0 ? window.Low : window.High);
}

void CTrkg::TakeRecord(const CFoldedPoint& figures, char action, CNumberedRecords& out) const {
    if (figures.Seq < 0) return;
    auto m = std::make_unique<CMeigara>();
    FillRecordAs(*m, figures.Price, figures.Time, figures.MoveRatio, figures.Volume,
                 figures.DayRatio);
    m->Action = action;
    out.emplace_back(figures.Seq, std::move(m));
}

void CTrkg::TakeFolded(char kind, CNumberedRecords& out) {
    const size_t k = kind == 'A' ? 0 : 1;
    CFolded& f = Folded[k];
    CFoldedPoint& alert = FoldedAlerts[k];
    TakeRecord(alert, 'A', out);
    // Every figure but the judged ones is as it was then: a replayed tracker changes them only
    // with a point, and its last point made this record.
    if (f.LastSeq != alert.Seq)
        TakeRecord({f.LastSeq, f.Price, Volume, f.Time, f.MoveRatio, DayRatio}, f.LastAction, out);
    f = CFolded();
    alert = CFoldedPoint();
}

void CTrkg::PostMovement(const MoveEvent& judged) {
    // The record carries the judged point's figures, whichever kind was judged last.
    Price = judged.Price;
    Time = MsToDays(judged.TimeMs);
    Move = judged.Move;
    MoveRatio = judged.MoveRatio;
    if (judged.IsAlert() && Ctx.EventLog) {
        MoveEvent e = judged;
        e.Topic = Topic;
        e.LimitHigh = LimitHigh;
        Ctx.EventLog(e);
    }
    PostMoveRecord(*this, judged.Kind, judged.Action, Ctx);
}

namespace {
// The spill blocks of a list's trackers lie a whole number of pages apart.
size_t SpillStride() {
    const size_t page = CZeroPages::PageSize();
    return (CMoveDetector::kSpillBytes + page - 1) / page * page;
}
}  // namespace

CTrkgList::CBlocks CTrkgList::MakeBlocks(size_t count) {
    CBlocks made{std::make_shared<CZeroPages>(count * sizeof(CTrkg)),
                 std::make_shared<CZeroPages>(count * SpillStride())};
    // Every point of a replay reads a tracker's fields and the newest end of its ring, the
    // trackers in no order: thousands of them take more small pages than the processor keeps
    // translations for, a few dozen large ones do not. Large pages are taken whole, though, so
    // only a list of up to a whole market's issues or so asks for them: a longer one keeps to
    // paying for the points it stores.
    constexpr size_t kLargePagesAtMost = size_t{320} << 20;
    if (count * sizeof(CTrkg) <= kLargePagesAtMost) made.Trackers->PreferLargePages();
    return made;
}

CTrkg* CTrkgList::MakeTracker(const CBlocks& blocks, size_t index, const std::string& line,
                              CTrkgContext& context) {
    return ::new (blocks.Trackers->Data() + index * sizeof(CTrkg))
        CTrkg(line, context, blocks.Spills->Data() + index * SpillStride());
}

CTrkgList::CTrkgList(const std::vector<std::string>& watchLines, CTrkgContext& context) {
    const CBlocks blocks = MakeBlocks(watchLines.size());
    Blocks = {blocks.Trackers, blocks.Spills};
    Trackers.reserve(watchLines.size());
    for (const auto& line : watchLines) {
        try {
            Trackers.push_back(MakeTracker(blocks, Trackers.size(), line, context));
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
    const CBlocks blocks = MakeBlocks(fresh);
    Trackers.reserve(watchLines.size());
    size_t made = 0;
    for (size_t l = 0; l < watchLines.size(); ++l) {
        if (kept[l]) {
            Trackers.push_back(kept[l]);
            continue;
        }
        try {
            Trackers.push_back(MakeTracker(blocks, made, watchLines[l], context));
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
    Blocks.push_back(blocks.Trackers);
    Blocks.push_back(blocks.Spills);
    std::vector<CTrkg*> left;
    for (size_t i = 0; i < previous.Trackers.size(); ++i)
        if (!taken[i]) left.push_back(previous.Trackers[i]);
    previous.Trackers = std::move(left);
    previous.IndexCodes();
    IndexCodes();
}

namespace {
// The number a code of four ASCII digits spells (most issue codes), or -1.
int FourDigits(std::string_view code) {
    if (code.size() != 4) return -1;
    int v = 0;
    for (char c : code) {
        const unsigned d = static_cast<unsigned>(c) - '0';
        if (d > 9) return -1;
        v = v * 10 + static_cast<int>(d);
    }
    return v;
}
}  // namespace

void CTrkgList::IndexCodes() {
    ByNumber.assign(10000, -1);
    for (size_t index = Trackers.size(); index-- > 0;)  // the first one wins
        if (const int n = FourDigits(Trackers[index]->IssueCode()); n >= 0)
            ByNumber[static_cast<size_t>(n)] = static_cast<int32_t>(index);
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
    void* const spill = tracker->Detector.SpillBlock();
    tracker->~CTrkg();
    CZeroPages::DiscardWithin(tracker, sizeof(CTrkg));
    CZeroPages::DiscardWithin(spill, CMoveDetector::kSpillBytes);
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
    if (const int n = FourDigits(code); n >= 0 && !ByNumber.empty())
        return ByNumber[static_cast<size_t>(n)];
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
