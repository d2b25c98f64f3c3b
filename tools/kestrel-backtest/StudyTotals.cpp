#include "kestrel-backtest/StudyTotals.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <memory>

#include "kestrel-backtest/Csv.h"
#include "kestrel-backtest/StudyOutput.h"

namespace kestrel::study {

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
    const std::vector<std::string>& names = day.Names;
    std::map<int, std::shared_ptr<const CChartSeries>> made;
    for (size_t i = first; i < last; ++i) {
        CRun& r = runs[i];
        const CChartPicks::CSetting setting{r.Rate, r.Span};
        for (CTopIssue& top : r.Top) {
            const size_t t = static_cast<size_t>(top.Tracker);
            if (top.Tracker < 0 || t >= day.Series.Issues() ||
                !totals.Charts.WouldKeep(setting, top.Count))
                continue;
            std::shared_ptr<const CChartSeries>& series = made[top.Tracker];
            if (!series) {
                auto s = std::make_shared<CChartSeries>();
                s->Day = day.Dir;
                s->Topic = day.Topics[t];
                s->Name = t < names.size() ? names[t] : std::string();
                s->Points.reserve(day.Series.Of(t).size());
                for (const CQuotePoint& p : day.Series.Of(t))
                    s->Points.push_back({p.TimeMs, p.Price});
                series = std::move(s);
            }
            totals.Charts.Offer(setting, {top.Count, series, std::move(top.Marks)});
        }
    }
    for (size_t i = first; i < last; ++i) std::vector<CTopIssue>().swap(runs[i].Top);
    std::vector<std::string>().swap(day.Topics);
    std::unordered_map<std::string, int>().swap(day.TopicIndex);
    day.Series.Clear();
    std::vector<std::string>().swap(day.Names);
#if defined(__GLIBC__)
    // The day's points and a run's events are megabytes in pieces among longer-lived ones,
    // spread over the runs' threads' heaps; without this the allocator keeps their pages, and
    // what the study takes from the system would still grow with the days.
    malloc_trim(0);
#endif
}

}  // namespace kestrel::study
