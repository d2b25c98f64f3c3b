#include "kestrel-backtest/StudyRun.h"

#include <algorithm>
#include <unordered_map>

#include "app/Controller.h"
#include "common/Format.h"
#include "common/TextFile.h"
#include "console/ConsoleTool.h"
#include "tracking/Replay.h"

namespace kestrel::study {

namespace {

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

}  // namespace

std::string SettingLabel(double rate, int span) {
    return "rate" + kestrel::FormatGeneral(rate) + "_time" + std::to_string(span);
}

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

}  // namespace kestrel::study
