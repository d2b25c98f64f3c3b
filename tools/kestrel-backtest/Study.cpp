#include "kestrel-backtest/Study.h"

#include <unistd.h>

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
#include <thread>
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
#include "tracking/EventLine.h"

namespace {

constexpr const char* kTool = "kestrel-backtest";
// Issues charted in the report, those with the most alerts at the charted setting.
constexpr size_t kChartIssues = 6;

// ---- files --------------------------------------------------------------------------------

FILE* OpenFile(const std::string& path, const char* mode) {
#ifdef _WIN32
    const std::wstring m(mode, mode + std::strlen(mode));
    return _wfopen(kestrel::WidePath(path).c_str(), m.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

// A file written a block at a time; Close throws unless every byte reached it.
class CBlockFile {
public:
    explicit CBlockFile(std::string path) : Path(std::move(path)), File(OpenFile(Path, "wb")) {}
    ~CBlockFile() {
        if (File) std::fclose(File);
    }
    CBlockFile(const CBlockFile&) = delete;
    CBlockFile& operator=(const CBlockFile&) = delete;
    std::string Buffer;
    void Flush() {
        if (!File || std::fwrite(Buffer.data(), 1, Buffer.size(), File) != Buffer.size())
            Failed = true;
        Buffer.clear();
    }
    void FlushWhenFull() {
        if (Buffer.size() >= (1u << 20)) Flush();
    }
    void Close() {
        Flush();
        const bool closed = File && std::fclose(File) == 0;
        File = nullptr;
        if (Failed || !closed) throw std::runtime_error(Path + ": could not be written");
    }

private:
    std::string Path;
    FILE* File;
    bool Failed = false;
};

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

// A quote point a tracker stored: the replayed line, its time of day in ms, its price.
struct CPoint {
    int32_t Line, TimeMs, Price;
};

// One recorded day. Its points are read once, by its first run against that run's own
// trackers; every run of the day scores its alerts against them.
struct CDay {
    std::string Dir, Label;
    double OwnRate = 0;
    int OwnSpan = 0;
    std::mutex Mutex;
    std::condition_variable Made;
    bool Ready = false, Failed = false;
    std::vector<std::string> Topics;                  // by tracker
    std::unordered_map<std::string, int> TopicIndex;  // a topic's first tracker
    std::vector<std::vector<CPoint>> Series;          // by tracker, in replay order
    int32_t EndMs = INT32_MIN;                        // the latest time of any point
    std::vector<std::string> Names;                   // by tracker, at the end of the first run
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
    std::string ListDir, PartFile;
    int ExitCode = 0;
    std::string Error;
    std::vector<std::string> Messages;
    int64_t Lines = 0, NoIssue = 0, BadTime = 0, Unmatched = 0;
    CSettingTally Tally[2];
    std::vector<double> Median[2];  // by horizon; NaN without a scored alert
    std::vector<CTopIssue> Top;
    std::vector<std::string> Names;
};

// How far the run on one thread is, for the progress bar.
struct CProgressSlot {
    std::atomic<int64_t> Done{0}, Total{0};
};

// The user of one run: its messages kept to be said once per day, each event line kept with
// the replayed line that raised it, every question answered no (an earlier study's lists in
// the run's folder are not loaded, and are replaced).
class CRunUi : public IUserInterface {
public:
    struct CEvent {
        int32_t Line;
        size_t At, Size;
    };
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    bool Confirm(const std::string&) override { return false; }
    void SetStatusText(const std::string&) override {}
    bool WantsStatusText() const override { return false; }
    void SetBusy(bool) override {}
    void RequestQuit() override {}
    void AppendEventLine(const std::string& line) override {
        Events.push_back({Line, Text.size(), line.size()});
        Text += line;
    }
    std::string_view EventText(const CEvent& e) const {
        return std::string_view(Text).substr(e.At, e.Size);
    }
    int32_t Line = -1;  // the line the replay is delivering
    std::vector<CEvent> Events;
    std::string Text;
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
    std::vector<std::vector<CPoint>> series(topics.size());
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

struct CScore {
    bool Scored = false;
    int32_t Later = 0;
    double Forward = 0, Adverse = 0;
};

// The scores of the alert at points[at] for each horizon (minutes, ascending). A horizon's
// path is the issue's points after the alert, in replay order, up to the first one later than
// the alert's time + the horizon. Its later price is the path's last price (the alert's own when
// the path is empty); the forward move is (later − alert) / alert × 100, negated for a fall; the
// adverse move is the largest move against the alert on the path, (alert − lowest) / alert × 100
// for a rise and (highest − alert) / alert × 100 for a fall, 0 when the price never went against
// it. A horizon that ends after the day's latest time is not scored, nor is an alert at a price
// of 0 or below.
void ScoreAlert(const std::vector<CPoint>& points, size_t at, char kind, int32_t endMs,
                const std::vector<int>& horizons, std::vector<CScore>& out) {
    out.assign(horizons.size(), CScore{});
    const CPoint& alert = points[at];
    if (alert.Price <= 0) return;
    const int64_t p0 = alert.Price;
    auto limit = [&](size_t h) {
        return int64_t{alert.TimeMs} + int64_t{horizons[h]} * kestrel::kMsPerMinute;
    };
    int64_t last = p0, against = 0;
    size_t h = 0;
    auto close = [&] {
        if (limit(h) <= endMs) {
            const int64_t gain = kind == 'A' ? last - p0 : p0 - last;
            out[h] = {true, static_cast<int32_t>(last),
                      static_cast<double>(gain) / static_cast<double>(p0) * 100,
                      static_cast<double>(against) / static_cast<double>(p0) * 100};
        }
        ++h;
    };
    for (size_t i = at + 1; i < points.size() && h < horizons.size(); ++i) {
        const CPoint& p = points[i];
        while (h < horizons.size() && p.TimeMs > limit(h)) close();
        if (h == horizons.size()) break;
        last = p.Price;
        against = std::max(against, kind == 'A' ? p0 - p.Price : p.Price - p0);
    }
    while (h < horizons.size()) close();
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

void AlertsHeader(CCsvWriter& w, const std::vector<int>& horizons) {
    w.Field("day").Field("rate").Field("time").Field("kind").Field("topic").Field("line");
    w.Field("alert_time").Field("price").Field("move").Field("move_ratio");
    for (int h : horizons) {
        const std::string m = std::to_string(h) + "m";
        w.Field("later_price_" + m).Field("forward_" + m).Field("adverse_" + m);
    }
    w.Field("event").End();
}

void StudyHeader(CCsvWriter& w, const std::vector<int>& horizons) {
    w.Field("day").Field("rate").Field("time").Field("kind").Field("events").Field("issues");
    for (int h : horizons) {
        const std::string m = std::to_string(h) + "m";
        w.Field("scored_" + m).Field("late_" + m).Field("hit_rate_" + m);
        w.Field("mean_forward_" + m).Field("median_forward_" + m).Field("mean_adverse_" + m);
    }
    w.End();
}

// Scores the run's alerts against the day's points and writes them to the run's part of
// alerts.csv.
void ScoreRun(const CStudyOptions& o, const CDay& day, CRun& run, const CRunUi& ui) {
    const size_t hs = o.Horizons.size();
    const size_t trackers = day.Series.size();
    std::vector<std::vector<double>> fwd[2] = {std::vector<std::vector<double>>(hs),
                                               std::vector<std::vector<double>>(hs)};
    std::vector<char> seen[2] = {std::vector<char>(trackers), std::vector<char>(trackers)};
    std::vector<int64_t> perIssue(trackers);
    std::vector<size_t> cursor(trackers);
    struct CRef {
        int Tracker;
        size_t Point;
        char Kind;
    };
    std::vector<CRef> refs;
    for (int k = 0; k < 2; ++k) {
        CSettingTally& t = run.Tally[k];
        t.Rate = run.Rate, t.Span = run.Span, t.Kind = k == 0 ? 'A' : 'D';
        t.ByHorizon.assign(hs, CHorizonTally{});
    }
    CBlockFile part(run.PartFile);
    const std::string rateText = kestrel::FormatGeneral(run.Rate);
    std::vector<CScore> scores;
    for (const CRunUi::CEvent& ev : ui.Events) {
        const std::string_view text = ui.EventText(ev);
        const std::optional<CEventLineParts> parsed = ParseEventLine(text);
        if (!parsed || parsed->Action != 'A' || (parsed->Kind != 'A' && parsed->Kind != 'D') ||
            parsed->Topic.empty()) {
            ++run.Unmatched;
            continue;
        }
        const CEventLineParts& e = *parsed;
        const int k = e.Kind == 'A' ? 0 : 1;
        CSettingTally& t = run.Tally[k];
        ++t.Events;
        // The alert's own point: the line the replay delivered when the event was raised.
        const auto found = day.TopicIndex.find(std::string(e.Topic));
        const std::vector<CPoint>* series = found == day.TopicIndex.end()
                                                ? nullptr
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
        refs.push_back({tracker, at, e.Kind});
        const CPoint& alert = (*series)[at];
        ScoreAlert(*series, at, e.Kind, day.EndMs, o.Horizons, scores);
        CCsvWriter w(part.Buffer);
        w.Field(day.Dir)
            .Field(rateText)
            .Field(int64_t{run.Span})
            .Field(std::string_view(&e.Kind, 1));
        w.Field(e.Topic).Field(int64_t{alert.Line} + 1).Field(ClockText(alert.TimeMs));
        w.Field(int64_t{alert.Price}).Field(int64_t{e.Move}).Field(e.Ratio);
        for (size_t h = 0; h < hs; ++h) {
            const CScore& s = scores[h];
            CHorizonTally& ht = t.ByHorizon[h];
            if (s.Scored) {
                w.Field(int64_t{s.Later});
                ++ht.Scored;
                if (s.Forward > 0) ++ht.Hits;
                ht.SumForward += s.Forward;
                ht.SumAdverse += s.Adverse;
                fwd[k][h].push_back(s.Forward);
            } else {
                w.Field(std::string_view());
                if (alert.Price > 0) ++ht.Late;
            }
            w.Field(s.Forward, 4, s.Scored).Field(s.Adverse, 4, s.Scored);
        }
        w.Field(text).End();
        part.FlushWhenFull();
    }
    part.Close();
    for (int k = 0; k < 2; ++k) {
        run.Median[k].resize(hs);
        for (size_t h = 0; h < hs; ++h) run.Median[k][h] = Median(fwd[k][h]);
    }
    // The issues with the most alerts, for the report's charts.
    std::vector<int> order;
    for (size_t i = 0; i < trackers; ++i)
        if (perIssue[i] > 0) order.push_back(static_cast<int>(i));
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return perIssue[static_cast<size_t>(a)] != perIssue[static_cast<size_t>(b)]
                   ? perIssue[static_cast<size_t>(a)] > perIssue[static_cast<size_t>(b)]
                   : a < b;
    });
    if (order.size() > kChartIssues) order.resize(kChartIssues);
    for (int i : order) run.Top.push_back({i, perIssue[static_cast<size_t>(i)], {}});
    for (const CRef& r : refs) {
        for (CTopIssue& top : run.Top) {
            if (top.Tracker != r.Tracker) continue;
            const CPoint& p = day.Series[static_cast<size_t>(r.Tracker)][r.Point];
            top.Marks.push_back({p.TimeMs, p.Price, r.Kind});
        }
    }
}

// One setting of one day: an ordinary replay by a controller of its own, then the scores.
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
        if (run.First)
            for (int i = 0; i < c.TrkgList->Count(); ++i)
                run.Names.push_back(c.TrkgList->Items(i)->Name);
        c.DataModuleDestroy();
        slot.Done.store(run.Lines);
    }
    run.Messages = ui.Messages;
    std::unique_lock<std::mutex> lock(day.Mutex);
    day.Made.wait(lock, [&] { return day.Ready || day.Failed; });
    if (!day.Ready) return;  // the first run says why
    lock.unlock();
    ScoreRun(o, day, run, ui);
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

void AddTally(CSettingTally& to, const CSettingTally& t) {
    if (to.ByHorizon.empty()) {
        to.Rate = t.Rate, to.Span = t.Span, to.Kind = t.Kind;
        to.ByHorizon.assign(t.ByHorizon.size(), CHorizonTally{});
    }
    to.Events += t.Events;
    to.Issues += t.Issues;
    for (size_t h = 0; h < t.ByHorizon.size(); ++h) {
        CHorizonTally& a = to.ByHorizon[h];
        const CHorizonTally& b = t.ByHorizon[h];
        a.Scored += b.Scored, a.Late += b.Late, a.Hits += b.Hits;
        a.SumForward += b.SumForward, a.SumAdverse += b.SumAdverse;
    }
}

std::string BestText(const CReportData& data) {
    std::string text =
        "best settings: the highest mean forward move among those with at least " +
        std::to_string(kBestMinScored) +
        " scored alerts\n"
        "kind   horizon    rate  window   alerts   scored  hit rate  mean forward  mean adverse\n";
    for (char kind : {'A', 'D'}) {
        for (size_t h = 0; h < data.Horizons.size(); ++h) {
            char line[256];
            const auto best = BestSettings(data.Tallies, kind, h, 1);
            const char* name = kind == 'A' ? "rises" : "falls";
            if (best.empty()) {
                std::snprintf(line, sizeof line, "%-5s %4d min  no scored alert\n", name,
                              data.Horizons[h]);
            } else {
                const CSettingTally& t = *best[0];
                const CHorizonTally& ht = t.ByHorizon[h];
                std::snprintf(line, sizeof line,
                              "%-5s %4d min  %5s %%  %4d min  %7lld  %7lld  %6.1f %%  %+10.4f %%  "
                              "%10.4f %%\n",
                              name, data.Horizons[h], kestrel::FormatGeneral(t.Rate).c_str(),
                              t.Span, static_cast<long long>(t.Events),
                              static_cast<long long>(ht.Scored), ht.HitRate() * 100,
                              ht.MeanForward(), ht.MeanAdverse());
            }
            text += line;
        }
    }
    return text;
}

}  // namespace

int RunStudy(const CStudyOptions& o, std::string& messages, std::string& summary,
             const std::function<void(double)>& progress) {
    const auto t0 = std::chrono::steady_clock::now();
    auto say = [&](const std::string& text) {
        messages += std::string(kTool) + ": " + text + "\n";
    };
    for (const std::string& dir : o.Days) {
        if (!IsDir(dir)) return say(dir + ": no such folder"), 2;
        for (const char* need : {"kabu.txt", "監視銘柄.txt"})
            if (!kestrel::FileExists(dir + "/" + need))
                return say(dir + "/" + need + ": no such file"), 2;
    }
    const std::string& out = o.OutDir;
    if (!IsDir(out)) MakeDir(out);
    if (!IsDir(out)) return say(out + ": no such folder for the study"), 2;
    const std::string studyCsv = out + "/study.csv", alertsCsv = out + "/alerts.csv",
                      reportHtml = out + "/report.html", lists = out + "/lists";
    std::vector<std::string> present;
    for (const std::string* f : {&studyCsv, &alertsCsv, &reportHtml, &lists})
        if (kestrel::FileExists(*f) || IsDir(*f)) present.push_back(*f);
    if (!present.empty() && !o.Force)
        return say("the study's files are already there, not replaced without --force: " +
                   Join(present, ", ")),
               3;

    // The days, each with its own settings for what is not swept, and their runs in order:
    // day, rate, window.
    std::vector<std::unique_ptr<CDay>> days;
    std::vector<std::string> labels;
    MakeDir(lists);
    std::vector<CRun> runs;
    for (const std::string& dir : o.Days) {
        auto day = std::make_unique<CDay>();
        day->Dir = dir;
        const std::string base = DayLabel(dir);
        day->Label = base;
        for (int n = 2; std::find(labels.begin(), labels.end(), day->Label) != labels.end(); ++n)
            day->Label = base + "-" + std::to_string(n);
        labels.push_back(day->Label);
        CIni ini(dir + "/" + CIni::kDefaultPath);
        ini.Load();
        day->OwnRate = ini.GetRate();
        day->OwnSpan = ini.GetSpan();
        const std::vector<double> rates =
            !o.Rates.empty() ? o.Rates : std::vector<double>{o.HaveRate ? o.Rate : day->OwnRate};
        const std::vector<int> spans =
            !o.Spans.empty() ? o.Spans : std::vector<int>{o.HaveSpan ? o.Span : day->OwnSpan};
        const std::string dayLists = lists + "/" + day->Label;
        MakeDir(dayLists);
        for (double rate : rates) {
            for (int span : spans) {
                CRun run;
                run.Day = days.size();
                run.Rate = rate;
                run.Span = span;
                run.First = runs.empty() || runs.back().Day != run.Day;
                run.ListDir = dayLists + "/" + SettingLabel(rate, span);
                MakeDir(run.ListDir);
                if (!IsDir(run.ListDir)) return say(run.ListDir + ": cannot be made"), 1;
                run.PartFile = out + "/.alerts-" + std::to_string(runs.size()) + ".part";
                runs.push_back(std::move(run));
            }
        }
        days.push_back(std::move(day));
    }

    // One controller per thread, each run taken in order by the next free thread.
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t jobs = std::min(o.Jobs > 0 ? static_cast<size_t>(o.Jobs) : cores, runs.size());
    std::vector<CProgressSlot> slots(jobs);
    std::mutex mutex;
    std::condition_variable finishedOne;
    size_t next = 0, finished = 0;
    std::vector<char> done(runs.size());  // under the mutex
    // alerts.csv is put together beside, in the order of the runs, while later runs go on.
    const std::string combined = out + "/.alerts.csv.part";
    auto all = std::make_unique<CBlockFile>(combined);
    CCsvWriter header(all->Buffer);
    AlertsHeader(header, o.Horizons);
    size_t appended = 0;
    bool appendStopped = false;  // a run failed, or putting together did
    std::string appendError;
    auto append = [&](const CRun& r) {
        FILE* f = OpenFile(r.PartFile, "rb");
        if (!f) throw std::runtime_error(r.PartFile + ": could not be read");
        char block[1 << 16];
        for (size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) {
            all->Buffer.append(block, n);
            all->FlushWhenFull();
        }
        std::fclose(f);
        kestrel::CurrentSaveOps().Remove(r.PartFile);
    };
    std::vector<std::thread> workers;
    for (size_t w = 0; w < jobs; ++w) {
        workers.emplace_back([&, w] {
            for (;;) {
                size_t i = 0;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (next == runs.size()) return;
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
                }
                finishedOne.notify_all();
            }
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (finished < runs.size() || appended < runs.size()) {
            if (finished < runs.size()) finishedOne.wait_for(lock, std::chrono::milliseconds(200));
            while (!appendStopped && appended < runs.size() && done[appended]) {
                const CRun& r = runs[appended];
                appendStopped = r.ExitCode != 0 || !r.Error.empty();  // the run says why
                if (appendStopped) break;
                lock.unlock();
                try {
                    append(r);
                } catch (const std::exception& e) {
                    appendError = e.what();
                    appendStopped = true;
                }
                lock.lock();
                ++appended;
            }
            if (appendStopped) appended = runs.size();  // nothing more to put together
            if (!progress) continue;
            double share = static_cast<double>(finished);
            for (const CProgressSlot& s : slots) {
                const int64_t total = s.Total.load();
                if (total > 0) share += std::min(1.0, static_cast<double>(s.Done.load()) / total);
            }
            progress(std::min(1.0, share / static_cast<double>(runs.size())));
        }
    }
    for (std::thread& t : workers) t.join();
    if (progress) progress(1.0);

    auto removeParts = [&] {
        for (const CRun& r : runs) kestrel::CurrentSaveOps().Remove(r.PartFile);
        all.reset();
        kestrel::CurrentSaveOps().Remove(combined);
    };
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
            if (r.ExitCode != 0) code = r.ExitCode;
            if (!r.Error.empty()) {
                say(days[d]->Dir + ", " + SettingLabel(r.Rate, r.Span) + ": " + r.Error);
                if (code == 0) code = 1;
            }
        }
    }
    if (code == 0 && !appendError.empty()) code = 1;
    if (code != 0) return removeParts(), code;

    for (size_t d = 0; d < days.size(); ++d) {
        int64_t events = 0, unmatched = 0, settings = 0;
        const CRun* first = nullptr;
        for (const CRun& r : runs) {
            if (r.Day != d) continue;
            if (!first) first = &r, days[d]->Names = r.Names;
            ++settings;
            events += r.Tally[0].Events + r.Tally[1].Events;
            unmatched += r.Unmatched;
        }
        say(days[d]->Dir + ": " + std::to_string(first->Lines) + " lines read, " +
            std::to_string(first->NoIssue + first->BadTime) + " skipped (" +
            std::to_string(first->NoIssue) + " no watched issue, " +
            std::to_string(first->BadTime) + " bad time), " + std::to_string(settings) +
            " settings, " + std::to_string(events) + " events");
        if (unmatched > 0)
            say(days[d]->Dir + ": " + std::to_string(unmatched) +
                " event lines matched no replayed point and were not scored");
    }

    const size_t hs = o.Horizons.size();
    std::string csv;
    CCsvWriter w(csv);
    StudyHeader(w, o.Horizons);
    CReportData data;
    data.Days = o.Days;
    data.Horizons = o.Horizons;
    std::map<std::tuple<double, int, char>, CSettingTally> pooled;
    for (const CRun& r : runs) {
        for (int k = 0; k < 2; ++k) {
            const CSettingTally& t = r.Tally[k];
            w.Field(days[r.Day]->Dir).Field(kestrel::FormatGeneral(r.Rate));
            w.Field(int64_t{r.Span}).Field(k == 0 ? "A" : "D").Field(t.Events).Field(t.Issues);
            for (size_t h = 0; h < hs; ++h) {
                const CHorizonTally& ht = t.ByHorizon[h];
                const bool any = ht.Scored > 0;
                w.Field(ht.Scored).Field(ht.Late).Field(ht.HitRate(), 4, any);
                w.Field(ht.MeanForward(), 4, any).Field(r.Median[k][h], 4, any);
                w.Field(ht.MeanAdverse(), 4, any);
            }
            w.End();
            AddTally(pooled[{t.Rate, t.Span, t.Kind}], t);
        }
    }
    for (auto& entry : pooled) data.Tallies.push_back(entry.second);

    // The issue charts mark the alerts of the best setting for rises at the middle horizon.
    data.ChartHorizon = hs / 2;
    auto best = BestSettings(data.Tallies, 'A', data.ChartHorizon, 1);
    if (best.empty()) best = BestSettings(data.Tallies, 'D', data.ChartHorizon, 1);
    data.ChartRate = best.empty() ? runs.front().Rate : best[0]->Rate;
    data.ChartSpan = best.empty() ? runs.front().Span : best[0]->Span;
    std::vector<std::pair<size_t, const CTopIssue*>> charted;
    for (const CRun& r : runs)
        if (r.Rate == data.ChartRate && r.Span == data.ChartSpan)
            for (const CTopIssue& t : r.Top) charted.push_back({r.Day, &t});
    std::stable_sort(charted.begin(), charted.end(), [](const auto& a, const auto& b) {
        return a.second->Count > b.second->Count;
    });
    if (charted.size() > kChartIssues) charted.resize(kChartIssues);
    for (const auto& [d, top] : charted) {
        const CDay& day = *days[d];
        const size_t i = static_cast<size_t>(top->Tracker);
        CIssueChart chart;
        chart.Day = day.Dir;
        chart.Topic = day.Topics[i];
        chart.Name = i < day.Names.size() ? day.Names[i] : std::string();
        for (const CPoint& p : day.Series[i]) chart.Points.push_back({p.TimeMs, p.Price});
        chart.Alerts = top->Marks;
        data.Issues.push_back(std::move(chart));
    }

    try {
        kestrel::WriteFileBytes(studyCsv, csv);
        all->Close();
        all.reset();
        // In place of an earlier study's file in one step.
        if (kestrel::CurrentSaveOps().Rename(combined, alertsCsv))
            throw std::runtime_error(alertsCsv + ": could not be written");
        kestrel::WriteFileBytes(reportHtml, BuildReportHtml(data));
    } catch (const std::exception& e) {
        say(e.what());
        return removeParts(), 1;
    }
    removeParts();
    if (!o.Quiet) summary = BestText(data) + "report: " + reportHtml + "\n";
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
    auto progress = [&](double share) {
        if (showBar) bar.Show(static_cast<int>(share * 100));
    };
    std::string messages, summary;
    const int code = RunStudy(o, messages, summary, progress);
    if (bar.Drawn()) std::fputc('\n', stderr);
    std::fputs(messages.c_str(), stderr);
    std::fputs(summary.c_str(), stdout);
    return code;
}
