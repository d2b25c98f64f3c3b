#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <QAction>
#include <QHelpEvent>
#include <QTest>
#include <QToolTip>

#include "ranking/Meigara.h"
#include "settings/Ini.h"
#include "support/FakeClock.h"
#include "support/FakeDde.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"
#include "tracking/Trkg.h"
#include "ui/IssueInfo.h"
#include "ui/MainWindow.h"
#include "ui/UiTestSupport.h"
#ifdef KESTREL_HAVE_CHARTS
#include <QtCharts/QLineSeries>

#include "ui/IssueChart.h"
#endif

using kestrel::test::CFakeClock;
using kestrel::test::TempDir;

namespace {

std::unique_ptr<CMeigara> Record(const std::string& code, int price, const std::string& name) {
    auto m = std::make_unique<CMeigara>(code, 'A');
    m->Name = name;
    m->PrevClose = 1000;
    m->Price = price;
    m->Time = (9 * 60 + 5) / 1440.0;
    return m;
}

class IssueActionsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kestrel::test::EnsureApplication(); }

    void SetUp() override {
        dir_.WriteCp932("KESTREL.INI", "[DEBUG]\r\nflg=0\r\n");
        ini_ = std::make_unique<CIni>(dir_.File("KESTREL.INI"));
        ini_->Load();
        TF_MainDeps deps;
        deps.Dialogs = &dialogs_;
        deps.Clock = &clock_;
        deps.List = &list_;
        deps.ListD = &listD_;
        deps.Ini = ini_.get();
        deps.Trackers = [this] { return trackers_; };
        deps.Terminate = [] {};
        win_ = std::make_unique<TF_Main>(deps);
        win_->setEnabled(true);
        win_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(win_.get(), 60'000));
        win_->DispTimerTimer();  // the first tick shows the grids
    }

    std::vector<std::string> Codes(const TComboGrid& g) {
        std::vector<std::string> c;
        for (int row = 1; row < g.RowCount(); ++row) c.push_back(g.Cells(0, row));
        return c;
    }
    void ClickHeader(TComboGrid& g, int col) {
        QTest::mouseClick(g.viewport(), Qt::LeftButton, {}, g.CellRect(col, 0).center());
    }
    void ClickCell(TComboGrid& g, int col, int row) {
        QTest::mouseClick(g.viewport(), Qt::LeftButton, {}, g.CellRect(col, row).center());
    }
    std::string Chosen(const TComboGrid& g) { return g.Cells(0, g.Row()); }
    bool InfoEnabled() { return win_->findChild<QAction*>(QStringLiteral("I2"))->isEnabled(); }

    TempDir dir_;
    CScriptedDialogs dialogs_;
    CFakeClock clock_{CFakeClock::kAfterTheClose};
    CMeigaraList list_{'A'};
    CMeigaraList listD_{'D'};
    CTrkgList* trackers_ = nullptr;
    std::unique_ptr<CIni> ini_;
    std::unique_ptr<TF_Main> win_;
};

// A header click sorts by the column (numbers by value, the next click the other way), the
// sort and the chosen issue survive the rebuilds, and an issue that leaves the list is no
// longer chosen.
TEST_F(IssueActionsTest, HeaderSortAndTheChosenIssueSurviveRebuilds) {
    list_.Add(Record("1111.T", 900, "甲"));
    list_.Add(Record("2222", 10500, "乙"));  // "10,500" sorts before "900" as text
    list_.Add(Record("3333.OS", 1200, "丙"));
    listD_.Add(Record("4444.T", 500, "丁"));
    listD_.Add(Record("5555", 400, "戊"));
    TComboGrid& g = *win_->GridA;
    win_->DispTimerTimer();
    ASSERT_EQ(Codes(g), (std::vector<std::string>{"1111.T", "2222", "3333.OS"}));
    EXPECT_FALSE(InfoEnabled()) << "nothing chosen yet";

    ClickHeader(g, 4);  // 現在値
    EXPECT_EQ(Codes(g), (std::vector<std::string>{"1111.T", "3333.OS", "2222"}));
    EXPECT_EQ(win_->View(TF_Main::kTabRise).SortCol, 4);
    ClickHeader(g, 4);
    EXPECT_EQ(Codes(g), (std::vector<std::string>{"2222", "3333.OS", "1111.T"}));
    EXPECT_EQ(g.Cells(4, 1), "10,500") << "the cells keep their texts";
    EXPECT_EQ(g.Cells(0, 0), "コード") << "and the header its caption";

    // The trader picks 3333.OS; its price rises to the top, and the 5 s rebuild keeps both the
    // order and the choice.
    ClickCell(g, 1, 2);
    ASSERT_EQ(Chosen(g), "3333.OS");
    EXPECT_TRUE(InfoEnabled());
    {
        auto entries = list_.Lock();
        (*entries)[2]->Price = 20000;
    }
    win_->DispTimerTimer();
    EXPECT_EQ(Codes(g), (std::vector<std::string>{"3333.OS", "2222", "1111.T"}));
    EXPECT_EQ(g.Row(), 1);
    EXPECT_EQ(Chosen(g), "3333.OS");
    EXPECT_EQ(g.Col(), 1) << "the column the trader was in stays";

    // The other tabs keep their own order: 急落 is still in its list's order.
    EXPECT_EQ(Codes(*win_->GridD), (std::vector<std::string>{"4444.T", "5555"}));
    EXPECT_EQ(win_->View(TF_Main::kTabFall).SortCol, -1);
    win_->Tabs->setCurrentIndex(TF_Main::kTabFall);
    EXPECT_FALSE(InfoEnabled()) << "nothing is chosen in 急落";
    win_->Tabs->setCurrentIndex(TF_Main::kTabRise);
    EXPECT_TRUE(InfoEnabled());

    // A sort by text (the code), then the chosen issue leaves the list.
    ClickHeader(g, 0);
    EXPECT_EQ(Codes(g), (std::vector<std::string>{"1111.T", "2222", "3333.OS"}));
    EXPECT_EQ(Chosen(g), "3333.OS");
    list_.Clear();
    list_.Add(Record("2222", 10500, "乙"));
    list_.Add(Record("1111.T", 900, "甲"));
    win_->DispTimerTimer();
    EXPECT_EQ(Codes(g), (std::vector<std::string>{"1111.T", "2222"}));
    EXPECT_FALSE(InfoEnabled());
    EXPECT_EQ(win_->View(TF_Main::kTabRise).Chosen, "");
}

// A name wider than its cell is drawn cut with "…" and given whole as the cell's tool tip; a
// name that fits has none.
TEST_F(IssueActionsTest, ACutNameShowsWholeInItsToolTip) {
    const std::string longName = "ケストレル・ホールディングス・インターナショナル株式会社";
    list_.Add(Record("1111.T", 900, "短名"));
    list_.Add(Record("2222", 900, longName));
    win_->DispTimerTimer();
    TComboGrid& g = *win_->GridA;
    EXPECT_EQ(g.Cells(1, 2), longName) << "the cell keeps the whole text";
    EXPECT_EQ(g.CellToolTip(1, 2), QString::fromStdString(longName));
    EXPECT_TRUE(g.CellToolTip(1, 1).isEmpty());
    EXPECT_TRUE(g.CellToolTip(0, 2).isEmpty()) << "only the name column is cut";

    // Over the cell, the tool tip event shows it.
    const QPoint at = g.CellRect(1, 2).center();
    QHelpEvent help(QEvent::ToolTip, at, g.viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(g.viewport(), &help);
    EXPECT_EQ(QToolTip::text(), QString::fromStdString(longName));

    // Widened until it fits, the cell has no tool tip any more.
    win_->SetColWidth(1, 600);
    EXPECT_TRUE(g.CellToolTip(1, 2).isEmpty());
}

// 銘柄情報 shows the chosen issue's reference figures from its tracker; a double click or
// Enter opens the issue's chart, once per issue.
TEST_F(IssueActionsTest, InfoAndChartOfTheChosenIssue) {
    CIni feedIni(dir_.File("feed.ini"));
    feedIni.Flg = 0;
    bool initDone = true;
    CFakeDdeServer server;
    CMeigaraQueue qa{'A'}, qd{'D'};
    CTrkgContext ctx;
    ctx.Replaying = feedIni.IsDebug();
    ctx.Rule = {feedIni.GetRate(), feedIni.GetSpan()};
    ctx.InitDone = &initDone;
    ctx.QueueA = &qa;
    ctx.QueueD = &qd;
    ctx.ConvFactory = server.Factory();
    server.Topics["1234.T"] = {{"銘柄名称", "テスト銘柄"},
                               {"信用貸借区分", "貸借"},
                               {"前日終値", "1200"},
                               {"始値", "1210"},
                               {"年初来高値", "1500"},
                               {"現在値", "1250"},
                               {"出来高", "0"},
                               {"現在値時刻", "  :  "}};
    CTrkgList trackers({"1234.T"}, ctx);
    trackers_ = &trackers;
    server.Set("1234.T", "現在値時刻", "09:10", false);
    server.Set("1234.T", "出来高", "300");
    ASSERT_EQ(trackers.Items(0)->Detector.PointCount, 1);

    win_->Tabs->setCurrentIndex(TF_Main::kTabGain);
    win_->DispTimerTimer();
    TComboGrid& g = *win_->GridGain;
    ASSERT_EQ(g.Cells(0, 1), "1234.T");
    ClickCell(g, 0, 1);
    win_->findChild<QAction*>(QStringLiteral("I2"))->trigger();
    auto* info = win_->findChild<TIssueInfo*>();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->Value(QStringLiteral("銘柄名")), QStringLiteral("テスト銘柄"));
    EXPECT_EQ(info->Value(QStringLiteral("市場")), QStringLiteral("東証"));
    EXPECT_EQ(info->Value(QStringLiteral("前日終値")), QStringLiteral("1,200"));
    EXPECT_EQ(info->Value(QStringLiteral("始値")), QStringLiteral("1,210"));
    EXPECT_EQ(info->Value(QStringLiteral("ギャップ")), QStringLiteral("+10"));
    EXPECT_EQ(info->Value(QStringLiteral("年初来高値")), QStringLiteral("1,500"));
    EXPECT_EQ(info->Value(QStringLiteral("現在値")), QStringLiteral("1,250"));
    EXPECT_EQ(info->Value(QStringLiteral("出来高")), QStringLiteral("300"));
    EXPECT_FALSE(info->Value(QStringLiteral("S高")).isEmpty());
    info->close();

#ifdef KESTREL_HAVE_CHARTS
    EXPECT_EQ(win_->ChartOf("1234.T"), nullptr);
    QTest::mouseDClick(g.viewport(), Qt::LeftButton, {}, g.CellRect(1, 1).center());
    auto* chart = qobject_cast<TIssueChart*>(win_->ChartOf("1234.T"));
    ASSERT_NE(chart, nullptr);
    EXPECT_TRUE(chart->isVisible());
    ASSERT_EQ(chart->Prices->count(), 1);
    EXPECT_EQ(chart->Prices->at(0).y(), 1250);
    // Enter on the row brings the same chart forward rather than a second one.
    g.setFocus();
    QTest::keyClick(&g, Qt::Key_Return);
    EXPECT_EQ(win_->ChartOf("1234.T"), chart);
    EXPECT_EQ(win_->findChildren<TIssueChart*>().size(), 1);
#endif
    trackers_ = nullptr;
}

}  // namespace
