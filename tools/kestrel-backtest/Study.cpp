#include "kestrel-backtest/Study.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <tuple>

#include "app/Controller.h"
#include "common/FileSaveOps.h"
#include "common/Format.h"
#include "console/ConsoleTool.h"
#include "kestrel-backtest/Csv.h"
#include "kestrel-backtest/StudyCharts.h"
#include "kestrel-backtest/StudyFiles.h"
#include "kestrel-backtest/StudyOutput.h"
#include "kestrel-backtest/StudyPlan.h"
#include "kestrel-backtest/StudyRun.h"
#include "kestrel-backtest/StudyTotals.h"

namespace {

using namespace kestrel::study;

constexpr const char* kTool = "kestrel-backtest";
// The study's names in the output folder, in the order they are put in place.
constexpr const char* kStudyNames[] = {"lists", "study.csv", "alerts.csv", "report.html"};

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
    // A thread replays a day at a time.
    const size_t wanted = std::min(o.Jobs > 0 ? static_cast<size_t>(o.Jobs) : cores, days.size());
    // What the largest day needs, its memory and its address space.
    uint64_t perDay = 0, perDaySpace = 0;
    for (size_t d = 0; d < days.size(); ++d) {
        const uint64_t memory = DayMemory(*days[d], o.Horizons.size(), runsOfDay[d]);
        perDay = std::max(perDay, memory);
        perDaySpace = std::max(perDaySpace, Add(memory, DayAddressSpace(runsOfDay[d])));
    }
    CMemoryRoom room;
    if (hooks.AvailableMemory > 0)
        room.Available = hooks.AvailableMemory;
    else
        room = AvailableMemory();
    // The tighter of the memory available and, under a limit on it, the address space left.
    const uint64_t byMemory = room.Available / perDay;
    const uint64_t bySpace = room.AddressSpace / perDaySpace;
    const uint64_t fit = std::min(byMemory, bySpace);
    size_t jobs = wanted;
    if (fit < wanted) {
        jobs = static_cast<size_t>(std::max<uint64_t>(fit, 1));
        const std::string asked =
            o.Jobs > 0 ? "--jobs " + std::to_string(o.Jobs) : std::string("one day per core");
        const std::string free =
            bySpace < byMemory
                ? BytesText(room.AddressSpace) + " of address space left, up to " +
                      BytesText(perDaySpace) + " a day"
                : BytesText(room.Available) + " available, up to " + BytesText(perDay) + " a day";
        say(fit == 0 ? asked + ": not even one day's replay surely fits in memory (" + free +
                           "); the days go one at a time"
                     : asked + ": " + std::to_string(jobs) + " day" + (jobs == 1 ? "" : "s") +
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
    std::vector<std::string> partFiles;
    for (size_t i = 0; i < runs.size(); ++i) {
        CRun& run = runs[i];
        run.ListsRoot = work + "/lists";
        run.DayLists = run.ListsRoot + "/" + days[run.Day]->Label;
        run.ListDir = run.DayLists + "/" + SettingLabel(run.Rate, run.Span);
        run.Index = i;
        run.Budget = &budget;
        partFiles.push_back(work + "/.alerts-" + std::to_string(i) + ".part");
    }

    // alerts.csv is put together in the order of the runs while later runs go on.
    std::optional<COutFile> all;
    try {
        all.emplace(work + "/alerts.csv", out + "/alerts.csv");
        all->WriteAroundCache();
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

    // One replay per thread, each day's runs taken together in order by the next free thread.
    // A run that fails stops the study: no run is taken after it.
    std::vector<CProgressSlot> slots(jobs);
    // Threads asked for beyond one a day score the runs of a day once it is replayed (not when
    // memory holds the days back: a run scored holds memory too).
    const size_t scorers = std::max<size_t>(
        1, (o.Jobs > 0 ? static_cast<size_t>(o.Jobs) : cores) / std::max(jobs, wanted));
    std::mutex mutex;
    std::condition_variable finishedOne;
    // The runs' rows of alerts.csv, written here in the order of the runs as they come. A run
    // scored ahead of its turn holds its rows in memory, an eighth of what is available at
    // most; past that they wait in its part file.
    const uint64_t heldRows = std::clamp<uint64_t>(room.Available / 8, 64 << 20, 1 << 30);
    auto wake = [&] {
        // Taken and let go first: a waiter that has looked and found nothing is waiting by now.
        std::unique_lock<std::mutex> lock(mutex);
        lock.unlock();
        finishedOne.notify_all();
    };
    CAlertRows rows(partFiles, out + "/alerts.csv", hooks.HeldRows ? hooks.HeldRows : heldRows,
                    wake);
    for (CRun& run : runs) run.Rows = &rows;
    size_t next = 0, finished = 0;
    bool stop = false;                       // under the mutex
    std::vector<char> done(runs.size());     // a run scored, or failed; under the mutex
    std::vector<char> dayDone(days.size());  // a day's replay and runs all over; under the mutex
    auto workerLoop = [&](size_t w) {
        for (;;) {
            size_t from = 0, to = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stop || next == runs.size()) return;
                from = next;
                to = next = dayFirst[runs[from].Day + 1];
                slots[w].Runs.store(static_cast<int64_t>(to - from));
            }
            const std::span<CRun> dayRuns(runs.data() + from, to - from);
            try {
                // A run is done once it is scored: its rows are all handed on by then.
                RunDay(o, *days[dayRuns.front().Day], dayRuns, slots[w], scorers, [&](size_t i) {
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        done[from + i] = 1;
                    }
                    finishedOne.notify_all();
                });
            } catch (const std::exception& e) {
                dayRuns.front().Error = e.what();
                for (CRun& other : dayRuns.subspan(1)) other.Unscored = true;
            }
            {
                // The slot stops counting and the runs count as finished in one step for
                // whoever sums the progress under the lock: apart, the bar would drop by a run.
                std::lock_guard<std::mutex> lock(mutex);
                slots[w].Total.store(0);
                finished += to - from;
                dayDone[dayRuns.front().Day] = 1;
                for (size_t i = from; i < to; ++i) {
                    done[i] = 1;
                    if (runs[i].Failed()) stop = true;
                }
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
            " threads could be started for the runs (" + threadError + "); the days go " +
            std::to_string(workers.size()) + " at a time");
        jobs = workers.size();
    }
    size_t appended = 0;
    std::string appendError;
    // Once the last run alone is left to write while it is still being scored, what is written
    // goes to the disk meanwhile: the sync at the end then waits for that run's rows, not for
    // the disk to take gigabytes. (Syncs on the way hold the writes behind them, so only once.)
    bool syncedAhead = false;
    auto syncAhead = [&] {
        if (syncedAhead || runs.size() < 2 || rows.RunsIn() + 1 != runs.size()) return false;
        std::lock_guard<std::mutex> lock(mutex);
        syncedAhead = !done[runs.size() - 1];
        return syncedAhead;
    };
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            // What the runs have handed on goes into alerts.csv, the first run's first; a run
            // that failed stops the study when its turn comes (it says why).
            while (!stop) {
                appended = rows.RunsIn();
                if (appended < runs.size() && done[appended] && runs[appended].Failed()) {
                    stop = true;
                    break;
                }
                if (!rows.Ready()) break;
                lock.unlock();
                try {
                    rows.WriteReady(*all);
                    if (syncAhead()) all->SyncSoFar();
                } catch (const std::exception& e) {
                    appendError = e.what();
                }
                lock.lock();
                if (!appendError.empty()) stop = true;
            }
            // A day whose runs are all appended, and whose replay is over, is done: into the
            // totals with it.
            while (!stop && folded < days.size() && appended >= dayFirst[folded + 1] &&
                   dayDone[folded]) {
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
            const bool taken = stop || next == runs.size();
            if (taken && finished == next && (stop || appended == runs.size())) break;
            if (progress) {
                double share = static_cast<double>(finished);
                for (const CProgressSlot& s : slots) {
                    const int64_t total = s.Total.load();
                    if (total > 0)
                        share += std::min(1.0, static_cast<double>(s.Done.load()) / total) *
                                 static_cast<double>(s.Runs.load());
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
                  "study of %zu day%s x %zu setting%s (%zu runs, %zu day%s at a time) written to "
                  "%s: study.csv, alerts.csv, report.html, lists/; %.2f s",
                  days.size(), days.size() == 1 ? "" : "s", runs.size() / days.size(),
                  runs.size() == days.size() ? "" : "s", runs.size(), jobs, jobs == 1 ? "" : "s",
                  out.c_str(), secs);
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
