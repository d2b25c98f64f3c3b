#include <gtest/gtest.h>

#include <random>

#include "common/TimeOfDay.h"
#include "support/TempDir.h"
#include "tracking/EventLine.h"
#include "tracking/Replay.h"
#include "tracking/Trkg.h"

using kestrel::ParseTime;

namespace {
// A replay-mode tracker with its own queues, settings and event log.
struct Rig {
    kestrel::test::TempDir dir;
    bool initDone = true;
    CReplayData replay;
    CMeigaraQueue qa{'A'}, qd{'D'};
    CLimitPriceRangeList limits{dir.WriteCp932("w.txt", "0,100,30\r\n100,10000,700\r\n")};
    std::vector<std::string> events, messages;
    CTrkgContext ctx;
    Rig(double rate = 2.0, int span = 2) {
        ctx.Rule = {rate, span};
        ctx.Replaying = true;
        ctx.InitDone = &initDone;
        ctx.Replay = &replay;
        ctx.LimitList = &limits;
        ctx.QueueA = &qa;
        ctx.QueueD = &qd;
        ctx.EventLog = [this](const MoveEvent& e) { events.push_back(EventLineText(e)); };
        ctx.ShowMessage = [this](const std::string& m) { messages.push_back(m); };
    }
    void Feed(CTrkg& t, const std::string& line) {
        replay.ReplayLines.push_back(line);
        // Placed on the line as the driver places it; the tracker reads it and moves nothing.
        replay.ReplayPos = static_cast<int32_t>(replay.ReplayLines.size()) - 1;
        t.OnVolumeChange(nullptr);
    }
};
}  // namespace

TEST(Trkg, SharpRiseInsideTheWindowPostsAnEventLineAndTwoRecords) {
    Rig rig;
    rig.replay.ReplayBaseLines = {"1234,貸借,1000,1010,x,2.5,1200"};
    CTrkg t("1234.T", rig.ctx);
    rig.Feed(t, "10:02:50,1234,1000,100");
    rig.Feed(t, "10:03:10,1234,1005,200");
    rig.Feed(t, "10:05:37,1234,1030,300");
    EXPECT_EQ(rig.replay.ReplayPos, 2);
    EXPECT_EQ(t.Name, "$1234.T$");
    EXPECT_EQ(t.LimitHigh, 1700);
    ASSERT_EQ(rig.events.size(), 1u);
    EXPECT_EQ(rig.events[0], "10:05 1234.T:1030,(30),2.91% 1700[A,A]");
    EXPECT_EQ(rig.qa.Count(), 3u);
    EXPECT_EQ(rig.qd.Count(), 3u);
    std::unique_ptr<CMeigara> r;
    for (int i = 0; i < 3; ++i) r = rig.qa.Pop();
    EXPECT_EQ(r->Action, 'A');
    EXPECT_EQ(r->Gap, 10);
    EXPECT_EQ(r->MarginClass, "貸借");
    EXPECT_DOUBLE_EQ(r->LoanRatio, 2.5);
    EXPECT_DOUBLE_EQ(r->DayRatio, 3.0);
    EXPECT_DOUBLE_EQ(r->OpenRatio, 20.0 / 1010 * 100);
    EXPECT_EQ(r->LimitGap, 670);
}

TEST(Trkg, SmallMovesAndTheUnderHundredYenRule) {
    Rig small;
    CTrkg a("1234.T", small.ctx);
    small.Feed(a, "10:02:50,1234,1000,1");
    small.Feed(a, "10:05:37,1234,1019,2");
    EXPECT_TRUE(small.events.empty());  // 1.86 %: figures only
    EXPECT_EQ(small.qa.Count(), 2u);

    Rig cheap(1.0);
    CTrkg b("5555", cheap.ctx);
    // No reference line for 5555: the upper limit stays 0.
    cheap.Feed(b, "09:00,5555,97,1");
    cheap.Feed(b, "09:01,5555,98,2");  // 1.02 % but a 1-yen move
    EXPECT_TRUE(cheap.events.empty());
    cheap.Feed(b, "09:01,5555,96,3");
    cheap.Feed(b, "09:01,5555,98,4");  // 2 yen from 96: sharp
    ASSERT_EQ(cheap.events.size(), 2u);
    EXPECT_EQ(cheap.events[0], "09:01 5555:96,(-2),-2.08% 0[D,A]");
    EXPECT_EQ(cheap.events[1], "09:01 5555:98,(2),2.04% 0[A,A]");
}

TEST(Trkg, BadTimeStoresNothingAndChangesBeforeStartUpAreDropped) {
    Rig rig;
    rig.initDone = false;
    CTrkg t("1234.T", rig.ctx);
    rig.Feed(t, "10:00,1234,1000,1");
    EXPECT_EQ(t.Detector.PointCount, 0);
    EXPECT_FALSE(rig.ctx.HandlerArmed);
    rig.initDone = true;
    t.OnVolumeChange(nullptr);
    EXPECT_TRUE(rig.ctx.HandlerArmed);
    EXPECT_EQ(t.Detector.PointCount, 1);
    EXPECT_THROW(rig.Feed(t, "1O:00,1234,1000,1"), kestrel::TimeFormatError);
    EXPECT_EQ(t.Detector.PointCount, 1);
}

TEST(Trkg, RingWrapsAtEightThousandPoints) {
    Rig rig;
    CTrkg t("1234.T", rig.ctx);
    for (int i = 0; i < 8000; ++i) {
        t.AddTick(1000 + i % 7, i, kestrel::MsToDays(int64_t{i} * 1000));
        t.Price = 1000;
    }
    // AddTick alone does not move the ring; the replay step does.
    EXPECT_EQ(t.Detector.WritePos, 0);
    for (int i = 0; i < 8000; ++i)
        rig.Feed(t, kestrel::FormatHhNnMs(int64_t{i} * 1000) + ",1234,1000,1");
    EXPECT_EQ(t.Detector.PointCount, 8000);
    EXPECT_EQ(t.Detector.WritePos, 0);
    rig.Feed(t, "23:00,1234,1001,1");
    EXPECT_EQ(t.Detector.PointCount, 8000);
    EXPECT_EQ(t.Detector.WritePos, 1);
    EXPECT_EQ(t.Detector.Entry(0).Price, 1001);
}

// A window longer than the ring starts at the oldest point: once that point is overwritten,
// its price no longer counts, even though the window start time stays the same.
TEST(Trkg, OverwrittenOldestPointLeavesAWholeRingWindow) {
    Rig rig(2.0, 1500);
    CTrkg t("1234.T", rig.ctx);
    auto line = [](int i, int price) {
        return kestrel::FormatHhNnMs(9 * 3600000 + int64_t{i} * 100) + ",1234," +
               std::to_string(price) + ",1";
    };
    rig.Feed(t, line(0, 500));
    rig.Feed(t, line(1, 2000));
    for (int i = 2; i < 8000; ++i) rig.Feed(t, line(i, 1000));
    rig.Feed(t, line(8000, 1000));  // the 500 goes
    std::unique_ptr<CMeigara> rise, fall, r;
    while ((r = rig.qa.Pop())) rise = std::move(r);
    while ((r = rig.qd.Pop())) fall = std::move(r);
    EXPECT_EQ(rise->MoveRatio, 0);
    EXPECT_EQ(fall->MoveRatio, -100);
    rig.Feed(t, line(8001, 1000));  // and then the 2000
    while ((r = rig.qd.Pop())) fall = std::move(r);
    EXPECT_EQ(fall->MoveRatio, 0);
}

// The monotonic queues, and the window carried from point to point, must give exactly what
// walking the ring gives, on random data with times that sometimes go backwards, equal prices,
// a full ring, negative spans and a span longer than the ring. The ring searched as it is
// while the clock has never gone back, and the change to the queue of times when it first
// does, with the ring full, are held to the same walk.
TEST(Trkg, FastWindowAgreesWithThePlainScan) {
    std::mt19937 rng(7);
    // With a trend the price rises for 10,000 points and then falls: the low and high queues
    // grow to thousands of entries while the full ring drops their oldest.
    struct Case {
        int span, backFrom;
        bool trend;
    };
    for (auto [span, backFrom, trend] : {Case{2, 0, false},
                                         {0, 0, false},
                                         {60, 0, false},
                                         {-1, 0, false},
                                         {1500, 0, false},
                                         {2, 12000, false},
                                         {60, 12000, false},
                                         {1500, 20000, true},
                                         {60, 20000, true}}) {
        Rig rig(2.0, span);
        CTrkg t("1234.T", rig.ctx);
        int64_t ms = 9 * 3600000;
        for (int i = 0; i < (span > 60 && !trend ? 9000 : 20000); ++i) {
            if (i < backFrom)
                ms += static_cast<int64_t>(rng() % 2000);  // in order, equal times now and then
            else
                ms += static_cast<int64_t>(rng() % 20000) - (rng() % 10 == 0 ? 30000 : 0);
            if (ms < 0) ms = 0;
            const int price = trend
                                  ? 1000 + (i < 10000 ? i : 20000 - i) + static_cast<int>(rng() % 3)
                                  : 900 + static_cast<int>(rng() % 50);
            t.AddTick(price, i, kestrel::MsToDays(ms % kestrel::kMsPerDay));
            // Advance the ring as a stored point does, without posting records.
            rig.Feed(t, kestrel::FormatHhNnMs(ms % kestrel::kMsPerDay) + ":" +
                            std::to_string((ms / 1000) % 60) + ",1234," +
                            std::to_string(t.Detector.Entry(t.Detector.WritePos).Price) + ",1");
            {
                // What the check itself posted, against a walk over its window.
                const int64_t latest = t.Detector.Latest().TimeMs;
                const double x = kestrel::MsToDays(
                    kestrel::CutToMinuteMs(latest % kestrel::kMsPerDay) - int64_t{span} * 60000);
                int s, e;
                ASSERT_TRUE(t.Detector.GetWindowScan(x, s, e));
                auto rise = rig.qa.Pop(), fall = rig.qd.Pop();
                ASSERT_TRUE(rise && fall && !rig.qa.Pop() && !rig.qd.Pop());
                const int32_t p = t.Detector.Entry(e).Price;
                ASSERT_EQ(rise->MoveRatio,
                          static_cast<double>(p - t.Detector.ScanLow(s, e)) / p * 100)
                    << "point " << i;
                ASSERT_EQ(fall->MoveRatio,
                          static_cast<double>(p - t.Detector.ScanHigh(s, e)) / p * 100)
                    << "point " << i;
            }
            for (int64_t back : {0, 1, 5, 30, 120}) {
                double x = kestrel::MsToDays(ms % kestrel::kMsPerDay - back * 60000);
                int s1, e1, s2, e2;
                ASSERT_TRUE(t.Detector.GetWindow(x, s1, e1));
                ASSERT_TRUE(t.Detector.GetWindowScan(x, s2, e2));
                ASSERT_EQ(s1, s2) << "point " << i << " span " << span;
                ASSERT_EQ(e1, e2);
                ASSERT_EQ(t.Detector.WindowLow(s1, e1), t.Detector.ScanLow(s2, e2));
                ASSERT_EQ(t.Detector.WindowHigh(s1, e1), t.Detector.ScanHigh(s2, e2));
            }
        }
    }
}

// The trackers of a list keep their long queues in one block beside it, each in its own part:
// three issues trending for longer than the ring, their points interleaved, judge their windows
// as a walk does.
TEST(Trkg, TrackersOfAListKeepTheirLongQueuesApart) {
    Rig rig;
    CTrkgList list({"1301", "1302", "1303"}, rig.ctx);
    for (int i = 0; i < 12000; ++i) {
        for (int k = 0; k < 3; ++k) {
            const int trend = k == 1 ? -1 : 1;
            CTrkg& t = *list.Items(k);
            t.AddTick(50000 - 20000 * k + trend * i + i % 3, i,
                      kestrel::MsToDays(9 * 3600000 + i * 100));
            t.Detector.Advance();
        }
    }
    for (int k = 0; k < 3; ++k) {
        const CMoveDetector& d = list.Items(k)->Detector;
        for (int minutes : {1, 5, 15}) {
            int s1, e1, s2, e2;
            const double x = kestrel::MsToDays(9 * 3600000 + 12000 * 100 - minutes * 60000);
            ASSERT_TRUE(d.GetWindow(x, s1, e1));
            ASSERT_TRUE(d.GetWindowScan(x, s2, e2));
            EXPECT_EQ(d.WindowLow(s1, e1), d.ScanLow(s2, e2)) << k << " " << minutes;
            EXPECT_EQ(d.WindowHigh(s1, e1), d.ScanHigh(s2, e2)) << k << " " << minutes;
        }
    }
}

TEST(Trkg, TrackerListFindsTheFirstTrackerOfACode) {
    Rig rig;
    CTrkgList list({"1234.T", "1234.OS", "5678 ", "12", "130A.T"}, rig.ctx);
    EXPECT_EQ(list.Count(), 5);
    EXPECT_EQ(list.IndexOfIssue("130A"), 4);
    EXPECT_EQ(list.IndexOfIssue("1300"), -1);
    EXPECT_EQ(list.IndexOfIssue("1234"), 0);
    EXPECT_EQ(list.IndexOfIssue("1234.T"), -1);
    EXPECT_EQ(list.IndexOfIssue("12"), 3);
    EXPECT_EQ(list.IndexOfIssue("5678"), 2);
    EXPECT_EQ(list.Items(2)->GetTopic(), "5678 ");
}

// The two edges a trader sets the rule by: a move of exactly the rate is a sharp move, and a
// point stamped exactly at the window start is inside the window, so the point before it is
// the price in force when the window opened.
TEST(Trkg, AMoveOfExactlyTheRateAndAPointExactlyAtTheWindowStart) {
    {
        Rig rig;
        CTrkg t("1234", rig.ctx);
        rig.Feed(t, "10:00:00,1234,980,1");
        rig.Feed(t, "10:01:00,1234,1000,2");  // 20 / 1000 = 2.00 %
        ASSERT_EQ(rig.events.size(), 1u);
        EXPECT_EQ(rig.events[0], "10:01 1234:1000,(20),2.00% 0[A,A]");
        rig.Feed(t, "10:01:30,1234,999,3");  // 19 / 999: just under
        EXPECT_EQ(rig.events.size(), 1u);
    }
    {
        Rig rig;
        CTrkg t("1234", rig.ctx);
        rig.Feed(t, "10:02:00,1234,980,1");   // older than the start: the price in force at 10:03
        rig.Feed(t, "10:03:00,1234,1000,2");  // exactly at the start of the 10:05 window
        rig.Feed(t, "10:05:30,1234,1000,3");
        ASSERT_EQ(rig.events.size(), 2u);
        EXPECT_EQ(rig.events[1], "10:05 1234:1000,(20),2.00% 0[A,A]");
        int start = 0, end = 0;
        ASSERT_TRUE(t.Detector.GetWindow(ParseTime("10:03:00"), start, end));
        EXPECT_EQ(start, 0);
        EXPECT_EQ(end, 2);
    }
}

// A line with its code column empty (a recording cut after the time) names no tracker; blanks
// (which part columns too), quotes and stray commas read as the comma-text rules say, however
// the line is split.
TEST(Trkg, ReplayLinesReadAsCommaText) {
    Rig rig;
    CTrkgList list({"1301", "72030"}, rig.ctx);
    struct Case {
        const char* line;
        int32_t tracker, price, volume;
        const char* time;  // null: does not read as a time
    };
    const Case cases[] = {
        {"09:00:00,", -1, 0, 0, "09:00:00"},
        {"09:00:00,1301,5,5", 0, 5, 5, "09:00:00"},
        {"09:00,7203,5,6,extra", 1, 5, 6, "09:00"},
        {",1301,5,5", 0, 5, 5, nullptr},
        {"09:00:00,,1301,5", -1, 1301, 5, "09:00:00"},
        {"09:00:00,1301,,5,", 0, 0, 5, "09:00:00"},
        {"09:00:00,1301,5", 0, 5, 0, "09:00:00"},
        {"  09:00:00 , 1301 ,5 ,  7", 0, 5, 7, "09:00:00"},
        {"09:00 00,1301,5,5", -1, 1301, 5, "09:00"},
        {"\"09:00\",\"1301\",\"5\",\"6\"", 0, 5, 6, "09:00"},
        {"\"09:00,1301\",5,6", -1, 6, 0, nullptr},
        {"09:00:00,1301,5x,2147483648", 0, 0, 0, "09:00:00"},
        {"", -1, 0, 0, nullptr},
        {",", -1, 0, 0, nullptr},
        {"09:00:00\t1301,5,5", 0, 5, 5, "09:00:00"},
        // Around the plain numbers and times read without the general rules.
        {"23:59:59,1301,007,999999999", 0, 7, 999999999, "23:59:59"},
        {"09:00:00,1301,0000000012,2147483647", 0, 12, 2147483647, "09:00:00"},
        {"24:00:00,1301,-5,+5", 0, -5, 5, nullptr},
        {"09:60:00,1301,5,5", 0, 5, 5, nullptr},
        {"09:0a:00,1301,5,5", 0, 5, 5, nullptr},
        {"9:00:00,1301,5,5", 0, 5, 5, "9:00:00"},
    };
    int32_t at = 0;
    for (const Case& c : cases) {
        CReplayPoint point;
        ReadReplayPoint(at, c.line, &list, point);
        EXPECT_EQ(point.Line, at++);
        EXPECT_EQ(point.Tracker, c.tracker) << c.line;
        EXPECT_EQ(point.Price, c.price) << c.line;
        EXPECT_EQ(point.Volume, c.volume) << c.line;
        EXPECT_EQ(point.TimeMs, c.time ? static_cast<int32_t>(*kestrel::ParseTimeMs(c.time))
                                       : CReplayPoint::kBadTime)
            << c.line;
    }
}

// A detector alone, judged by two rules over the same points: the rule is all it is given, so
// one ring can serve any number of settings, and what it judges is a value with every figure
// the event line and the records show.
TEST(MoveDetector, JudgesTheSamePointsByEachRuleItIsHanded) {
    auto d = std::make_unique<CMoveDetector>();
    auto store = [&](const char* time, int32_t price) {
        d->Write({price, static_cast<int32_t>(*kestrel::ParseTimeMs(time)), 1, 0});
        d->Advance();
    };
    store("10:00:00", 1000);
    store("10:01:10", 1050);
    store("10:02:30", 1025);
    MoveEvent rise, fall;
    d->Detect({2.0, 2}, rise, fall);  // the window opening at 10:00: low 1000, high 1050
    EXPECT_EQ(rise.Kind, 'A');
    EXPECT_EQ(rise.Action, 'A');
    EXPECT_EQ(rise.TimeMs, *kestrel::ParseTimeMs("10:02:30"));
    EXPECT_EQ(rise.Price, 1025);
    EXPECT_EQ(rise.Move, 25);
    EXPECT_DOUBLE_EQ(rise.MoveRatio, 25.0 / 1025 * 100);
    EXPECT_EQ(fall.Kind, 'D');
    EXPECT_EQ(fall.Move, -25);
    EXPECT_EQ(fall.Action, 'A');
    d->Detect({2.5, 2}, rise, fall);  // 2.44 % either way: figures only
    EXPECT_EQ(rise.Action, 'U');
    EXPECT_EQ(fall.Action, 'U');
    EXPECT_EQ(rise.Move, 25);
    // A window opening at 10:02 starts at the price in force then, 1050: the 1000 is out.
    d->Detect({2.0, 0}, rise, fall);
    EXPECT_EQ(rise.Move, 0);
    EXPECT_EQ(rise.Action, 'U');
    EXPECT_EQ(fall.Action, 'A');
    d->Detect({2.0, 2}, rise, fall);  // and back: the carried window is not stale
    EXPECT_EQ(rise.Move, 25);
    EXPECT_EQ(rise.Action, 'A');
    rise.Topic = "1234.T";
    rise.LimitHigh = 1700;
    EXPECT_EQ(EventLineText(rise), "10:02 1234.T:1025,(25),2.44% 1700[A,A]");
}
