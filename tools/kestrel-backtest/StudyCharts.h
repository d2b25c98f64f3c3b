#pragma once
// The issues the study's report may chart, kept as the days finish. The report charts the
// issues with the most alerts at one setting, chosen only once every day is scored; so for each
// setting the few issues that could still be among its charted ones are kept with their points,
// and an issue's points go as soon as no setting can chart it. What is held is bounded by the
// settings, not by the days.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kestrel-backtest/Report.h"

// Issues charted in the report, those with the most alerts at the charted setting.
constexpr size_t kChartIssues = 6;

// An issue's prices over one day, shared by every setting that may chart it.
struct CChartSeries {
    std::string Day, Topic, Name;
    std::vector<std::pair<int32_t, int32_t>> Points;  // time of day in ms, price
};

// An issue one setting's run may chart: its alerts at that setting and their marks.
struct CChartPick {
    int64_t Count = 0;
    std::shared_ptr<const CChartSeries> Series;
    std::vector<CIssueChart::CMark> Marks;
};

class CChartPicks {
public:
    // A setting: rate and window.
    using CSetting = std::pair<double, int>;
    explicit CChartPicks(size_t keep) : Keep(keep) {}
    // Whether an issue with `count` alerts, offered now for `setting`, would be kept: its
    // points need not be copied otherwise.
    bool WouldKeep(const CSetting& setting, int64_t count) const;
    // Offers an issue for `setting`. The offers of a setting come day by day in the order the
    // days are given, each day's in its run's order (most alerts first). What is kept is what
    // a stable sort of every offer by count, most first, would put in its first `keep` places.
    void Offer(const CSetting& setting, CChartPick pick);
    // The issues kept for `setting`, most alerts first.
    const std::vector<CChartPick>& Of(const CSetting& setting) const;
    // Every chart the picks hold a share of, counted once: what the points cost.
    size_t SeriesHeld() const;

private:
    size_t Keep;
    std::map<CSetting, std::vector<CChartPick>> Picks;
};

// An issue's chart in the report: its series and the marks of the setting's alerts.
CIssueChart ChartOf(const CChartPick& pick);
