#include "kestrel-feed/Quotes.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <optional>

#include "common/Codec.h"
#include "common/CommaText.h"
#include "common/Format.h"
#include "common/Numbers.h"
#include "common/TextFile.h"
#include "common/TimeOfDay.h"

namespace kestrel::feed {

namespace {

// A real as text that reads back as the very same double.
std::string ExactReal(double v) {
    std::string s = FormatGeneral(v);
    auto back = ParseReal(s);
    if (back && *back == v) return s;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// Recorded integers go out as the integer the monitor's own replay would have read, so a
// folder served live gives the same figures as the folder replayed.
std::string IntText(const std::string& column) { return std::to_string(ParseIntOr0(column)); }

}  // namespace

bool ItemValue(const Issue& s, const std::string& item, std::string& value) {
    value.clear();
    if (item == "出来高") {
        value = std::to_string(s.Volume);
    } else if (item == "現在値") {
        if (s.Traded) value = std::to_string(s.Price);
    } else if (item == "現在値時刻") {
        value = s.Traded ? s.TimeText : "  :  ";
    } else if (item == "出来高加重平均") {
        if (s.Stated)
            value = s.StatedVwap;
        else if (s.Traded && s.Volume > 0)
            value = FormatFixed(s.Turnover / s.Volume, 2);
    } else if (item == "前日比率") {
        // From the price served and the previous close, as the replay of a recorded day works
        // it out again: a source's own rounded figure (the broker's has two decimals, of the
        // price before it is floored) would make the live lists differ from the replayed ones.
        // It serves only while the previous close is unknown.
        const int32_t prev = ParseIntOr0(s.Ref.PrevClose);
        if (s.Traded && prev > 0)
            value = ExactReal(static_cast<double>(int64_t{s.Price} - prev) / prev * 100);
        else if (s.Stated)
            value = s.StatedRatio;
        else if (s.Traded)
            value.push_back('0');  // (GCC 12 at -O3 warns falsely of an overlap on = "0")
    } else if (item == "銘柄名称") {
        value = s.Ref.Name;
    } else if (item == "信用貸借区分") {
        value = s.Ref.MarginClass;
    } else if (item == "前日終値") {
        value = s.Ref.PrevClose;
    } else if (item == "始値") {
        value = s.Ref.OpenPrice;
    } else if (item == "年初来高値") {
        value = s.Ref.YearHigh;
    } else if (item == "貸借倍率") {
        value = s.Ref.LoanRatio;
    } else {
        return false;
    }
    return true;
}

Issue QuoteBook::Lookup(const std::string& topicUtf8) const {
    std::string code = FirstChars(topicUtf8, 4);
    if (const Issue* s = Find(code)) return *s;
    Issue blank;
    blank.Code = code;
    if (auto r = Refs.find(code); r != Refs.end()) blank.Ref = r->second;
    return blank;
}

const Issue* QuoteBook::Find(const std::string& code) const {
    auto it = Issues.find(code);
    return it == Issues.end() ? nullptr : &it->second;
}

const Issue& QuoteBook::Trade(const std::string& code, int32_t price, int32_t volume,
                              const std::string& timeText) {
    auto [it, fresh] = Issues.try_emplace(code);
    Issue& s = it->second;
    if (fresh) {
        s.Code = code;
        if (auto r = Refs.find(code); r != Refs.end()) s.Ref = r->second;
    }
    // In 64 bits: the two volumes may lie anywhere in their range.
    if (volume > s.Volume) s.Turnover += static_cast<double>(price) * (int64_t{volume} - s.Volume);
    s.Traded = true;
    s.Price = price;
    s.Volume = volume;
    s.TimeText = timeText;
    return s;
}

Issue& QuoteBook::Edit(const std::string& code) {
    auto [it, fresh] = Issues.try_emplace(code);
    if (fresh) {
        it->second.Code = code;
        if (auto r = Refs.find(code); r != Refs.end()) it->second.Ref = r->second;
    }
    return it->second;
}

void QuoteBook::SetRef(const std::string& code, IssueRef ref) {
    Refs.try_emplace(code, std::move(ref));
    if (auto it = Issues.find(code); it != Issues.end()) it->second.Ref = Refs[code];
}

// ---------------------------------------------------------------------------------------------

ReplaySource::ReplaySource(const ReplayOptions& opt, QuoteBook& book, std::vector<std::string>& log)
    : Opt(opt) {
    const std::string dir = opt.Folder.empty() ? "." : opt.Folder;
    std::vector<std::string> master, base;
    // Only regular files of a size no real one reaches are read; what is not read is named
    // with why, a FIFO or a device as what it is.
    const auto read = [&](const std::string& name, std::vector<std::string>& into, uint64_t limit) {
        const std::string path = dir + "/" + name;
        TextFileReport report;
        if (!ReadLines(path, into, limit, report)) log.push_back(report.Refusal.Text);
        if (report.Mark == ByteOrderMark::ReadAsUtf8)
            log.push_back(path +
                          ": starts with a UTF-8 byte-order mark where Shift-JIS is "
                          "expected: read as UTF-8");
        if (report.Mark == ByteOrderMark::ReadAsCp932)
            log.push_back(path +
                          ": starts with a UTF-8 byte-order mark where Shift-JIS is "
                          "expected, but the rest is not UTF-8: read as Shift-JIS");
        if (report.LongLines > 0)
            log.push_back(path + ": " + std::to_string(report.LongLines) + " lines longer than " +
                          std::to_string(kMaxTextLineBytes) + " bytes passed over");
    };
    read("kabu.txt", Lines, kMaxReplayFileBytes);
    read("std.csv", base, kMaxReplayFileBytes);
    read("銘柄情報.txt", master, kMaxListFileBytes);
    Load(book, base, master);
}

ReplaySource::ReplaySource(const ReplayOptions& opt, QuoteBook& book,
                           std::vector<std::string> lines, const std::vector<std::string>& base,
                           const std::vector<std::string>& master)
    : Opt(opt), Lines(std::move(lines)) {
    Load(book, base, master);
}

void ReplaySource::Load(QuoteBook& book, const std::vector<std::string>& base,
                        const std::vector<std::string>& master) {
    const ReplayOptions& opt = Opt;
    std::unordered_map<std::string, std::string> names;  // first line of a code wins
    for (const auto& line : master) {
        auto cols = SplitCommaText(line);
        if (cols.size() >= 2) names.try_emplace(cols[0], cols[1]);
    }
    std::unordered_map<std::string, bool> seen;
    for (const auto& line : base) {
        std::string code = FirstChars(line, 4);
        if (!seen.try_emplace(code, true).second) continue;
        auto cols = SplitCommaText(line);
        cols.resize(std::max<size_t>(cols.size(), 7));
        IssueRef ref;
        ref.HasBase = true;
        if (auto n = names.find(code); n != names.end()) ref.Name = n->second;
        ref.MarginClass = cols[1];
        ref.PrevClose = IntText(cols[2]);
        ref.OpenPrice = IntText(cols[3]);
        ref.LoanRatio = ParseReal(cols[5]) ? cols[5] : "0";
        ref.YearHigh = IntText(cols[6]);
        book.SetRef(code, std::move(ref));
    }
    // Issues named in the master list but missing from std.csv still have their name.
    for (auto& [code, name] : names) {
        if (seen.count(code)) continue;
        IssueRef ref;
        ref.Name = name;
        book.SetRef(code, std::move(ref));
    }

    DueMs.resize(Lines.size());
    std::optional<int64_t> first;
    int64_t prev = 0;
    for (size_t i = 0; i < Lines.size(); ++i) {
        int64_t due = prev;
        if (opt.StepMs > 0) {
            due = static_cast<int64_t>(i) * opt.StepMs;
        } else {
            auto cols = SplitCommaText(Lines[i]);
            auto t = cols.empty() ? std::nullopt : ParseTimeMs(cols[0]);
            if (t) {
                if (!first) first = *t;
                double speed = opt.Speed > 0 ? opt.Speed : 1.0;
                due = std::max(prev, static_cast<int64_t>((*t - *first) / speed));
            }
        }
        DueMs[i] = prev = due;
    }
}

bool ReplaySource::Next(QuoteBook& book, std::string& code) {
    while (Pos < Lines.size()) {
        auto cols = SplitCommaText(Lines[Pos++]);
        if (cols.size() < 2) continue;  // names no issue: nobody could take it
        cols.resize(std::max<size_t>(cols.size(), 4));
        // A valid time goes out as hh:nn or hh:nn:ss; anything else as recorded, so the
        // monitor rejects it exactly as its own replay would.
        std::string time = cols[0];
        if (auto ms = ParseTimeMs(cols[0])) {
            time = FormatHhNnMs(*ms);
            int64_t sec = (*ms / 1000) % 60;
            if (sec != 0 || *ms % 1000 != 0) {
                char buf[8];
                std::snprintf(buf, sizeof buf, ":%02d", static_cast<int>(sec));
                time += buf;
            }
        }
        code = cols[1];
        book.Trade(code, ParseIntOr0(cols[2]), ParseIntOr0(cols[3]), time);
        return true;
    }
    return false;
}

int64_t ReplaySource::NextDueMs() const {
    if (Opt.Manual || Pos >= Lines.size()) return -1;
    return DueMs[Pos];
}

// ---------------------------------------------------------------------------------------------

namespace {
int32_t TickSize(int32_t price) {
    if (price < 3000) return 1;
    if (price < 5000) return 5;
    if (price < 30000) return 10;
    return 50;
}
}  // namespace

SimSource::SimSource(const SimOptions& opt, QuoteBook& book) : Opt(opt), Rng(opt.Seed) {
    Opt.Issues = std::clamp(Opt.Issues, 1, 9000);
    if (!(Opt.Rate > 0)) Opt.Rate = 1;
    std::uniform_int_distribution<int32_t> price(50, 9000);
    std::uniform_real_distribution<double> loan(0.2, 12.0);
    for (int i = 0; i < Opt.Issues; ++i) {
        int32_t p = price(Rng);
        Prices.push_back(p);
        Volumes.push_back(0);
        IssueRef ref;
        ref.HasBase = true;
        std::string code = std::to_string(kFirstCode + i);
        ref.Name = "模擬" + code;
        ref.MarginClass = i % 3 == 0 ? "信用" : "貸借";
        ref.PrevClose = std::to_string(p);
        ref.OpenPrice = std::to_string(p + TickSize(p) * (static_cast<int32_t>(Rng() % 5) - 2));
        ref.YearHigh = std::to_string(p + p / 4);
        ref.LoanRatio = FormatFixed(loan(Rng), 2);
        book.SetRef(code, std::move(ref));
    }
}

bool SimSource::Next(QuoteBook& book, std::string& code) {
    size_t i = Rng() % Prices.size();
    int32_t& p = Prices[i];
    if (Rng() % 200 == 0) {
        // An occasional sharp move of 3 to 8 %, either way.
        int32_t pct = 3 + static_cast<int32_t>(Rng() % 6);
        int32_t delta = std::max<int32_t>(TickSize(p), p * pct / 100);
        p += Rng() % 2 ? delta : -delta;
    } else {
        p += TickSize(p) * (static_cast<int32_t>(Rng() % 5) - 2);
    }
    p = std::max<int32_t>(p, 1);
    // A very long run starts the day's volume again from nought rather than run past its range.
    const int32_t traded = 100 * (1 + static_cast<int32_t>(Rng() % 50));
    Volumes[i] = Volumes[i] > INT32_MAX - traded ? 0 : Volumes[i] + traded;
    // Simulated time runs at the rate, from the opening bell, deterministic for a seed.
    int64_t ms = 9 * 3'600'000 + static_cast<int64_t>(Count * 1000 / Opt.Rate);
    ms = std::min<int64_t>(ms, kMsPerDay - 1000);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(ms / 3'600'000),
                  static_cast<int>(ms / 60'000 % 60), static_cast<int>(ms / 1000 % 60));
    ++Count;
    code = std::to_string(kFirstCode + static_cast<int>(i));
    book.Trade(code, p, Volumes[i], buf);
    return true;
}

int64_t SimSource::NextDueMs() const {
    if (Opt.Manual) return -1;
    return static_cast<int64_t>(static_cast<double>(Count) * 1000 / Opt.Rate);
}

}  // namespace kestrel::feed
