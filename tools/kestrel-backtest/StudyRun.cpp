#include "kestrel-backtest/StudyRun.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>

#include "app/Controller.h"
#include "common/Format.h"
#include "console/ConsoleTool.h"
#include "tracking/Replay.h"

namespace kestrel::study {

namespace {

// The day's topics, and its points issue by issue as the replay of `c` reads its lines: each
// line a tracker stores (a watched issue, a time that reads), so that the lines need not be
// held for them.
void KeepDaySeries(CDay& day, CController& c) {
    const CTrkgList& list = *c.TrkgList;
    day.Topics.clear();
    day.TopicIndex.clear();
    for (int i = 0; i < list.Count(); ++i) {
        day.Topics.push_back(list.Items(i)->GetTopic());
        day.TopicIndex.emplace(day.Topics.back(), i);
    }
    day.Series.Start(day.Topics.size(), c.Replayer().ExpectedLineCount());
    day.EndMs = INT32_MIN;
    c.Replayer().SeeEachPoint([&day, count = list.Count()](const CReplayPoint& point) {
        if (point.Tracker < 0 || point.Tracker >= count || point.TimeMs == CReplayPoint::kBadTime)
            return;
        day.Series.Add(point.Tracker, {point.Line, point.TimeMs, point.Price});
        day.EndMs = std::max(day.EndMs, point.TimeMs);
    });
}

// Runs `beside` on a second thread while `here` runs on this one, or after it when no thread
// can be made; an empty `beside` is none. What either threw is thrown here, once both are done.
void SideBySide(const std::function<void()>& here, const std::function<void()>& beside) {
    std::exception_ptr besideFailed;
    std::thread second;
    if (beside) {
        try {
            second = std::thread([&] {
                try {
                    beside();
                } catch (...) {
                    besideFailed = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            // No thread for it: it goes after `here`.
        }
    }
    try {
        here();
    } catch (...) {
        if (second.joinable()) second.join();
        throw;
    }
    if (second.joinable())
        second.join();
    else if (beside)
        beside();
    if (besideFailed) std::rethrow_exception(besideFailed);
}

}  // namespace

uint32_t CTopicNumbers::Add(std::string_view topic) {
    uint32_t n = 0;
    if (const auto found = ByText.find(topic); found != ByText.end()) {
        n = found->second;
    } else {
        Topics.emplace_back(topic);  // a deque: the views of the topics before stay good
        Views.push_back(Topics.back());
        n = static_cast<uint32_t>(Topics.size() - 1);
        ByText.emplace(Topics.back(), n);
    }
    if ((SeenCount + 1) * 2 > Seen.size()) {
        std::vector<CSeen> old(Seen.size() * 2);
        old.swap(Seen);
        SeenCount = 0;
        for (const CSeen& s : old)
            if (s.At) Place(s);
    }
    Place({topic.data(), topic.size(), n});
    return n;
}

void CTopicNumbers::Place(const CSeen& s) {
    const size_t mask = Seen.size() - 1;
    size_t i = Slot(s.At, mask);
    while (Seen[i].At) i = (i + 1) & mask;
    Seen[i] = s;
    ++SeenCount;
}

void CDayPoints::Start(size_t issues, size_t expected) {
    Clear();
    From.assign(issues + 1, 0);
    Incoming.reserve(expected + expected / 8 + 1024);
}

void CDayPoints::Sort() {
    const size_t issues = Issues();
    for (const CIncoming& in : Incoming) ++From[static_cast<size_t>(in.Tracker) + 1];
    for (size_t t = 0; t < issues; ++t) From[t + 1] += From[t];
    Points = kestrel::CZeroPages::Large(Incoming.size() * sizeof(CQuotePoint));
    auto* to = reinterpret_cast<CQuotePoint*>(Points.Data());
    std::vector<size_t> fill(From.begin(), From.end() - 1);
    for (const CIncoming& in : Incoming) to[fill[static_cast<size_t>(in.Tracker)]++] = in.Point;
    CLarge<CIncoming>().swap(Incoming);
}

void CDayPoints::MakePaths(const std::vector<int>& horizons, bool helper) {
    Horizons = horizons.size();
    const size_t issues = Issues();
    if (issues == 0) return;
    Paths = kestrel::CZeroPages::Large(From[issues] * Horizons * sizeof(CPointPaths));
    PathsMade.assign(issues, 0);
    auto* table = reinterpret_cast<CPointPaths*>(Paths.Data());
    std::atomic<size_t> issue{0};
    auto make = [&] {
        for (size_t t = issue++; t < issues; t = issue++)
            PathsMade[t] = PointPaths(Of(t), horizons, table + From[t] * Horizons) ? 1 : 0;
    };
    SideBySide(make, helper ? std::function<void()>(make) : std::function<void()>());
}

std::string SettingLabel(double rate, int span) {
    return "rate" + kestrel::FormatGeneral(rate) + "_time" + std::to_string(span);
}

void RunDay(const CStudyOptions& o, CDay& day, std::span<CRun> runs, CProgressSlot& slot,
            size_t scorers, const std::function<void(size_t)>& scored) {
    // With a second thread for the day, its settings are replayed in two halves side by side:
    // the replay's thread, judging every setting's rule, is what the day waits for.
    const size_t groups = runs.size() >= 2 && scorers >= 2 ? 2 : 1;
    const size_t bounds[3] = {0, groups == 2 ? runs.size() / 2 : runs.size(), runs.size()};
    std::deque<CTopicNumbers> topics(groups);  // each half's moves, by the same numbers
    std::deque<CRunUi> uis;
    for (size_t i = 0; i < runs.size(); ++i) uis.emplace_back(topics[i < bounds[1] ? 0 : 1]);
    // Whatever becomes of the run, the other runs of the day fail with it, silently: the one
    // that failed says why.
    auto failOthers = [&](size_t failed) {
        for (size_t i = 0; i < runs.size(); ++i)
            if (i != failed) runs[i].Unscored = true;
    };
    for (size_t i = 0; i < runs.size(); ++i) {
        for (const std::string* dir : {&runs[i].ListsRoot, &runs[i].DayLists, &runs[i].ListDir}) {
            std::string error;
            if (!kestrel::study::MakeFolder(*dir, error)) {
                runs[i].Error = error;
                failOthers(i);
                return;
            }
        }
    }
    CConsoleClock clocks[2];  // one for each half
    for (CConsoleClock& clock : clocks) clock.date = o.Date, clock.fixedDate = o.FixedDate;
    auto controller = [&](size_t i) {
        CConsoleClock& clock = clocks[i < bounds[1] ? 0 : 1];
        auto c = std::make_unique<CController>(uis[i], clock, day.Dir, runs[i].ListDir,
                                               DdeConvFactory{}, CController::Reach::Local);
        c->DataModuleCreate();
        c->CreateIni();
        c->Ini->Flg = 1;  // a backtest always replays
        c->Ini->Rate = runs[i].Rate;
        c->Ini->Span = runs[i].Span;
        return c;
    };
    // One half: its first setting's controller replays the day; the others judge beside it.
    // The first half shows the progress; the last keeps the day's points and names (the
    // second half's settings raise fewer alerts: their rates are the higher).
    bool startFailed[2] = {false, false};
    auto replay = [&](size_t g) {
        const size_t from = bounds[g], to = bounds[g + 1];
        std::unique_ptr<CController> c = controller(from);
        // Each half reads kabu.txt as it replays it, never whole.
        c->StreamReplayData();
        c->StartUp();
        std::vector<std::unique_ptr<CController>> beside;
        for (size_t i = from + 1; i < to && !c->StartFailed; ++i) {
            beside.push_back(controller(i));
            beside.back()->StartUpBeside(*c);
        }
        if (c->StartFailed) {
            startFailed[g] = true;
            return;
        }
        const bool keeper = g + 1 == groups;
        if (keeper) KeepDaySeries(day, *c);
        if (g == 0) {
            slot.Done.store(0);
            slot.Total.store(static_cast<int64_t>(c->Replayer().ExpectedLineCount()));
        }
        const CReplayCounts counts = ReplayToEnd(*c, [&](int32_t line) {
            // The events of this tick are this line's.
            for (size_t i = from; i < to; ++i) uis[i].Line = line;
            if (g == 0 && (line & 0xfff) == 0) slot.Done.store(line, std::memory_order_relaxed);
        });
        c->Replayer().SeeEachPoint({});
        if (keeper) day.Series.Sort();
        const int64_t lines = static_cast<int64_t>(c->Replayer().LineCount());
        // A kabu.txt that could not be read to its end fails the half's runs: their lists and
        // scores would be of a part of the day.
        const std::string unread = c->Replayer().StreamFailure();
        // The names in the rows of alerts.csv and on the charts.
        if (keeper)
            for (int i = 0; i < c->TrkgList->Count(); ++i)
                day.Names.push_back(c->TrkgList->Items(i)->Name);
        for (size_t i = from; i < to; ++i) {
            runs[i].Lines = lines;
            runs[i].NoIssue += counts.NoIssue;
            runs[i].BadTime += counts.BadTime;
        }
        c->DataModuleDestroy();
        for (auto& b : beside) b->DataModuleDestroy();
        if (g == 0) slot.Done.store(lines);
        // A list not written is a failed run: said once, as its error, not among the messages.
        for (size_t i = from; i < to; ++i) {
            const CController& made = i == from ? *c : *beside[i - from - 1];
            CRun& run = runs[i];
            for (const std::string& why : made.ResumeSaveErrors) {
                std::erase(uis[i].Messages, why);
                run.Error += (run.Error.empty() ? "the lists could not be written: " : "; ") + why;
            }
            if (!unread.empty())
                run.Error = day.Dir + "/kabu.txt could not be read to its end: " + unread;
        }
    };
    SideBySide([&] { replay(0); },
               groups == 2 ? std::function<void()>([&] { replay(1); }) : std::function<void()>());
    for (size_t g = 0; g < groups; ++g) {
        if (!startFailed[g]) continue;
        for (CRun& run : runs) run.ExitCode = 4;
        runs[0].Messages = uis[bounds[g]].Messages;
        return;
    }
    for (size_t i = 0; i < runs.size(); ++i) runs[i].Messages = uis[i].Messages;
    // Both halves read the same file on their own: one that changed on the way fails the day.
    if (groups == 2 && runs[0].Lines != runs[bounds[1]].Lines && runs[0].Error.empty())
        runs[0].Error = day.Dir + "/kabu.txt changed while the day was replayed: " +
                        std::to_string(runs[0].Lines) + " lines, then " +
                        std::to_string(runs[bounds[1]].Lines);
    for (size_t i = 0; i < runs.size(); ++i) {
        if (runs[i].Failed()) {
            failOthers(i);
            return;
        }
    }
    // The paths of every point, made once for all the runs, on the threads that score them.
    day.Series.MakePaths(o.Horizons, scorers >= 2);
    // The runs are scored apart from one another, on as many threads as the day was given.
    std::atomic<size_t> next{0};
    // Room for the most alerts any run has, made once per thread: a run with more than the one
    // before would otherwise page in a larger block afresh.
    size_t mostEvents = 0;
    for (const CRunUi& ui : uis) mostEvents = std::max(mostEvents, ui.Events.size());
    auto score = [&] {
        CScoreScratch scratch;
        scratch.Matched.reserve(mostEvents);
        scratch.ByIssue.reserve(mostEvents);
        scratch.Order.reserve(mostEvents);
        scratch.Paths.reserve(mostEvents * o.Horizons.size());
        for (auto& byHorizon : scratch.Forward) {
            byHorizon.resize(o.Horizons.size());
            for (auto& v : byHorizon) v.reserve(mostEvents);
        }
        for (size_t i = next++; i < runs.size(); i = next++) {
            CRun& run = runs[i];
            try {
                // The run's lists count against the study's limit like its other files.
                if (run.Budget)
                    run.Budget->Charge(kestrel::study::FolderBytes(run.ListDir),
                                       "the lists of " + SettingLabel(run.Rate, run.Span));
                ScoreRun(o, day, run, uis[i], scratch);
            } catch (const std::exception& e) {
                run.Error = e.what();
            }
            // Its moves have served.
            uis[i].ForgetMoves();
            scored(i);
        }
    };
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < std::min(scorers, runs.size()); ++t) {
        try {
            helpers.emplace_back(score);
        } catch (const std::system_error&) {
            break;  // the threads there are score them all
        }
    }
    // A run that failed here says why; the study stops at it, and the runs scored are left as
    // they were handed on.
    score();
    for (std::thread& t : helpers) t.join();
}

}  // namespace kestrel::study
