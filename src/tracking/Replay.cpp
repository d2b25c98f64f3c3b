#include "tracking/Replay.h"

#include <algorithm>
#include <climits>

#include "common/Codec.h"
#include "common/CommaText.h"
#include "common/Numbers.h"
#include "common/TimeOfDay.h"

using namespace kestrel;

const std::string* CReplayData::BaseLine(const std::string& code) {
    const std::vector<std::string>& base = ReplayBaseLines;
    // An index that no longer fits the lines is made anew.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0 || BaseIndexedLines != base.size()) {
            BaseIndex.clear();
            for (size_t i = 0; i < base.size(); ++i) BaseIndex.emplace(FirstChars(base[i], 4), i);
            BaseIndexedLines = base.size();
        }
        auto it = BaseIndex.find(code);
        if (it == BaseIndex.end()) return nullptr;
        if (it->second < base.size() && FirstChars(base[it->second], 4) == code)
            return &base[it->second];
    }
    return nullptr;
}

const CReplayPoint* CReplayData::Current(CReplayPoint& own) const {
    const int32_t pos = ReplayPos;
    if (pos < 0 || static_cast<size_t>(pos) >= ReplayLines.size()) return nullptr;
    if (DeliveredPoint && DeliveredPoint->Line == pos) return DeliveredPoint;
    ReadReplayPoint(pos, ReplayLines[static_cast<size_t>(pos)], nullptr, own);
    return &own;
}

std::string CReplayData::TimeText(int32_t line) const {
    std::vector<std::string_view> cols;
    std::string scratch;
    SplitCommaText(ReplayLines[static_cast<size_t>(line)], cols, scratch);
    return std::string(cols.empty() ? std::string_view() : cols[0]);
}

CReplayDriver::CReplayDriver(CReplayData& data, CTrkgContext& context) : Data(data), Ctx(context) {}

CReplayDriver::~CReplayDriver() { StopReader(); }

void CReplayDriver::SetTrackers(CTrkgList* trackers) {
    StopReader();  // it reads through the tracker list about to be replaced
    for (CReplayPoint& a : Ahead) a = CReplayPoint{};
    Trackers = trackers;
}

void CReplayDriver::Restart() {
    StopReader();
    {
        std::lock_guard lock(StreamLock);
        Stream.reset();
    }
    ReleasedTo = 0;
    Data.ReplayPos = 0;
    for (CReplayPoint& a : Ahead) a = CReplayPoint{};
}

void CReplayDriver::StreamFrom(std::unique_ptr<kestrel::CTextFileReader> file) {
    StopReader();
    std::lock_guard lock(StreamLock);
    Stream = std::move(file);
}

size_t CReplayDriver::ExpectedLineCount() const {
    std::lock_guard lock(StreamLock);
    return Stream ? Stream->LineCount() : Data.ReplayLines.size();
}

std::string CReplayDriver::StreamFailure() const {
    std::lock_guard lock(StreamLock);
    return Stream ? Stream->Failure() : std::string();
}

bool CReplayDriver::Have(int32_t line) const {
    const size_t want = static_cast<size_t>(line);
    if (want < Data.ReplayLines.size()) return true;
    std::lock_guard lock(StreamLock);
    while (Stream && want >= Data.ReplayLines.size())
        if (!Stream->ReadBlock(Data.ReplayLines)) break;
    return want < Data.ReplayLines.size();
}

bool CReplayDriver::AtEnd() const { return Data.ReplayPos < 0 || !Have(Data.ReplayPos); }

const CReplayPoint& CReplayDriver::Read() {
    const int32_t pos = Data.ReplayPos;
    const CReplayPoint& point = PointAt(pos);
    if (See) See(point);
    // Bring in the trackers of the coming lines: the fields first, the points once those are in.
    // Only slots read already: past them a streamed file's reader may be filling one now.
    const int count = Trackers ? Trackers->Count() : 0;
    const CReplayPoint& far = Ahead[static_cast<size_t>((pos + kFar) % kRing)];
    if (pos + kFar < ReadTo && far.Line == pos + kFar && far.Tracker >= 0 && far.Tracker < count)
        Trackers->Items(far.Tracker)->PrefetchFields();
    const CReplayPoint& near = Ahead[static_cast<size_t>((pos + kNear) % kRing)];
    if (pos + kNear < ReadTo && near.Line == pos + kNear && near.Tracker >= 0 &&
        near.Tracker < count)
        Trackers->Items(near.Tracker)->PrefetchPoints();
    return point;
}

void CReplayDriver::Deliver(const CReplayPoint& point) {
    Data.DeliveredPoint = &point;  // the tracker takes the line as read here
    struct Clear {
        CReplayData& D;
        ~Clear() { D.DeliveredPoint = nullptr; }
    } clear{Data};
    Trackers->Items(point.Tracker)->OnVolumeChange(nullptr);
}

void CReplayDriver::Done(int32_t line) {
    if (Data.ReplayPos == line) Data.ReplayPos = line + 1;  // never stay on one line
    ReleaseBehind(line);
    if (Ctx.HoldRecords && (++HeldLines >= kHeldLines || AtEnd())) PushHeld();
}

void CReplayDriver::HoldRecords(bool on) {
    Ctx.HoldRecords = on;
    if (!on) PushHeld();
}

void CReplayDriver::FoldRecords(bool on) {
    if (on || !Ctx.FoldRecords) {
        Ctx.FoldRecords = on;
        return;
    }
    Ctx.FoldRecords = false;
    if (!Trackers) return;
    auto push = [&](CMeigaraQueue* q, const auto& take) {
        CTrkg::CNumberedRecords folded;
        for (int i = 0; i < Trackers->Count(); ++i) take(*Trackers->Items(i), folded);
        if (!q) return;
        std::sort(folded.begin(), folded.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& record : folded) q->Hold(std::move(record.second));
        q->PushHeld();
    };
    // The side rules' first: their last records are numbered from the fold of the own rule.
    for (size_t side = 0; side < Ctx.SideRules.size(); ++side) {
        const CTrkgContext::CSideRule& rule = Ctx.SideRules[side];
        for (char kind : {'A', 'D'})
            push(
                kind == 'A' ? rule.QueueA : rule.QueueD,
                [&](CTrkg& t, CTrkg::CNumberedRecords& out) { t.TakeSideFolded(side, kind, out); });
    }
    for (char kind : {'A', 'D'})
        push(kind == 'A' ? Ctx.QueueA : Ctx.QueueD,
             [&](CTrkg& t, CTrkg::CNumberedRecords& out) { t.TakeFolded(kind, out); });
}

void CReplayDriver::PushHeld() {
    HeldLines = 0;
    if (Ctx.QueueA) Ctx.QueueA->PushHeld();
    if (Ctx.QueueD) Ctx.QueueD->PushHeld();
}

const CReplayPoint& CReplayDriver::PointAt(int32_t pos) {
    // The lines read so far: a streamed file's next ones are not waited for here.
    const int32_t total = static_cast<int32_t>(Data.ReplayLines.size());
    const int32_t want = std::min(pos + kFar + 1, total);  // this line and the ones ahead
    ReadTo = want;
    if (Reader.joinable() && pos != NextPos) StopReader();  // the replay jumped
    if (Reader.joinable()) {
        NextPos = pos + 1;
        // Lines before this one are done with: their slots may take the lines a ring later.
        if (pos % kReaderBlock == 0) ReaderLimit.Store(pos + kRing);
        for (int32_t end = ReaderEnd.Load(); end < want;) end = ReaderEnd.WaitWhileEquals(end);
    } else {
        for (int32_t l = pos; l < want; ++l) {
            CReplayPoint& a = Ahead[static_cast<size_t>(l % kRing)];
            if (a.Line != l)
                ReadReplayPoint(l, Data.ReplayLines[static_cast<size_t>(l)], Trackers, a);
        }
    }
    return Ahead[static_cast<size_t>(pos % kRing)];
}

void CReplayDriver::StartReader() {
    if (Reader.joinable() || !Trackers || AtEnd()) return;
    NextPos = Data.ReplayPos;
    ReaderEnd.Store(NextPos);
    ReaderLimit.Store(NextPos + kRing);
    Reader = std::jthread([this](std::stop_token stop) { ReaderLoop(stop); });
}

void CReplayDriver::StopReader() {
    if (!Reader.joinable()) return;
    Reader.request_stop();
    ReaderLimit.Store(INT32_MAX);  // wakes a reader that waits for room
    Reader.join();
    Reader = std::jthread();
}

void CReplayDriver::ReaderLoop(std::stop_token stop) {
    int32_t at = ReaderEnd.Load();
    // Taken once: the driver's fields share a cache line with the position the replay moves on
    // every line, and reading them line by line here would pull that line from the other core
    // each time (and back again on the replay's next write).
    const kestrel::CTextLines& lines = Data.ReplayLines;
    const CTrkgList* const trackers = Trackers;
    CReplayPoint* const ahead = Ahead.data();
    // A streamed file's next block is read here, when the reader reaches the end of what is
    // read, off the replay's thread.
    while (!stop.stop_requested() && Have(at)) {
        const int32_t limit = ReaderLimit.Load();
        if (at >= limit) {
            ReaderLimit.WaitWhileEquals(limit);
            continue;
        }
        const int32_t there = static_cast<int32_t>(lines.size());
        const int32_t end = std::min({at + kReaderBlock, limit, there});
        for (; at < end; ++at)
            ReadReplayPoint(at, lines[static_cast<size_t>(at)], trackers, ahead[at % kRing]);
        ReaderEnd.Store(at);
    }
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
