#include <gtest/gtest.h>

#include "settings/Ini.h"
#include "support/FakeDde.h"
#include "support/TempDir.h"
#include "tracking/EventLine.h"
#include "tracking/Trkg.h"

namespace {
struct LiveRig {
    kestrel::test::TempDir dir;
    CIni ini{dir.File("KESTREL.INI")};
    bool initDone = true;
    CMeigaraQueue qa{'A'}, qd{'D'};
    CLimitPriceRangeList limits{dir.WriteCp932("w.txt", "0,10000,700\r\n")};
    std::vector<std::string> events, errors;
    CFakeDdeServer server;
    CTrkgContext ctx;
    LiveRig() {
        ini.Flg = 0;
        ctx.Rule = {ini.GetRate(), ini.GetSpan()};
        ctx.InitDone = &initDone;
        ctx.LimitList = &limits;
        ctx.QueueA = &qa;
        ctx.QueueD = &qd;
        ctx.EventLog = [this](const MoveEvent& e) { events.push_back(EventLineText(e)); };
        ctx.ReportError = [this](const std::string& e) { errors.push_back(e); };
        ctx.ConvFactory = server.Factory();
        auto& t = server.Topics["1234.T"];
        t = {{"銘柄名称", "ソニー"},  {"信用貸借区分", "貸借"},
             {"前日終値", "1000.7"},  {"始値", "1010"},
             {"貸借倍率", "1.3"},     {"年初来高値", "1200"},
             {"現在値", "1000"},      {"出来高", "100"},
             {"現在値時刻", "  :  "}, {"出来高加重平均", "1001.5"},
             {"前日比率", "0.1"}};
    }
    void Quote(const std::string& price, const std::string& time, const std::string& volume) {
        server.Set("1234.T", "現在値", price, false);
        server.Set("1234.T", "現在値時刻", time, false);
        server.Set("1234.T", "出来高", volume);
    }
};
}  // namespace

TEST(LiveTrkg, VolumeChangesBecomeQuotePointsRecordsAndEventLines) {
    LiveRig rig;
    CTrkg t("1234.T", rig.ctx);
    // The open link's first change came with "  :  ": figures refreshed, nothing stored.
    EXPECT_EQ(t.Name, "ソニー");
    EXPECT_EQ(t.PrevClose, 1000);
    EXPECT_EQ(t.LimitHigh, 1700);
    EXPECT_FLOAT_EQ(t.LoanRatio, 1.3f);
    EXPECT_EQ(t.Detector.PointCount, 0);
    EXPECT_EQ(rig.qa.Count(), 0u);
    rig.Quote("1000", "10:02:50", "200");
    rig.Quote("1030.9", "10:05:37", "300");
    EXPECT_EQ(t.Detector.PointCount, 2);
    EXPECT_EQ(t.Price, 1030);
    EXPECT_EQ(t.Volume, 300);
    EXPECT_EQ(t.Detector.Entry(1).VolumeDelta, 100);
    ASSERT_EQ(rig.events.size(), 1u);
    EXPECT_EQ(rig.events[0], "10:05 1234.T:1030,(30),2.91% 1700[A,A]");
    EXPECT_EQ(rig.qa.Count(), 2u);
    // An empty price with a valid time stores price 0.
    rig.Quote("", "10:06", "400");
    EXPECT_EQ(t.Detector.PointCount, 3);
    EXPECT_EQ(t.Price, 0);
    // A malformed time is reported, not stored.
    rig.Quote("1000", "1O:07", "500");
    EXPECT_EQ(t.Detector.PointCount, 3);
    EXPECT_EQ(rig.errors.size(), 1u);
}

TEST(LiveTrkg, ServerGoneThenBackReconnectAndItemResetRestoreTheTracker) {
    for (bool reconnectFirst : {true, false}) {
        LiveRig rig;
        CTrkg t("1234.T", rig.ctx);
        rig.Quote("1000", "10:00", "200");
        EXPECT_EQ(t.Detector.PointCount, 1);
        rig.server.Running = false;
        rig.Quote("1001", "10:01", "300");
        EXPECT_EQ(t.Detector.PointCount, 1);  // silent, no crash
        t.Reconnect();  // fails while the server is down: the item is detached
        EXPECT_EQ(rig.server.Launches, 1);
        EXPECT_EQ(rig.server.LaunchedCommands[0], "RSS 1234.T");
        rig.server.Running = true;
        if (reconnectFirst) {
            t.Reconnect();
            t.ResetItem();
        } else {
            t.ResetItem();
            t.Reconnect();
        }
        rig.Quote("1002", "10:02", "400");
        EXPECT_EQ(t.Price, 1002) << reconnectFirst;
    }
}

TEST(LiveTrkg, ChangesBeforeStartUpAreDroppedAndASilentServerGivesEmptyAnswers) {
    LiveRig rig;
    rig.initDone = false;
    CTrkg t("1234.T", rig.ctx);
    rig.Quote("1000", "10:00", "200");
    EXPECT_EQ(t.Detector.PointCount, 0);
    EXPECT_EQ(t.Name, "");
    rig.initDone = true;
    rig.server.Answering = false;
    EXPECT_EQ(t.RequestItem("現在値"), "");
    rig.server.Answering = true;
    rig.Quote("1000", "10:00", "300");
    EXPECT_EQ(t.Detector.PointCount, 1);
}
