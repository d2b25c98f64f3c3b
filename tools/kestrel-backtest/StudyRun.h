#pragma once
// The runs of a study: its recorded days, one run for each day and setting, each an ordinary
// replay by a controller of its own, and the user that controller talks to, which keeps every
// move for the scoring.
#include <atomic>
#include <climits>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/Interaction.h"
#include "common/ZeroPages.h"
#include "kestrel-backtest/Report.h"
#include "kestrel-backtest/Study.h"
#include "kestrel-backtest/StudyFiles.h"
#include "kestrel-backtest/StudyRows.h"
#include "kestrel-backtest/StudyScore.h"
#include "tracking/EventLine.h"

namespace kestrel::study {

template <class T>
using CLarge = std::vector<T, kestrel::CLargeBlockAllocator<T>>;

// A day's points, issue by issue in one block on large pages, each issue's in replay order,
// with their paths at each horizon where the issue's clock never goes back. The points come in
// the order of the lines and are put issue by issue at the end of the replay (Sort), so no
// issue's points are ever copied to a larger block as they grow.
class CDayPoints {
public:
    // Ready for the points of `issues` trackers, about `expected` of them.
    void Start(size_t issues, size_t expected);
    void Add(int tracker, const CQuotePoint& p) { Incoming.push_back({tracker, p}); }
    void Sort();
    size_t Issues() const { return From.empty() ? 0 : From.size() - 1; }
    std::span<const CQuotePoint> Of(size_t t) const {
        return {reinterpret_cast<const CQuotePoint*>(Points.Data()) + From[t],
                From[t + 1] - From[t]};
    }
    // Makes every issue's paths (PointPaths), on this thread and, when `helper`, on a second.
    void MakePaths(const std::vector<int>& horizons, bool helper);
    // The paths of the points of issue t (horizons by point), null when followed run by run.
    const CPointPaths* PathsOf(size_t t) const {
        return PathsMade.empty() || !PathsMade[t]
                   ? nullptr
                   : reinterpret_cast<const CPointPaths*>(Paths.Data()) + From[t] * Horizons;
    }
    void Clear() { *this = CDayPoints(); }

private:
    struct CIncoming {
        int32_t Tracker;
        CQuotePoint Point;
    };
    CLarge<CIncoming> Incoming;
    kestrel::CZeroPages Points, Paths;
    std::vector<size_t> From;  // by tracker, and the end
    std::vector<char> PathsMade;
    size_t Horizons = 0;
};

// One recorded day. Its points are read once, against the trackers of its replay; every run of
// the day scores its alerts against them.
struct CDay {
    std::string Dir, Label;
    double OwnRate = 0;
    int OwnSpan = 0;
    kestrel::study::CInputSize Lines, Watch;          // kabu.txt and 監視銘柄.txt, measured
    std::vector<std::string> Topics;                  // by tracker
    std::unordered_map<std::string, int> TopicIndex;  // a topic's first tracker
    CDayPoints Series;                                // by tracker, in replay order
    int32_t EndMs = INT32_MIN;                        // the latest time of any point
    std::vector<std::string> Names;                   // by tracker, at the end of its replay
    // What its runs added up to, once they are folded into the study's totals.
    int64_t Settings = 0, Events = 0, Unmatched = 0;
};

struct CTopIssue {
    int Tracker = 0;
    int64_t Count = 0;
    std::vector<CIssueChart::CMark> Marks;
};

struct CRun {
    size_t Day = 0;
    double Rate = 0;
    int Span = 0;
    std::string ListsRoot, DayLists, ListDir;
    CAlertRows* Rows = nullptr;  // where its rows of alerts.csv go, as run number Index
    size_t Index = 0;
    int ExitCode = 0;
    std::string Error;
    std::vector<std::string> Messages;
    int64_t Lines = 0, NoIssue = 0, BadTime = 0, Unmatched = 0;
    CSettingTally Tally[2];
    std::vector<double> Median[2];  // by horizon; NaN without a scored alert
    std::vector<CTopIssue> Top;
    bool Unscored = false;                          // another run of its day failed, and says why
    kestrel::study::CByteBudget* Budget = nullptr;  // the study's limit on what it writes
    bool Failed() const { return ExitCode != 0 || !Error.empty() || Unscored; }
};

// How far the replay on one thread is, for the progress bar, and how many runs it serves.
struct CProgressSlot {
    std::atomic<int64_t> Done{0}, Total{0}, Runs{1};
};

// The topics of a day's moves by number, shared by the users of all its runs. A move's topic is
// its tracker's text, which stays in place while the day replays: its place finds its number
// without reading the text (a table by address, open addressing). The text is the key the
// number is made by, so two trackers of one topic share it.
class CTopicNumbers {
public:
    CTopicNumbers() : Seen(1024) {}
    uint32_t Number(std::string_view topic) {
        const size_t mask = Seen.size() - 1;
        for (size_t i = Slot(topic.data(), mask); Seen[i].At; i = (i + 1) & mask)
            if (Seen[i].At == topic.data() && Seen[i].Size == topic.size()) return Seen[i].Number;
        return Add(topic);
    }
    std::string_view Text(uint32_t n) const { return Views[n]; }
    size_t Count() const { return Topics.size(); }

private:
    struct CSeen {
        const char* At = nullptr;
        size_t Size = 0;
        uint32_t Number = 0;
    };
    static size_t Slot(const char* at, size_t mask) {
        return (reinterpret_cast<uintptr_t>(at) * 0x9E3779B97F4A7C15ull) >> 40 & mask;
    }
    // A place first seen: numbered by its text, and kept, the table growing to stay half empty.
    uint32_t Add(std::string_view topic);
    void Place(const CSeen& s);
    std::deque<std::string> Topics;
    std::vector<std::string_view> Views;  // of Topics, by number: read for every move's row
    std::unordered_map<std::string_view, uint32_t> ByText;
    std::vector<CSeen> Seen;
    size_t SeenCount = 0;
};

// The user of one run: its messages kept to be said once per day, each move kept with the
// replayed line that raised it and its event line, every question answered no (an earlier
// study's lists in the run's folder are not loaded, and are replaced).
class CRunUi : public IUserInterface {
public:
    explicit CRunUi(CTopicNumbers& topics) : Numbers(topics) {}
    // A move as its fields: its event line is made again when its row is written, its topic
    // is kept once per issue and its ratio is worked out again from its move and price, so a
    // day of millions of alerts over a dozen settings holds 28 bytes an alert.
    struct CEvent {
        int32_t Line;
        uint32_t Topic;  // its number among the day's topics
        int32_t TimeMs, Price, Move, LimitHigh;
        char Kind, Action;
        double MoveRatio() const { return MoveEvent::RatioOf(Move, Price); }
    };
    static_assert(sizeof(CEvent) == 28, "a move's fields are held for every alert of the day");
    // The moves in blocks that stay where they are: a day's tens of millions are never copied
    // to a larger block as they come. A block is 14 MiB on large pages where the system has
    // them, so its first writes take seven page faults, not three and a half thousand.
    class CEvents {
    public:
        static constexpr size_t kShift = 19, kBlock = size_t{1} << kShift;
        size_t size() const { return Count; }
        const CEvent& operator[](size_t i) const {
            return Blocks[i >> kShift].First[i & (kBlock - 1)];
        }
        void push_back(const CEvent& e) {
            if ((Count & (kBlock - 1)) == 0) Grow();
            Blocks.back().First[Count & (kBlock - 1)] = e;
            ++Count;
        }
        void clear() {
            std::vector<CBlock>().swap(Blocks);
            Count = 0;
            Forgotten = 0;
        }
        // Gives back the blocks that hold only moves before the i-th, which are not read
        // again: their pages, given back while the other threads' blocks are being filled, are
        // taken by those at once, not paged in afresh.
        void ForgetBefore(size_t i) {
            for (; Forgotten < (i >> kShift) && Forgotten < Blocks.size(); ++Forgotten)
                Blocks[Forgotten] = CBlock{};
        }

    private:
        static constexpr size_t kLargePage = size_t{2} << 20;
        struct CBlock {
            kestrel::CZeroPages Pages;
            CEvent* First = nullptr;
        };
        void Grow() {
            kestrel::CZeroPages pages(kBlock * sizeof(CEvent) + kLargePage);
            pages.PreferLargePages();
            const uintptr_t at = reinterpret_cast<uintptr_t>(pages.Data());
            const uintptr_t aligned = (at + kLargePage - 1) / kLargePage * kLargePage;
            Blocks.push_back({std::move(pages), reinterpret_cast<CEvent*>(aligned)});
        }
        std::vector<CBlock> Blocks;
        size_t Count = 0, Forgotten = 0;
    };
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    bool Confirm(const std::string&) override { return false; }
    void SetStatusText(const std::string&) override {}
    bool WantsStatusText() const override { return false; }
    void SetBusy(bool) override {}
    void RequestQuit() override {}
    // Only moves are scored; a line that is no move has no place in the study.
    void AppendEventLine(const std::string&) override {}
    void AppendMove(const MoveEvent& e) override {
        Events.push_back({Line, Numbers.Number(e.Topic), e.TimeMs, e.Price, e.Move, e.LimitHigh,
                          e.Kind, e.Action});
    }
    // The move's event line, appended to `out` by the one formatter.
    void AppendEventText(const CEvent& e, std::string& out) const {
        MoveEvent m;
        m.Topic = TopicOf(e);
        m.TimeMs = e.TimeMs;
        m.Price = e.Price;
        m.Move = e.Move;
        m.MoveRatio = e.MoveRatio();
        m.LimitHigh = e.LimitHigh;
        m.Kind = e.Kind;
        m.Action = e.Action;
        WriteEventLine(out, m);
    }
    std::string_view TopicOf(const CEvent& e) const { return Numbers.Text(e.Topic); }
    const CTopicNumbers& Topics() const { return Numbers; }
    // What the run's moves have taken goes back.
    void ForgetMoves() { Events.clear(); }
    int32_t Line = -1;  // the line the replay is delivering
    CEvents Events;
    std::vector<std::string> Messages;

private:
    CTopicNumbers& Numbers;
};

// What scoring a run works in, kept from one run to the next on a thread: blocks of this size
// made afresh would be paged in anew for every run.
struct CScoreScratch {
    // An alert matched to its point, with the point's figures: its row reads them here, not
    // from its issue's points, which lie anywhere in the day's.
    struct CMatched {
        uint32_t Event;
        int32_t Tracker;
        uint32_t Point;
        CQuotePoint Alert;
        char Kind;
    };
    // Each as large as a run's alerts: paged in by large pages where the system gives them.
    CLarge<CMatched> Matched;
    CLarge<CAlertAt> ByIssue;                // the alerts issue by issue
    CLarge<uint32_t> Order;                  // which alert each of those is
    CLarge<CPathEnd> Paths;                  // by alert and horizon
    std::vector<CLarge<double>> Forward[2];  // by kind and horizon
    std::string Rows;                        // a run's rows before they are handed on
};

// A run's folder name for its lists: "rate2_time1".
std::string SettingLabel(double rate, int span);

// Scores the run's alerts against the day's points and writes them to the run's part of
// alerts.csv. The alerts are matched to their points in the order they were raised, their paths
// read from the day's (CDayPoints::PathsOf) or, for an issue whose clock goes back, followed
// issue by issue (one pass over each issue's points per horizon), then written in that order.
// The run's moves are given back as their rows are written.
void ScoreRun(const CStudyOptions& o, const CDay& day, CRun& run, CRunUi& ui,
              CScoreScratch& scratch);

// Every setting of one day in one replay: the first run's controller replays the day, its
// trackers judging by every run's rule over the same points; each other run has a controller
// of its own beside it, for its lists, and a user of its own, for its moves. With two threads
// or more for the day, its settings are split in two halves, each so replayed, side by side.
// Then each run is scored, on up to `scorers` threads, each handed to `scored` (by its place in
// `runs`) as soon as its part of alerts.csv is written, failed or not; a run is not touched
// after that. The runs' folders for the lists are made as they start.
void RunDay(const CStudyOptions& o, CDay& day, std::span<CRun> runs, CProgressSlot& slot,
            size_t scorers, const std::function<void(size_t)>& scored);

}  // namespace kestrel::study
