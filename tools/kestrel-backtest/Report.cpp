#include "kestrel-backtest/Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "common/Format.h"

// The library, compiled in from third_party/echarts/echarts.min.js.
extern const unsigned char kEchartsScript[];
extern const size_t kEchartsScriptSize;

std::vector<const CSettingTally*> BestSettings(const std::vector<CSettingTally>& tallies, char kind,
                                               size_t horizon, size_t count) {
    std::vector<const CSettingTally*> pick;
    bool enough = false;
    for (const CSettingTally& t : tallies)
        if (t.Kind == kind && horizon < t.ByHorizon.size() &&
            t.ByHorizon[horizon].Scored >= kBestMinScored)
            enough = true;
    for (const CSettingTally& t : tallies) {
        if (t.Kind != kind || horizon >= t.ByHorizon.size()) continue;
        const int64_t scored = t.ByHorizon[horizon].Scored;
        if (scored >= (enough ? kBestMinScored : 1)) pick.push_back(&t);
    }
    std::sort(pick.begin(), pick.end(), [horizon](const CSettingTally* a, const CSettingTally* b) {
        const CHorizonTally& x = a->ByHorizon[horizon];
        const CHorizonTally& y = b->ByHorizon[horizon];
        if (x.MeanForward() != y.MeanForward()) return x.MeanForward() > y.MeanForward();
        if (x.HitRate() != y.HitRate()) return x.HitRate() > y.HitRate();
        if (x.Scored != y.Scored) return x.Scored > y.Scored;
        if (a->Rate != b->Rate) return a->Rate < b->Rate;
        return a->Span < b->Span;
    });
    if (pick.size() > count) pick.resize(count);
    return pick;
}

namespace {

// Text for HTML, outside tags or inside double-quoted attributes.
std::string Html(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A JSON string that may stand inside a <script> element: no "<" appears as itself.
std::string Json(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || c == '<' || c == '>' || c == '&') {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Num(double v) {
    if (!std::isfinite(v)) return "null";
    char t[32];
    std::snprintf(t, sizeof t, "%.6g", v);
    return t;
}

std::string Percent(double v, int decimals, bool sign = false) {
    char t[32];
    std::snprintf(t, sizeof t, sign ? "%+.*f %%" : "%.*f %%", decimals, v);
    return t;
}

std::string StudyJson(const CReportData& d) {
    std::vector<double> rates;
    std::vector<int> spans;
    for (const CSettingTally& t : d.Tallies) {
        rates.push_back(t.Rate);
        spans.push_back(t.Span);
    }
    std::sort(rates.begin(), rates.end());
    rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
    std::sort(spans.begin(), spans.end());
    spans.erase(std::unique(spans.begin(), spans.end()), spans.end());
    std::string j = "{\"rates\":[";
    for (size_t i = 0; i < rates.size(); ++i) j += (i ? "," : "") + Num(rates[i]);
    j += "],\"spans\":[";
    for (size_t i = 0; i < spans.size(); ++i) j += (i ? "," : "") + std::to_string(spans[i]);
    j += "],\"horizons\":[";
    for (size_t i = 0; i < d.Horizons.size(); ++i)
        j += (i ? "," : "") + std::to_string(d.Horizons[i]);
    j += "],\"cells\":[";
    for (size_t i = 0; i < d.Tallies.size(); ++i) {
        const CSettingTally& t = d.Tallies[i];
        j += (i ? ",\n" : "\n") + std::string("{\"rate\":") + Num(t.Rate) +
             ",\"span\":" + std::to_string(t.Span) + ",\"kind\":\"" + t.Kind +
             "\",\"events\":" + std::to_string(t.Events) +
             ",\"issues\":" + std::to_string(t.Issues) + ",\"h\":[";
        for (size_t h = 0; h < t.ByHorizon.size(); ++h) {
            const CHorizonTally& ht = t.ByHorizon[h];
            j += (h ? ",[" : "[") + std::to_string(ht.Scored) + "," + std::to_string(ht.Late) +
                 "," + Num(ht.HitRate() * 100) + "," + Num(ht.MeanForward()) + "," +
                 Num(ht.MeanAdverse()) + "]";
        }
        j += "]}";
    }
    j += "],\"issues\":[";
    for (size_t i = 0; i < d.Issues.size(); ++i) {
        const CIssueChart& c = d.Issues[i];
        std::string title = c.Topic + (c.Name.empty() ? "" : " " + c.Name);
        if (d.Days.size() > 1) title += " (" + c.Day + ")";
        j += (i ? ",\n" : "\n") + std::string("{\"title\":") + Json(title) + ",\"points\":[";
        for (size_t p = 0; p < c.Points.size(); ++p)
            j += (p ? ",[" : "[") + std::to_string(c.Points[p].first) + "," +
                 std::to_string(c.Points[p].second) + "]";
        j += "],\"alerts\":[";
        for (size_t a = 0; a < c.Alerts.size(); ++a)
            j += (a ? ",[" : "[") + std::to_string(c.Alerts[a].TimeMs) + "," +
                 std::to_string(c.Alerts[a].Price) + ",\"" + c.Alerts[a].Kind + "\"]";
        j += "]}";
    }
    return j + "]}";
}

// The charts' settings, read from STUDY; every chart is the library's own.
constexpr std::string_view kPageScript = R"JS(
const kinds = {A: 'rises', D: 'falls'};
const clock = ms => {
  const m = Math.floor(ms / 60000);
  return String(Math.floor(m / 60)).padStart(2, '0') + ':' + String(m % 60).padStart(2, '0');
};
const signed = (v, d) => (v > 0 ? '+' : '') + v.toFixed(d);
function heatmap(id, title, kind, value, label, range, colors, ends) {
  const cells = STUDY.cells.filter(c => c.kind === kind);
  const values = cells.map(value).filter(v => v !== null);
  const [min, max] = range(values);
  const chart = echarts.init(document.getElementById(id));
  chart.setOption({
    animation: false,
    title: {text: title, left: 'center', top: 4, textStyle: {fontSize: 13}},
    tooltip: {formatter: p => {
      const c = p.data.cell;
      let t = 'rate ' + c.rate + ' %, window ' + c.span + ' min<br>' + c.events + ' alerts, ' +
              c.issues + ' issues';
      STUDY.horizons.forEach((h, i) => {
        const s = c.h[i];
        t += '<br>' + h + ' min: ' + (s[0] ? s[2].toFixed(1) + ' % hits, ' + signed(s[3], 3) +
             ' % mean, ' + s[4].toFixed(3) + ' % adverse, ' : '') + s[0] + ' scored, ' +
             s[1] + ' late';
      });
      return t;
    }},
    grid: {left: 64, right: 16, top: 34, bottom: 74},
    xAxis: {type: 'category', data: STUDY.spans.map(s => s + ' min'), name: 'window',
            nameLocation: 'middle', nameGap: 24, splitArea: {show: true}},
    yAxis: {type: 'category', data: STUDY.rates.map(r => r + ' %'), name: 'rate',
            nameLocation: 'middle', nameGap: 44, splitArea: {show: true}},
    visualMap: {min: min, max: max, orient: 'horizontal', left: 'center', bottom: 2,
                itemHeight: 150, itemWidth: 12, calculable: false, textGap: 6,
                text: [ends(max), ends(min)], textStyle: {fontSize: 11}, inRange: {color: colors}},
    series: [{type: 'heatmap', label: {show: true, fontSize: 11, formatter: p => label(p.data.cell)},
              data: cells.map(c => ({value: [STUDY.spans.indexOf(c.span), STUDY.rates.indexOf(c.rate),
                                             value(c) === null ? '-' : value(c)], cell: c}))}]
  });
}
// Colours over the values' own range, so that settings close to each other still differ.
const spread = vs => vs.length ? [Math.min(...vs), Math.max(Math.min(...vs) + 1, ...vs)] : [0, 1];
const fromZero = vs => [0, Math.max(1, ...vs)];
const warm = ['#fff5eb', '#fdae6b', '#e6550d', '#7f2704'];
for (const kind of ['A', 'D']) {
  heatmap('count-' + kind, 'alerts (' + kinds[kind] + ')', kind, c => c.events,
          c => String(c.events), fromZero, ['#f7fbff', '#6baed6', '#08306b'], v => String(v));
  STUDY.horizons.forEach((h, i) => {
    heatmap('hit-' + kind + '-' + i, 'hit rate at ' + h + ' min (' + kinds[kind] + ')', kind,
            c => c.h[i][0] ? c.h[i][2] : null,
            c => c.h[i][0] ? c.h[i][2].toFixed(1) + '%\n' + signed(c.h[i][3], 2) + '%' : '–',
            spread, warm, v => v.toFixed(1) + ' %');
  });
}
STUDY.issues.forEach((issue, i) => {
  const chart = echarts.init(document.getElementById('issue-' + i));
  const marks = kind => issue.alerts.filter(a => a[2] === kind).map(a => [a[0], a[1]]);
  chart.setOption({
    animation: false,
    title: {text: issue.title, left: 8, top: 4, textStyle: {fontSize: 13}},
    legend: {top: 4, right: 16},
    tooltip: {trigger: 'axis', axisPointer: {type: 'cross'},
              formatter: ps => clock(ps[0].value[0]) + ' ' +
                               ps.map(p => p.seriesName + ' ' + p.value[1]).join(', ')},
    grid: {left: 64, right: 24, top: 34, bottom: 28},
    xAxis: {type: 'value', interval: 1800000, axisLabel: {formatter: clock},
            min: v => Math.floor(v.min / 1800000) * 1800000,
            max: v => Math.ceil(v.max / 1800000) * 1800000},
    yAxis: {type: 'value', scale: true},
    dataZoom: [{type: 'inside'}],
    series: [
      {name: 'price', type: 'line', step: 'end', showSymbol: false, sampling: 'lttb',
       lineStyle: {width: 1, color: '#555'}, itemStyle: {color: '#555'}, data: issue.points},
      {name: 'rise alert', type: 'scatter', symbol: 'triangle', symbolSize: 9,
       itemStyle: {color: '#d7191c'}, data: marks('A')},
      {name: 'fall alert', type: 'scatter', symbol: 'path://M0,0L10,0L5,9Z', symbolSize: 9,
       itemStyle: {color: '#1a9641'}, data: marks('D')}
    ]
  });
});
)JS";

constexpr std::string_view kStyle = R"CSS(
body { font-family: "IPAPGothic", "Noto Sans CJK JP", sans-serif; margin: 20px 28px; color: #222;
       background: #fafafa; }
h1 { font-size: 22px; margin: 0 0 6px; }
h2 { font-size: 17px; margin: 26px 0 8px; border-bottom: 1px solid #ccc; padding-bottom: 3px; }
p, li { font-size: 13px; color: #444; max-width: 1250px; line-height: 1.45; }
.row { display: flex; flex-wrap: wrap; gap: 10px; }
.heat { width: 322px; height: 300px; background: #fff; border: 1px solid #ddd; }
.issue { width: 1320px; height: 260px; background: #fff; border: 1px solid #ddd; margin-bottom: 8px; }
table { border-collapse: collapse; font-size: 13px; background: #fff; }
th, td { border: 1px solid #ccc; padding: 3px 9px; text-align: right; }
th { background: #eee; }
td.l, th.l { text-align: left; }
)CSS";

}  // namespace

std::string BuildReportHtml(const CReportData& d) {
    const auto rateOf = [](double r) { return kestrel::FormatGeneral(r); };
    std::string days;
    for (const std::string& day : d.Days) days += (days.empty() ? "" : ", ") + day;
    std::string horizons;
    for (int h : d.Horizons) horizons += (horizons.empty() ? "" : ", ") + std::to_string(h);
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Kestrel: a study of alert settings</title>\n<style>";
    page += kStyle;
    page += "</style>\n<script>\n";
    // The library inline, so the page needs no network; "</script" cannot end it early.
    std::string_view lib(reinterpret_cast<const char*>(kEchartsScript), kEchartsScriptSize);
    for (size_t at = 0;;) {
        const size_t end = lib.find("</script", at);
        page += lib.substr(at, end == std::string_view::npos ? end : end - at);
        if (end == std::string_view::npos) break;
        page += "<\\/script";
        at = end + 8;
    }
    page += "\n</script>\n</head>\n<body>\n<h1>Kestrel: a study of alert settings</h1>\n";
    page += "<p>Days: " + Html(days) + ". Horizons: " + Html(horizons) +
            " minutes. Each setting of each day is one replay through the monitor's own "
            "trackers, queues, watchers and lists.</p>\n";
    page +=
        "<p>An alert is scored at a horizon from the issue's own later points: the <b>forward "
        "move</b> is (last price at or before alert time + horizon − alert price) / alert price "
        "× 100, negated for a fall, so above 0 means the move went on. The <b>hit rate</b> is "
        "the share of scored alerts with a forward move above 0. The <b>adverse move</b> is the "
        "largest move against the alert within the horizon, in percent of the alert price (0 "
        "when the price never went against it). Alerts whose horizon ends after the day's last "
        "quote are counted as late, not scored. Several days are added up.</p>\n";
    page +=
        "<h2>Best settings</h2>\n<p>Criterion: the highest mean forward move at the "
        "horizon, among the settings with at least " +
        std::to_string(kBestMinScored) +
        " scored alerts there (all settings with a scored alert when none has that many); "
        "ties go to the higher hit rate, then to more scored alerts.</p>\n";
    page +=
        "<table>\n<tr><th class=\"l\">kind</th><th>horizon</th><th>best rate</th>"
        "<th>window</th><th>alerts</th><th>scored</th><th>hit rate</th><th>mean forward</th>"
        "<th>mean adverse</th><th class=\"l\">next best</th></tr>\n";
    for (char kind : {'A', 'D'}) {
        for (size_t h = 0; h < d.Horizons.size(); ++h) {
            const auto best = BestSettings(d.Tallies, kind, h, 3);
            page += std::string("<tr><td class=\"l\">") +
                    (kind == 'A' ? "rises (急騰)" : "falls (急落)") + "</td><td>" +
                    std::to_string(d.Horizons[h]) + " min</td>";
            if (best.empty()) {
                page += "<td colspan=\"8\" class=\"l\">no scored alert</td></tr>\n";
                continue;
            }
            const CSettingTally& t = *best[0];
            const CHorizonTally& ht = t.ByHorizon[h];
            page += "<td>" + rateOf(t.Rate) + " %</td><td>" + std::to_string(t.Span) +
                    " min</td><td>" + std::to_string(t.Events) + "</td><td>" +
                    std::to_string(ht.Scored) + "</td><td>" + Percent(ht.HitRate() * 100, 1) +
                    "</td><td>" + Percent(ht.MeanForward(), 3, true) + "</td><td>" +
                    Percent(ht.MeanAdverse(), 3) + "</td><td class=\"l\">";
            for (size_t i = 1; i < best.size(); ++i)
                page += (i > 1 ? "; " : "") + rateOf(best[i]->Rate) + " % in " +
                        std::to_string(best[i]->Span) + " min (" +
                        Percent(best[i]->ByHorizon[h].MeanForward(), 3, true) + ")";
            page += "</td></tr>\n";
        }
    }
    page += "</table>\n";
    for (char kind : {'A', 'D'}) {
        page += kind == 'A' ? "<h2>Rises (急騰)</h2>\n" : "<h2>Falls (急落)</h2>\n";
        page +=
            "<p>Alerts for each rate × window, and the hit rate at each horizon (each cell: "
            "hit rate, and the mean forward move below it).</p>\n<div class=\"row\">";
        page += std::string("<div class=\"heat\" id=\"count-") + kind + "\"></div>";
        for (size_t h = 0; h < d.Horizons.size(); ++h)
            page += std::string("<div class=\"heat\" id=\"hit-") + kind + "-" + std::to_string(h) +
                    "\"></div>";
        page += "</div>\n";
    }
    page += "<h2>Issues with the most alerts at rate " + rateOf(d.ChartRate) + " %, window " +
            std::to_string(d.ChartSpan) + " min</h2>\n<p>The setting best for rises at " +
            std::to_string(d.Horizons.empty() ? 0 : d.Horizons[d.ChartHorizon]) +
            " minutes; the price over the day with its alerts (▲ rise, ▼ fall).</p>\n";
    if (d.Issues.empty()) page += "<p>No alert at this setting.</p>\n";
    for (size_t i = 0; i < d.Issues.size(); ++i)
        page += "<div class=\"issue\" id=\"issue-" + std::to_string(i) + "\"></div>\n";
    page += "<script>\nconst STUDY = " + StudyJson(d) + ";\n";
    page += kPageScript;
    page += "</script>\n</body>\n</html>\n";
    return page;
}
