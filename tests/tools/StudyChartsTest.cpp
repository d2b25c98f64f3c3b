// The issues a study keeps for its report's charts as the days finish, and the walk forward
// stepped a day at a time: both must give what they would with every day's scores kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>

#include "kestrel-backtest/Report.h"
#include "kestrel-backtest/StudyCharts.h"

namespace {

// An offer as the test remembers it, holding none of its points.
struct COffer {
    CChartPicks::CSetting Setting;
    int64_t Count;
    int32_t Mark;  // its one mark's time: each offer's own
    std::string Day, Topic;
};

// What the report charted when every day's top issues were kept to the end: every offer of
// the setting, in the order made, stably sorted by count, the first `keep`.
std::vector<const COffer*> KeptToTheEnd(const std::vector<COffer>& offers,
                                        const CChartPicks::CSetting& setting, size_t keep) {
    std::vector<const COffer*> all;
    for (const COffer& o : offers)
        if (o.Setting == setting) all.push_back(&o);
    std::stable_sort(all.begin(), all.end(),
                     [](const COffer* a, const COffer* b) { return a->Count > b->Count; });
    if (all.size() > keep) all.resize(keep);
    return all;
}

}  // namespace

// Random days of several settings, with many ties in the counts (the earlier offer wins them)
// and issues shared by settings: after every day the picks are what keeping every offer to the
// end would give, marks included, and the points held are bounded by the settings, not the
// days: an issue's points go once no setting keeps it.
TEST(StudyCharts, RunningPicksAreWhatKeepingEveryDayGivesAndHoldNoMore) {
    const std::vector<CChartPicks::CSetting> settings = {{1.5, 1}, {1.5, 2}, {2, 1}, {2.5, 5}};
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        const size_t keep = 1 + rng() % 6;
        CChartPicks picks(keep);
        std::vector<COffer> offers;
        std::vector<std::weak_ptr<const CChartSeries>> made;
        int32_t marks = 0;
        for (int day = 0; day < 30; ++day) {
            // The day's issues, each charted at most once whatever settings offer it.
            std::map<int, std::shared_ptr<const CChartSeries>> series;
            for (const auto& setting : settings) {
                // A run's top issues, most alerts first; counts from a narrow range so that
                // ties are common, and one day in five raises nothing.
                const size_t n = rng() % 5 == 0 ? 0 : 1 + rng() % 6;
                std::vector<int64_t> counts;
                for (size_t i = 0; i < n; ++i) counts.push_back(1 + rng() % 5);
                std::sort(counts.rbegin(), counts.rend());
                for (size_t i = 0; i < n; ++i) {
                    const int issue = static_cast<int>(rng() % 8);
                    auto& s = series[issue];
                    if (!s) {
                        auto fresh = std::make_shared<CChartSeries>();
                        fresh->Day = std::string("d").append(std::to_string(day));
                        fresh->Topic = std::to_string(1000 + issue);
                        fresh->Points = {{day, issue}};
                        s = fresh;
                        made.push_back(s);
                    }
                    CChartPick pick{counts[i], s, {{++marks, issue, 'A'}}};
                    offers.push_back({setting, counts[i], marks, s->Day, s->Topic});
                    const bool would = picks.WouldKeep(setting, pick.Count);
                    picks.Offer(setting, pick);
                    const auto& kept = picks.Of(setting);
                    const bool keptIt = std::any_of(kept.begin(), kept.end(), [&](const auto& p) {
                        return p.Marks[0].TimeMs == pick.Marks[0].TimeMs;
                    });
                    EXPECT_EQ(would, keptIt) << "seed " << seed << " day " << day;
                }
            }
            for (const auto& setting : settings) {
                const auto want = KeptToTheEnd(offers, setting, keep);
                const auto& got = picks.Of(setting);
                ASSERT_EQ(got.size(), want.size()) << "seed " << seed << " day " << day;
                for (size_t i = 0; i < want.size(); ++i) {
                    EXPECT_EQ(got[i].Count, want[i]->Count);
                    ASSERT_EQ(got[i].Marks.size(), 1u);
                    EXPECT_EQ(got[i].Marks[0].TimeMs, want[i]->Mark);
                    const CIssueChart chart = ChartOf(got[i]);
                    EXPECT_EQ(chart.Day, want[i]->Day);
                    EXPECT_EQ(chart.Topic, want[i]->Topic);
                    ASSERT_EQ(chart.Points.size(), 1u);
                    EXPECT_EQ(std::string("d").append(std::to_string(chart.Points[0].first)),
                              chart.Day);
                    EXPECT_EQ(chart.Alerts.size(), 1u);
                }
            }
            // The day is over: what is alive of its points is what the picks hold.
            series.clear();
            size_t alive = 0;
            for (const auto& w : made) alive += !w.expired();
            EXPECT_EQ(alive, picks.SeriesHeld());
            EXPECT_LE(alive, settings.size() * keep);
        }
    }
}

// The study steps the walk forward with every setting's running totals, those of settings no
// day has had yet still empty: the same walk as from the days' tallies kept to the end.
TEST(StudyCharts, WalkSteppedWithEmptyTotalsIsTheWalkOfAllDays) {
    const std::vector<double> many(25, 0.2), fewer(25, 0.1), worse(25, -0.1);
    std::vector<std::vector<CSettingTally>> days(3);
    auto add = [&](size_t d, double rate, char kind, const std::vector<double>& f) {
        CSettingTally s;
        s.Rate = rate, s.Span = 1, s.Kind = kind;
        s.ByHorizon.resize(2);
        int i = 0;
        for (double x : f)
            for (CHorizonTally& h : s.ByHorizon)
                h.Add(x, 0), h.ByIssue[std::to_string(i++ % 7)] += x;
        days[d].push_back(s);
    };
    // Day 1 only has 1 %; 2 % comes on day 2 and is better from then on.
    add(0, 1, 'A', many), add(0, 1, 'D', worse);
    add(1, 1, 'A', fewer), add(1, 1, 'D', worse), add(1, 2, 'A', many), add(1, 2, 'D', many);
    add(2, 1, 'A', worse), add(2, 1, 'D', fewer), add(2, 2, 'A', many), add(2, 2, 'D', fewer);
    const std::vector<std::string> names = {"d1", "d2", "d3"};
    const auto whole = WalkForward(names, days, 2);

    std::vector<CSettingTally> totals(4);  // 1 % and 2 %, both kinds, all empty at first
    const std::map<std::tuple<double, char>, size_t> index = {
        {{1, 'A'}, 0}, {{1, 'D'}, 1}, {{2, 'A'}, 2}, {{2, 'D'}, 3}};
    auto walks = NewWalks(names.size(), 2);
    for (size_t d = 0; d < days.size(); ++d) {
        if (d > 0) StepWalks(walks, names[d], totals, days[d]);
        for (const CSettingTally& t : days[d]) totals[index.at({t.Rate, t.Kind})].Add(t);
    }
    ASSERT_EQ(walks.size(), whole.size());
    ASSERT_EQ(walks.size(), 4u);
    for (size_t w = 0; w < walks.size(); ++w) {
        ASSERT_EQ(walks[w].Steps.size(), 2u);
        for (size_t s = 0; s < 2; ++s) {
            const CWalkStep& a = walks[w].Steps[s];
            const CWalkStep& b = whole[w].Steps[s];
            EXPECT_EQ(a.Day, b.Day);
            EXPECT_EQ(a.Chosen, b.Chosen);
            EXPECT_EQ(a.Rate, b.Rate);
            EXPECT_EQ(a.Score.Scored, b.Score.Scored);
            EXPECT_EQ(a.Score.SumForward, b.Score.SumForward);
        }
        EXPECT_EQ(walks[w].Total.Scored, whole[w].Total.Scored);
        EXPECT_EQ(walks[w].Total.SumForward, whole[w].Total.SumForward);
    }
    // The walk for rises: day 2 can only take 1 %, day 3 takes 2 %, better on days 1–2 together.
    EXPECT_TRUE(walks[0].Steps[0].Chosen);
    EXPECT_EQ(walks[0].Steps[0].Rate, 1);
    EXPECT_EQ(walks[0].Steps[1].Rate, 2);
    EXPECT_EQ(walks[0].Total.Scored, 50);
}
