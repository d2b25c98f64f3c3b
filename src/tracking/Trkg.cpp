#include "tracking/Trkg.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

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

CTrkg::CTrkg(const std::string& topic, CTrkgContext& context)
    : Topic(topic), Ctx(context), Code(FirstChars(topic, 4)) {
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
    const char* p = reinterpret_cast<const char*>(this);
    const char* end = reinterpret_cast<const char*>(&Detector.History);
    for (; p < end; p += 64) __builtin_prefetch(p);
    __builtin_prefetch(end - 1);  // the last line, when the fields do not start on one
}

void CTrkg::PrefetchPoints() const { Detector.PrefetchPoints(); }

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
    if (Name.empty()) LoadReplayBase();
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
        {p, ms, v, static_cast<int32_t>(static_cast<uint32_t>(v) - static_cast<uint32_t>(Volume))});
}

void CTrkg::Detect() {
    if (Detector.PointCount == 0) return;
    MoveEvent rise, fall;
    Detector.Detect(Ctx.Rule, rise, fall);
    PostMovement(rise);
    PostMovement(fall);
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

CTrkgList::CTrkgList(const std::vector<std::string>& watchLines, CTrkgContext& context)
    : Block(watchLines.size() * sizeof(CTrkg)) {
    Trackers.reserve(watchLines.size());
    size_t slots = 16;
    while (slots < 2 * watchLines.size()) slots *= 2;
    ByCode.assign(slots, CodeSlot{});
    for (const auto& line : watchLines) {
        try {
            Trackers.push_back(::new (Block.Data() + Trackers.size() * sizeof(CTrkg))
                                   CTrkg(line, context));
        } catch (...) {
            for (CTrkg* t : Trackers) t->~CTrkg();
            throw;
        }
        CodeSlot key;
        if (!Pack(Trackers.back()->IssueCode(), key)) continue;  // cannot happen: four characters
        for (size_t i = Hash(key) & (slots - 1);; i = (i + 1) & (slots - 1)) {
            CodeSlot& slot = ByCode[i];
            if (slot.Index < 0) {
                key.Index = Count() - 1;
                slot = key;
                break;
            }
            if (slot.Lo == key.Lo && slot.Hi == key.Hi && slot.Length == key.Length)
                break;  // the first one wins
        }
    }
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
    for (CTrkg* t : Trackers) t->~CTrkg();
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
