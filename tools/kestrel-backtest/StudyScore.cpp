#include "kestrel-backtest/StudyScore.h"

#include <algorithm>

#include "common/TimeOfDay.h"

namespace {

int64_t Limit(int32_t timeMs, int horizon) {
    return int64_t{timeMs} + int64_t{horizon} * kestrel::kMsPerMinute;
}

// Indices of points in a queue whose front is popped by moving a head: the pushes of one
// horizon's pass are at most the points, so nothing needs giving back on the way.
struct CIndexQueue {
    std::vector<uint32_t> Items;
    size_t Head = 0;
    bool Empty() const { return Head == Items.size(); }
    void Clear() { Items.clear(), Head = 0; }
};

// The path ends of one horizon when the alerts' times never go backwards: each alert's limit
// is then at least the last one's, so the end of the path only moves forward, and the points
// between an alert and its end are a window that slides on. Its low and high are the fronts
// of two monotone queues.
void FollowForward(const std::vector<CQuotePoint>& points, const std::vector<CAlertAt>& alerts,
                   size_t h, int horizon, size_t hs, CPathEnd* out) {
    const size_t n = points.size();
    size_t end = 0;           // the current path is (alert, end)
    CIndexQueue lows, highs;  // prices rising from the front, falling from the front
    for (size_t k = 0; k < alerts.size(); ++k) {
        const uint32_t a = alerts[k].Point;
        const int64_t limit = Limit(points[a].TimeMs, horizon);
        if (end <= a) {
            end = size_t{a} + 1;
            lows.Clear();
            highs.Clear();
        } else {
            while (!lows.Empty() && lows.Items[lows.Head] <= a) ++lows.Head;
            while (!highs.Empty() && highs.Items[highs.Head] <= a) ++highs.Head;
        }
        for (; end < n && points[end].TimeMs <= limit; ++end) {
            const int32_t p = points[end].Price;
            while (!lows.Empty() && points[lows.Items.back()].Price >= p) lows.Items.pop_back();
            lows.Items.push_back(static_cast<uint32_t>(end));
            while (!highs.Empty() && points[highs.Items.back()].Price <= p) highs.Items.pop_back();
            highs.Items.push_back(static_cast<uint32_t>(end));
        }
        const int32_t p0 = points[a].Price;
        CPathEnd& o = out[k * hs + h];
        o.Later = end - 1 > a ? points[end - 1].Price : p0;
        const CIndexQueue& q = alerts[k].Kind == 'A' ? lows : highs;
        o.Extreme = q.Empty() ? p0 : points[q.Items[q.Head]].Price;
    }
}

// The path ends when some alert's time is earlier than an earlier alert's (a recording whose
// clock went back): the alerts are taken from the last, and the points after each are kept as
// three stacks of records, from the nearest point on: each point later than all before it,
// each lower than all before it, each higher. The path's end is the first time record past
// the limit, its low the last low record before that end: two binary searches.
void FollowBackward(const std::vector<CQuotePoint>& points, const std::vector<CAlertAt>& alerts,
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

void FollowAlerts(const std::vector<CQuotePoint>& points, const std::vector<CAlertAt>& alerts,
                  const std::vector<int>& horizons, CPathEnd* out) {
    bool forward = true;
    for (size_t k = 1; k < alerts.size() && forward; ++k)
        forward = points[alerts[k].Point].TimeMs >= points[alerts[k - 1].Point].TimeMs;
    if (!forward) return FollowBackward(points, alerts, horizons, out);
    for (size_t h = 0; h < horizons.size(); ++h)
        FollowForward(points, alerts, h, horizons[h], horizons.size(), out);
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
