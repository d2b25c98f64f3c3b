#include "kestrel-backtest/StudyOutput.h"

#include <cstdio>

#include "common/Format.h"

void AlertsHeader(CCsvWriter& w, const std::vector<int>& horizons) {
    w.Field("day").Field("rate").Field("time").Field("kind").Field("topic").Field("line");
    w.Field("alert_time").Field("price").Field("move").Field("move_ratio");
    for (int h : horizons) {
        const std::string m = std::to_string(h) + "m";
        w.Field("later_price_" + m).Field("forward_" + m).Field("adverse_" + m);
    }
    w.Field("event").Field("name").End();
}

void StudyHeader(CCsvWriter& w, const std::vector<int>& horizons) {
    w.Field("day").Field("rate").Field("time").Field("kind").Field("events").Field("issues");
    for (int h : horizons) {
        const std::string m = std::to_string(h) + "m";
        w.Field("scored_" + m).Field("late_" + m).Field("hit_rate_" + m);
        w.Field("mean_forward_" + m).Field("median_forward_" + m).Field("mean_adverse_" + m);
    }
    for (int h : horizons) {
        const std::string m = std::to_string(h) + "m";
        w.Field("hit_low_" + m).Field("hit_high_" + m);
        w.Field("mean_forward_low_" + m).Field("mean_forward_high_" + m).Field("flat_" + m);
        w.Field("top_issue_share_" + m).Field("top_issue_" + m);
    }
    w.End();
}

void StudyRow(CCsvWriter& w, const std::string& day, const CSettingTally& t,
              const std::vector<double>& median) {
    w.Field(day).Field(kestrel::FormatGeneral(t.Rate));
    w.Field(int64_t{t.Span}).Field(t.Kind == 'A' ? "A" : "D").Field(t.Events).Field(t.Issues);
    for (size_t h = 0; h < t.ByHorizon.size(); ++h) {
        const CHorizonTally& ht = t.ByHorizon[h];
        const bool any = ht.Scored > 0;
        w.Field(ht.Scored).Field(ht.Late).Field(ht.HitRate(), 4, any);
        w.Field(ht.MeanForward(), 4, any).Field(h < median.size() ? median[h] : 0, 4, any);
        w.Field(ht.MeanAdverse(), 4, any);
    }
    for (const CHorizonTally& ht : t.ByHorizon) {
        const CInterval hit = HitInterval(ht), mean = MeanInterval(ht);
        const CIssueShare top = TopIssue(ht);
        w.Field(hit.Low, 4, hit.Known).Field(hit.High, 4, hit.Known);
        w.Field(mean.Low, 4, mean.Known).Field(mean.High, 4, mean.Known);
        w.Field(ht.Flat);
        w.Field(top.Share, 4, top.Known).Field(top.Known ? top.Topic : std::string());
    }
    w.End();
}

std::string BestText(const CReportData& data) {
    std::string text =
        "best settings: the highest mean forward move among those with at least " +
        std::to_string(kBestMinScored) +
        " scored alerts whose top issue gives at most half of it (95 % intervals in [])\n"
        "kind   horizon    rate  window   alerts   scored  hit rate               mean forward"
        "                      mean adverse\n";
    for (char kind : {'A', 'D'}) {
        for (size_t h = 0; h < data.Horizons.size(); ++h) {
            char line[320];
            const auto best = BestSettings(data.Tallies, kind, h, 1);
            const char* name = kind == 'A' ? "rises" : "falls";
            if (best.empty()) {
                std::snprintf(line, sizeof line, "%-5s %4d min  no setting qualifies\n", name,
                              data.Horizons[h]);
            } else {
                const CSettingTally& t = *best[0];
                const CHorizonTally& ht = t.ByHorizon[h];
                const CInterval hit = HitInterval(ht), mean = MeanInterval(ht);
                char meanRange[64] = "";
                if (mean.Known)
                    std::snprintf(meanRange, sizeof meanRange, "[%+.4f, %+.4f]", mean.Low,
                                  mean.High);
                std::snprintf(line, sizeof line,
                              "%-5s %4d min  %5s %%  %4d min  %7lld  %7lld  %6.1f %% [%4.1f, "
                              "%5.1f]  %+10.4f %% %-20s  %10.4f %%\n",
                              name, data.Horizons[h], kestrel::FormatGeneral(t.Rate).c_str(),
                              t.Span, static_cast<long long>(t.Events),
                              static_cast<long long>(ht.Scored), ht.HitRate() * 100, hit.Low * 100,
                              hit.High * 100, ht.MeanForward(), meanRange, ht.MeanAdverse());
            }
            text += line;
        }
    }
    return text;
}
