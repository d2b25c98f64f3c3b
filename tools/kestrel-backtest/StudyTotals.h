#pragma once
// What a study keeps of its finished days: each setting's tallies added up, the walk forward
// and the issues the report may chart.
#include <cstddef>
#include <map>
#include <tuple>
#include <vector>

#include "kestrel-backtest/Report.h"
#include "kestrel-backtest/StudyCharts.h"
#include "kestrel-backtest/StudyFiles.h"
#include "kestrel-backtest/StudyRun.h"

namespace kestrel::study {

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
             CStudyTotals& totals, COutFile& studyCsv);

}  // namespace kestrel::study
