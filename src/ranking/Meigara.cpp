#include "Meigara.h"

#include <algorithm>
#include <cstring>

#include "CommaText.h"
#include "Format.h"
#include "Numbers.h"
#include "TextFile.h"
#include "TimeOfDay.h"

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
    r.Action = cols[1].empty() ? '\0' : (static_cast<unsigned char>(cols[1][0]) < 0x80 ? cols[1][0] : '?');
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
    std::lock_guard<std::recursive_mutex> guard(Mutex);
    Index.emplace(entry->Code, Items.size());  // keeps an earlier entry of the same code
    Items.push_back(std::move(entry));
}

int CMeigaraList::IndexOfCode(const CMeigara& record) {
    std::lock_guard<std::recursive_mutex> guard(Mutex);
    // The index follows every change made through this class (Add, Clear, Sort, load).
    auto it = Index.find(record.Code);
    if (it == Index.end()) return -1;
    if (it->second < Items.size() && Items[it->second]->Code == record.Code)
        return static_cast<int>(it->second);
    RebuildIndex();  // entries were moved behind our back through LockList: recover
    it = Index.find(record.Code);
    return it == Index.end() ? -1 : static_cast<int>(it->second);
}

void CMeigaraList::Clear() {
    std::lock_guard<std::recursive_mutex> guard(Mutex);
    Items.clear();
    Index.clear();
}

int CMeigaraList::Count() {
    std::lock_guard<std::recursive_mutex> guard(Mutex);
    return static_cast<int>(Items.size());
}

void CMeigaraList::Sort() {
    std::lock_guard<std::recursive_mutex> guard(Mutex);
    auto less = Kind == 'A' ? CompareAsc : CompareDsc;
    std::sort(Items.begin(), Items.end(),
              [less](const std::unique_ptr<CMeigara>& a, const std::unique_ptr<CMeigara>& b) {
                  return less(*a, *b);
              });
    RefreshIndex();
}

void CMeigaraList::RebuildIndex() {
    Index.clear();
    Index.reserve(Items.size());
    for (size_t i = 0; i < Items.size(); ++i) Index.emplace(Items[i]->Code, i);
}

void CMeigaraList::RefreshIndex() {
    // A sort moves entries but keeps the set of codes: update the positions in place, from the
    // last entry to the first so that the first entry of a code wins.
    if (Index.size() != Items.size()) return RebuildIndex();
    for (size_t i = Items.size(); i-- > 0;) {
        auto it = Index.find(Items[i]->Code);
        if (it == Index.end()) return RebuildIndex();
        it->second = i;
    }
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
    result.FileRead = kestrel::ReadLines(fileName, lines);
    Clear();
    for (const auto& line : lines) {
        ++result.Lines;
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
