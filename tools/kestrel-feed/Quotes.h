#pragma once
// What the feed server knows about each issue, and the two ways its quotes move: a recorded
// working folder replayed line by line, or a seeded random walk. Value texts are UTF-8 here;
// the server encodes them for the wire.
#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrel::feed {

struct IssueRef {
    std::string Name, MarginClass, PrevClose, OpenPrice, LoanRatio, YearHigh;
    bool HasBase = false;  // figures known (std.csv line or simulated)
};

struct Issue {
    std::string Code;
    IssueRef Ref;
    bool Traded = false;
    int32_t Price = 0;
    int32_t Volume = 0;
    std::string TimeText;
    double Turnover = 0;  // sum of price x traded shares, for the weighted average
    // A live source states the weighted average and the change ratio itself, and they are
    // served as it stated them; a replay computes them from its trades.
    bool Stated = false;
    std::string StatedVwap, StatedRatio;
};

// The value text of one item of an issue ("  :  " as the time before its first trade).
// False for a name that is not one of the quote items.
bool ItemValue(const Issue& issue, const std::string& item, std::string& value);

class QuoteBook {
public:
    // The issue a topic names (by its first four characters); a blank one, with whatever
    // reference figures are known, when it has not traded yet.
    Issue Lookup(const std::string& topicUtf8) const;
    const Issue* Find(const std::string& code) const;
    // Records one trade; returns the issue after it.
    const Issue& Trade(const std::string& code, int32_t price, int32_t volume,
                       const std::string& timeText);
    void SetRef(const std::string& code, IssueRef ref);
    size_t RefCount() const { return Refs.size(); }
    // The issue of a code to change in place (a live source), made with its reference figures
    // when it is new.
    Issue& Edit(const std::string& code);

private:
    std::unordered_map<std::string, Issue> Issues;
    std::unordered_map<std::string, IssueRef> Refs;
};

// News of a live source for the people watching: one line for the feed's log, one text for
// the monitor's screen. Each is said once, when it happens.
struct SourceNews {
    std::string Log;
    std::string Screen;
};

// A source delivers changes into the book; `Due` says how many are due by now.
class QuoteSource {
public:
    virtual ~QuoteSource() = default;
    // Delivers the next change; false when there is none left. `code` names the issue touched.
    virtual bool Next(QuoteBook& book, std::string& code) = 0;
    // Milliseconds since start at which the next change is due; negative when none is
    // (manual stepping, or the end of the data).
    virtual int64_t NextDueMs() const = 0;
    virtual size_t Remaining() const = 0;

    // A live source learns which topics the clients open and close (UTF-8), to ask its broker
    // for those; a recording serves every topic and ignores them.
    virtual void TopicOpened(const std::string& /*topic*/) {}
    virtual void TopicClosed(const std::string& /*topic*/) {}
    // A descriptor the server's loop watches while it waits: readable when the source has
    // changes or news (-1: none). Woken is called once it was readable, before the server asks.
    virtual int WakeFd() const { return -1; }
#ifdef _WIN32
    // The same on Windows: an event handle the server's message loop waits on (null: none).
    virtual void* WakeHandle() const { return nullptr; }
#endif
    virtual void Woken() {}
    // What the source has to tell: the next piece of news, in order; false when none waits.
    virtual bool NextNews(SourceNews& /*news*/) { return false; }
    // The screen texts of what was said and still holds, for a client that connects later.
    virtual std::vector<std::string> StandingNews() const { return {}; }
};

struct ReplayOptions {
    std::string Folder = ".";
    double Speed = 1.0;   // recorded times compressed by this factor
    int64_t StepMs = 0;   // one line every StepMs when > 0
    bool Manual = false;  // only the STEP message advances
};

class ReplaySource : public QuoteSource {
public:
    // Loads kabu.txt, std.csv and 銘柄情報.txt of the folder into the book's reference data.
    // `log` receives a line for each file that is not read ("<path>: is a FIFO, not a file"),
    // and for what was passed over or taken differently in one that was.
    ReplaySource(const ReplayOptions& opt, QuoteBook& book, std::vector<std::string>& log);
    // The same from the three files' lines, as read (kabu.txt, std.csv, 銘柄情報.txt).
    ReplaySource(const ReplayOptions& opt, QuoteBook& book, std::vector<std::string> lines,
                 const std::vector<std::string>& base, const std::vector<std::string>& master);
    bool Next(QuoteBook& book, std::string& code) override;
    int64_t NextDueMs() const override;
    size_t Remaining() const override { return Lines.size() - Pos; }
    size_t LineCount() const { return Lines.size(); }

private:
    void Load(QuoteBook& book, const std::vector<std::string>& base,
              const std::vector<std::string>& master);

    ReplayOptions Opt;
    std::vector<std::string> Lines;
    std::vector<int64_t> DueMs;  // per line, from the recorded times
    size_t Pos = 0;
};

struct SimOptions {
    int Issues = 100;
    double Rate = 10.0;  // changes per second
    uint32_t Seed = 1;
    bool Manual = false;
};

class SimSource : public QuoteSource {
public:
    SimSource(const SimOptions& opt, QuoteBook& book);
    bool Next(QuoteBook& book, std::string& code) override;
    int64_t NextDueMs() const override;
    size_t Remaining() const override { return SIZE_MAX; }
    // First code of the simulated issues; the others follow it.
    static constexpr int kFirstCode = 1000;

private:
    SimOptions Opt;
    std::mt19937 Rng;
    std::vector<int32_t> Prices;
    std::vector<int32_t> Volumes;
    uint64_t Count = 0;
};

}  // namespace kestrel::feed
