#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <QLabel>
#include <QTest>
#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>

#include "common/TimeOfDay.h"
#include "ranking/Meigara.h"
#include "settings/Ini.h"
#include "support/FakeDde.h"
#include "support/TempDir.h"
#include "tracking/Trkg.h"
#include "ui/IssueChart.h"
#include "ui/UiTestSupport.h"

using kestrel::test::TempDir;

namespace {

int64_t Ms(int h, int m, int s = 0) { return ((h * 60 + m) * 60 + s) * 1000LL; }

// One live-mode tracker on an in-memory quote service; every sharp move the tracker reports is
// noted with the tracker's own figures at that moment.
struct OneIssue {
    TempDir dir;
    CIni ini{dir.File("chart.ini")};
    bool initDone = true;
    CMeigaraQueue qa{'A'}, qd{'D'};
    CFakeDdeServer server;
    CTrkgContext ctx;
    std::unique_ptr<CTrkgList> trackers;
    struct Move {
        int64_t Ms;
        int32_t Price;
    };
    std::vector<Move> rises, falls;
    int volume = 0;

    explicit OneIssue(const std::string& topic) {
        ini.Flg = 0;
        ctx.Replaying = ini.IsDebug();
        ctx.Rule = {ini.GetRate(), ini.GetSpan()};
        ctx.InitDone = &initDone;
        ctx.QueueA = &qa;
        ctx.QueueD = &qd;
        ctx.ConvFactory = server.Factory();
        ctx.EventLog = [this](const MoveEvent& e) {
            (e.Kind == 'A' ? rises : falls).push_back({e.TimeMs, e.Price});
        };
        server.Topics[topic] = {{"銘柄名称", "チャート銘柄"},
                                {"前日終値", "1000"},
                                {"始値", "1000"},
                                {"現在値", ""},
                                {"出来高", "0"},
                                {"現在値時刻", "  :  "}};
        trackers = std::make_unique<CTrkgList>(std::vector<std::string>{topic}, ctx);
    }
    const CTrkg& Tracker() const { return *trackers->Items(0); }
    void Quote(int price, const std::string& time) {
        const std::string topic = Tracker().GetTopic();
        server.Set(topic, "現在値", std::to_string(price), false);
        server.Set(topic, "現在値時刻", time, false);
        server.Set(topic, "出来高", std::to_string(++volume));
        while (qa.Pop() || qd.Pop()) {
        }
    }
};

std::vector<QPointF> Points(const QXYSeries* s) {
    const QList<QPointF> list = s->points();
    return std::vector<QPointF>(list.begin(), list.end());
}

std::vector<QPointF> Expected(const std::vector<OneIssue::Move>& moves) {
    std::vector<QPointF> v;
    for (const auto& m : moves) v.emplace_back(TIssueChart::AxisX(m.Ms), m.Price);
    return v;
}

class IssueChartTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kestrel::test::EnsureApplication(); }
};

// The chart shows the tracker's points, its window and thresholds, and exactly the moves the
// tracker reported, and follows new points on its timer.
TEST_F(IssueChartTest, SeriesHoldTheTrackersPointsWindowThresholdsAndMoves) {
    OneIssue feed("1234.T");
    const std::vector<std::pair<int, std::string>> quotes = {
        {1000, "09:00:10"}, {1005, "09:01:00"}, {1030, "09:02:30"},  // +2.9 %: a rise
        {1020, "09:03:00"}, {995, "09:06:20"},                       // -2.5 %: a fall
        {1001, "09:07:05"}};
    for (const auto& [price, time] : quotes) feed.Quote(price, time);
    ASSERT_EQ(feed.Tracker().Detector.PointCount, 6);
    ASSERT_EQ(feed.rises.size(), 1u);
    ASSERT_EQ(feed.falls.size(), 1u);

    TIssueChart::TSource source;
    const CTrkg* tracked = &feed.Tracker();
    source.Tracker = [&tracked] { return tracked; };
    source.Rule = [&feed] { return feed.ctx.Rule; };
    TIssueChart chart("1234.T", source);

    const std::vector<QPointF> prices = Points(chart.Prices);
    ASSERT_EQ(prices.size(), quotes.size());
    for (size_t i = 0; i < quotes.size(); ++i) {
        EXPECT_EQ(prices[i].y(), quotes[i].first) << i;
        EXPECT_EQ(prices[i].x(), TIssueChart::AxisX(*kestrel::ParseTimeMs(quotes[i].second))) << i;
    }
    EXPECT_EQ(Points(chart.Rises), Expected(feed.rises));
    EXPECT_EQ(Points(chart.Falls), Expected(feed.falls));

    // The latest point's window starts at 09:05; the point in force then is 09:03's 1020, so
    // the window runs 1020, 995, 1001: low 995, high 1020. With the rate 2.0 a rise would
    // need 995 / 0.98 and a fall 1020 / 1.02.
    auto level = [](const QLineSeries* s) {
        const std::vector<QPointF> p = Points(s);
        EXPECT_EQ(p.size(), 2u);
        EXPECT_EQ(p.front().y(), p.back().y());
        EXPECT_EQ(p.back().x(), TIssueChart::AxisX(Ms(9, 7, 5)));
        return p.empty() ? -1.0 : p.front().y();
    };
    EXPECT_EQ(level(chart.WindowLow), 995);
    EXPECT_EQ(level(chart.WindowHigh), 1020);
    EXPECT_DOUBLE_EQ(level(chart.RiseLine), 995 / 0.98);
    EXPECT_DOUBLE_EQ(level(chart.FallLine), 1020 / 1.02);
    EXPECT_EQ(Points(chart.WindowLow).front().x(), TIssueChart::AxisX(Ms(9, 5)));

    // A new sharp rise arrives; the chart's timer shows it without being asked.
    feed.Quote(1040, "09:07:40");
    ASSERT_EQ(feed.rises.size(), 2u);
    EXPECT_TRUE(chart.RefreshTimer.isActive());
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (chart.Prices->count() != 7 && std::chrono::steady_clock::now() < guard) QTest::qWait(50);
    EXPECT_EQ(chart.Prices->count(), 7);
    EXPECT_EQ(Points(chart.Rises), Expected(feed.rises));
    EXPECT_TRUE(chart.Chart->title().contains(QStringLiteral("チャート銘柄")));

    // The issue leaves the watch list: nothing is drawn from a tracker that is gone.
    tracked = nullptr;
    chart.Refresh();
    EXPECT_EQ(chart.Prices->count(), 0);
    EXPECT_EQ(chart.RiseLine->count(), 0);
    EXPECT_TRUE(chart.Chart->title().contains(QStringLiteral("監視銘柄にありません")));
}

// The marks are the tracker's own moves under the tracker's rule, and only under it: the
// quotes are laid out so that a look-back a minute shorter or longer, or another rate, marks
// other points.
TEST_F(IssueChartTest, MarksFollowTheTrackersRuleAndNoOther) {
    OneIssue feed("4321.T");
    feed.ctx.Rule = {1.5, 3};
    feed.Quote(1000, "09:00:00");
    feed.Quote(990, "09:00:30");   // the low a three-minute window still sees at 09:04
    feed.Quote(1000, "09:01:30");  // the price in force when a two-minute window opens
    feed.Quote(1006, "09:04:20");  // +1.59 % on 990, +0.60 % on 1000: a rise with 3 minutes only
    feed.Quote(1013, "09:05:10");  // +2.32 % on 990 (4 minutes), +1.30 % on 1000 (3 minutes)
    feed.Quote(995, "09:05:50");   // -1.81 % on 1013: a fall whatever the look-back
    ASSERT_EQ(feed.rises.size(), 1u);
    EXPECT_EQ(feed.rises[0].Price, 1006);
    ASSERT_EQ(feed.falls.size(), 1u);
    EXPECT_EQ(feed.falls[0].Price, 995);

    TIssueChart::TSource source;
    source.Tracker = [&feed] { return &feed.Tracker(); };
    source.Rule = [&feed] { return feed.ctx.Rule; };
    TIssueChart chart("4321.T", source);
    EXPECT_EQ(Points(chart.Rises), Expected(feed.rises));
    EXPECT_EQ(Points(chart.Falls), Expected(feed.falls));
    EXPECT_TRUE(chart.Figures->text().contains(QStringLiteral("窓(3分, 09:02〜)")))
        << chart.Figures->text().toStdString();

    // Under any other rule the same ring marks other points.
    auto rises = [&feed](const MoveRule& rule) {
        std::vector<int32_t> prices;
        for (const TChartPoint& p : ReadChartData(feed.Tracker(), rule).Rises)
            prices.push_back(p.Price);
        return prices;
    };
    EXPECT_EQ(rises({1.5, 3}), std::vector<int32_t>{1006});
    EXPECT_EQ(rises({1.5, 2}), std::vector<int32_t>{});
    EXPECT_EQ(rises({1.5, 4}), (std::vector<int32_t>{1006, 1013}));
    EXPECT_EQ(rises({2.0, 3}), std::vector<int32_t>{});
    // The window of the latest point as the detector reads it: from 09:02, so from the point
    // in force then (09:01:30's 1000) to the latest.
    const TChartData d = ReadChartData(feed.Tracker(), feed.ctx.Rule);
    EXPECT_EQ(d.WindowStartMs, Ms(9, 2));
    EXPECT_EQ(d.WindowFirst, 2u);
    EXPECT_EQ(d.Low, 995);
    EXPECT_EQ(d.High, 1013);
}

// A full ring is read from its oldest point (the one at the write position) on, and a sharp
// move is judged only against the points before it.
TEST_F(IssueChartTest, AFullRingIsReadOldestFirst) {
    TempDir dir;
    CIni ini(dir.File("ring.ini"));  // debug mode: a tracker without a conversation
    bool initDone = true;
    CTrkgContext ctx;
    ctx.Replaying = ini.IsDebug();
    ctx.Rule = {ini.GetRate(), ini.GetSpan()};
    ctx.InitDone = &initDone;
    CTrkgList list({"5555"}, ctx);
    CTrkg& t = *list.Items(0);
    // Slots 0..2 hold the newest points, slot 3 on the oldest: one point a second from 09:00.
    const int n = CTrkg::kHistory, newest = 3;
    for (int age = 0; age < n; ++age) {
        const int slot = (newest + age) % n;
        const int price = age == n - 1 ? 1100 : 1000;  // the very last point jumps 10 %
        t.Detector.WritePos = slot;
        t.Detector.Write({price, static_cast<int32_t>(Ms(9, 0) + age * 1000), age, 1});
    }
    t.Detector.PointCount = n;
    t.Detector.WritePos = newest;

    const TChartData d = ReadChartData(t, MoveRule{2.0, 2});
    ASSERT_EQ(d.Points.size(), static_cast<size_t>(n));
    EXPECT_EQ(d.Points.front().Ms, Ms(9, 0));
    EXPECT_EQ(d.Points.back().Ms, Ms(9, 0) + (n - 1) * 1000);
    for (size_t i = 1; i < d.Points.size(); ++i) ASSERT_GT(d.Points[i].Ms, d.Points[i - 1].Ms) << i;
    ASSERT_EQ(d.Rises.size(), 1u);
    EXPECT_EQ(d.Rises.front().Price, 1100);
    EXPECT_TRUE(d.Falls.empty());
    EXPECT_EQ(d.Low, 1000);
    EXPECT_EQ(d.High, 1100);
}

}  // namespace
