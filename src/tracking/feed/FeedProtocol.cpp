#include "tracking/feed/FeedProtocol.h"

#include <algorithm>
#include <cstring>

namespace kestrel::feed {

const std::vector<std::string>& QuoteItems() {
    static const std::vector<std::string> items = {
        "出来高",       "現在値",   "現在値時刻", "出来高加重平均", "前日比率", "銘柄名称",
        "信用貸借区分", "前日終値", "始値",       "年初来高値",     "貸借倍率"};
    return items;
}

bool IsQuoteItem(std::string_view utf8) {
    const auto& items = QuoteItems();
    return std::find(items.begin(), items.end(), utf8) != items.end();
}

namespace {

struct VerbInfo {
    Verb Kind;
    const char* Name;
    bool HasId;
    size_t MinArgs, MaxArgs;
    size_t NameArgs;  // how many leading args are topic/item names
};

constexpr VerbInfo kVerbs[] = {
    {Verb::Conn, "CONN", true, 1, 1, 1},   {Verb::Disc, "DISC", true, 1, 1, 1},
    {Verb::Adv, "ADV", true, 2, 2, 2},     {Verb::Unadv, "UNADV", true, 2, 2, 2},
    {Verb::Req, "REQ", true, 2, 2, 2},     {Verb::All, "ALL", true, 1, 1, 1},
    {Verb::Vals, "VALS", true, 11, 11, 0}, {Verb::Step, "STEP", true, 1, 1, 0},
    {Verb::Ping, "PING", true, 0, 0, 0},   {Verb::Stop, "STOP", true, 0, 0, 0},
    {Verb::Ok, "OK", true, 0, 1, 0},       {Verb::Val, "VAL", true, 1, 1, 0},
    {Verb::Err, "ERR", true, 1, 1, 0},     {Verb::Note, "NOTE", false, 2, 2, 2},
    {Verb::Info, "INFO", false, 1, 1, 0},
};

const VerbInfo* Find(std::string_view name) {
    for (const auto& v : kVerbs)
        if (name == v.Name) return &v;
    return nullptr;
}

const VerbInfo& Info(Verb v) {
    for (const auto& i : kVerbs)
        if (i.Kind == v) return i;
    return kVerbs[0];
}

bool ParseId(std::string_view s, uint32_t& id) {
    if (s.empty() || s.size() > 10) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) return false;
    id = static_cast<uint32_t>(v);
    return true;
}

bool IsCleanName(std::string_view s) {
    if (s.size() > kMaxNameBytes) return false;
    return std::none_of(s.begin(), s.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

void AppendField(std::string& out, std::string_view field) {
    for (char c : field) out.push_back(c == '\t' || c == '\r' || c == '\n' ? ' ' : c);
}

}  // namespace

const char* VerbName(Verb v) { return Info(v).Name; }

bool ParseMessage(std::string_view line, Message& msg, std::string& error) {
    msg = Message{};
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<std::string_view> fields;
    size_t start = 0;
    while (true) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    const VerbInfo* info = Find(fields[0]);
    if (!info) {
        error = line.empty() ? "empty message" : "unknown message";
        // Still name the id of a message we cannot read when there is one.
        if (fields.size() > 1) ParseId(fields[1], msg.Id);
        return false;
    }
    msg.Kind = info->Kind;
    size_t first = 1;
    if (info->HasId) {
        if (fields.size() < 2 || !ParseId(fields[1], msg.Id)) {
            error = "missing or malformed message id";
            return false;
        }
        first = 2;
    }
    size_t args = fields.size() - first;
    if (args < info->MinArgs || args > info->MaxArgs) {
        error = std::string("wrong number of fields for ") + info->Name;
        return false;
    }
    for (size_t i = 0; i < args; ++i) {
        if (i < info->NameArgs && !IsCleanName(fields[first + i])) {
            error = "topic or item name too long or with control characters";
            return false;
        }
        msg.Args.emplace_back(fields[first + i]);
    }
    return true;
}

std::string FormatMessage(const Message& msg) {
    const VerbInfo& info = Info(msg.Kind);
    std::string out = info.Name;
    if (info.HasId) {
        out += '\t';
        out += std::to_string(msg.Id);
    }
    for (const auto& a : msg.Args) {
        out += '\t';
        AppendField(out, a);
    }
    // A value can never make a line the other side must refuse.
    if (out.size() > kMaxLineBytes) out.resize(kMaxLineBytes);
    out += '\n';
    return out;
}

std::string FormatMessage(Verb v, uint32_t id, std::initializer_list<std::string_view> args) {
    Message m;
    m.Kind = v;
    m.Id = id;
    for (auto a : args) m.Args.emplace_back(a);
    return FormatMessage(m);
}

void LineReader::Append(const char* p, size_t n) {
    while (n > 0) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', n));
        size_t len = lf ? static_cast<size_t>(lf - p) : n;
        size_t used = lf ? len + 1 : n;
        if (Discarding) {
            if (lf) Discarding = false;
        } else if (Partial.size() + len > kMaxLineBytes) {
            Ready.emplace_back(Result::Overflow, std::string());
            Partial.clear();
            Discarding = !lf;
        } else {
            Partial.append(p, len);
            if (lf) {
                Ready.emplace_back(Result::Line, std::move(Partial));
                Partial.clear();
            }
        }
        p += used;
        n -= used;
    }
}

LineReader::Result LineReader::Next(std::string& line) {
    if (Ready.empty()) return Result::None;
    auto [result, text] = std::move(Ready.front());
    Ready.pop_front();
    line = std::move(text);
    return result;
}

bool LineReader::HasBufferedLine() const { return !Ready.empty(); }

}  // namespace kestrel::feed
