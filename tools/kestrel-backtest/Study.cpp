#include "kestrel-backtest/Study.h"

#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "app/Controller.h"
#include "common/FileSaveOps.h"
#include "common/Format.h"
#include "common/Numbers.h"
#include "common/TextFile.h"
#include "common/TimeOfDay.h"
#include "console/ConsoleTool.h"
#include "kestrel-backtest/Csv.h"
#include "kestrel-backtest/Report.h"
#include "kestrel-backtest/StudyCharts.h"
#include "kestrel-backtest/StudyFiles.h"
#include "kestrel-backtest/StudyOutput.h"
#include "kestrel-backtest/StudyScore.h"
#include "tracking/EventLine.h"
#include "tracking/Replay.h"

// The library the report embeds, for the plan of its size.
extern const size_t kEchartsScriptSize;

namespace {

using kestrel::study::COutFile;

constexpr const char* kTool = "kestrel-backtest";
// Issues charted in the report, those with the most alerts at the charted setting.
constexpr size_t kChartIssues = 6;
// The study's names in the output folder, in the order they are put in place.
constexpr const char* kStudyNames[] = {"lists", "study.csv", "alerts.csv", "report.html"};

// ---- event lines --------------------------------------------------------------------------

// "hh:nn:ss", with ".mmm" when the time has milliseconds.
std::string ClockText(int64_t ms) {
    std::string t;
    auto two = [&t](int64_t v) {
        t += static_cast<char>('0' + v / 10 % 10);
        t += static_cast<char>('0' + v % 10);
    };
    const int64_t s = ms / 1000;
    if (s / 3600 >= 100) t += std::to_string(s / 3600 / 100);
    two(s / 3600);
    t += ':';
    two(s / 60 % 60);
    t += ':';
    two(s % 60);
    if (ms % 1000 != 0) {
        t += '.';
        t += static_cast<char>('0' + ms % 1000 / 100);
        two(ms % 100);
    }
    return t;
}

// ---- days and runs ------------------------------------------------------------------------

// One recorded day. Its points are read once, by its first run against that run's own
// trackers; every run of the day scores its alerts against them.
struct CDay {
    std::string Dir, Label;
    double OwnRate = 0;
    int OwnSpan = 0;
    kestrel::study::CInputSize Lines, Watch;  // kabu.txt and 監視銘柄.txt, measured
    std::mutex Mutex;
    std::condition_variable Made;
    bool Ready = false, Failed = false;
    std::vector<std::string> Topics;                  // by tracker
    std::unordered_map<std::string, int> TopicIndex;  // a topic's first tracker
    std::vector<std::vector<CQuotePoint>> Series;     // by tracker, in replay order
    int32_t EndMs = INT32_MIN;                        // the latest time of any point
    std::vector<std::string> Names;                   // by tracker, at the end of the first run
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
    bool First = false;
    std::string ListsRoot, DayLists, ListDir, PartFile, Shown;
    int ExitCode = 0;
    std::string Error;
    std::vector<std::string> Messages;
    int64_t Lines = 0, NoIssue = 0, BadTime = 0, Unmatched = 0;
    CSettingTally Tally[2];
    std::vector<double> Median[2];  // by horizon; NaN without a scored alert
    std::vector<CTopIssue> Top;
    std::vector<std::string> Names;
    bool Unscored = false;                          // the day's first run failed, and says why
    kestrel::study::CByteBudget* Budget = nullptr;  // the study's limit on what it writes
    bool Failed() const { return ExitCode != 0 || !Error.empty() || Unscored; }
};

// How far the run on one thread is, for the progress bar.
struct CProgressSlot {
    std::atomic<int64_t> Done{0}, Total{0};
};

// The user of one run: its messages kept to be said once per day, each move kept with the
// replayed line that raised it and its event line, every question answered no (an earlier
// study's lists in the run's folder are not loaded, and are replaced).
class CRunUi : public IUserInterface {
public:
    struct CEvent {
        int32_t Line;
        size_t At, Size;            // its event line in Text
        size_t TopicAt, TopicSize;  // its topic in Topics
        int32_t Price, Move;
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
        const size_t at = Text.size();
        WriteEventLine(Text, e);
        Events.push_back({Line, at, Text.size() - at, Topics.size(), e.Topic.size(), e.Price,
                          e.Move, e.MoveRatio, e.Kind, e.Action});
        Topics += e.Topic;
    }
    std::string_view EventText(const CEvent& e) const {
        return std::string_view(Text).substr(e.At, e.Size);
    }
    std::string_view TopicOf(const CEvent& e) const {
        return std::string_view(Topics).substr(e.TopicAt, e.TopicSize);
    }
    int32_t Line = -1;  // the line the replay is delivering
    std::vector<CEvent> Events;
    std::string Text, Topics;
    std::vector<std::string> Messages;
};

void ReadDaySeries(CDay& day, CController& c) {
    // The lines the controller has just read, before its replay gives any back.
    const kestrel::CTextLines& lines = c.Replayer().Lines();
    const CTrkgList& list = *c.TrkgList;
    std::vector<std::string> topics;
    std::unordered_map<std::string, int> index;
    for (int i = 0; i < list.Count(); ++i) {
        topics.push_back(list.Items(i)->GetTopic());
        index.emplace(topics.back(), i);
    }
    std::vector<std::vector<CQuotePoint>> series(topics.size());
    int32_t end = INT32_MIN;
    CReplayPoint point;
    for (size_t i = 0; i < lines.size(); ++i) {
        ReadReplayPoint(static_cast<int32_t>(i), lines[i], &list, point);
        if (point.Tracker < 0 || point.Tracker >= list.Count() ||
            point.TimeMs == CReplayPoint::kBadTime)
            continue;  // a line no tracker stores
        series[static_cast<size_t>(point.Tracker)].push_back(
            {point.Line, point.TimeMs, point.Price});
        end = std::max(end, point.TimeMs);
    }
    {
        std::lock_guard<std::mutex> lock(day.Mutex);
        day.Topics = std::move(topics);
        day.TopicIndex = std::move(index);
        day.Series = std::move(series);
        day.EndMs = end;
        day.Ready = true;
    }
    day.Made.notify_all();
}

std::string SettingLabel(double rate, int span) {
    return "rate" + kestrel::FormatGeneral(rate) + "_time" + std::to_string(span);
}

double Median(std::vector<double>& v) {
    if (v.empty()) return std::nan("");
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    const double upper = v[mid];
    if (v.size() % 2 == 1) return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2;
}

// Scores the run's alerts against the day's points and writes them to the run's part of
// alerts.csv. The alerts are matched to their points in the order they were raised, followed
// issue by issue (one pass over each issue's points per horizon), then written in that order.
void ScoreRun(const CStudyOptions& o, const CDay& day, CRun& run, const CRunUi& ui) {
    const size_t hs = o.Horizons.size();
    const size_t trackers = day.Series.size();
    std::vector<std::vector<double>> fwd[2] = {std::vector<std::vector<double>>(hs),
                                               std::vector<std::vector<double>>(hs)};
    std::vector<char> seen[2] = {std::vector<char>(trackers), std::vector<char>(trackers)};
    std::vector<int64_t> perIssue(trackers);
    std::vector<size_t> cursor(trackers);
    for (int k = 0; k < 2; ++k) {
        CSettingTally& t = run.Tally[k];
        t.Rate = run.Rate, t.Span = run.Span, t.Kind = k == 0 ? 'A' : 'D';
        t.ByHorizon.assign(hs, CHorizonTally{});
        t.BySession.assign(kSessions, std::vector<CHorizonTally>(hs));
    }
    // Each issue's summed forward move and scored alerts, by kind and horizon, made into the
    // tallies' topics at the end: one addition an alert, not a lookup by name.
    std::vector<double> issueSum[2] = {std::vector<double>(trackers * hs),
                                       std::vector<double>(trackers * hs)};
    std::vector<int64_t> issueScored[2] = {std::vector<int64_t>(trackers * hs),
                                           std::vector<int64_t>(trackers * hs)};
    struct CMatched {
        uint32_t Event;
        int32_t Tracker;
        uint32_t Point;
        char Kind;
    };
    std::vector<CMatched> matched;
    for (size_t i = 0; i < ui.Events.size(); ++i) {
        const CRunUi::CEvent& e = ui.Events[i];
        const std::string_view topic = ui.TopicOf(e);
        if (e.Action != 'A' || (e.Kind != 'A' && e.Kind != 'D') || topic.empty()) {
            ++run.Unmatched;
            continue;
        }
        const CRunUi::CEvent& ev = e;
        const int k = e.Kind == 'A' ? 0 : 1;
        CSettingTally& t = run.Tally[k];
        ++t.Events;
        // The alert's own point: the line the replay delivered when the event was raised.
        const auto found = day.TopicIndex.find(std::string(topic));
        const std::vector<CQuotePoint>* series =
            found == day.TopicIndex.end() ? nullptr
                                          : &day.Series[static_cast<size_t>(found->second)];
        size_t at = 0;
        if (series) {
            // Events come in replay order, so each issue's points are walked once.
            size_t& c = cursor[static_cast<size_t>(found->second)];
            while (c < series->size() && (*series)[c].Line < ev.Line) ++c;
            at = c;
            if (at == series->size() || (*series)[at].Line != ev.Line ||
                (*series)[at].Price != e.Price)
                series = nullptr;
        }
        if (!series) {
            ++run.Unmatched;
            continue;
        }
        const int tracker = found->second;
        if (!seen[k][static_cast<size_t>(tracker)])
            seen[k][static_cast<size_t>(tracker)] = 1, ++t.Issues;
        ++perIssue[static_cast<size_t>(tracker)];
        matched.push_back({static_cast<uint32_t>(i), tracker, static_cast<uint32_t>(at), e.Kind});
    }

    // Each issue's alerts together, in the order they were raised: `order` lists them issue by
    // issue, `place` is where each one's paths are.
    std::vector<uint32_t> first(trackers + 1), order(matched.size()), place(matched.size());
    for (const CMatched& m : matched) ++first[static_cast<size_t>(m.Tracker) + 1];
    for (size_t t = 0; t < trackers; ++t) first[t + 1] += first[t];
    {
        std::vector<uint32_t> fill(first.begin(), first.end() - 1);
        for (size_t m = 0; m < matched.size(); ++m) {
            const uint32_t p = fill[static_cast<size_t>(matched[m].Tracker)]++;
            order[p] = static_cast<uint32_t>(m);
            place[m] = p;
        }
    }
    std::vector<CPathEnd> paths(matched.size() * hs);
    std::vector<CAlertAt> alerts;
    for (size_t t = 0; t < trackers; ++t) {
        if (first[t] == first[t + 1]) continue;
        alerts.clear();
        for (uint32_t p = first[t]; p < first[t + 1]; ++p)
            alerts.push_back({matched[order[p]].Point, matched[order[p]].Kind});
        FollowAlerts(day.Series[t], alerts, o.Horizons, paths.data() + size_t{first[t]} * hs);
    }
    std::vector<uint32_t>().swap(order);

    COutFile part(run.PartFile, run.Shown);
    part.Budget = run.Budget;
    const std::string rateText = kestrel::FormatGeneral(run.Rate);
    for (size_t m = 0; m < matched.size(); ++m) {
        const CMatched& a = matched[m];
        const CRunUi::CEvent& e = ui.Events[a.Event];
        const std::string_view text = ui.EventText(e);
        const int k = a.Kind == 'A' ? 0 : 1;
        CSettingTally& t = run.Tally[k];
        const CQuotePoint& alert = day.Series[static_cast<size_t>(a.Tracker)][a.Point];
        CCsvWriter w(part.Buffer);
        w.Field(day.Dir)
            .Field(rateText)
            .Field(int64_t{run.Span})
            .Field(std::string_view(&a.Kind, 1));
        w.Field(ui.TopicOf(e)).Field(int64_t{alert.Line} + 1).Field(ClockText(alert.TimeMs));
        w.Field(int64_t{alert.Price})
            .Field(int64_t{e.Move})
            .Field(kestrel::FormatFixed(e.MoveRatio, 2));
        for (size_t h = 0; h < hs; ++h) {
            const CScore s =
                ScoreOf(alert, a.Kind, o.Horizons[h], day.EndMs, paths[size_t{place[m]} * hs + h]);
            CHorizonTally& ht = t.ByHorizon[h];
            CHorizonTally& part = t.BySession[SessionOf(alert.TimeMs)][h];
            if (s.Scored) {
                w.Field(int64_t{s.Later});
                ht.Add(s.Forward, s.Adverse);
                part.Add(s.Forward, s.Adverse);
                const size_t at = static_cast<size_t>(a.Tracker) * hs + h;
                issueSum[k][at] += s.Forward;
                ++issueScored[k][at];
                fwd[k][h].push_back(s.Forward);
            } else {
                w.Field(std::string_view());
                if (alert.Price > 0) ++ht.Late, ++part.Late;
            }
            w.Field(s.Forward, 4, s.Scored).Field(s.Adverse, 4, s.Scored);
        }
        const size_t tracker = static_cast<size_t>(a.Tracker);
        w.Field(text).Field(tracker < run.Names.size() ? run.Names[tracker] : std::string());
        w.End();
        part.FlushWhenFull();
    }
    part.Close(false);
    for (int k = 0; k < 2; ++k)
        for (size_t i = 0; i < trackers; ++i)
            for (size_t h = 0; h < hs; ++h)
                if (issueScored[k][i * hs + h] > 0)
                    run.Tally[k].ByHorizon[h].ByIssue[day.Topics[i]] += issueSum[k][i * hs + h];
    for (int k = 0; k < 2; ++k) {
        run.Median[k].resize(hs);
        for (size_t h = 0; h < hs; ++h) run.Median[k][h] = Median(fwd[k][h]);
    }
    // The issues with the most alerts, for the report's charts.
    std::vector<int> top;
    for (size_t i = 0; i < trackers; ++i)
        if (perIssue[i] > 0) top.push_back(static_cast<int>(i));
    std::sort(top.begin(), top.end(), [&](int a, int b) {
        return perIssue[static_cast<size_t>(a)] != perIssue[static_cast<size_t>(b)]
                   ? perIssue[static_cast<size_t>(a)] > perIssue[static_cast<size_t>(b)]
                   : a < b;
    });
    if (top.size() > kChartIssues) top.resize(kChartIssues);
    for (int i : top) run.Top.push_back({i, perIssue[static_cast<size_t>(i)], {}});
    for (const CMatched& a : matched) {
        for (CTopIssue& issue : run.Top) {
            if (issue.Tracker != a.Tracker) continue;
            const CQuotePoint& p = day.Series[static_cast<size_t>(a.Tracker)][a.Point];
            issue.Marks.push_back({p.TimeMs, p.Price, a.Kind});
        }
    }
}

// What the study keeps of its finished days, each folded in as soon as it and the days before
// it are done: its rows of study.csv written, each setting's tallies added up, the walk forward
// stepped and the issues the report may chart kept. Then the day's points, names and per-issue
// sums go, so a study of many days holds the days in flight and its settings' totals, not
// every day's scores.
struct CStudyTotals {
    std::vector<CSettingTally> Tallies;  // every setting and kind, in the order of Index
    std::map<std::tuple<double, int, char>, size_t> Index;
    std::vector<CWalkForward> Walks;
    CChartPicks Charts{kChartIssues};
};

// Folds day `d`, whose runs are runs[first, last), into the totals and study.csv's rows. The
// days come in the order they are given, so every sum is added in the order it always was.
void FoldDay(CDay& day, size_t d, std::vector<CRun>& runs, size_t first, size_t last,
             CStudyTotals& totals, COutFile& studyCsv) {
    std::vector<CSettingTally> tallies;
    CCsvWriter w(studyCsv.Buffer);
    for (size_t i = first; i < last; ++i) {
        CRun& r = runs[i];
        ++day.Settings;
        day.Events += r.Tally[0].Events + r.Tally[1].Events;
        day.Unmatched += r.Unmatched;
        for (int k = 0; k < 2; ++k) {
            StudyRow(w, day.Dir, r.Tally[k], r.Median[k]);
            tallies.push_back(std::move(r.Tally[k]));
            r.Tally[k] = CSettingTally{};
            std::vector<double>().swap(r.Median[k]);
        }
    }
    studyCsv.FlushWhenFull();
    if (d > 0) StepWalks(totals.Walks, day.Dir, totals.Tallies, tallies);
    for (const CSettingTally& t : tallies)
        totals.Tallies[totals.Index.at({t.Rate, t.Span, t.Kind})].Add(t);

    // The issues a setting may chart: its points copied once for every setting that keeps it.
    const std::vector<std::string>& names = runs[first].Names;
    std::map<int, std::shared_ptr<const CChartSeries>> made;
    for (size_t i = first; i < last; ++i) {
        CRun& r = runs[i];
        const CChartPicks::CSetting setting{r.Rate, r.Span};
        for (CTopIssue& top : r.Top) {
            const size_t t = static_cast<size_t>(top.Tracker);
            if (top.Tracker < 0 || t >= day.Series.size() ||
                !totals.Charts.WouldKeep(setting, top.Count))
                continue;
            std::shared_ptr<const CChartSeries>& series = made[top.Tracker];
            if (!series) {
                auto s = std::make_shared<CChartSeries>();
                s->Day = day.Dir;
                s->Topic = day.Topics[t];
                s->Name = t < names.size() ? names[t] : std::string();
                s->Points.reserve(day.Series[t].size());
                for (const CQuotePoint& p : day.Series[t]) s->Points.push_back({p.TimeMs, p.Price});
                series = std::move(s);
            }
            totals.Charts.Offer(setting, {top.Count, series, std::move(top.Marks)});
        }
    }
    for (size_t i = first; i < last; ++i) {
        std::vector<CTopIssue>().swap(runs[i].Top);
        std::vector<std::string>().swap(runs[i].Names);
    }
    std::vector<std::string>().swap(day.Topics);
    std::unordered_map<std::string, int>().swap(day.TopicIndex);
    std::vector<std::vector<CQuotePoint>>().swap(day.Series);
    std::vector<std::string>().swap(day.Names);
#if defined(__GLIBC__)
    // The day's points and a run's events are megabytes in pieces among longer-lived ones,
    // spread over the runs' threads' heaps; without this the allocator keeps their pages, and
    // what the study takes from the system would still grow with the days.
    malloc_trim(0);
#endif
}

// One setting of one day: an ordinary replay by a controller of its own, then the scores.
// Its folder for the lists is made as it starts.
void RunOne(const CStudyOptions& o, CDay& day, CRun& run, CProgressSlot& slot) {
    CRunUi ui;
    {
        // Whatever becomes of the day's first run, the runs waiting for the day's points learn
        // it.
        struct CSeriesGuard {
            CDay& Day;
            bool Armed;
            ~CSeriesGuard() {
                if (!Armed) return;
                {
                    std::lock_guard<std::mutex> lock(Day.Mutex);
                    if (!Day.Ready) Day.Failed = true;
                }
                Day.Made.notify_all();
            }
        } guard{day, run.First};
        for (const std::string* dir : {&run.ListsRoot, &run.DayLists, &run.ListDir}) {
            std::string error;
            if (!kestrel::study::MakeFolder(*dir, error)) {
                run.Error = error;
                return;
            }
        }
        CConsoleClock clock;
        clock.date = o.Date;
        clock.fixedDate = o.FixedDate;
        CController c(ui, clock, day.Dir, run.ListDir, {}, CController::Reach::Local);
        c.DataModuleCreate();
        c.CreateIni();
        c.Ini->Flg = 1;  // a backtest always replays
        c.Ini->Rate = run.Rate;
        c.Ini->Span = run.Span;
        c.StartUp();
        if (c.StartFailed) {
            run.ExitCode = 4;
            run.Messages = ui.Messages;
            return;
        }
        if (run.First) ReadDaySeries(day, c);
        run.Lines = static_cast<int64_t>(c.Replayer().LineCount());
        slot.Done.store(0);
        slot.Total.store(run.Lines);
        const CReplayCounts counts = ReplayToEnd(c, [&](int32_t line) {
            ui.Line = line;  // the events of this tick are this line's
            if ((line & 0xfff) == 0) slot.Done.store(line, std::memory_order_relaxed);
        });
        run.NoIssue += counts.NoIssue;
        run.BadTime += counts.BadTime;
        // Every run's, for the names in its rows of alerts.csv.
        for (int i = 0; i < c.TrkgList->Count(); ++i)
            run.Names.push_back(c.TrkgList->Items(i)->Name);
        c.DataModuleDestroy();
        slot.Done.store(run.Lines);
        // A list not written is a failed run: said once, as its error, not among the messages.
        if (!c.ResumeSaveErrors.empty()) {
            for (const std::string& why : c.ResumeSaveErrors) {
                ui.Messages.erase(std::remove(ui.Messages.begin(), ui.Messages.end(), why),
                                  ui.Messages.end());
                run.Error += (run.Error.empty() ? "the lists could not be written: " : "; ") + why;
            }
            run.Messages = ui.Messages;
            return;
        }
    }
    // The run's lists count against the study's limit like its other files.
    if (run.Budget)
        run.Budget->Charge(kestrel::study::FolderBytes(run.ListDir),
                           "the lists of " + SettingLabel(run.Rate, run.Span));
    run.Messages = ui.Messages;
    std::unique_lock<std::mutex> lock(day.Mutex);
    day.Made.wait(lock, [&] { return day.Ready || day.Failed; });
    if (!day.Ready) {
        run.Unscored = true;  // the first run says why
        return;
    }
    lock.unlock();
    ScoreRun(o, day, run, ui);
    // The charts name their issues from the day's first run: the others' names have served.
    if (!run.First) std::vector<std::string>().swap(run.Names);
}

}  // namespace

namespace {

std::string Join(const std::vector<std::string>& parts, const char* separator) {
    std::string all;
    for (const std::string& p : parts) all += (all.empty() ? "" : separator) + p;
    return all;
}

// A folder's last name, for the folder of its runs' lists.
std::string DayLabel(std::string dir) {
    while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
    const size_t slash = dir.find_last_of("/\\");
    std::string label = slash == std::string::npos ? dir : dir.substr(slash + 1);
    if (label.empty() || label == "." || label == ".." || label.find(':') != std::string::npos)
        label = "day";
    return label;
}

// ---- bounds -------------------------------------------------------------------------------

uint64_t Mul(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
uint64_t Add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::string BytesText(uint64_t bytes) {
    char text[64];
    const double b = static_cast<double>(bytes);
    if (bytes >= (uint64_t{1} << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", b / (1u << 30));
    else if (bytes >= (uint64_t{1} << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", b / (1u << 20));
    else
        std::snprintf(text, sizeof text, "%.1f KiB", b / (1u << 10));
    return text;
}

// The longest topic a day's events can carry: a watch line in UTF-8 (at most three bytes for
// each byte of CP932), and never longer than a record keeps.
uint64_t TopicBytes(const CDay& d) {
    return std::min<uint64_t>(kestrel::kMaxTextFieldBytes, 3 * d.Watch.LongestLine);
}

// The longest event line of a day: "hh:nn topic:price,(move),ratio% limit[K,A]", each number at
// most 11 characters, the ratio (a move over a price, in percent, two decimals) at most 24.
uint64_t EventLineBytes(const CDay& d) { return 78 + TopicBytes(d); }

// The most one row of alerts.csv can take, field by field: the day's folder and the topic and
// event quoted (each byte doubled at worst), the rate 24, the window, line, price and move 11
// each, the time 16, the ratio 24; per horizon a price and two moves of four decimals (50 with
// their commas); the issue's name (a record's text, quoted); the other commas and CR LF.
uint64_t AlertRowBytes(const CDay& d, size_t horizons) {
    return 2 * d.Dir.size() + 2 * TopicBytes(d) + 2 * EventLineBytes(d) + 50 * horizons +
           2 * kestrel::kMaxTextFieldBytes + 150;
}

// The most the study can write, planned before anything runs. A replayed line stores at most
// one point and a point raises at most one rise and one fall, so a run has at most two alerts
// a line of its day's kabu.txt. A run's lists hold one record per watched issue at most (three
// texts of at most 256 bytes, quoted, and 15 numbers). study.csv has two rows a run, the report
// its library, the days' names, two cells a run, and its charts of at most every point of a day
// with two alerts each. Without `alerts`, only what is written whatever the runs raise: the
// headers, study.csv's rows, the report's fixed part and cells.
uint64_t PlannedBytes(const CStudyOptions& o, const std::vector<std::unique_ptr<CDay>>& days,
                      const std::vector<uint64_t>& runsOfDay, bool alerts) {
    const uint64_t hs = o.Horizons.size();
    uint64_t total = 120 + 60 * hs;                               // alerts.csv's header, BOM
    total = Add(total, 70 + 240 * hs);                            // study.csv's
    total = Add(total, kEchartsScriptSize / 8 * 9 + (64 << 10));  // the report's fixed part
    total = Add(total, 2 * hs * 8000);  // its tables of the best settings, warnings, walks
    uint64_t longestDay = 0, longestName = 0;
    for (size_t d = 0; d < days.size(); ++d) {
        const CDay& day = *days[d];
        const uint64_t runs = runsOfDay[d];
        const uint64_t record =
            2 * (TopicBytes(day) + 2 * kestrel::kMaxTextFieldBytes) + 6 + 15 * 32 + 19;
        const uint64_t perRun =
            Add(Mul(2 * day.Lines.Lines, AlertRowBytes(day, hs)), Mul(2 * day.Watch.Lines, record));
        if (alerts) total = Add(total, Mul(runs, perRun));
        // study.csv: the old columns, then per horizon four numbers, a count, a share and a
        // topic (quoted).
        total = Add(total,
                    Mul(runs, 2 * (2 * day.Dir.size() + 100 + (280 + 2 * TopicBytes(day)) * hs)));
        // The report's cells: the heat maps' data (with a topic each), the session tables and
        // the warnings that name settings and topics.
        total = Add(total, Mul(runs, 2 * (150 + (900 + 3 * 6 * TopicBytes(day)) * hs)));
        total = Add(total, 6 * (day.Dir.size() + 2));  // its list of days
        // The walk forward: a line per kind and horizon for each day, its name escaped.
        total = Add(total, 2 * hs * (6 * day.Dir.size() + 160));
        longestDay = std::max(longestDay, day.Lines.Lines);
        longestName = std::max(longestName, 6 * (TopicBytes(day) + 260 + day.Dir.size()));
    }
    // Charts: every point of an issue as [ms,price], every alert as [ms,price,"K"].
    if (!alerts) return total;
    return Add(total, Mul(kChartIssues, Add(longestName + 64, Mul(longestDay, 86))));
}

// What one run may hold at once: the controller with its reference files, the records in
// flight and buffers; every tracker's ring; the day's text (four times its bytes when it must
// be converted from CP932, the bytes and the text side by side); per line its place in the text
// and the day's point; and per alert (two a line at most) the event line kept, its match, its
// paths and its forward moves, each with room to grow. Measured peaks of one run: 11 MB on
// examples/demo (counted 45 MiB here) and 259 MB on a generated day of a million lines with
// 1.6 alerts a line (counted 741 MiB).
uint64_t RunMemory(const CDay& d, size_t horizons) {
    const uint64_t lines = d.Lines.Lines;
    const uint64_t perAlert = 2 * EventLineBytes(d) + 32 + 32 + 8 + 24 * horizons;
    uint64_t bytes = uint64_t{16} << 20;
    bytes = Add(bytes, Mul(d.Watch.Lines, sizeof(CTrkg)));
    bytes = Add(bytes, d.Lines.Ascii ? d.Lines.Bytes : Mul(4, d.Lines.Bytes));
    bytes = Add(bytes, Mul(lines, 12 + 24 + 2 * perAlert));
    return bytes;
}
// Beyond its memory, a run's threads (its own, the replay's reader, two watchers) reserve
// their stacks and the allocator an arena: address space, not memory in use.
constexpr uint64_t kRunAddressSpace = uint64_t{96} << 20;

// ---- putting the study in place -----------------------------------------------------------

// Moves the new study from `work` into `out`: each of the previous study's entries (whatever it
// is, a link or a pipe included, never opened) goes aside into work/previous, then the new one
// comes in. On a failure every step done is undone, so `out` holds the previous study as it
// was; `stranded` is set when even that failed, and the previous files are still in `work`.
bool PutInPlace(const std::string& work, const std::string& out, std::string& error,
                bool& stranded) {
    const std::string aside = work + "/previous";
    if (!kestrel::study::MakeFolder(aside, error)) return false;
    kestrel::FileSaveOps& ops = kestrel::CurrentSaveOps();
    struct CStep {
        std::string Name;
        bool Old = false, New = false;
    };
    std::vector<CStep> steps;
    bool ok = true;
    for (const char* name : kStudyNames) {
        CStep& step = steps.emplace_back(CStep{name});
        const std::string at = out + "/" + name;
        if (kestrel::study::EntryExists(at)) {
            if (auto ec = ops.Rename(at, aside + "/" + name)) {
                error = at + ": could not be moved aside: " + ec.message();
                ok = false;
                break;
            }
            step.Old = true;
        }
        if (auto ec = ops.Rename(work + "/" + name, at)) {
            error = at + ": could not be put in place: " + ec.message();
            ok = false;
            break;
        }
        step.New = true;
    }
    if (ok) return true;
    for (auto s = steps.rbegin(); s != steps.rend(); ++s) {
        const std::string at = out + "/" + s->Name;
        if (s->New && ops.Rename(at, work + "/" + s->Name)) stranded = true;
        if (s->Old && ops.Rename(aside + "/" + s->Name, at)) stranded = true;
    }
    return false;
}

}  // namespace

int RunStudy(const CStudyOptions& o, std::string& messages, std::string& summary,
             const std::function<void(double)>& progress, const CStudyHooks& hooks) {
    const auto t0 = std::chrono::steady_clock::now();
    auto say = [&](const std::string& text) {
        const std::string line = std::string(kTool) + ": " + text + "\n";
        messages += line;
        if (hooks.Said) hooks.Said(line);
    };
    using namespace kestrel::study;

    // The days, each measured before anything reads it, and each folder once.
    std::vector<std::unique_ptr<CDay>> days;
    std::map<std::string, std::string> identities;  // a folder's identity, its first name
    for (const std::string& dir : o.Days) {
        std::string error;
        const std::string id = FolderIdentity(dir, error);
        if (id.empty()) return say(dir + ": no such folder (" + error + ")"), 2;
        if (!IsDir(dir)) return say(dir + ": not a folder"), 2;
        auto day = std::make_unique<CDay>();
        day->Dir = dir;
        if (!MeasureInput(dir + "/kabu.txt", day->Lines, error) ||
            !MeasureInput(dir + "/監視銘柄.txt", day->Watch, error))
            return say(error), 2;
        const auto [known, fresh] = identities.emplace(id, dir);
        if (!fresh)
            return say("the same folder is given twice, as " + known->second + " and as " + dir), 2;
        days.push_back(std::move(day));
    }
    const std::string& out = o.OutDir;
    std::vector<std::string> present;
    for (const char* name : kStudyNames)
        if (EntryExists(out + "/" + name)) present.push_back(out + "/" + name);
    if (!present.empty() && !o.Force)
        return say("the study's files are already there, not replaced without --force: " +
                   Join(present, ", ")),
               3;

    // Each day's own settings for what is not swept, and the runs in order: day, rate, window.
    std::vector<std::string> labels;
    std::vector<CRun> runs;
    std::vector<uint64_t> runsOfDay;
    for (size_t d = 0; d < days.size(); ++d) {
        CDay& day = *days[d];
        const std::string base = DayLabel(day.Dir);
        day.Label = base;
        for (int n = 2; std::find(labels.begin(), labels.end(), day.Label) != labels.end(); ++n)
            day.Label = base + "-" + std::to_string(n);
        labels.push_back(day.Label);
        CIni ini(day.Dir + "/" + CIni::kDefaultPath);
        ini.Load();
        day.OwnRate = ini.GetRate();
        day.OwnSpan = ini.GetSpan();
        const std::vector<double> rates =
            !o.Rates.empty() ? o.Rates : std::vector<double>{o.HaveRate ? o.Rate : day.OwnRate};
        const std::vector<int> spans =
            !o.Spans.empty() ? o.Spans : std::vector<int>{o.HaveSpan ? o.Span : day.OwnSpan};
        runsOfDay.push_back(rates.size() * spans.size());
        for (double rate : rates) {
            for (int span : spans) {
                CRun run;
                run.Day = d;
                run.Rate = rate;
                run.Span = span;
                run.First = runs.empty() || runs.back().Day != run.Day;
                runs.push_back(std::move(run));
            }
        }
    }

    // What the study may write and hold, before anything runs. The most it could write (every
    // replayed line raising both moves) is far above what real days raise, so it is said, and
    // the limit is held while the files are written: the study stops where it would pass it.
    // What is written whatever the runs raise must fit before anything runs.
    const uint64_t planned = PlannedBytes(o, days, runsOfDay, true);
    const uint64_t certain = PlannedBytes(o, days, runsOfDay, false);
    if (certain > o.MaxOutput)
        return say("the study would write at least " + BytesText(certain) + " (" +
                   std::to_string(certain) + " bytes: " + std::to_string(runs.size()) +
                   " runs), above the limit of " + BytesText(o.MaxOutput) + " (--max-output " +
                   std::to_string(o.MaxOutput) + "); nothing was run"),
               2;
    say("planned output: at most " + BytesText(planned) + " (" + std::to_string(planned) +
        " bytes, were every replayed line an alert); limit " + BytesText(o.MaxOutput) +
        (planned > o.MaxOutput ? ", where the study would stop" : std::string()));
    kestrel::study::CByteBudget budget(o.MaxOutput);
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t wanted = std::min(o.Jobs > 0 ? static_cast<size_t>(o.Jobs) : cores, runs.size());
    uint64_t perRun = 0;
    for (const auto& day : days) perRun = std::max(perRun, RunMemory(*day, o.Horizons.size()));
    CMemoryRoom room;
    if (hooks.AvailableMemory > 0)
        room.Available = hooks.AvailableMemory;
    else
        room = AvailableMemory();
    // The tighter of the memory available and, under a limit on it, the address space left.
    const uint64_t byMemory = room.Available / perRun;
    const uint64_t bySpace = room.AddressSpace / Add(perRun, kRunAddressSpace);
    const uint64_t fit = std::min(byMemory, bySpace);
    size_t jobs = wanted;
    if (fit < wanted) {
        jobs = static_cast<size_t>(std::max<uint64_t>(fit, 1));
        const std::string asked =
            o.Jobs > 0 ? "--jobs " + std::to_string(o.Jobs) : std::string("one run per core");
        const std::string free =
            bySpace < byMemory
                ? BytesText(room.AddressSpace) + " of address space left, up to " +
                      BytesText(Add(perRun, kRunAddressSpace)) + " a run"
                : BytesText(room.Available) + " available, up to " + BytesText(perRun) + " a run";
        say(fit == 0 ? asked + ": not even one run surely fits in memory (" + free +
                           "); the runs go one at a time"
                     : asked + ": " + std::to_string(jobs) + " run" + (jobs == 1 ? "" : "s") +
                           " at a time fit in memory (" + free + "); the others wait");
    }

    // Everything is written into a folder of the study's own, inside the output folder, and put
    // in place only when all of it is there.
    std::string error;
    if (!IsDir(out) && !MakeFolder(out, error)) return say(error + " (the study's folder)"), 2;
    const std::string work = MakePrivateFolder(out, error);
    if (work.empty()) return say(error), 1;
    struct CWorkGuard {
        std::string Path;
        std::function<void(const std::string&)> Say;
        bool Keep = false;
        ~CWorkGuard() {
            std::string why;
            if (!Keep && !RemoveTree(Path, why)) Say(why);
        }
    } workGuard{work, say};
    for (size_t i = 0; i < runs.size(); ++i) {
        CRun& run = runs[i];
        run.ListsRoot = work + "/lists";
        run.DayLists = run.ListsRoot + "/" + days[run.Day]->Label;
        run.ListDir = run.DayLists + "/" + SettingLabel(run.Rate, run.Span);
        run.PartFile = work + "/.alerts-" + std::to_string(i) + ".part";
        run.Shown = out + "/alerts.csv";
        run.Budget = &budget;
    }

    // alerts.csv is put together in the order of the runs while later runs go on.
    std::optional<COutFile> all;
    try {
        all.emplace(work + "/alerts.csv", out + "/alerts.csv");
    } catch (const std::exception& e) {
        return say(e.what()), 1;
    }
    if (o.CsvBom) all->Buffer += kUtf8Bom;
    CCsvWriter header(all->Buffer);
    AlertsHeader(header, o.Horizons);
    // study.csv gets each day's rows as the day is folded into the totals.
    std::optional<COutFile> studyCsv;
    try {
        studyCsv.emplace(work + "/study.csv", out + "/study.csv");
    } catch (const std::exception& e) {
        return say(e.what()), 1;
    }
    studyCsv->Budget = &budget;
    if (o.CsvBom) studyCsv->Buffer += kUtf8Bom;
    CCsvWriter studyHeader(studyCsv->Buffer);
    StudyHeader(studyHeader, o.Horizons);
    CStudyTotals totals;
    for (const CRun& r : runs)
        for (char kind : {'A', 'D'}) totals.Index.emplace(std::make_tuple(r.Rate, r.Span, kind), 0);
    for (auto& [key, at] : totals.Index) at = totals.Tallies.size(), totals.Tallies.emplace_back();
    totals.Walks = NewWalks(days.size(), o.Horizons.size());
    // Where each day's runs start; they follow one another.
    std::vector<size_t> dayFirst(days.size() + 1);
    for (size_t d = 0; d < days.size(); ++d) dayFirst[d + 1] = dayFirst[d] + runsOfDay[d];
    size_t folded = 0;  // the days folded into the totals, on this thread

    // One controller per thread, each run taken in order by the next free thread. A run that
    // fails stops the study: no run is taken after it.
    std::vector<CProgressSlot> slots(jobs);
    std::mutex mutex;
    std::condition_variable finishedOne;
    size_t next = 0, finished = 0;
    bool stop = false;                    // under the mutex
    std::vector<char> done(runs.size());  // under the mutex
    auto workerLoop = [&](size_t w) {
        for (;;) {
            size_t i = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stop || next == runs.size()) return;
                i = next++;
            }
            CRun& run = runs[i];
            try {
                RunOne(o, *days[run.Day], run, slots[w]);
            } catch (const std::exception& e) {
                run.Error = e.what();
            }
            {
                // The slot stops counting and the run counts as finished in one step for
                // whoever sums the progress under the lock: apart, the bar would drop by a run.
                std::lock_guard<std::mutex> lock(mutex);
                slots[w].Total.store(0);
                ++finished;
                done[i] = 1;
                if (run.Failed()) stop = true;
            }
            finishedOne.notify_all();
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(jobs);  // a thread once made is never lost to a failed push_back
    std::string threadError;
    for (size_t w = 0; w < jobs; ++w) {
        try {
            std::function<void()> body = [&workerLoop, w] { workerLoop(w); };
            workers.push_back(hooks.MakeThread ? hooks.MakeThread(std::move(body))
                                               : std::thread(std::move(body)));
        } catch (const std::system_error& e) {
            threadError = e.what();
            break;
        }
    }
    if (workers.empty()) return say("no thread could be started for the runs: " + threadError), 4;
    if (workers.size() < jobs) {
        say("only " + std::to_string(workers.size()) + " of " + std::to_string(jobs) +
            " threads could be started for the runs (" + threadError + "); the runs go " +
            std::to_string(workers.size()) + " at a time");
        jobs = workers.size();
    }
    size_t appended = 0;
    std::string appendError;
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            while (!stop && appended < runs.size() && done[appended]) {
                const CRun& r = runs[appended];
                if (r.Failed()) {
                    stop = true;  // the run says why
                    break;
                }
                lock.unlock();
                try {
                    AppendFile(r.PartFile, r.Shown, *all);
                    kestrel::CurrentSaveOps().Remove(r.PartFile);
                } catch (const std::exception& e) {
                    appendError = e.what();
                }
                lock.lock();
                if (!appendError.empty()) stop = true;
                ++appended;
                // A day whose runs are all appended is done: into the totals with it.
                while (!stop && folded < days.size() && appended >= dayFirst[folded + 1]) {
                    lock.unlock();
                    try {
                        FoldDay(*days[folded], folded, runs, dayFirst[folded], dayFirst[folded + 1],
                                totals, *studyCsv);
                    } catch (const std::exception& e) {
                        appendError = e.what();
                    }
                    lock.lock();
                    if (!appendError.empty()) stop = true;
                    ++folded;
                }
            }
            const bool taken = stop || next == runs.size();
            if (taken && finished == next && (stop || appended == runs.size())) break;
            if (progress) {
                double share = static_cast<double>(finished);
                for (const CProgressSlot& s : slots) {
                    const int64_t total = s.Total.load();
                    if (total > 0)
                        share += std::min(1.0, static_cast<double>(s.Done.load()) / total);
                }
                progress(std::min(1.0, share / static_cast<double>(runs.size())));
            }
            finishedOne.wait_for(lock, std::chrono::milliseconds(200));
        }
    }
    for (std::thread& t : workers) t.join();
    if (progress && !stop) progress(1.0);

    if (!appendError.empty()) say(appendError);
    // What the runs said, once per day: every run of a day reads the same files.
    int code = 0;
    for (size_t d = 0; d < days.size(); ++d) {
        std::vector<std::string> said;
        for (const CRun& r : runs) {
            if (r.Day != d) continue;
            for (const std::string& m : r.Messages) {
                if (std::find(said.begin(), said.end(), m) != said.end()) continue;
                said.push_back(m);
                say(days[d]->Dir + ": " + m);
            }
            if (r.ExitCode != 0 && code == 0) code = r.ExitCode;
            if (!r.Error.empty()) {
                say(days[d]->Dir + ", " + SettingLabel(r.Rate, r.Span) + ": " + r.Error);
                if (code == 0) code = 1;
            }
        }
    }
    if (code == 0 && (stop || !appendError.empty())) code = 1;
    if (code != 0) {
        const size_t notRun = runs.size() - next;
        if (notRun > 0)
            say(std::to_string(notRun) + " of " + std::to_string(runs.size()) +
                " runs were not started after the failure");
        say("the study failed; " + (present.empty()
                                        ? std::string("nothing was put in ") + out
                                        : "the previous study in " + out + " is left as it was"));
        return code;
    }

    for (size_t d = 0; d < days.size(); ++d) {
        const CDay& day = *days[d];
        const CRun& first = runs[dayFirst[d]];
        say(day.Dir + ": " + std::to_string(first.Lines) + " lines read, " +
            std::to_string(first.NoIssue + first.BadTime) + " skipped (" +
            std::to_string(first.NoIssue) + " no watched issue, " + std::to_string(first.BadTime) +
            " bad time), " + std::to_string(day.Settings) + " settings, " +
            std::to_string(day.Events) + " events");
        if (day.Unmatched > 0)
            say(day.Dir + ": " + std::to_string(day.Unmatched) +
                " event lines matched no replayed point and were not scored");
    }

    const size_t hs = o.Horizons.size();
    CReportData data;
    data.Days = o.Days;
    data.Horizons = o.Horizons;
    data.Tallies = std::move(totals.Tallies);
    data.Walks = std::move(totals.Walks);
    // The trader's own setting: what the monitor of the first day would run with.
    data.OwnRate = o.HaveRate ? o.Rate : days.front()->OwnRate;
    data.OwnSpan = o.HaveSpan ? o.Span : days.front()->OwnSpan;

    // The issue charts mark the alerts of the best setting for rises at the middle horizon.
    data.ChartHorizon = hs / 2;
    auto best = BestSettings(data.Tallies, 'A', data.ChartHorizon, 1);
    data.ChartKind = 'A';
    if (best.empty())
        best = BestSettings(data.Tallies, 'D', data.ChartHorizon, 1), data.ChartKind = 'D';
    if (best.empty()) data.ChartKind = 0;
    data.ChartRate = best.empty() ? runs.front().Rate : best[0]->Rate;
    data.ChartSpan = best.empty() ? runs.front().Span : best[0]->Span;
    for (const CChartPick& pick : totals.Charts.Of({data.ChartRate, data.ChartSpan}))
        data.Issues.push_back(ChartOf(pick));

    // The whole study is written; then it goes in place of the previous one in a few renames.
    try {
        all->Close(true);
        all.reset();
        studyCsv->Close(true);
        studyCsv.reset();
        COutFile report(work + "/report.html", out + "/report.html");
        report.Budget = &budget;
        report.Buffer = BuildReportHtml(data);
        report.Close(true);
        if (!MakeFolder(work + "/lists", error)) throw std::runtime_error(error);
    } catch (const std::exception& e) {
        say(e.what());
        say("the study failed; " + (present.empty()
                                        ? std::string("nothing was put in ") + out
                                        : "the previous study in " + out + " is left as it was"));
        return 1;
    }
    bool stranded = false;
    if (!PutInPlace(work, out, error, stranded)) {
        say(error);
        if (stranded) {
            workGuard.Keep = true;
            say("the study failed and could not be undone: the previous study's files are in " +
                work + "/previous, the new ones in " + work);
        } else {
            say("the study failed; the previous study in " + out + " is left as it was");
        }
        return 1;
    }
    if (!o.Quiet) summary = BestText(data) + "report: " + out + "/report.html\n";
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    char closing[512];
    std::snprintf(closing, sizeof closing,
                  "study of %zu day%s x %zu setting%s (%zu runs, %zu at a time) written to %s: "
                  "study.csv, alerts.csv, report.html, lists/; %.2f s",
                  days.size(), days.size() == 1 ? "" : "s", runs.size() / days.size(),
                  runs.size() == days.size() ? "" : "s", runs.size(), jobs, out.c_str(), secs);
    say(closing);
    return 0;
}

int StudyMain(int argc, char** argv) {
    CStudyOptions o;
    std::string error;
    if (int code = ParseStudyOptions(argc, argv, o, error)) {
        std::fprintf(stderr, "%s: %s (see --help)\n", kTool, error.c_str());
        return code;
    }
    const bool showBar = !o.Quiet && isatty(2);
    CProgressBar bar;
    bool barOnLine = false;  // the bar is the last thing on stderr, without its line end
    auto progress = [&](double share) {
        if (!showBar) return;
        bar.Show(static_cast<int>(share * 100));
        barOnLine = true;
    };
    CStudyHooks hooks;
    // Each message at once: the plan and the jobs are said before the runs start.
    hooks.Said = [&](const std::string& line) {
        if (barOnLine) std::fputc('\n', stderr);
        barOnLine = false;
        std::fputs(line.c_str(), stderr);
    };
    std::string messages, summary;
    int code = 0;
    try {
        code = RunStudy(o, messages, summary, progress, hooks);
    } catch (const std::exception& e) {
        hooks.Said(std::string(kTool) + ": the study failed: " + e.what() + "\n");
        code = 1;
    }
    if (barOnLine) std::fputc('\n', stderr);
    std::fputs(summary.c_str(), stdout);
    return code;
}
