#include "kestrel-backtest/StudyScore.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/Format.h"
#include "common/TimeOfDay.h"
#include "kestrel-backtest/Csv.h"
#include "kestrel-backtest/StudyCharts.h"
#include "kestrel-backtest/StudyRun.h"

namespace {

int64_t Limit(int32_t timeMs, int horizon) {
    return int64_t{timeMs} + int64_t{horizon} * kestrel::kMsPerMinute;
}

// Indices of points in a queue whose front is popped by moving a head: the pushes of one
// horizon's pass are at most the issue's points, so nothing needs giving back on the way.
struct CIndexQueue {
    std::vector<uint32_t> Items;
    size_t Head = 0;
    bool Empty() const { return Head == Items.size(); }
    void Clear() { Items.clear(), Head = 0; }
};

// The path of an alert when the alerts' times never go backwards: each alert's limit is then
// at least the last one's, so the end of the path only moves forward, and the points between
// an alert and its end are a window that slides on. Its low and high are the fronts of two
// monotone queues.
struct CForwardPath {
    size_t End = 0;           // the current path is (alert, End)
    CIndexQueue Lows, Highs;  // prices rising from the front, falling from the front
    void Clear() { End = 0, Lows.Clear(), Highs.Clear(); }
    // Moves on to the path of an alert at point `a` (no earlier than the last), whose time plus
    // its horizon is `limit`.
    void MoveTo(std::span<const CQuotePoint> points, uint32_t a, int64_t limit) {
        if (End <= a) {
            End = size_t{a} + 1;
            Lows.Clear();
            Highs.Clear();
        } else {
            while (!Lows.Empty() && Lows.Items[Lows.Head] <= a) ++Lows.Head;
            while (!Highs.Empty() && Highs.Items[Highs.Head] <= a) ++Highs.Head;
        }
        for (; End < points.size() && points[End].TimeMs <= limit; ++End) {
            const int32_t p = points[End].Price;
            while (!Lows.Empty() && points[Lows.Items.back()].Price >= p) Lows.Items.pop_back();
            Lows.Items.push_back(static_cast<uint32_t>(End));
            while (!Highs.Empty() && points[Highs.Items.back()].Price <= p) Highs.Items.pop_back();
            Highs.Items.push_back(static_cast<uint32_t>(End));
        }
    }
    // The path's last price, lowest and highest; the alert's own price when the path is empty.
    int32_t Later(std::span<const CQuotePoint> points, uint32_t a) const {
        return End - 1 > a ? points[End - 1].Price : points[a].Price;
    }
    int32_t Low(std::span<const CQuotePoint> points, uint32_t a) const {
        return Lows.Empty() ? points[a].Price : points[Lows.Items[Lows.Head]].Price;
    }
    int32_t High(std::span<const CQuotePoint> points, uint32_t a) const {
        return Highs.Empty() ? points[a].Price : points[Highs.Items[Highs.Head]].Price;
    }
};

// The path ends of one horizon when the alerts' times never go backwards.
void FollowForward(std::span<const CQuotePoint> points, const std::vector<CAlertAt>& alerts,
                   size_t h, int horizon, size_t hs, CPathEnd* out) {
    CForwardPath path;
    for (size_t k = 0; k < alerts.size(); ++k) {
        const uint32_t a = alerts[k].Point;
        path.MoveTo(points, a, Limit(points[a].TimeMs, horizon));
        out[k * hs + h] = {path.Later(points, a),
                           alerts[k].Kind == 'A' ? path.Low(points, a) : path.High(points, a)};
    }
}

// The path ends when some alert's time is earlier than an earlier alert's (a recording whose
// clock went back): the alerts are taken from the last, and the points after each are kept as
// three stacks of records, from the nearest point on: each point later than all before it,
// each lower than all before it, each higher. The path's end is the first time record past
// the limit, its low the last low record before that end: two binary searches.
void FollowBackward(std::span<const CQuotePoint> points, const std::vector<CAlertAt>& alerts,
                    const std::vector<int>& horizons, CPathEnd* out) {
    const size_t hs = horizons.size();
    // Front to back: indices falling, so the nearest point is at the back.
    std::vector<uint32_t> times, lows, highs;
    size_t next = points.size();  // the points from here on are in the stacks
    for (size_t k = alerts.size(); k-- > 0;) {
        const uint32_t a = alerts[k].Point;
        for (; next > size_t{a} + 1;) {
            const uint32_t j = static_cast<uint32_t>(--next);
            const CQuotePoint& p = points[j];
            while (!times.empty() && points[times.back()].TimeMs <= p.TimeMs) times.pop_back();
            times.push_back(j);
            while (!lows.empty() && points[lows.back()].Price >= p.Price) lows.pop_back();
            lows.push_back(j);
            while (!highs.empty() && points[highs.back()].Price <= p.Price) highs.pop_back();
            highs.push_back(j);
        }
        const int32_t p0 = points[a].Price;
        const std::vector<uint32_t>& extremes = alerts[k].Kind == 'A' ? lows : highs;
        for (size_t h = 0; h < hs; ++h) {
            const int64_t limit = Limit(points[a].TimeMs, horizons[h]);
            // The records later than the limit are a front part: its last is the nearest.
            const auto past = std::partition_point(
                times.begin(), times.end(), [&](uint32_t i) { return points[i].TimeMs > limit; });
            const size_t end = past == times.begin() ? points.size() : *(past - 1);
            const auto inPath = std::partition_point(extremes.begin(), extremes.end(),
                                                     [&](uint32_t i) { return i >= end; });
            CPathEnd& o = out[k * hs + h];
            o.Later = end - 1 > a ? points[end - 1].Price : p0;
            o.Extreme = inPath == extremes.end() ? p0 : points[*inPath].Price;
        }
    }
}

}  // namespace

void FollowAlerts(std::span<const CQuotePoint> points, const std::vector<CAlertAt>& alerts,
                  const std::vector<int>& horizons, CPathEnd* out) {
    bool forward = true;
    for (size_t k = 1; k < alerts.size() && forward; ++k)
        forward = points[alerts[k].Point].TimeMs >= points[alerts[k - 1].Point].TimeMs;
    if (!forward) return FollowBackward(points, alerts, horizons, out);
    for (size_t h = 0; h < horizons.size(); ++h)
        FollowForward(points, alerts, h, horizons[h], horizons.size(), out);
}

bool PointPaths(std::span<const CQuotePoint> points, const std::vector<int>& horizons,
                CPointPaths* at) {
    for (size_t i = 1; i < points.size(); ++i)
        if (points[i].TimeMs < points[i - 1].TimeMs) return false;
    // Every point an alert, followed as FollowForward follows alerts: with the clock never
    // going back, a path's end depends on its own point alone, whichever alerts came before.
    const size_t n = points.size(), hs = horizons.size();
    CForwardPath path;
    for (size_t h = 0; h < hs; ++h) {
        path.Clear();
        for (uint32_t a = 0; a < n; ++a) {
            path.MoveTo(points, a, Limit(points[a].TimeMs, horizons[h]));
            at[a * hs + h] = {path.Later(points, a), path.Low(points, a), path.High(points, a)};
        }
    }
    return true;
}

CScore ScoreOf(const CQuotePoint& alert, char kind, int horizon, int32_t endMs, CPathEnd path) {
    CScore s;
    if (alert.Price <= 0 || Limit(alert.TimeMs, horizon) > endMs) return s;
    const int64_t p0 = alert.Price;
    const int64_t gain = kind == 'A' ? path.Later - p0 : p0 - path.Later;
    const int64_t against =
        std::max<int64_t>(0, kind == 'A' ? p0 - path.Extreme : path.Extreme - p0);
    s.Scored = true;
    s.Later = path.Later;
    s.Forward = static_cast<double>(gain) / static_cast<double>(p0) * 100;
    s.Adverse = static_cast<double>(against) / static_cast<double>(p0) * 100;
    return s;
}

namespace kestrel::study {

namespace {

// ---- event lines --------------------------------------------------------------------------

// "hh:nn:ss", with ".mmm" when the time has milliseconds, put at `at` (room for 40 bytes); the
// end is returned.
char* PutClock(char* at, int64_t ms) {
    auto two = [&at](int64_t v) {
        *at++ = static_cast<char>('0' + v / 10 % 10);
        *at++ = static_cast<char>('0' + v % 10);
    };
    const int64_t s = ms / 1000;
    if (s / 3600 >= 100) at = std::to_chars(at, at + 24, s / 3600 / 100).ptr;
    two(s / 3600);
    *at++ = ':';
    two(s / 60 % 60);
    *at++ = ':';
    two(s % 60);
    if (ms % 1000 != 0) {
        *at++ = '.';
        *at++ = static_cast<char>('0' + ms % 1000 / 100);
        two(ms % 100);
    }
    return at;
}

template <class V>
double Median(V& v) {
    if (v.empty()) return std::nan("");
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    const double upper = v[mid];
    if (v.size() % 2 == 1) return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2;
}

}  // namespace

void ScoreRun(const CStudyOptions& o, const CDay& day, CRun& run, CRunUi& ui,
              CScoreScratch& scratch) {
    // How many events ahead an issue's next point is asked for.
    constexpr size_t kAhead = 16;
    const size_t hs = o.Horizons.size();
    const size_t trackers = day.Series.Issues();
    auto& fwd = scratch.Forward;
    for (auto& byHorizon : fwd) {
        byHorizon.resize(hs);
        for (auto& v : byHorizon) v.clear();
    }
    std::vector<char> seen[2] = {std::vector<char>(trackers), std::vector<char>(trackers)};
    std::vector<int64_t> perIssue(trackers);
    std::vector<size_t> cursor(trackers);
    for (int k = 0; k < 2; ++k) {
        CSettingTally& t = run.Tally[k];
        t.Rate = run.Rate, t.Span = run.Span, t.Kind = k == 0 ? 'A' : 'D';
        t.ByHorizon.assign(hs, CHorizonTally{});
        t.BySession.assign(kSessions, std::vector<CHorizonTally>(hs));
    }
    // Each issue's summed forward move and scored alerts, by kind and horizon, made into the
    // tallies' topics at the end: one addition an alert, not a lookup by name.
    std::vector<double> issueSum[2] = {std::vector<double>(trackers * hs),
                                       std::vector<double>(trackers * hs)};
    std::vector<int64_t> issueScored[2] = {std::vector<int64_t>(trackers * hs),
                                           std::vector<int64_t>(trackers * hs)};
    using CMatched = CScoreScratch::CMatched;
    auto& matched = scratch.Matched;
    matched.clear();
    matched.reserve(ui.Events.size());
    // The day's tracker of each of the run's topics, looked up once per topic; -1 for none.
    std::vector<int> trackerOf(ui.Topics().Count(), -1);
    for (size_t n = 0; n < trackerOf.size(); ++n) {
        const auto found =
            day.TopicIndex.find(std::string(ui.Topics().Text(static_cast<uint32_t>(n))));
        if (found != day.TopicIndex.end()) trackerOf[n] = found->second;
    }
    auto& paths = scratch.Paths;
    paths.clear();
    for (size_t i = 0; i < ui.Events.size(); ++i) {
        if (i + kAhead < ui.Events.size()) {
            const int ahead = trackerOf[ui.Events[i + kAhead].Topic];
            if (ahead >= 0) {
                const size_t t = static_cast<size_t>(ahead);
                __builtin_prefetch(day.Series.Of(t).data() + cursor[t]);
                if (const CPointPaths* table = day.Series.PathsOf(t))
                    __builtin_prefetch(table + cursor[t] * hs);
            }
        }
        const CRunUi::CEvent& e = ui.Events[i];
        if (e.Action != 'A' || (e.Kind != 'A' && e.Kind != 'D') || ui.TopicOf(e).empty()) {
            ++run.Unmatched;
            continue;
        }
        const CRunUi::CEvent& ev = e;
        const int k = e.Kind == 'A' ? 0 : 1;
        CSettingTally& t = run.Tally[k];
        ++t.Events;
        // The alert's own point: the line the replay delivered when the event was raised.
        const int tracker = trackerOf[e.Topic];
        std::span<const CQuotePoint> series;
        if (tracker >= 0) series = day.Series.Of(static_cast<size_t>(tracker));
        size_t at = 0;
        bool found = false;
        if (tracker >= 0) {
            // Events come in replay order, so each issue's points are walked once.
            size_t& c = cursor[static_cast<size_t>(tracker)];
            while (c < series.size() && series[c].Line < ev.Line) ++c;
            at = c;
            found = at < series.size() && series[at].Line == ev.Line && series[at].Price == e.Price;
        }
        if (!found) {
            ++run.Unmatched;
            continue;
        }
        if (!seen[k][static_cast<size_t>(tracker)])
            seen[k][static_cast<size_t>(tracker)] = 1, ++t.Issues;
        ++perIssue[static_cast<size_t>(tracker)];
        matched.push_back(
            {static_cast<uint32_t>(i), tracker, static_cast<uint32_t>(at), series[at], e.Kind});
        // The alert's paths from the day's, where its issue's clock never went back; the others
        // are followed below.
        const CPointPaths* table = day.Series.PathsOf(static_cast<size_t>(tracker));
        for (size_t h = 0; h < hs; ++h)
            paths.push_back(table ? table[at * hs + h].Of(e.Kind) : CPathEnd{});
    }

    // Each issue's alerts together, in the order they were raised (`byIssue`, with `order`
    // saying which alert each is), followed over its points; their paths go back in the order
    // the alerts came, so the rows read them one after another.
    auto followed = [&](int tracker) {
        return day.Series.PathsOf(static_cast<size_t>(tracker)) == nullptr;
    };
    std::vector<uint32_t> first(trackers + 1);
    for (const CMatched& m : matched)
        if (followed(m.Tracker)) ++first[static_cast<size_t>(m.Tracker) + 1];
    for (size_t t = 0; t < trackers; ++t) first[t + 1] += first[t];
    auto& byIssue = scratch.ByIssue;
    auto& order = scratch.Order;
    byIssue.resize(first[trackers]);
    order.resize(first[trackers]);
    {
        std::vector<uint32_t> fill(first.begin(), first.end() - 1);
        for (size_t m = 0; m < matched.size(); ++m) {
            if (!followed(matched[m].Tracker)) continue;
            const uint32_t p = fill[static_cast<size_t>(matched[m].Tracker)]++;
            byIssue[p] = {matched[m].Point, matched[m].Kind};
            order[p] = static_cast<uint32_t>(m);
        }
    }
    std::vector<CAlertAt> alerts;
    std::vector<CPathEnd> issuePaths;
    for (size_t t = 0; t < trackers; ++t) {
        if (first[t] == first[t + 1]) continue;
        alerts.assign(byIssue.begin() + first[t], byIssue.begin() + first[t + 1]);
        issuePaths.resize(alerts.size() * hs);
        FollowAlerts(day.Series.Of(t), alerts, o.Horizons, issuePaths.data());
        for (size_t q = 0; q < alerts.size(); ++q)
            std::copy_n(issuePaths.data() + q * hs, hs,
                        paths.data() + size_t{order[first[t] + q]} * hs);
    }

    CAlertRows::CSink part(*run.Rows, run.Index, run.Budget, scratch.Rows);
    // The fields made once: what a row begins with by kind (the day, the rate, the time and the
    // kind), each topic's and each issue's name as a field.
    std::string rowStart[2];
    for (int k = 0; k < 2; ++k)
        CCsvWriter(rowStart[k])
            .Field(day.Dir)
            .Field(kestrel::FormatGeneral(run.Rate))
            .Field(int64_t{run.Span})
            .Field(k == 0 ? "A" : "D")
            .Field(std::string_view());  // the comma before the topic
    std::vector<std::string> topicFields(ui.Topics().Count());
    for (size_t n = 0; n < topicFields.size(); ++n)
        CCsvWriter(topicFields[n]).Field(ui.Topics().Text(static_cast<uint32_t>(n)));
    std::vector<std::string> nameFields(trackers);
    for (size_t i = 0; i < trackers && i < day.Names.size(); ++i)
        CCsvWriter(nameFields[i]).Field(day.Names[i]);
    // A row's numbers, a few at a time, are put together here and appended at once.
    char numbers[3 * (CCsvWriter::kNumberRoom + 1) + kestrel::kFixedRoom + 64];
    for (size_t m = 0; m < matched.size(); ++m) {
        const CMatched& a = matched[m];
        const CRunUi::CEvent& e = ui.Events[a.Event];
        const int k = a.Kind == 'A' ? 0 : 1;
        CSettingTally& t = run.Tally[k];
        const CQuotePoint& alert = a.Alert;
        std::string& out = part.Buffer;
        out += rowStart[k];
        out += topicFields[e.Topic];
        char* at = numbers;
        *at++ = ',';
        at = CCsvWriter::PutNumber(at, int64_t{alert.Line} + 1);
        *at++ = ',';
        at = PutClock(at, alert.TimeMs);
        *at++ = ',';
        at = CCsvWriter::PutNumber(at, int64_t{alert.Price});
        *at++ = ',';
        at = CCsvWriter::PutNumber(at, int64_t{e.Move});
        *at++ = ',';
        if (char* end = kestrel::PutFixed(at, e.MoveRatio(), 2)) {
            out.append(numbers, end);
        } else {
            out.append(numbers, at);
            kestrel::AppendFixed(out, e.MoveRatio(), 2);
        }
        for (size_t h = 0; h < hs; ++h) {
            const CScore s = ScoreOf(alert, a.Kind, o.Horizons[h], day.EndMs, paths[m * hs + h]);
            CHorizonTally& ht = t.ByHorizon[h];
            CHorizonTally& session = t.BySession[SessionOf(alert.TimeMs)][h];
            at = numbers;
            *at++ = ',';
            if (s.Scored) {
                at = CCsvWriter::PutNumber(at, int64_t{s.Later});
                ht.Add(s.Forward, s.Adverse);
                session.Add(s.Forward, s.Adverse);
                const size_t at = static_cast<size_t>(a.Tracker) * hs + h;
                issueSum[k][at] += s.Forward;
                ++issueScored[k][at];
                fwd[k][h].push_back(s.Forward);
            } else {
                if (alert.Price > 0) ++ht.Late, ++session.Late;
            }
            for (const double v : {s.Forward, s.Adverse}) {
                *at++ = ',';
                if (s.Scored && std::isfinite(v)) at = CCsvWriter::PutNumber(at, v, 4);
            }
            out.append(numbers, at);
        }
        out += ',';
        CCsvWriter(out).FieldWrittenBy([&](std::string& text) { ui.AppendEventText(e, text); });
        out += ',';
        out += nameFields[static_cast<size_t>(a.Tracker)];
        out += "\r\n";
        part.FlushWhenFull();
        // The rows go in the order the moves came: the moves before this one are done with.
        ui.Events.ForgetBefore(a.Event);
    }
    part.Close();
    for (int k = 0; k < 2; ++k)
        for (size_t i = 0; i < trackers; ++i)
            for (size_t h = 0; h < hs; ++h)
                if (issueScored[k][i * hs + h] > 0)
                    run.Tally[k].ByHorizon[h].ByIssue[day.Topics[i]] += issueSum[k][i * hs + h];
    for (int k = 0; k < 2; ++k) {
        run.Median[k].resize(hs);
        for (size_t h = 0; h < hs; ++h) run.Median[k][h] = Median(fwd[k][h]);
    }
    // The issues with the most alerts, for the report's charts.
    std::vector<int> top;
    for (size_t i = 0; i < trackers; ++i)
        if (perIssue[i] > 0) top.push_back(static_cast<int>(i));
    std::sort(top.begin(), top.end(), [&](int a, int b) {
        return perIssue[static_cast<size_t>(a)] != perIssue[static_cast<size_t>(b)]
                   ? perIssue[static_cast<size_t>(a)] > perIssue[static_cast<size_t>(b)]
                   : a < b;
    });
    if (top.size() > kChartIssues) top.resize(kChartIssues);
    for (int i : top) run.Top.push_back({i, perIssue[static_cast<size_t>(i)], {}});
    for (const CMatched& a : matched) {
        for (CTopIssue& issue : run.Top) {
            if (issue.Tracker != a.Tracker) continue;
            issue.Marks.push_back({a.Alert.TimeMs, a.Alert.Price, a.Kind});
        }
    }
}

}  // namespace kestrel::study
