#pragma once
// The scoring of a study's alerts against the same day's later prices: for every alert of one
// issue and every horizon, where the horizon's path ends, its last price and its extreme.
// One forward pass over the points per horizon, however many alerts there are; where
// the clock never goes back, one such pass a day serves every setting (PointPaths).
// (StudyScore.cpp also scores a whole run, ScoreRun in StudyRun.h: the alerts matched to their
// points, the tallies, the medians and the run's rows of alerts.csv.)
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// A quote point a tracker stored: the replayed line, its time of day in ms, its price.
struct CQuotePoint {
    int32_t Line, TimeMs, Price;
};

// An alert of one issue: the point that raised it and its kind ('A' rise, 'D' fall).
struct CAlertAt {
    uint32_t Point;
    char Kind;
};

// Where an alert's path ends at one horizon. The path is the points after the alert,
// in replay order, up to the first one later than the alert's time + the horizon. Later is the
// path's last price (the alert's own when the path is empty); Extreme its lowest price for a
// rise, its highest for a fall (the alert's own when the path is empty).
struct CPathEnd {
    int32_t Later, Extreme;
};

// Fills out[k * horizons.size() + h] for alert k at horizon h (minutes, ascending). The
// alerts' points must not go backwards. When the alerts' times do not either (a recording
// whose clock runs forward) this is one pass per horizon over the points from the first
// alert on, with a monotone queue for the path's low and high; otherwise each alert costs a
// binary search in stacks made in one backward pass.
void FollowAlerts(std::span<const CQuotePoint> points, const std::vector<CAlertAt>& alerts,
                  const std::vector<int>& horizons, CPathEnd* out);

// The paths of an alert at any point of one issue whose clock never goes back, made once for a
// day and read by every setting: at[i * horizons.size() + h] is the path of an alert at point i
// at horizon h, with both its lowest and its highest price. False, with nothing written, when
// some point's time is earlier than the one before: the alerts are then followed run by run
// (FollowAlerts).
struct CPointPaths {
    int32_t Later, Low, High;
    CPathEnd Of(char kind) const { return {Later, kind == 'A' ? Low : High}; }
};
bool PointPaths(std::span<const CQuotePoint> points, const std::vector<int>& horizons,
                CPointPaths* at);

// An alert's scores at one horizon.
struct CScore {
    bool Scored = false;
    int32_t Later = 0;
    double Forward = 0, Adverse = 0;
};
// From an alert's path: the forward move is (later − alert) / alert × 100, negated for a fall;
// the adverse move is the largest move against the alert on the path, (alert − lowest) / alert
// × 100 for a rise and (highest − alert) / alert × 100 for a fall, 0 when the price never went
// against it. A horizon that ends after the day's latest time (endMs) is not scored, nor is an
// alert at a price of 0 or below.
CScore ScoreOf(const CQuotePoint& alert, char kind, int horizon, int32_t endMs, CPathEnd path);
