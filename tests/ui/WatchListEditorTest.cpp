// The watch-list editor: filled from the file, edited, checked and saved back as the monitor
// reads it, and the saved list put in place in a running controller.
#include <gtest/gtest.h>

#include <QAction>
#include <QStatusBar>
#include <QTest>

#include "app/Controller.h"
#include "common/Codec.h"
#include "common/TextFile.h"
#include "refdata/MeigaraInfo.h"
#include "support/ScriptedDialogs.h"
#include "support/ScriptedUi.h"
#include "support/TempDir.h"
#include "ui/CmbGrid.h"
#include "ui/MeigaraListEdit.h"
#include "ui/UiTestSupport.h"

namespace {

class WatchListEditTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kestrel::test::EnsureApplication(); }

    void SetUp() override {
        dir_.WriteCp932("銘柄情報.txt",
                        "1111,\"日本製作所\",100,,信用,,東証\r\n2222,東洋建設\r\n"
                        "3333,名古屋電機,,,,,名証\r\n4444,大和\r\n5555,北海\r\n6666,九州\r\n");
        master_ = std::make_unique<CMeigaraInfoList>(dir_.File("銘柄情報.txt"));
        deps_.Dialogs = &dialogs_;
        deps_.Dir = dir_.Path();
        deps_.MasterList = [this] { return master_.get(); };
        deps_.Apply = [this](const std::vector<std::string>& lines) { applied_.push_back(lines); };
    }

    // Each row as "code|market|name".
    static std::vector<std::string> Rows(const TComboGrid& g) {
        std::vector<std::string> rows;
        for (int r = 1; r < g.RowCount(); ++r)
            rows.push_back(g.Cells(0, r) + "|" + g.Cells(1, r) + "|" + g.Cells(2, r));
        return rows;
    }

    void Trigger(TF_MeigaraListEdit& e, const char* action) {
        e.findChild<QAction*>(QString::fromUtf8(action))->trigger();
    }

    kestrel::test::TempDir dir_;
    std::unique_ptr<CMeigaraInfoList> master_;
    CScriptedDialogs dialogs_;
    TF_MeigaraListEditDeps deps_;
    std::vector<std::vector<std::string>> applied_;
};

TEST_F(WatchListEditTest, LoadsEditsSortsAndSavesWhatTheMonitorReads) {
    // Line ends of every kind, no end on the last line, a bare code, a suffix of no market.
    dir_.WriteBytes("監視銘柄.txt", "2222.T\r\n1111.OS\n3333\r4444.X\r\n6666.Q");
    TF_MeigaraListEdit e(deps_);
    e.show();  // each opening fills it from the file
    TComboGrid& g = *e.ComboGrid1;
    EXPECT_EQ(Rows(g),
              (std::vector<std::string>{"2222|東証|東洋建設", "1111|大証|日本製作所",
                                        "3333||名古屋電機", "4444|.X|大和", "6666|JASDAQ|九州"}));
    // Remove 2222 (the current row after a load is the first).
    Trigger(e, "N13");
    ASSERT_EQ(g.RowCount(), 5);
    EXPECT_EQ(g.Cells(0, 1), "1111");
    // Add a row below 3333 and type a code in: its name comes as it is typed, and a code the
    // master list lacks (or one character too many) shows none.
    g.SetCurrentCell(0, 2);
    Trigger(e, "N12");
    ASSERT_EQ(g.RowCount(), 6);
    EXPECT_EQ(g.Row(), 3);
    EXPECT_EQ(g.Cells(0, 3), "");
    EXPECT_EQ(g.Cells(0, 4), "4444");
    g.ShowEditor();
    ASSERT_TRUE(g.EditorMode());
    QTest::keyClicks(g.InplaceEditor(), QStringLiteral("55555"));
    EXPECT_EQ(g.Cells(2, 3), "");
    QTest::keyClick(g.InplaceEditor(), Qt::Key_Backspace);
    EXPECT_EQ(g.Cells(0, 3), "5555");
    EXPECT_EQ(g.Cells(2, 3), "北海");
    QTest::keyClick(g.InplaceEditor(), Qt::Key_Return);
    // The market from the column's list: the fourth choice, HC.
    g.SetCurrentCell(1, 3);
    g.ShowEditor();
    ASSERT_TRUE(g.EditorMode());
    for (int i = 0; i < 4; ++i) QTest::keyClick(g.InplaceEditor(), Qt::Key_Down);
    QTest::keyClick(g.InplaceEditor(), Qt::Key_Return);
    EXPECT_EQ(g.Cells(1, 3), "HC");
    // The name column is the master list's, not the keyboard's.
    g.SetCurrentCell(2, 3);
    g.ShowEditor();
    EXPECT_FALSE(g.EditorMode());

    Trigger(e, "N11");
    EXPECT_EQ(Rows(g),
              (std::vector<std::string>{"1111|大証|日本製作所", "3333||名古屋電機", "4444|.X|大和",
                                        "5555|HC|北海", "6666|JASDAQ|九州"}));
    // "No" writes nothing and puts nothing in place.
    const std::string before = dir_.ReadBytes("監視銘柄.txt");
    dialogs_.Answers = {false};
    Trigger(e, "S1");
    EXPECT_EQ(dialogs_.Questions,
              std::vector<std::string>{"監視銘柄を保存します。よろしいですか？"});
    EXPECT_EQ(dir_.ReadBytes("監視銘柄.txt"), before);
    EXPECT_TRUE(applied_.empty());

    dialogs_.Answers = {true};
    Trigger(e, "S1");
    const std::vector<std::string> saved{"1111.OS", "3333", "4444.X", "5555.OJ", "6666.Q"};
    EXPECT_EQ(dir_.ReadBytes("監視銘柄.txt"), "1111.OS\r\n3333\r\n4444.X\r\n5555.OJ\r\n6666.Q\r\n");
    EXPECT_TRUE(dialogs_.Messages.empty());
    ASSERT_EQ(applied_.size(), 1u);
    EXPECT_EQ(applied_[0], saved);
    EXPECT_EQ(e.StatusBar1->currentMessage(), QStringLiteral("保存しました（5 件）"));
    // What the monitor reads from it, and what the editor shows on its next opening.
    std::vector<std::string> read;
    ASSERT_TRUE(kestrel::ReadLines(dir_.File("監視銘柄.txt"), read));
    EXPECT_EQ(read, saved);
    e.hide();
    e.show();
    EXPECT_EQ(Rows(g).size(), 5u);
    EXPECT_EQ(g.Cells(1, 4), "HC");
    e.hide();
}

TEST_F(WatchListEditTest, UnknownAndDuplicateCodesAreNamedAndNotWritten) {
    dir_.WriteCp932("監視銘柄.txt", "1111.T\r\n9999.T\r\n\r\n1111.OS\r\n11112.T\r\n2222.T\r\n");
    TF_MeigaraListEdit e(deps_);
    e.LoadWatchList();
    TComboGrid& g = *e.ComboGrid1;
    ASSERT_EQ(g.RowCount(), 7);
    g.SetCells(1, 6, "月面");  // a market the column does not have
    std::vector<std::string> refused;
    EXPECT_EQ(e.CheckedTopics(&refused), std::vector<std::string>{"1111.T"});
    EXPECT_EQ(refused,
              (std::vector<std::string>{
                  "2 行目 9999: 銘柄情報にないコードです", "4 行目 1111: 1 行目と重複しています",
                  "5 行目 1111: 1 行目と重複しています",  // code 1111, suffix "2.T"
                  "6 行目 2222: 市場「月面」が分かりません"}));
    dialogs_.Answers = {true};
    Trigger(e, "S1");
    // Said before the question, each row by its number and code.
    ASSERT_EQ(dialogs_.Messages.size(), 1u);
    EXPECT_EQ(dialogs_.Messages[0].rfind("次の行は保存しません。\n2 行目 9999:", 0), 0u);
    EXPECT_EQ(dialogs_.Questions.size(), 1u);
    EXPECT_EQ(dir_.ReadBytes("監視銘柄.txt"), "1111.T\r\n");
    EXPECT_EQ(e.StatusBar1->currentMessage(),
              QStringLiteral("保存しました（1 件、4 行は保存していません）"));
}

TEST_F(WatchListEditTest, AFailedSaveLeavesTheFileAndTheMonitorAsTheyWere) {
    deps_.Dir = dir_.File("gone");
    TF_MeigaraListEdit e(deps_);
    e.LoadWatchList();  // no file: an empty list to start from, nothing said
    EXPECT_TRUE(dialogs_.Messages.empty());
    EXPECT_EQ(e.ComboGrid1->RowCount(), 2);
    e.ComboGrid1->SetCells(0, 1, "1111");
    dialogs_.Answers = {true};
    EXPECT_FALSE(e.S1Click());
    ASSERT_EQ(dialogs_.Messages.size(), 1u);
    EXPECT_NE(dialogs_.Messages[0].find("監視銘柄.txt"), std::string::npos);
    EXPECT_TRUE(applied_.empty());
}

// The editor wired to a running controller, as the monitor wires it: the saved list takes
// effect without a restart.
TEST_F(WatchListEditTest, ASavedListTakesEffectInTheRunningMonitor) {
    dir_.WriteCp932("監視銘柄.txt", "1111.T\r\n2222.T\r\n");
    dir_.WriteCp932("株式売買値幅.txt", "0,10000,700\r\n");
    dir_.WriteCp932("std.csv",
                    "1111,貸借,1000,1000,,1,1100\r\n2222,貸借,500,500,,1,600\r\n"
                    "5555,貸借,300,300,,1,400\r\n");
    dir_.WriteCp932("kabu.txt",
                    "10:00,1111,1000,1\r\n10:00,2222,500,1\r\n10:01,2222,600,2\r\n"
                    "10:02,5555,300,3\r\n10:02,5555,330,4\r\n10:03,2222,700,3\r\n");
    kestrel::test::ScriptedUi ui;
    kestrel::test::CFakeClock clock;
    CController c(ui, clock, dir_.Path());
    c.DataModuleCreate();
    c.StartUp();
    for (int i = 0; i < 3; ++i) c.DebugTimerTimer();
    c.WaitForWatchers();
    ASSERT_GE(c.ChannelA().List.IndexOfCode(CMeigara("2222.T", 'A')), 0);
    deps_.MasterList = [&c] { return c.MasterList.get(); };
    deps_.Apply = [&c](const std::vector<std::string>& lines) { c.ApplyWatchList(lines); };
    TF_MeigaraListEdit e(deps_);
    e.LoadWatchList();
    TComboGrid& g = *e.ComboGrid1;
    g.SetCurrentCell(0, 2);
    Trigger(e, "N13");  // 2222.T goes
    Trigger(e, "N12");
    g.SetCells(0, 2, "5555");
    g.SetCells(1, 2, "東証");
    dialogs_.Answers = {true};
    Trigger(e, "S1");
    EXPECT_EQ(c.WatchLines, (std::vector<std::string>{"1111.T", "5555.T"}));
    EXPECT_EQ(c.TrkgList->IndexOfIssue("2222"), -1);
    EXPECT_EQ(c.ChannelA().List.IndexOfCode(CMeigara("2222.T", 'A')), -1);
    while (!c.ReplayAtEnd()) c.DebugTimerTimer();
    c.WaitForWatchers();
    EXPECT_GE(c.ChannelA().List.IndexOfCode(CMeigara("5555.T", 'A')), 0);
    EXPECT_EQ(c.ChannelA().List.IndexOfCode(CMeigara("2222.T", 'A')), -1);
    c.DataModuleDestroy();
}

}  // namespace
