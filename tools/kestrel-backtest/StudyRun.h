#pragma once
// The runs of a study: its recorded days, one run for each day and setting, each an ordinary
// replay by a controller of its own, and the user that controller talks to, which keeps every
// move for the scoring.
#include <atomic>
#include <climits>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/Interaction.h"
#include "kestrel-backtest/Report.h"
#include "kestrel-backtest/Study.h"
#include "kestrel-backtest/StudyFiles.h"
#include "kestrel-backtest/StudyScore.h"
#include "tracking/EventLine.h"

namespace kestrel::study {

// One recorded day. Its points are read once, against the trackers of its replay; every run of
// the day scores its alerts against them.
struct CDay {
    std::string Dir, Label;
    double OwnRate = 0;
    int OwnSpan = 0;
    kestrel::study::CInputSize Lines, Watch;          // kabu.txt and 監視銘柄.txt, measured
    std::vector<std::string> Topics;                  // by tracker
    std::unordered_map<std::string, int> TopicIndex;  // a topic's first tracker
    std::vector<std::vector<CQuotePoint>> Series;     // by tracker, in replay order
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
    std::string ListsRoot, DayLists, ListDir, PartFile, Shown;
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

// The user of one run: its messages kept to be said once per day, each move kept with the
// replayed line that raised it and its event line, every question answered no (an earlier
// study's lists in the run's folder are not loaded, and are replaced).
class CRunUi : public IUserInterface {
public:
    // A move as its fields: its event line is made again when its row is written, and its
    // topic is kept once per issue, so a day of millions of alerts over a dozen settings holds
    // 40 bytes an alert.
    struct CEvent {
        int32_t Line;
        uint32_t Topic;  // in Topics
        int32_t TimeMs, Price, Move, LimitHigh;
        double MoveRatio;
        char Kind, Action;
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
        Events.push_back({Line, TopicNumber(e.Topic), e.TimeMs, e.Price, e.Move, e.LimitHigh,
                          e.MoveRatio, e.Kind, e.Action});
    }
    // The move's event line, appended to `out` by the one formatter.
    void AppendEventText(const CEvent& e, std::string& out) const {
        MoveEvent m;
        m.Topic = TopicOf(e);
        m.TimeMs = e.TimeMs;
        m.Price = e.Price;
        m.Move = e.Move;
        m.MoveRatio = e.MoveRatio;
        m.LimitHigh = e.LimitHigh;
        m.Kind = e.Kind;
        m.Action = e.Action;
        WriteEventLine(out, m);
    }
    std::string_view TopicOf(const CEvent& e) const { return Topics[e.Topic]; }
    // What the run's moves have taken goes back.
    void ForgetMoves() {
        std::vector<CEvent>().swap(Events);
        std::deque<std::string>().swap(Topics);
        std::unordered_map<std::string_view, uint32_t>().swap(TopicNumbers);
    }
    int32_t Line = -1;  // the line the replay is delivering
    std::vector<CEvent> Events;
    std::vector<std::string> Messages;

private:
    uint32_t TopicNumber(std::string_view topic) {
        const auto found = TopicNumbers.find(topic);
        if (found != TopicNumbers.end()) return found->second;
        Topics.emplace_back(topic);  // a deque: the views of the topics before stay good
        const uint32_t n = static_cast<uint32_t>(Topics.size() - 1);
        TopicNumbers.emplace(Topics.back(), n);
        return n;
    }
    std::deque<std::string> Topics;
    std::unordered_map<std::string_view, uint32_t> TopicNumbers;
};

// A run's folder name for its lists: "rate2_time1".
std::string SettingLabel(double rate, int span);

// Scores the run's alerts against the day's points and writes them to the run's part of
// alerts.csv. The alerts are matched to their points in the order they were raised, followed
// issue by issue (one pass over each issue's points per horizon), then written in that order.
void ScoreRun(const CStudyOptions& o, const CDay& day, CRun& run, const CRunUi& ui);

// Every setting of one day in one replay: the first run's controller replays the day, its
// trackers judging by every run's rule over the same points; each other run has a controller
// of its own beside it, for its lists, and a user of its own, for its moves. Then each run is
// scored, on up to `scorers` threads. The runs' folders for the lists are made as they start.
void RunDay(const CStudyOptions& o, CDay& day, std::span<CRun> runs, CProgressSlot& slot,
            size_t scorers);

}  // namespace kestrel::study
