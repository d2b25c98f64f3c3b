#pragma once
// The study's report: one HTML page that opens offline, its charts drawn by the ECharts library
// compiled into the tool (third_party/echarts). Also the rule that names the best settings.
#include <cstdint>
#include <string>
#include <vector>

// The scores of one kind of alert at one horizon, summed so that days and runs add up.
struct CHorizonTally {
    int64_t Scored = 0;  // alerts with a forward move at this horizon
    int64_t Late = 0;    // alerts too close to the end of the data for it
    int64_t Hits = 0;    // scored alerts whose forward move is above 0
    double SumForward = 0, SumAdverse = 0;
    double HitRate() const { return Scored > 0 ? static_cast<double>(Hits) / Scored : 0; }
    double MeanForward() const { return Scored > 0 ? SumForward / Scored : 0; }
    double MeanAdverse() const { return Scored > 0 ? SumAdverse / Scored : 0; }
};

// One setting and one kind ('A' rises, 'D' falls), over the days of the study.
struct CSettingTally {
    double Rate = 0;
    int Span = 0;
    char Kind = 'A';
    int64_t Events = 0;
    int64_t Issues = 0;  // distinct issues with an alert, added up over the days
    std::vector<CHorizonTally> ByHorizon;
};

// Settings need this many scored alerts at a horizon to be named best there, unless none has.
constexpr int64_t kBestMinScored = 20;
// The best settings of one kind at one horizon, best first, at most `count`: the highest mean
// forward move, among settings with at least kBestMinScored scored alerts (all settings with a
// scored alert when none has that many); ties go to the higher hit rate, then to more scored
// alerts, then to the lower rate and the shorter window.
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

struct CReportData {
    std::vector<std::string> Days;
    std::vector<int> Horizons;  // minutes, ascending
    std::vector<CSettingTally> Tallies;
    // The setting whose alerts the issue charts mark, and the horizon that chose it.
    double ChartRate = 0;
    int ChartSpan = 0;
    size_t ChartHorizon = 0;
    std::vector<CIssueChart> Issues;
};

std::string BuildReportHtml(const CReportData& data);
