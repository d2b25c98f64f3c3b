#include "kestrel-backtest/Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <tuple>

#include "common/Format.h"

// The library, compiled in from third_party/echarts/echarts.min.js.
extern const unsigned char kEchartsScript[];
extern const size_t kEchartsScriptSize;

void CHorizonTally::Add(double forward, double adverse) {
    ++Scored;
    if (forward > 0) ++Hits;
    if (forward == 0) ++Flat;
    SumForward += forward;
    SumSquares += forward * forward;
    SumAdverse += adverse;
}

void CHorizonTally::Add(const CHorizonTally& o) {
    Scored += o.Scored, Late += o.Late, Hits += o.Hits, Flat += o.Flat;
    SumForward += o.SumForward, SumAdverse += o.SumAdverse, SumSquares += o.SumSquares;
    for (const auto& [topic, sum] : o.ByIssue) ByIssue[topic] += sum;
}

void CSettingTally::Add(const CSettingTally& t) {
    if (ByHorizon.empty()) {
        Rate = t.Rate, Span = t.Span, Kind = t.Kind;
        ByHorizon.assign(t.ByHorizon.size(), CHorizonTally{});
        BySession.assign(t.BySession.size(), std::vector<CHorizonTally>(t.ByHorizon.size()));
    }
    Events += t.Events;
    Issues += t.Issues;
    for (size_t h = 0; h < t.ByHorizon.size() && h < ByHorizon.size(); ++h)
        ByHorizon[h].Add(t.ByHorizon[h]);
    for (size_t s = 0; s < t.BySession.size() && s < BySession.size(); ++s)
        for (size_t h = 0; h < t.BySession[s].size() && h < BySession[s].size(); ++h)
            BySession[s][h].Add(t.BySession[s][h]);
}

CInterval HitInterval(const CHorizonTally& t) {
    CInterval i;
    if (t.Scored <= 0) return i;
    const double n = static_cast<double>(t.Scored);
    const double p = static_cast<double>(t.Hits) / n;
    const double z2 = kZ95 * kZ95;
    const double centre = (p + z2 / (2 * n)) / (1 + z2 / n);
    const double half = kZ95 / (1 + z2 / n) * std::sqrt(p * (1 - p) / n + z2 / (4 * n * n));
    i.Known = true;
    i.Low = std::max(0.0, centre - half);
    i.High = std::min(1.0, centre + half);
    return i;
}

CInterval MeanInterval(const CHorizonTally& t) {
    CInterval i;
    if (t.Scored < 2) return i;
    const double n = static_cast<double>(t.Scored);
    const double mean = t.SumForward / n;
    // From sums so that days add up; rounding may leave a hair below 0 for equal moves.
    const double variance = std::max(0.0, (t.SumSquares - n * mean * mean) / (n - 1));
    const double half = kZ95 * std::sqrt(variance / n);
    i.Known = true;
    i.Low = mean - half;
    i.High = mean + half;
    return i;
}

CIssueShare TopIssue(const CHorizonTally& t) {
    CIssueShare top;
    if (!(t.SumForward > 0) || t.ByIssue.empty()) return top;
    // The first topic of the highest sum: the map's order makes a tie always go the same way.
    auto best = t.ByIssue.begin();
    for (auto it = t.ByIssue.begin(); it != t.ByIssue.end(); ++it)
        if (it->second > best->second) best = it;
    top.Known = true;
    top.Topic = best->first;
    top.Share = best->second / t.SumForward;
    return top;
}

bool Concentrated(const CHorizonTally& t) {
    const CIssueShare top = TopIssue(t);
    return top.Known && top.Share > kMaxTopIssueShare;
}

const char* const kSessionNames[kSessions] = {"寄り付き", "前場", "後場", "大引け前", "その他"};

size_t SessionOf(int32_t timeMs) {
    constexpr int32_t kMin = 60 * 1000;
    const auto at = [](int h, int m) { return (h * 60 + m) * kMin; };
    if (timeMs >= at(9, 0) && timeMs < at(9, 30)) return 0;
    if (timeMs >= at(9, 30) && timeMs <= at(11, 30)) return 1;  // 11:30 closes the morning
    if (timeMs >= at(12, 30) && timeMs < at(15, 0)) return 2;
    if (timeMs >= at(15, 0) && timeMs <= at(15, 30)) return 3;  // 15:30 closes the day
    return 4;
}

std::vector<const CSettingTally*> BestSettings(const std::vector<CSettingTally>& tallies, char kind,
                                               size_t horizon, size_t count) {
    std::vector<const CSettingTally*> eligible;
    bool enough = false;
    for (const CSettingTally& t : tallies) {
        if (t.Kind != kind || horizon >= t.ByHorizon.size()) continue;
        const CHorizonTally& ht = t.ByHorizon[horizon];
        if (ht.Scored == 0 || Concentrated(ht)) continue;
        eligible.push_back(&t);
        if (ht.Scored >= kBestMinScored) enough = true;
    }
    std::vector<const CSettingTally*> pick;
    for (const CSettingTally* t : eligible)
        if (t->ByHorizon[horizon].Scored >= (enough ? kBestMinScored : 1)) pick.push_back(t);
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

std::vector<CWalkForward> NewWalks(size_t days, size_t horizons) {
    std::vector<CWalkForward> walks;
    if (days < 2) return walks;
    for (char kind : {'A', 'D'}) {
        for (size_t h = 0; h < horizons; ++h) {
            CWalkForward walk;
            walk.Kind = kind;
            walk.Horizon = h;
            walks.push_back(std::move(walk));
        }
    }
    return walks;
}

void StepWalks(std::vector<CWalkForward>& walks, const std::string& name,
               const std::vector<CSettingTally>& before, const std::vector<CSettingTally>& day) {
    for (CWalkForward& walk : walks) {
        const auto best = BestSettings(before, walk.Kind, walk.Horizon, 1);
        CWalkStep step;
        step.Day = name;
        if (!best.empty()) {
            step.Chosen = true;
            step.Rate = best[0]->Rate;
            step.Span = best[0]->Span;
            for (const CSettingTally& t : day)
                if (t.Kind == walk.Kind && t.Rate == step.Rate && t.Span == step.Span &&
                    walk.Horizon < t.ByHorizon.size())
                    step.Score.Add(t.ByHorizon[walk.Horizon]);
            step.Score.ByIssue.clear();
            walk.Total.Add(step.Score);
        }
        walk.Steps.push_back(std::move(step));
    }
}

std::vector<CWalkForward> WalkForward(const std::vector<std::string>& days,
                                      const std::vector<std::vector<CSettingTally>>& byDay,
                                      size_t horizons) {
    if (byDay.size() != days.size()) return {};
    std::vector<CWalkForward> walks = NewWalks(days.size(), horizons);
    // The days before the one scored, added up setting by setting.
    std::map<std::tuple<double, int, char>, CSettingTally> before;
    for (size_t d = 0; d < days.size(); ++d) {
        if (d > 0) {
            std::vector<CSettingTally> pooled;
            for (const auto& entry : before) pooled.push_back(entry.second);
            StepWalks(walks, days[d], pooled, byDay[d]);
        }
        for (const CSettingTally& t : byDay[d]) before[{t.Rate, t.Span, t.Kind}].Add(t);
    }
    return walks;
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

// One tally's scores for the page's script: counts, hit rate and its interval in percent, the
// mean forward move and its interval, the mean adverse move, and the top issue's share.
std::string TallyJson(const CHorizonTally& t) {
    const CInterval hit = HitInterval(t), mean = MeanInterval(t);
    const CIssueShare top = TopIssue(t);
    const auto known = [](bool k, double v) { return k ? Num(v) : std::string("null"); };
    return "{\"n\":" + std::to_string(t.Scored) + ",\"late\":" + std::to_string(t.Late) +
           ",\"hits\":" + std::to_string(t.Hits) + ",\"flat\":" + std::to_string(t.Flat) +
           ",\"hit\":" + known(t.Scored > 0, t.HitRate() * 100) +
           ",\"hl\":" + known(hit.Known, hit.Low * 100) +
           ",\"hh\":" + known(hit.Known, hit.High * 100) +
           ",\"mean\":" + known(t.Scored > 0, t.MeanForward()) +
           ",\"ml\":" + known(mean.Known, mean.Low) + ",\"mh\":" + known(mean.Known, mean.High) +
           ",\"adv\":" + known(t.Scored > 0, t.MeanAdverse()) +
           ",\"share\":" + known(top.Known, top.Share * 100) +
           ",\"top\":" + Json(top.Known ? top.Topic : std::string()) + "}";
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
    j += "],\"minScored\":" + std::to_string(kBestMinScored) +
         ",\"own\":{\"rate\":" + Num(d.OwnRate) + ",\"span\":" + std::to_string(d.OwnSpan) +
         "},\"best\":{";
    for (char kind : {'A', 'D'}) {
        j += std::string(kind == 'A' ? "" : ",") + "\"" + kind + "\":[";
        for (size_t h = 0; h < d.Horizons.size(); ++h) {
            const auto best = BestSettings(d.Tallies, kind, h, 1);
            j += (h ? "," : "") + (best.empty() ? std::string("null")
                                                : "{\"rate\":" + Num(best[0]->Rate) + ",\"span\":" +
                                                      std::to_string(best[0]->Span) + "}");
        }
        j += "]";
    }
    j += "},\"cells\":[";
    for (size_t i = 0; i < d.Tallies.size(); ++i) {
        const CSettingTally& t = d.Tallies[i];
        j += (i ? ",\n" : "\n") + std::string("{\"rate\":") + Num(t.Rate) +
             ",\"span\":" + std::to_string(t.Span) + ",\"kind\":\"" + t.Kind +
             "\",\"events\":" + std::to_string(t.Events) +
             ",\"issues\":" + std::to_string(t.Issues) + ",\"h\":[";
        for (size_t h = 0; h < t.ByHorizon.size(); ++h) {
            // (Appended in two steps: GCC 12 at -O3 warns falsely of an overlapping copy on
            // the sum of a literal and a string.)
            if (h) j += ',';
            j += TallyJson(t.ByHorizon[h]);
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
const kinds = {A: '急騰', D: '急落'};
const clock = ms => {
  const m = Math.floor(ms / 60000);
  return String(Math.floor(m / 60)).padStart(2, '0') + ':' + String(m % 60).padStart(2, '0');
};
const signed = (v, d) => (v > 0 ? '+' : '') + v.toFixed(d);
const isOwn = c => c.rate === STUDY.own.rate && c.span === STUDY.own.span;
const isBest = (c, i) => { const b = STUDY.best[c.kind][i];
                           return b !== null && b.rate === c.rate && b.span === c.span; };
function tip(c) {
  let t = '率 ' + c.rate + ' %、時間 ' + c.span + ' 分' + (isOwn(c) ? '(あなたの設定)' : '') +
          '<br>警告 ' + c.events + ' 件、' + c.issues + ' 銘柄';
  STUDY.horizons.forEach((h, i) => {
    const s = c.h[i];
    t += '<br>' + h + ' 分後: 評価 ' + s.n + ' 件(的中 ' + s.hits + '、横ばい ' + s.flat +
         '、外れ ' + (s.n - s.hits - s.flat) + ')、対象外 ' + s.late + ' 件';
    if (s.n) t += '<br>&nbsp;&nbsp;的中率 ' + s.hit.toFixed(1) + ' %' +
                  (s.hl !== null ? ' [' + s.hl.toFixed(1) + '–' + s.hh.toFixed(1) + ']' : '') +
                  '、平均前進幅 ' + signed(s.mean, 3) + ' %' +
                  (s.ml !== null ? ' [' + signed(s.ml, 3) + '–' + signed(s.mh, 3) + ']' : '') +
                  (s.share !== null ? '、最大銘柄 ' + s.top + ' ' + s.share.toFixed(0) + ' %' : '');
  });
  return t;
}
// A map of one kind: cells with fewer scored alerts than the best needs are grey, and the
// trader's own setting has a thick frame. `range` is the scale, shared by the maps of a kind.
function heatmap(id, title, kind, value, label, range, colors, ends, scored) {
  const cells = STUDY.cells.filter(c => c.kind === kind);
  const [min, max] = range;
  const item = c => ({value: [STUDY.spans.indexOf(c.span), STUDY.rates.indexOf(c.rate),
                              value(c) === null ? '-' : value(c)], cell: c,
                      itemStyle: isOwn(c) ? {borderColor: '#000', borderWidth: 3} : {}});
  const few = c => scored(c) < STUDY.minScored;
  const chart = echarts.init(document.getElementById(id));
  chart.setOption({
    animation: false,
    title: {text: title, left: 'center', top: 4, textStyle: {fontSize: 13}},
    tooltip: {formatter: p => tip(p.data.cell)},
    grid: {left: 64, right: 16, top: 34, bottom: 74},
    xAxis: {type: 'category', data: STUDY.spans.map(s => s + ' 分'), name: '時間',
            nameLocation: 'middle', nameGap: 24, splitArea: {show: true}},
    yAxis: {type: 'category', data: STUDY.rates.map(r => r + ' %'), name: '率',
            nameLocation: 'middle', nameGap: 44, splitArea: {show: true}},
    visualMap: {min: min, max: max, seriesIndex: 0, orient: 'horizontal', left: 'center',
                bottom: 2, itemHeight: 150, itemWidth: 12, calculable: false, textGap: 6,
                text: [ends(max), ends(min)], textStyle: {fontSize: 11}, inRange: {color: colors}},
    series: [{type: 'heatmap', label: {show: true, fontSize: 10, formatter: p => label(p.data.cell)},
              data: cells.filter(c => !few(c)).map(item)},
             {type: 'heatmap', label: {show: true, fontSize: 10, color: '#777',
                                       formatter: p => label(p.data.cell)},
              data: cells.filter(few).map(c => { const d = item(c);
                d.itemStyle = Object.assign({color: '#e0e0e0'}, d.itemStyle); return d; })}]
  });
}
const warm = ['#fff5eb', '#fdae6b', '#e6550d', '#7f2704'];
for (const kind of ['A', 'D']) {
  const cells = STUDY.cells.filter(c => c.kind === kind);
  heatmap('count-' + kind, '警告数(' + kinds[kind] + ')', kind, c => c.events,
          c => c.events + ' 件', [0, Math.max(1, ...cells.map(c => c.events))],
          ['#f7fbff', '#6baed6', '#08306b'], v => v + ' 件', c => STUDY.minScored);
  // One scale for every horizon of the kind, from the cells with enough scored alerts.
  const rates = [];
  cells.forEach(c => c.h.forEach(s => { if (s.n >= STUDY.minScored) rates.push(s.hit); }));
  const lo = rates.length ? Math.floor(Math.min(...rates)) : 0;
  const hi = rates.length ? Math.max(lo + 1, Math.ceil(Math.max(...rates))) : 100;
  STUDY.horizons.forEach((h, i) => {
    heatmap('hit-' + kind + '-' + i, h + ' 分後の的中率(' + kinds[kind] + ')', kind,
            c => c.h[i].n ? c.h[i].hit : null,
            c => { const s = c.h[i];
                   if (!s.n) return '–';
                   return (isBest(c, i) ? '★' : '') + s.hit.toFixed(1) + '%\n[' +
                          s.hl.toFixed(0) + '–' + s.hh.toFixed(0) + ']\n' + signed(s.mean, 2) + '%'; },
            [lo, hi], warm, v => v.toFixed(0) + ' %', c => c.h[i].n);
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
                               ps.map(p => p.seriesName + ' ' + p.value[1] + ' 円').join('、')},
    grid: {left: 64, right: 24, top: 34, bottom: 28},
    xAxis: {type: 'value', interval: 1800000, axisLabel: {formatter: clock},
            min: v => Math.floor(v.min / 1800000) * 1800000,
            max: v => Math.ceil(v.max / 1800000) * 1800000},
    yAxis: {type: 'value', scale: true, axisLabel: {formatter: v => v + ' 円'}},
    dataZoom: [{type: 'inside'}],
    series: [
      {name: '現在値', type: 'line', step: 'end', showSymbol: false, sampling: 'lttb',
       lineStyle: {width: 1, color: '#555'}, itemStyle: {color: '#555'}, data: issue.points},
      {name: '急騰の警告', type: 'scatter', symbol: 'triangle', symbolSize: 9,
       itemStyle: {color: '#d7191c'}, data: marks('A')},
      {name: '急落の警告', type: 'scatter', symbol: 'path://M0,0L10,0L5,9Z', symbolSize: 9,
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
h3 { font-size: 14px; margin: 14px 0 6px; }
p, li { font-size: 13px; color: #444; max-width: 1250px; line-height: 1.45; }
.row { display: flex; flex-wrap: wrap; gap: 10px; }
.heat { width: 322px; height: 300px; background: #fff; border: 1px solid #ddd; }
.issue { width: 1320px; height: 260px; background: #fff; border: 1px solid #ddd; margin-bottom: 8px; }
table { border-collapse: collapse; font-size: 13px; background: #fff; margin-bottom: 6px; }
th, td { border: 1px solid #ccc; padding: 3px 9px; text-align: right; }
th { background: #eee; }
td.l, th.l { text-align: left; }
tr.own td { background: #fff8d6; }
tr.best td { font-weight: bold; }
ul.warn li { color: #a33; }
td.warn { color: #a33; }
td.few { color: #999; }
)CSS";

std::string RateText(double r) { return kestrel::FormatGeneral(r); }
std::string SettingText(double rate, int span) {
    return RateText(rate) + " %/" + std::to_string(span) + " 分";
}
// A setting as the tables name it, the trader's own marked wherever it stands.
std::string SettingText(const CReportData& d, double rate, int span) {
    return SettingText(rate, span) +
           (rate == d.OwnRate && span == d.OwnSpan ? "(あなたの設定)" : std::string());
}
std::string KindName(char kind) { return kind == 'A' ? "急騰" : "急落"; }

// "27.3 % [19.5–36.8]" of a hit rate; "–" without a scored alert.
std::string HitCell(const CHorizonTally& t) {
    if (t.Scored == 0) return "–";
    const CInterval i = HitInterval(t);
    char text[96];
    std::snprintf(text, sizeof text, "%.1f %% [%.1f–%.1f]", t.HitRate() * 100, i.Low * 100,
                  i.High * 100);
    return text;
}
// "+0.050 % [−0.02–+0.12]" of a mean forward move.
std::string MeanCell(const CHorizonTally& t) {
    if (t.Scored == 0) return "–";
    std::string text = Percent(t.MeanForward(), 3, true);
    const CInterval i = MeanInterval(t);
    if (i.Known) {
        char range[64];
        std::snprintf(range, sizeof range, " [%+.3f–%+.3f]", i.Low, i.High);
        text += range;
    }
    return text;
}
// A share of the summed gain; above all of it the other issues together lost, and a number
// such as 8253 % would say nothing more.
std::string ShareText(double share) {
    return share > 1 ? std::string("100 % 超") : Percent(share * 100, 0);
}
std::string ShareCell(const CHorizonTally& t) {
    const CIssueShare top = TopIssue(t);
    if (!top.Known) return "–";
    return Html(top.Topic) + " " + ShareText(top.Share);
}
std::string CountsCell(const CHorizonTally& t) {
    return std::to_string(t.Hits) + " / " + std::to_string(t.Flat) + " / " +
           std::to_string(t.Misses());
}

const CSettingTally* Find(const std::vector<CSettingTally>& tallies, char kind, double rate,
                          int span) {
    for (const CSettingTally& t : tallies)
        if (t.Kind == kind && t.Rate == rate && t.Span == span) return &t;
    return nullptr;
}

// The settings of a kind at a horizon with a scored alert whose top issue gives more than half
// of their gain, highest mean forward move first.
std::vector<const CSettingTally*> ConcentratedSettings(const std::vector<CSettingTally>& tallies,
                                                       char kind, size_t h) {
    std::vector<const CSettingTally*> out;
    for (const CSettingTally& t : tallies)
        if (t.Kind == kind && h < t.ByHorizon.size() && t.ByHorizon[h].Scored > 0 &&
            Concentrated(t.ByHorizon[h]))
            out.push_back(&t);
    std::sort(out.begin(), out.end(), [h](const CSettingTally* a, const CSettingTally* b) {
        return a->ByHorizon[h].MeanForward() > b->ByHorizon[h].MeanForward();
    });
    return out;
}

// The highest mean forward move of a kind at a horizon among the settings with enough scored
// alerts, whatever their concentration: what the page named best before it looked at issues.
const CSettingTally* HighestMean(const std::vector<CSettingTally>& tallies, char kind, size_t h) {
    const CSettingTally* top = nullptr;
    for (const CSettingTally& t : tallies)
        if (t.Kind == kind && h < t.ByHorizon.size() && t.ByHorizon[h].Scored >= kBestMinScored &&
            (!top || t.ByHorizon[h].MeanForward() > top->ByHorizon[h].MeanForward()))
            top = &t;
    return top;
}

std::string BestSection(const CReportData& d) {
    std::string page =
        "<h2>最良の設定</h2>\n<p>基準: その評価時間での平均前進幅が最も高い設定。ただし評価数が " +
        std::to_string(kBestMinScored) +
        " 件以上あるもの(どれにもなければ評価のあるもの)で、1 銘柄が前進幅の合計の半分を超えて"
        "稼いでいないものに限ります。同じなら的中率の高いほう、評価数の多いほうを取ります。"
        "[ ] 内は 95 % 区間です。</p>\n"
        "<table>\n<tr><th class=\"l\">種類</th><th>評価時間</th><th>最良の設定</th><th>警告数</th>"
        "<th>評価数</th><th>的中 / 横ばい / 外れ</th><th>的中率 [95 % 区間]</th>"
        "<th>平均前進幅 [95 % 区間]</th><th>平均逆行幅</th><th class=\"l\">最大の寄与銘柄</th>"
        "<th class=\"l\">次点</th></tr>\n";
    std::string warnings;
    for (char kind : {'A', 'D'}) {
        for (size_t h = 0; h < d.Horizons.size(); ++h) {
            const std::string where =
                KindName(kind) + " " + std::to_string(d.Horizons[h]) + " 分後";
            const auto best = BestSettings(d.Tallies, kind, h, 3);
            page += "<tr><td class=\"l\">" + KindName(kind) + "</td><td>" +
                    std::to_string(d.Horizons[h]) + " 分</td>";
            const CSettingTally* highest = HighestMean(d.Tallies, kind, h);
            if (highest && Concentrated(highest->ByHorizon[h]) &&
                (best.empty() || best[0] != highest)) {
                const CIssueShare top = TopIssue(highest->ByHorizon[h]);
                warnings += "<li>" + where + ": 平均前進幅が最も高い " +
                            SettingText(d, highest->Rate, highest->Span) + "(" +
                            Percent(highest->ByHorizon[h].MeanForward(), 3, true) + ")は、その " +
                            ShareText(top.Share) + " を 1 銘柄 " + Html(top.Topic) +
                            " が稼いでいるため、最良とはしません。偶然に頼った成績の"
                            "おそれがあります。</li>\n";
            }
            const auto crowded = ConcentratedSettings(d.Tallies, kind, h);
            if (!crowded.empty()) {
                std::string names;
                for (const CSettingTally* t : crowded)
                    names += (names.empty() ? "" : "、") + SettingText(d, t->Rate, t->Span) + "(" +
                             Html(TopIssue(t->ByHorizon[h]).Topic) + " " +
                             ShareText(TopIssue(t->ByHorizon[h]).Share) + ")";
                warnings += "<li>" + where + ": 1 銘柄が前進幅の合計の半分を超える設定 " +
                            std::to_string(crowded.size()) + " 件: " + names + "</li>\n";
            }
            if (best.empty()) {
                page +=
                    "<td colspan=\"9\" class=\"l\">該当なし(評価のある設定がないか、どれも 1 "
                    "銘柄に偏っています)</td></tr>\n";
                continue;
            }
            const CSettingTally& t = *best[0];
            const CHorizonTally& ht = t.ByHorizon[h];
            page += "<td>" + SettingText(d, t.Rate, t.Span) + "</td><td>" +
                    std::to_string(t.Events) + " 件</td><td>" + std::to_string(ht.Scored) +
                    " 件</td><td>" + CountsCell(ht) + "</td><td>" + HitCell(ht) + "</td><td>" +
                    MeanCell(ht) + "</td><td>" + Percent(ht.MeanAdverse(), 3) +
                    "</td><td class=\"l\">" + ShareCell(ht) + "</td><td class=\"l\">";
            for (size_t i = 1; i < best.size(); ++i)
                page += (i > 1 ? "、" : "") + SettingText(d, best[i]->Rate, best[i]->Span) + "(" +
                        Percent(best[i]->ByHorizon[h].MeanForward(), 3, true) + ")";
            page += "</td></tr>\n";
        }
    }
    page += "</table>\n";
    if (!warnings.empty())
        page += "<p><b>注意:</b></p>\n<ul class=\"warn\">\n" + warnings + "</ul>\n";
    return page;
}

std::string OwnSection(const CReportData& d) {
    std::string page =
        "<h2>あなたの設定 " + SettingText(d.OwnRate, d.OwnSpan) + " と最良の設定</h2>\n";
    if (!Find(d.Tallies, 'A', d.OwnRate, d.OwnSpan))
        return page + "<p>この設定は検証した設定に含まれていません。</p>\n";
    page +=
        "<p>差は あなたの設定 − 最良の設定 です。95 % 区間が重なるなら、この日数の"
        "データでは 2 つの設定の差ははっきりしません。</p>\n<table>\n<tr><th class=\"l\">種類"
        "</th><th>評価時間</th><th>評価数</th><th>的中率 [95 % 区間]</th>"
        "<th>平均前進幅 [95 % 区間]</th><th>最良の設定</th><th>的中率の差</th>"
        "<th>平均前進幅の差</th><th class=\"l\">区間の重なり</th></tr>\n";
    for (char kind : {'A', 'D'}) {
        const CSettingTally* own = Find(d.Tallies, kind, d.OwnRate, d.OwnSpan);
        for (size_t h = 0; h < d.Horizons.size() && own; ++h) {
            const CHorizonTally& o = own->ByHorizon[h];
            page += "<tr class=\"own\"><td class=\"l\">" + KindName(kind) + "</td><td>" +
                    std::to_string(d.Horizons[h]) + " 分</td><td>" + std::to_string(o.Scored) +
                    " 件</td><td>" + HitCell(o) + "</td><td>" + MeanCell(o) + "</td>";
            const auto best = BestSettings(d.Tallies, kind, h, 1);
            if (best.empty() || o.Scored == 0) {
                page += "<td colspan=\"4\" class=\"l\">比べられません(" +
                        std::string(best.empty() ? "最良の設定なし" : "評価なし") + ")</td></tr>\n";
                continue;
            }
            const CHorizonTally& b = best[0]->ByHorizon[h];
            char diff[96];
            std::snprintf(diff, sizeof diff, "%+.1f ポイント", (o.HitRate() - b.HitRate()) * 100);
            std::string overlap;
            if (best[0] == own) {
                overlap = "最良の設定そのものです";
            } else {
                const bool hits = HitInterval(o).Overlaps(HitInterval(b));
                const CInterval om = MeanInterval(o), bm = MeanInterval(b);
                overlap = std::string("的中率: ") + (hits ? "重なる" : "重ならない") +
                          "、平均前進幅: " +
                          (om.Known && bm.Known ? (om.Overlaps(bm) ? "重なる" : "重ならない")
                                                : "区間なし(評価 2 件未満)");
            }
            page += "<td>" + SettingText(best[0]->Rate, best[0]->Span) + "</td><td>" + diff +
                    "</td><td>" + Percent(o.MeanForward() - b.MeanForward(), 3, true) +
                    "</td><td class=\"l\">" + overlap + "</td></tr>\n";
        }
    }
    return page + "</table>\n";
}

std::string WalkSection(const CReportData& d) {
    std::string page = "<h2>検証外の成績(ウォークフォワード)</h2>\n";
    if (d.Days.size() < 2)
        return page +
               "<p>1 日分のデータなので、検証外の成績は出せません(2 日以上で出ます)。上の"
               "最良の設定は、選んだのと同じデータでの成績です。</p>\n";
    page +=
        "<p>2 日目からの各日について、その前の日々だけで上と同じ基準で設定を選び、その日の"
        "成績を数えます(日は指定の順)。検証外の成績が全日で選んだ最良より大きく劣るなら、"
        "最良の成績の多くは選び方による当てはまりで、これからの日には期待できません。</p>\n"
        "<table>\n<tr><th class=\"l\">種類</th><th>評価時間</th><th>全日で選んだ最良</th>"
        "<th>その的中率</th><th>その平均前進幅</th><th>検証外の評価数</th><th>検証外の的中率</th>"
        "<th>検証外の平均前進幅</th><th class=\"l\">各日の選択</th></tr>\n";
    for (const CWalkForward& w : d.Walks) {
        if (w.Horizon >= d.Horizons.size()) continue;
        page += "<tr><td class=\"l\">" + KindName(w.Kind) + "</td><td>" +
                std::to_string(d.Horizons[w.Horizon]) + " 分</td>";
        const auto best = BestSettings(d.Tallies, w.Kind, w.Horizon, 1);
        if (best.empty()) {
            page += "<td colspan=\"3\" class=\"l\">該当なし</td>";
        } else {
            const CHorizonTally& b = best[0]->ByHorizon[w.Horizon];
            page += "<td>" + SettingText(d, best[0]->Rate, best[0]->Span) + "</td><td>" +
                    HitCell(b) + "</td><td>" + MeanCell(b) + "</td>";
        }
        page += "<td>" + std::to_string(w.Total.Scored) + " 件</td><td>" + HitCell(w.Total) +
                "</td><td>" + MeanCell(w.Total) + "</td><td class=\"l\">";
        for (size_t i = 0; i < w.Steps.size(); ++i) {
            const CWalkStep& s = w.Steps[i];
            page += (i ? "<br>" : "") + Html(s.Day) + ": ";
            page += s.Chosen ? SettingText(d, s.Rate, s.Span) + " → " +
                                   (s.Score.Scored ? Percent(s.Score.MeanForward(), 3, true)
                                                   : std::string("評価なし")) +
                                   "(" + std::to_string(s.Score.Scored) + " 件)"
                             : std::string("選べる設定なし");
        }
        page += "</td></tr>\n";
    }
    return page + "</table>\n";
}

std::string SessionSection(const CReportData& d, char kind) {
    std::string page = "<h3>時間帯別(" + KindName(kind) +
                       ")</h3>\n<p>寄り付き 9:00–9:30、前場 9:30–11:30、後場 12:30–15:00、"
                       "大引け前 15:00–15:30、その他はそれ以外の時刻。各欄: 評価数、的中率 "
                       "[95 % 区間]、平均前進幅。</p>\n";
    // The parts in which any setting has an alert.
    std::vector<size_t> parts;
    for (size_t s = 0; s < kSessions; ++s) {
        bool any = false;
        for (const CSettingTally& t : d.Tallies)
            if (t.Kind == kind && s < t.BySession.size())
                for (const CHorizonTally& ht : t.BySession[s]) any = any || ht.Scored + ht.Late > 0;
        if (any || s < kSessions - 1) parts.push_back(s);
    }
    for (size_t h = 0; h < d.Horizons.size(); ++h) {
        const bool open = h == d.ChartHorizon;
        page += std::string(open ? "<details open>" : "<details>") + "<summary>" +
                std::to_string(d.Horizons[h]) + " 分後</summary>\n<table>\n<tr><th>設定</th>";
        for (size_t s : parts) page += std::string("<th>") + kSessionNames[s] + "</th>";
        page += "</tr>\n";
        const auto best = BestSettings(d.Tallies, kind, h, 1);
        for (const CSettingTally& t : d.Tallies) {
            if (t.Kind != kind) continue;
            const bool own = t.Rate == d.OwnRate && t.Span == d.OwnSpan;
            const bool isBest = !best.empty() && best[0] == &t;
            page += std::string("<tr") +
                    (own      ? " class=\"own\""
                     : isBest ? " class=\"best\""
                              : "") +
                    "><td>" + (isBest ? "★ " : "") + SettingText(t.Rate, t.Span) +
                    (own ? "(あなたの設定)" : "") + "</td>";
            for (size_t s : parts) {
                const CHorizonTally* ht = s < t.BySession.size() && h < t.BySession[s].size()
                                              ? &t.BySession[s][h]
                                              : nullptr;
                if (!ht || ht->Scored == 0) {
                    page += "<td class=\"few\">0 件</td>";
                    continue;
                }
                page += std::string("<td") + (ht->Scored < kBestMinScored ? " class=\"few\"" : "") +
                        ">" + std::to_string(ht->Scored) + " 件、" + HitCell(*ht) + "、" +
                        Percent(ht->MeanForward(), 3, true) + "</td>";
            }
            page += "</tr>\n";
        }
        page += "</table></details>\n";
    }
    return page;
}

}  // namespace

std::string BuildReportHtml(const CReportData& d) {
    std::string days;
    for (const std::string& day : d.Days) days += (days.empty() ? "" : "、") + day;
    std::string horizons;
    for (int h : d.Horizons) horizons += (horizons.empty() ? "" : "、") + std::to_string(h) + " 分";
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"ja\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>ケストレル: 警告設定の検証</title>\n<style>";
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
    page += "\n</script>\n</head>\n<body>\n<h1>ケストレル: 警告設定の検証</h1>\n";
    page += "<p>対象日: " + Html(days) + "。評価時間: " + Html(horizons) +
            "。各日の各設定を、監視プログラムと同じトラッカー・キュー・監視スレッド・リストで"
            "再生しました。複数日は合算しています。</p>\n";
    page +=
        "<p>警告はそれぞれの評価時間で、その銘柄のその後の値で評価します。<b>前進幅</b>は"
        "(警告時刻 + 評価時間 までの最後の値 − 警告時の値)÷ 警告時の値 × 100 %(急落は"
        "符号を逆に)で、0 より上なら動きが続いたことを表します。<b>的中</b>は前進幅が 0 より"
        "上、<b>横ばい</b>はちょうど 0、<b>外れ</b>は 0 より下です。<b>的中率</b>は評価した"
        "警告のうち的中の割合(横ばいは的中に数えません)。<b>逆行幅</b>は評価時間内に警告と"
        "逆に動いた最大幅(警告時の値に対する %)。評価時間がその日の最後の値より後に終わる"
        "警告は対象外として数え、評価しません。的中率の 95 % 区間は Wilson の方法、平均前進幅の"
        "区間は 平均 ± 1.96 × 標準偏差 ÷ √評価数 です。</p>\n";
    page += BestSection(d);
    page += OwnSection(d);
    page += WalkSection(d);
    for (char kind : {'A', 'D'}) {
        page += "<h2>" + KindName(kind) + "</h2>\n";
        page +=
            "<p>率 × 時間ごとの警告数と、評価時間ごとの的中率(各欄: 的中率、95 % 区間、平均"
            "前進幅)。色の目盛りは同じ種類の評価時間で共通です。評価が " +
            std::to_string(kBestMinScored) + " 件未満の欄は灰色、太枠はあなたの設定 " +
            SettingText(d.OwnRate, d.OwnSpan) + "、★ は最良の設定です。</p>\n<div class=\"row\">";
        page += std::string("<div class=\"heat\" id=\"count-") + kind + "\"></div>";
        for (size_t h = 0; h < d.Horizons.size(); ++h)
            page += std::string("<div class=\"heat\" id=\"hit-") + kind + "-" + std::to_string(h) +
                    "\"></div>";
        page += "</div>\n";
        page += SessionSection(d, kind);
    }
    const std::string chartHorizon =
        std::to_string(d.Horizons.empty() ? 0 : d.Horizons[d.ChartHorizon]) + " 分後";
    page += "<h2>警告の多い銘柄(率 " + RateText(d.ChartRate) + " %、時間 " +
            std::to_string(d.ChartSpan) + " 分)</h2>\n<p>" +
            (d.ChartKind == 'A' ? chartHorizon + "で急騰に最良の設定です。"
             : d.ChartKind == 'D'
                 ? chartHorizon + "で急騰に最良の設定がないため、急落に最良の設定です。"
                 : chartHorizon + "で最良の設定がないため、検証した最初の設定です。") +
            "その日の値動きと警告(▲ 急騰、▼ 急落)。</p>\n";
    if (d.Issues.empty()) page += "<p>この設定では警告がありません。</p>\n";
    for (size_t i = 0; i < d.Issues.size(); ++i)
        page += "<div class=\"issue\" id=\"issue-" + std::to_string(i) + "\"></div>\n";
    page += "<script>\nconst STUDY = " + StudyJson(d) + ";\n";
    page += kPageScript;
    page += "</script>\n</body>\n</html>\n";
    return page;
}
