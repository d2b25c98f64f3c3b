#include "ranking/Meigara.h"

#include <algorithm>
#include <cstring>

#include "common/CommaText.h"
#include "common/Format.h"
#include "common/Numbers.h"
#include "common/TextFile.h"
#include "common/TimeOfDay.h"

namespace {

int CompareCode(const std::string& a, const std::string& b) {
    // Unsigned bytes, no locale; a code that is the beginning of the other sorts first.
    size_t n = std::min(a.size(), b.size());
    int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return c;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

bool CompareAsc(const CMeigara& a, const CMeigara& b) {
    if (a.Time != b.Time) return a.Time > b.Time;
    if (a.MoveRatio != b.MoveRatio) return a.MoveRatio > b.MoveRatio;
    return CompareCode(a.Code, b.Code) < 0;
}

bool CompareDsc(const CMeigara& a, const CMeigara& b) {
    if (a.Time != b.Time) return a.Time > b.Time;
    if (a.MoveRatio != b.MoveRatio) return a.MoveRatio < b.MoveRatio;
    return CompareCode(a.Code, b.Code) < 0;
}

std::string CMeigara::SaveToLine() const {
    using namespace kestrel;
    std::vector<std::string> cols;
    cols.reserve(18);
    cols.push_back(Code);
    cols.push_back(Action ? std::string(1, Action) : std::string());
    cols.push_back(Name);
    cols.push_back(MarginClass);
    cols.push_back(FormatGeneral(LoanRatio));
    cols.push_back(std::to_string(YearHigh));
    cols.push_back(std::to_string(PrevClose));
    cols.push_back(std::to_string(LimitHigh));
    cols.push_back(std::to_string(OpenPrice));
    cols.push_back(std::to_string(Gap));
    cols.push_back(FormatGeneral(Spare));
    cols.push_back(std::to_string(LimitGap));
    cols.push_back(FormatHhNn(Time));
    cols.push_back(std::to_string(Price));
    cols.push_back(std::to_string(Volume));
    cols.push_back(FormatGeneral(DayRatio));
    cols.push_back(FormatGeneral(OpenRatio));
    cols.push_back(FormatGeneral(MoveRatio));
    return JoinCommaText(cols);
}

bool CMeigara::LoadFromLine(const std::string& line) {
    using namespace kestrel;
    *this = CMeigara();
    auto cols = SplitCommaText(line);
    if (cols.size() != 18) return true;
    CMeigara r;
    bool ok = true;
    auto integer = [&](const std::string& s) {
        auto v = ParseInt(s);
        if (!v) ok = false;
        return v.value_or(0);
    };
    auto real = [&](const std::string& s) {
        auto v = ParseReal(s);
        if (!v) ok = false;
        return v.value_or(0.0);
    };
    r.Code = cols[0];
    // One byte; a character outside ASCII cannot be an action and is kept as '?'.
    r.Action =
        cols[1].empty() ? '\0' : (static_cast<unsigned char>(cols[1][0]) < 0x80 ? cols[1][0] : '?');
    r.Name = cols[2];
    r.MarginClass = cols[3];
    r.LoanRatio = real(cols[4]);
    r.YearHigh = integer(cols[5]);
    r.PrevClose = integer(cols[6]);
    r.LimitHigh = integer(cols[7]);
    r.OpenPrice = integer(cols[8]);
    r.Gap = integer(cols[9]);
    r.Spare = integer(cols[10]);
    r.LimitGap = integer(cols[11]);
    if (auto ms = ParseTimeMs(cols[12]))
        r.Time = MsToDays(CutToMinuteMs(*ms));
    else
        ok = false;
    r.Price = integer(cols[13]);
    r.Volume = integer(cols[14]);
    r.DayRatio = real(cols[15]);
    r.OpenRatio = real(cols[16]);
    r.MoveRatio = real(cols[17]);
    if (!ok) return false;
    *this = std::move(r);
    return true;
}

CMeigaraList::~CMeigaraList() {
    std::lock_guard<std::recursive_mutex> guard(Mutex);
    Items.clear();
}

CMeigaraList::Entries& CMeigaraList::LockList() {
    Mutex.lock();
    return Items;
}

void CMeigaraList::UnlockList() { Mutex.unlock(); }

void CMeigaraList::Add(std::unique_ptr<CMeigara> entry) {
    Locked held(*this);
    Add(held, std::move(entry));
}

void CMeigaraList::Add(const Locked&, std::unique_ptr<CMeigara> entry) {
    if (!IndexInStep()) RebuildIndex();
    Items.push_back(std::move(entry));
    IndexEntry(Items.size() - 1);  // keeps an earlier entry of the same code
}

int CMeigaraList::IndexOfCode(const CMeigara& record) {
    Locked held(*this);
    return IndexOfCode(held, record);
}

int CMeigaraList::IndexOfCode(const Locked&, const CMeigara& record) {
    // The index follows every change made through this class (Add, Clear, Sort, load); entries
    // changed behind its back through LockList are noticed here and the index is rebuilt.
    if (!IndexInStep()) RebuildIndex();
    const uint64_t hash = HashCode(record.Code);
    bool stale = false;
    const IndexSlot* slot = &Table[Probe(record.Code, hash, &stale)];
    if (slot->Pos < 0 && stale) {
        RebuildIndex();
        slot = &Table[Probe(record.Code, hash)];
    }
    return slot->Pos;
}

void CMeigaraList::Clear() {
    std::lock_guard<std::recursive_mutex> guard(Mutex);
    Items.clear();
    RebuildIndex();
}

int CMeigaraList::Count() {
    std::lock_guard<std::recursive_mutex> guard(Mutex);
    return static_cast<int>(Items.size());
}

void CMeigaraList::Sort() {
    std::lock_guard<std::recursive_mutex> guard(Mutex);
    if (!IndexInStep()) RebuildIndex();
    auto less = Kind == 'A' ? CompareAsc : CompareDsc;
    // Each entry travels with its code's slot, so the new positions need no look-up.
    SortScratch.clear();
    SortScratch.reserve(Items.size());
    for (size_t i = 0; i < Items.size(); ++i)
        SortScratch.emplace_back(std::move(Items[i]), SlotOf[i]);
    std::sort(SortScratch.begin(), SortScratch.end(),
              [less](const auto& a, const auto& b) { return less(*a.first, *b.first); });
    for (size_t i = 0; i < Items.size(); ++i) {
        Items[i] = std::move(SortScratch[i].first);
        SlotOf[i] = SortScratch[i].second;
    }
    // From the last entry to the first, so that the first entry of a code wins.
    for (size_t i = Items.size(); i-- > 0;) Table[SlotOf[i]].Pos = static_cast<int32_t>(i);
}

uint64_t CMeigaraList::HashCode(const std::string& code) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ code.size();
    size_t i = 0;
    for (; i + 8 <= code.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, code.data() + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, code.data() + i, code.size() - i);
    h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 29);
}

size_t CMeigaraList::Probe(const std::string& code, uint64_t hash, bool* stale) const {
    const size_t mask = Table.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const IndexSlot& slot = Table[i];
        if (slot.Pos < 0) return i;
        if (slot.Hash != hash) continue;
        const size_t pos = static_cast<size_t>(slot.Pos);
        if (pos < Items.size() && Items[pos]->Code == code) return i;
        if (stale) *stale = true;
    }
}

void CMeigaraList::IndexEntry(size_t pos) {
    if (2 * (Distinct + 1) > Table.size()) {
        // Grow: every code is placed anew (this entry included, as it is in Items already).
        size_t size = 16;
        while (size < 4 * (Distinct + 1)) size *= 2;
        Table.assign(size, IndexSlot{});
        SlotOf.clear();
        Distinct = 0;
        for (size_t i = 0; i < Items.size(); ++i) IndexEntry(i);
        return;
    }
    const std::string& code = Items[pos]->Code;
    const uint64_t hash = HashCode(code);
    const size_t at = Probe(code, hash);
    if (Table[at].Pos < 0) {
        Table[at] = IndexSlot{hash, static_cast<int32_t>(pos)};
        ++Distinct;
    }
    SlotOf.push_back(static_cast<uint32_t>(at));
}

void CMeigaraList::RebuildIndex() {
    size_t size = 16;
    while (size < 2 * Items.size()) size *= 2;
    Table.assign(size, IndexSlot{});
    SlotOf.clear();
    SlotOf.reserve(Items.size());
    Distinct = 0;
    for (size_t i = 0; i < Items.size(); ++i) IndexEntry(i);
}

void CMeigaraList::SaveToFile(const std::string& fileName) {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::recursive_mutex> guard(Mutex);
        lines.reserve(Items.size());
        for (const auto& e : Items) lines.push_back(e->SaveToLine());
    }
    kestrel::WriteLines(fileName, lines);
}

CMeigaraList::LoadResult CMeigaraList::LoadFromFile(const std::string& fileName) {
    LoadResult result;
    std::vector<std::string> lines;
    result.FileRead =
        kestrel::ReadLines(fileName, lines, kestrel::kMaxListFileBytes, result.Report);
    result.Lines = result.LongLines = static_cast<int>(result.Report.LongLines);
    Clear();
    std::vector<std::string_view> cols;
    std::string scratch;
    for (const auto& line : lines) {
        ++result.Lines;
        kestrel::SplitCommaText(line, cols, scratch);
        if (line.find('\0') != std::string::npos || (!cols.empty() && cols.size() != 18))
            ++result.OddLines;
        auto record = std::make_unique<CMeigara>();
        if (!record->LoadFromLine(line)) {
            // A bad number would stop the whole load; one bad line costs only itself.
            ++result.Skipped;
            continue;
        }
        Add(std::move(record));
    }
    return result;
}
