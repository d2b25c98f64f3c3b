#pragma once
// The study's report: one HTML page that opens offline, its charts drawn by the ECharts library
// compiled into the tool (third_party/echarts). Also the rule that names the best settings.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The scores of one kind of alert at one horizon, summed so that days and runs add up.
struct CHorizonTally {
    int64_t Scored = 0;  // alerts with a forward move at this horizon
    int64_t Late = 0;    // alerts too close to the end of the data for it
    int64_t Hits = 0;    // scored alerts whose forward move is above 0
    int64_t Flat = 0;    // scored alerts whose forward move is exactly 0: neither hit nor miss
    double SumForward = 0, SumAdverse = 0;
    double SumSquares = 0;  // of the forward moves, for their spread
    // The summed forward move of each issue (topic), for how much of the whole one issue gives.
    // Kept for the whole day only, not for the parts of it.
    std::map<std::string, double> ByIssue;
    double HitRate() const { return Scored > 0 ? static_cast<double>(Hits) / Scored : 0; }
    double MeanForward() const { return Scored > 0 ? SumForward / Scored : 0; }
    double MeanAdverse() const { return Scored > 0 ? SumAdverse / Scored : 0; }
    int64_t Misses() const { return Scored - Hits - Flat; }
    // One scored alert.
    void Add(double forward, double adverse);
    // Another tally's alerts, its issues' sums included.
    void Add(const CHorizonTally& other);
};

// A two-sided 95 % interval; Known is false where there is too little to say one.
struct CInterval {
    bool Known = false;
    double Low = 0, High = 0;
    bool Overlaps(const CInterval& o) const {
        return Known && o.Known && Low <= o.High && o.Low <= High;
    }
};
constexpr double kZ95 = 1.96;
// The Wilson score interval of the hit rate (as a fraction): known from one scored alert on,
// and unlike the plain p ± z·√(p(1−p)/n) never outside 0 to 1 nor empty at 0 or n hits.
CInterval HitInterval(const CHorizonTally& t);
// mean ± 1.96 · s / √n of the forward moves (percent), s their sample standard deviation:
// known from two scored alerts on.
CInterval MeanInterval(const CHorizonTally& t);

// The issue that gives the most of a setting's summed forward move, and its share of that sum.
// Known only when the sum is above 0: a share of a loss says nothing of luck. The share may
// pass 1 when the other issues together lost.
struct CIssueShare {
    bool Known = false;
    std::string Topic;
    double Share = 0;
};
CIssueShare TopIssue(const CHorizonTally& t);
// A setting whose single best issue gives more than this share of its gain is not named best.
constexpr double kMaxTopIssueShare = 0.5;
bool Concentrated(const CHorizonTally& t);

// The parts of the trading day the scores are split into, by the alert's time: the opening
// half hour, the rest of the morning session, the afternoon up to 15:00, the last half hour;
// any other time (the midday break, before 9:00, after 15:30) is the fifth part.
constexpr size_t kSessions = 5;
extern const char* const kSessionNames[kSessions];
size_t SessionOf(int32_t timeMs);

// One setting and one kind ('A' rises, 'D' falls), over the days of the study.
struct CSettingTally {
    double Rate = 0;
    int Span = 0;
    char Kind = 'A';
    int64_t Events = 0;
    int64_t Issues = 0;  // distinct issues with an alert, added up over the days
    std::vector<CHorizonTally> ByHorizon;
    // By part of the day (SessionOf), then by horizon; no issues' sums there.
    std::vector<std::vector<CHorizonTally>> BySession;
    // Another day's or run's tally of the same setting and kind added.
    void Add(const CSettingTally& t);
};

// Settings need this many scored alerts at a horizon to be named best there, unless none has;
// heat-map cells with fewer are greyed.
constexpr int64_t kBestMinScored = 20;
// The best settings of one kind at one horizon, best first, at most `count`: the highest mean
// forward move, among the settings whose top issue gives at most kMaxTopIssueShare of their
// gain and that have at least kBestMinScored scored alerts (all those with a scored alert
// when none has that many); ties go to the higher hit rate, then to more scored alerts, then
// to the lower rate and the shorter window.
std::vector<const CSettingTally*> BestSettings(const std::vector<CSettingTally>& tallies, char kind,
                                               size_t horizon, size_t count);

// An issue's prices over a day and the alerts of one setting on it.
struct CIssueChart {
    struct CMark {
        int32_t TimeMs;
        int32_t Price;
        char Kind;
    };
    std::string Day, Topic, Name;
    std::vector<std::pair<int32_t, int32_t>> Points;  // time of day in ms, price
    std::vector<CMark> Alerts;
};

// Out of sample: on each day after the first, the setting chosen on the days before it (by
// BestSettings over their summed tallies) and how that choice did on the day itself.
struct CWalkStep {
    std::string Day;
    bool Chosen = false;  // no setting was eligible on the days before
    double Rate = 0;
    int Span = 0;
    CHorizonTally Score;  // the chosen setting on this day, no issues' sums
};
struct CWalkForward {
    char Kind = 'A';
    size_t Horizon = 0;
    std::vector<CWalkStep> Steps;
    CHorizonTally Total;  // the steps' scores added up
};
// `byDay[d]` are day d's tallies (every setting and kind), the days in the order they are
// given. One walk per kind and horizon; none for fewer than two days.
// The same walks can be made a day at a time, so that a study need not keep every day's
// tallies: NewWalks before the first day, then StepWalks for each later one.
std::vector<CWalkForward> WalkForward(const std::vector<std::string>& days,
                                      const std::vector<std::vector<CSettingTally>>& byDay,
                                      size_t horizons);
std::vector<CWalkForward> NewWalks(size_t days, size_t horizons);
// Steps every walk to day `name`, one after the first: `before` holds the tallies of the days
// before it added up setting by setting (each setting and kind once, in any order), `day` the
// day's own.
void StepWalks(std::vector<CWalkForward>& walks, const std::string& name,
               const std::vector<CSettingTally>& before, const std::vector<CSettingTally>& day);

struct CReportData {
    std::vector<std::string> Days;
    std::vector<int> Horizons;  // minutes, ascending
    std::vector<CSettingTally> Tallies;
    // The setting whose alerts the issue charts mark, and the horizon that chose it.
    double ChartRate = 0;
    int ChartSpan = 0;
    size_t ChartHorizon = 0;
    char ChartKind = 0;  // the kind it is best for; 0: neither has a best, the first setting
    std::vector<CIssueChart> Issues;
    // The trader's own setting (the first day's KESTREL.INI, or --rate and --time).
    double OwnRate = 0;
    int OwnSpan = 0;
    std::vector<CWalkForward> Walks;
};

std::string BuildReportHtml(const CReportData& data);
