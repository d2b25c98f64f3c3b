#pragma once
// TIssueChart: the chart of one watched issue: its stored quote points, the look-back window's
// low and high, the prices at which a move would count as sharp, and every sharp move, kept up
// to date from the issue's tracker.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <QTimer>
#include <QWidget>

#include "tracking/MoveEvent.h"

class CTrkg;
class QChart;
class QChartView;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

// What the chart shows, read from a tracker at one moment.
struct TChartPoint {
    int64_t Ms = 0;  // time of day
    int32_t Price = 0;
};
struct TChartData {
    std::vector<TChartPoint> Points;  // the stored quote points, oldest first
    // The look-back window of the latest point, as the detection saw it: its start time, the
    // point in force at that start (or the oldest one) and its lowest and highest price.
    bool HasWindow = false;
    int64_t WindowStartMs = 0;
    size_t WindowFirst = 0;
    int32_t Low = 0, High = 0;
    // The prices at which the latest price would be a sharp rise (fall) against that low (high):
    // low / (1 - rate/100) and high / (1 + rate/100). Not there when the rate makes none.
    bool HasRiseLine = false, HasFallLine = false;
    double RiseLine = 0, FallLine = 0;
    // The points at which the issue moved sharply, each judged against the window it had.
    std::vector<TChartPoint> Rises, Falls;
};
// Reads the tracker's ring (on the thread that writes it: the trackers live on the window
// thread) and judges each point as the tracker judged it, by the rule the tracker judges by.
TChartData ReadChartData(const CTrkg& tracker, const MoveRule& rule);

class TIssueChart : public QWidget {
    Q_OBJECT
public:
    struct TSource {
        // The issue's tracker now, or null (not watched, or no trackers yet). Asked at every
        // refresh, never kept: the trackers may be made anew while the chart is open.
        std::function<const CTrkg*()> Tracker;
        // The rule the trackers judge by.
        std::function<MoveRule()> Rule;
    };
    TIssueChart(std::string topic, TSource source, QWidget* parent = nullptr);
    ~TIssueChart() override;

    const std::string& Topic() const { return TopicText; }
    // Reads the tracker and redraws; the timer calls it every second.
    void Refresh();
    // The x value of a time of day on the chart's time axis.
    static double AxisX(int64_t ms);
    static constexpr int kRefreshMs = 1000;

    QChart* Chart = nullptr;
    QChartView* View = nullptr;
    QLineSeries* Prices = nullptr;
    QLineSeries* WindowLow = nullptr;
    QLineSeries* WindowHigh = nullptr;
    QLineSeries* RiseLine = nullptr;
    QLineSeries* FallLine = nullptr;
    QScatterSeries* Rises = nullptr;
    QScatterSeries* Falls = nullptr;
    QDateTimeAxis* TimeAxis = nullptr;
    QValueAxis* PriceAxis = nullptr;
    QLabel* Figures = nullptr;  // the window's figures in words, under the chart
    QTimer RefreshTimer;

private:
    void Show(const TChartData& data, const MoveRule& rule);
    void ShowNothing(const QString& why);

    std::string TopicText;
    QString IssueTitle;  // topic and name
    TSource Source;
    // What the last refresh read, so an unchanged ring is not read again.
    const CTrkg* LastTracker = nullptr;
    int32_t LastWritePos = -1, LastPointCount = -1;
    MoveRule LastRule;
};
