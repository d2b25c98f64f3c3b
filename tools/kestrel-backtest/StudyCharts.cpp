#include "kestrel-backtest/StudyCharts.h"

#include <algorithm>
#include <set>

bool CChartPicks::WouldKeep(const CSetting& setting, int64_t count) const {
    if (Keep == 0) return false;
    const auto found = Picks.find(setting);
    if (found == Picks.end() || found->second.size() < Keep) return true;
    // A later offer goes after every kept one with as many alerts.
    return found->second.back().Count < count;
}

void CChartPicks::Offer(const CSetting& setting, CChartPick pick) {
    if (!WouldKeep(setting, pick.Count)) return;
    std::vector<CChartPick>& kept = Picks[setting];
    const auto at =
        std::upper_bound(kept.begin(), kept.end(), pick.Count,
                         [](int64_t count, const CChartPick& p) { return count > p.Count; });
    kept.insert(at, std::move(pick));
    // The last one goes, and its points with it unless another setting keeps them.
    if (kept.size() > Keep) kept.pop_back();
}

const std::vector<CChartPick>& CChartPicks::Of(const CSetting& setting) const {
    static const std::vector<CChartPick> none;
    const auto found = Picks.find(setting);
    return found == Picks.end() ? none : found->second;
}

size_t CChartPicks::SeriesHeld() const {
    std::set<const CChartSeries*> held;
    for (const auto& [setting, kept] : Picks)
        for (const CChartPick& p : kept) held.insert(p.Series.get());
    return held.size();
}

CIssueChart ChartOf(const CChartPick& pick) {
    CIssueChart chart;
    if (pick.Series) {
        chart.Day = pick.Series->Day;
        chart.Topic = pick.Series->Topic;
        chart.Name = pick.Series->Name;
        chart.Points = pick.Series->Points;
    }
    chart.Alerts = pick.Marks;
    return chart;
}
