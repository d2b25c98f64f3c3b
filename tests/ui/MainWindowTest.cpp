#include <gtest/gtest.h>

#include <cstdlib>

#include <memory>
#include <string>

#include <QAction>
#include <QMenu>
#include <QStatusBar>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <thread>

#include "ranking/Meigara.h"
#include "settings/Ini.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"
#include "ui/Dialogs.h"
#include "ui/MainWindow.h"
#include "ui/MeigaraListEdit.h"
#include "ui/QtUserInterface.h"
#include "ui/UiTestSupport.h"
#include "ui/debug.h"

using kestrel::test::CFakeClock;
using kestrel::test::TempDir;

namespace {

std::unique_ptr<CMeigara> Record(const std::string& code) {
    auto m = std::make_unique<CMeigara>(code, 'A');
    m->Name = "銘柄" + code;
    m->PrevClose = 1200;
    m->Price = 1200;
    m->Time = (9 * 60 + 5) / 1440.0;
    return m;
}

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kestrel::test::EnsureApplication(); }

    void SetUp() override { Make(false); }

    // A window on its own settings file; `debug` is the file's debug switch.
    void Make(bool debug, const std::string& iniPath = "") {
        win_.reset();
        iniPath_ = iniPath.empty() ? dir_.File("KESTREL.INI") : iniPath;
        if (iniPath.empty())
            dir_.WriteCp932("KESTREL.INI", debug ? "[DEBUG]\r\nflg=1\r\n" : "[DEBUG]\r\nflg=0\r\n");
        ini_ = std::make_unique<CIni>(iniPath_);
        ini_->Load();
        TF_MainDeps deps;
        deps.Dialogs = &dialogs_;
        deps.Clock = &clock_;
        deps.List = &list_;
        deps.Ini = ini_.get();
        deps.Trackers = [this] {
            ++trackerLookups_;
            trackerStatus_ = win_->StatusText();
            return nullptr;
        };
        deps.Terminate = [this] { ++terminations_; };
        deps.ShowEventViewer = [this] {
            if (viewer_) viewer_->ShowViewer();
        };
        deps.EditWatchList = [this] {
            if (editor_) editor_->exec();
        };
        win_ = std::make_unique<TF_Main>(deps);
    }

    // The window shown and enabled, as after start-up.
    void ShowReady() {
        win_->setEnabled(true);
        win_->show();
        // Qt's default of five seconds, raised: only a guard against a window that never shows.
        ASSERT_TRUE(QTest::qWaitForWindowExposed(win_.get(), 60'000));
    }

    QImage CellImage(int col, int row) {
        QImage all = win_->GridA->GrabImage();
        QRect r = win_->GridA->CellRect(col, row).translated(win_->GridA->viewport()->pos());
        return all.copy(r);
    }
    // Is any pixel of the cell clearly coloured?
    bool Coloured(int col, int row) {
        QImage img = CellImage(col, row);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (kestrel::test::IsChromatic(img.pixel(x, y))) return true;
        return false;
    }
    // The darkest pixel of a cell: where the text was black before the colour went over it.
    QColor TextColour(int col, int row) {
        QImage img = CellImage(col, row);
        QRgb best = qRgb(255, 255, 255);
        int bestSum = 3 * 255 + 1;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                QRgb p = img.pixel(x, y);
                const int sum = qRed(p) + qGreen(p) + qBlue(p);
                if (sum < bestSum) {
                    bestSum = sum;
                    best = p;
                }
            }
        return QColor(best);
    }
    int WidthInFile(int col) {
        CIni reread(iniPath_);
        reread.Load();
        return reread.GetWidth(col);
    }

    TempDir dir_;
    std::string iniPath_;
    CScriptedDialogs dialogs_;
    CFakeClock clock_{CFakeClock::kAfterTheClose};
    CMeigaraList list_{'A'};
    std::unique_ptr<CIni> ini_;
    std::unique_ptr<TF_Main> win_;
    int trackerLookups_ = 0;
    std::string trackerStatus_;
    int terminations_ = 0;
    TF_DEBUG* viewer_ = nullptr;  // the windows the menus open, when a test has them
    TF_MeigaraListEdit* editor_ = nullptr;
};

TEST_F(MainWindowTest, CreatedDisabledWithHiddenGridAndTheDesignedLayout) {
    EXPECT_EQ(win_->windowTitle(), QStringLiteral("KESTREL 2005 【デイトレ用】"));
    EXPECT_FALSE(win_->isEnabled());
    EXPECT_TRUE(win_->GridA->isHidden());
    EXPECT_TRUE(win_->DispTimer.isActive());
    EXPECT_EQ(win_->DispTimer.interval(), 5000);
    EXPECT_TRUE(dialogs_.Busy) << "hourglass from creation until start-up ends";
    EXPECT_FALSE(win_->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(win_->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(win_->font().pixelSize(), 12);
    EXPECT_EQ(win_->font().families().value(0), QStringLiteral("ＭＳ Ｐゴシック"));
    EXPECT_TRUE(win_->font().families().contains(QStringLiteral("IPAPGothic")));

    // The grid from its stored description, design widths, header texts.
    TComboGrid& g = *win_->GridA;
    ASSERT_EQ(g.ColCount(), 10);
    EXPECT_EQ(g.RowCount(), 2);
    EXPECT_EQ(g.FixedRows(), 1);
    EXPECT_EQ(g.FixedCols(), 0);
    EXPECT_FALSE(g.Options() & goEditing);
    EXPECT_TRUE(g.Options() & goColSizing);
    const char* headers[] = {"コード",   "銘柄名",   "前日終値", "ギャップ", "現在値",
                             "当日比率", "前日比率", "S高",      "S高利幅",  "時刻"};
    const int widths[] = {53, 130, 60, 63, 73, 66, 65, 60, 63, 56};
    for (int c = 0; c < 10; ++c) {
        EXPECT_EQ(g.Cells(c, 0), headers[c]);
        EXPECT_EQ(g.ColWidths(c), widths[c]);
    }
    EXPECT_EQ(g.GetCellKind(4).CellAlign, 20);
    EXPECT_EQ(g.GetCellKind(9).CellAlign, 18);
    EXPECT_EQ(g.PopupMenu(), win_->PopupMenu1);

    // Tabs, menus and tool buttons by their names and captions.
    ASSERT_EQ(win_->Tabs->count(), 4);
    EXPECT_EQ(win_->Tabs->tabText(3), QStringLiteral("値下り銘柄"));
    EXPECT_EQ(win_->Tabs->currentIndex(), 0);
    const std::pair<const char*, const char*> items[] = {{"X1", "終了(&X)"},
                                                         {"E2", "監視銘柄(&1)"},
                                                         {"C1", "銘柄リストクリア(&D)"},
                                                         {"N11", "DDE 再接続(&1)"},
                                                         {"N21", "DDE Item再設定(&2)"},
                                                         {"DEBUG2", "イベントリスト表示"},
                                                         {"I1", "バージョン情報(&I)"},
                                                         {"I2", "銘柄情報(&I)"},
                                                         {"N3", "銘柄ニュース(&N)"}};
    for (auto [name, caption] : items) {
        auto* a = win_->findChild<QAction*>(QString::fromUtf8(name));
        ASSERT_NE(a, nullptr) << name;
        EXPECT_EQ(a->text(), QString::fromUtf8(caption)) << name;
    }
    EXPECT_FALSE(win_->findChild<QAction*>(QStringLiteral("I2"))->isEnabled());
    EXPECT_FALSE(win_->findChild<QAction*>(QStringLiteral("N3"))->isEnabled());
    auto* exitButton = win_->findChild<QToolButton*>(QStringLiteral("ToolButton1"));
    auto* folderButton = win_->findChild<QToolButton*>(QStringLiteral("ToolButton2"));
    auto* viewerButton = win_->findChild<QToolButton*>(QStringLiteral("ToolButton3"));
    ASSERT_TRUE(exitButton && folderButton && viewerButton);
    EXPECT_EQ(exitButton->toolTip(), QStringLiteral("終了"));
    EXPECT_TRUE(folderButton->toolTip().isEmpty());
    EXPECT_EQ(viewerButton->toolTip(), QStringLiteral("イベントリスト表示"));
    EXPECT_FALSE(exitButton->icon().pixmap(16, 16).isNull());
    EXPECT_EQ(win_->ToolBar1->height(), 25);

    // A disabled window takes no clicks; once enabled, the folder button only beeps.
    folderButton->click();
    EXPECT_EQ(dialogs_.Beeps, 0);
    win_->setEnabled(true);
    folderButton->click();
    EXPECT_EQ(dialogs_.Beeps, 1);
    EXPECT_TRUE(dialogs_.Messages.empty());
}

TEST_F(MainWindowTest, RefreshWritesEveryColumnInItsFormat) {
    auto a = Record("1234");
    a->MarginClass = "貸借";
    a->PrevClose = 1200;
    a->Price = 1234;
    a->Gap = 1500;
    a->OpenRatio = 0.004;
    a->DayRatio = -1.5;
    a->LimitHigh = 1500;
    a->LimitGap = 0;
    a->Time = (12 * 60 + 34) / 1440.0;
    auto b = Record("5678");
    b->MarginClass = "信用";
    b->PrevClose = 0;
    b->Price = 0;
    b->Gap = 0;
    b->OpenRatio = 2.345;
    b->DayRatio = 0;
    b->LimitHigh = 1234567;
    list_.Add(std::move(a));
    list_.Add(std::move(b));

    win_->DispTimerTimer();
    TComboGrid& g = *win_->GridA;
    EXPECT_TRUE(g.isVisibleTo(win_.get())) << "the first tick shows the grid";
    EXPECT_TRUE(win_->DispTimer.isActive()) << "the timer runs again after the refresh";
    ASSERT_EQ(g.RowCount(), 3);
    const char* row1[] = {"1234",  "(貸)銘柄1234", "1,200", "+1,500", "1,234",
                          "+0.00", "-1.50",        "1,500", "0",      "12:34"};
    const char* row2[] = {"5678",  "銘柄5678", "",          "0", "",
                          "+2.35", "0.00",     "1,234,567", "0", "09:05"};
    for (int c = 0; c < 10; ++c) {
        EXPECT_EQ(g.Cells(c, 1), row1[c]) << "column " << c;
        EXPECT_EQ(g.Cells(c, 2), row2[c]) << "column " << c;
    }
    EXPECT_TRUE(dialogs_.Messages.empty());
}

TEST_F(MainWindowTest, EmptyListKeepsTwoRowsAndTheOldText) {
    list_.Add(Record("1111"));
    list_.Add(Record("2222"));
    win_->DispTimerTimer();
    ASSERT_EQ(win_->GridA->RowCount(), 3);

    list_.Clear();
    win_->DispTimerTimer();
    EXPECT_EQ(win_->GridA->RowCount(), 2);
    EXPECT_EQ(win_->GridA->Cells(0, 1), "1111") << "the data row keeps its text";
    EXPECT_TRUE(win_->DispTimer.isActive());

    // The lock is free again: the watcher thread could merge now.
    std::thread other([this] { EXPECT_EQ(list_.Count(), 0); });
    other.join();
}

TEST_F(MainWindowTest, NumericTextKeepsDigitsLeadingMinusAndFirstPoint) {
    using kestrel::NumericText;
    EXPECT_EQ(NumericText("+1,234"), 1234);
    EXPECT_EQ(NumericText("-5.25"), -5.25);
    EXPECT_EQ(NumericText("+0.00"), 0);
    EXPECT_EQ(NumericText(""), 0);
    EXPECT_EQ(NumericText("1.2.3"), 1.23);
    EXPECT_EQ(NumericText("5-3"), 53) << "a minus inside the text is dropped";
    EXPECT_EQ(NumericText("-"), 0);
    EXPECT_EQ(NumericText("abc"), 0);
}

// Within a few levels of the colour: antialiased text is not pure black before the OR.
::testing::AssertionResult Near(const QColor& seen, const QColor& colour) {
    if (std::abs(seen.red() - colour.red()) <= 30 &&
        std::abs(seen.green() - colour.green()) <= 30 &&
        std::abs(seen.blue() - colour.blue()) <= 30)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel " << seen.name().toStdString()
                                         << ", expected near " << colour.name().toStdString();
}

TEST_F(MainWindowTest, ColoursOnRenderedPixels) {
    // Row 1 holds the grid's current cell (column 1), drawn highlighted; the name rule is
    // looked at in row 2.
    auto a = Record("1234");
    a->PrevClose = 1200;
    a->Price = 1234;       // above the previous close: red
    a->Gap = 1500;         // red
    a->OpenRatio = 0.004;  // +0.00: no colour
    a->DayRatio = -1.5;    // green
    auto b = Record("5678");
    b->MarginClass = "貸借";  // blue
    b->PrevClose = 1200;
    b->Price = 1100;      // below: green
    b->Gap = -20;         // green
    b->OpenRatio = 1.25;  // red
    auto c = Record("9012");
    c->MarginClass = "貸借 ";  // not exactly: plain
    c->Price = 1200;           // equal to the previous close: none
    list_.Add(std::move(a));
    list_.Add(std::move(b));
    list_.Add(std::move(c));
    ShowReady();
    win_->DispTimerTimer();
    ASSERT_EQ(win_->GridA->Cells(1, 2), "(貸)銘柄5678");

    const QColor red(255, 0, 0), green(0, 128, 0), blue(0, 0, 255);
    EXPECT_TRUE(Near(TextColour(3, 1), red));
    EXPECT_TRUE(Near(TextColour(4, 1), red));
    EXPECT_TRUE(Near(TextColour(6, 1), green));
    EXPECT_TRUE(Near(TextColour(1, 2), blue));
    EXPECT_TRUE(Near(TextColour(4, 2), green));
    EXPECT_TRUE(Near(TextColour(3, 2), green));
    EXPECT_TRUE(Near(TextColour(5, 2), red));
    // The background stays white under the OR.
    EXPECT_EQ(CellImage(3, 1).pixelColor(1, 1), QColor(Qt::white));
    // No colour where the rules say none: +0.00, plain columns, a name without the mark, a
    // price equal to the previous close.
    EXPECT_FALSE(Coloured(5, 1));
    EXPECT_FALSE(Coloured(0, 1));
    EXPECT_FALSE(Coloured(2, 1));
    EXPECT_FALSE(Coloured(9, 1));
    EXPECT_FALSE(Coloured(1, 3));
    EXPECT_FALSE(Coloured(4, 3));
    EXPECT_LT(TextColour(4, 3).red(), 80) << "the text is there, black";
    // Header texts stay black, whatever they read.
    for (int col = 0; col < 10; ++col) EXPECT_FALSE(Coloured(col, 0)) << "header " << col;
    EXPECT_LT(TextColour(3, 0).red(), 80);
}

TEST_F(MainWindowTest, ExitCommandAskedNoChangesNothing) {
    win_->GridA->SetColWidths(3, 99);
    dialogs_.Answers = {false};
    win_->findChild<QAction*>(QStringLiteral("X1"))->trigger();
    ASSERT_EQ(dialogs_.Questions.size(), 1u);
    EXPECT_EQ(dialogs_.Questions[0], "終了します。よろしいですか？");
    EXPECT_EQ(terminations_, 0);
    EXPECT_EQ(WidthInFile(3), 64) << "nothing saved";
}

TEST_F(MainWindowTest, ExitSavesWidthsThatTheNextStartApplies) {
    win_->GridA->SetColWidths(0, 41);
    win_->GridA->SetColWidths(9, 77);
    dialogs_.Answers = {true};
    win_->setEnabled(true);
    win_->findChild<QToolButton*>(QStringLiteral("ToolButton1"))->click();
    EXPECT_EQ(terminations_, 1);
    EXPECT_TRUE(dialogs_.Messages.empty());
    EXPECT_EQ(WidthInFile(0), 41);
    EXPECT_EQ(WidthInFile(1), 130);
    EXPECT_EQ(WidthInFile(9), 77);

    // The next start: a new window with design widths, then the stored ones at the end of
    // start-up.
    Make(false, iniPath_);
    EXPECT_EQ(win_->GridA->ColWidths(0), 53);
    CQtUserInterface ui(dialogs_);
    ui.Attach({win_.get(), nullptr, nullptr});
    ui.ApplyColumnWidths(*ini_);
    EXPECT_EQ(win_->GridA->ColWidths(0), 41);
    EXPECT_EQ(win_->GridA->ColWidths(9), 77);
}

TEST_F(MainWindowTest, ExitWithUnwritableSettingsReportsAndStillEnds) {
    Make(false, dir_.File("no-such-folder/KESTREL.INI"));
    win_->setEnabled(true);  // start-up has ended
    dialogs_.Answers = {true};
    win_->X1Click();
    ASSERT_EQ(dialogs_.Messages.size(), 1u);
    EXPECT_EQ(dialogs_.Messages[0], iniPath_ + " に書き込めません");
    EXPECT_EQ(terminations_, 1) << "a trader outside debug mode must still be able to quit";
}

TEST_F(MainWindowTest, ExitWaitsWhileARefreshHasTheTimerStopped) {
    win_->DispTimer.stop();
    clock_.OnSleep = [this] {
        if (clock_.Sleeps.size() == 3) win_->DispTimer.start();
    };
    dialogs_.Answers = {true};
    win_->X1Click();
    EXPECT_EQ(clock_.Sleeps, (std::vector<int>{100, 100, 100}));
    EXPECT_EQ(terminations_, 1);
}

TEST_F(MainWindowTest, CloseBoxOutsideDebugBeepsStaysOpenAndSavesWidths) {
    ShowReady();
    win_->GridA->SetColWidths(2, 88);
    EXPECT_FALSE(win_->close());
    EXPECT_TRUE(win_->isVisible());
    EXPECT_EQ(dialogs_.Beeps, 1);
    EXPECT_EQ(terminations_, 0);
    EXPECT_EQ(WidthInFile(2), 88);
}

TEST_F(MainWindowTest, CloseBoxInDebugModeEndsEvenWhenTheSettingsCannotBeWritten) {
    Make(true);
    ShowReady();
    win_->GridA->SetColWidths(2, 70);
    EXPECT_TRUE(win_->close());
    EXPECT_EQ(terminations_, 1);
    EXPECT_EQ(dialogs_.Beeps, 0);
    EXPECT_EQ(WidthInFile(2), 70);

    // A file that cannot be written (no settings file means debug mode): reported, still closed.
    Make(true, dir_.File("missing/KESTREL.INI"));
    ASSERT_TRUE(ini_->IsDebug());
    ShowReady();
    EXPECT_TRUE(win_->close());
    ASSERT_EQ(dialogs_.Messages.size(), 1u);
    EXPECT_NE(dialogs_.Messages[0].find("に書き込めません"), std::string::npos);
    EXPECT_EQ(terminations_, 2);
}

TEST_F(MainWindowTest, ClearListAsksClearsRefreshesAndTells) {
    list_.Add(Record("1111"));
    win_->DispTimerTimer();
    dialogs_.Answers = {false};
    win_->C1Click();
    EXPECT_EQ(list_.Count(), 1);
    EXPECT_TRUE(dialogs_.Messages.empty());

    dialogs_.Answers = {true};
    win_->findChild<QAction*>(QStringLiteral("C1"))->trigger();
    EXPECT_EQ(list_.Count(), 0);
    EXPECT_EQ(dialogs_.Questions.back(), "銘柄リストをクリアします。よろしいですか？");
    ASSERT_EQ(dialogs_.Messages.size(), 1u);
    EXPECT_EQ(dialogs_.Messages[0],
              "銘柄リストをクリアしますた。【再表示は少し遅れる場合があります】");
    EXPECT_EQ(win_->GridA->RowCount(), 2);
    EXPECT_TRUE(win_->DispTimer.isActive());
}

TEST_F(MainWindowTest, ReconnectAndItemResetShowTheirStatusBeepAndSleepOnTheClock) {
    std::string statusWhileSleeping;
    clock_.OnSleep = [&] { statusWhileSleeping = win_->StatusText(); };
    win_->findChild<QAction*>(QStringLiteral("N11"))->trigger();
    EXPECT_EQ(trackerLookups_, 1);
    EXPECT_EQ(trackerStatus_, "DDE ReConnect DdeClientConv");
    EXPECT_EQ(statusWhileSleeping, "DDE ReConnect DdeClientConv");
    EXPECT_EQ(clock_.Sleeps, std::vector<int>{1000});
    EXPECT_EQ(dialogs_.Beeps, 1);
    EXPECT_EQ(win_->StatusText(), "");

    win_->findChild<QAction*>(QStringLiteral("N21"))->trigger();
    EXPECT_EQ(trackerLookups_, 2);
    EXPECT_EQ(statusWhileSleeping, "DDE ReConnect DdeClientItem");
    EXPECT_EQ(dialogs_.Beeps, 2);
    EXPECT_EQ(win_->StatusText(), "");
    EXPECT_TRUE(dialogs_.Messages.empty());
}

TEST_F(MainWindowTest, OtherTabsAreUnderConstructionAndReturnToTheFirst) {
    list_.Add(Record("1111"));
    win_->DispTimerTimer();
    for (int tab : {1, 2, 3}) {
        win_->Tabs->setCurrentIndex(tab);
        EXPECT_EQ(win_->Tabs->currentIndex(), 0);
        EXPECT_EQ(win_->Tabs->tabText(win_->Tabs->currentIndex()), QStringLiteral("急騰"));
    }
    EXPECT_EQ(dialogs_.Beeps, 3);
    ASSERT_EQ(dialogs_.Messages.size(), 3u);
    EXPECT_EQ(dialogs_.Messages[2], "工事中です。（∩ﾟдﾟ) 何にも聞こえないぞー");
    EXPECT_EQ(win_->GridA->Cells(0, 1), "1111");
}

TEST_F(MainWindowTest, ResizingFollowsTheWindow) {
    ShowReady();
    win_->resize(900, 700);
    QCoreApplication::processEvents();
    const QSize outer = win_->frameGeometry().size();
    EXPECT_EQ(win_->TabControl1->width(), outer.width() - 15);
    EXPECT_EQ(win_->TabControl1->height(), outer.height() - 100);
    EXPECT_EQ(win_->GridA->width(), win_->TabControl1->width() - 8);
    EXPECT_EQ(win_->GridA->height(), win_->TabControl1->height() - 32);
}

TEST_F(MainWindowTest, WindowCommandsOpenTheOtherWindows) {
    TF_DEBUG viewer(dialogs_, clock_);
    viewer_ = &viewer;
    win_->findChild<QAction*>(QStringLiteral("DEBUG2"))->trigger();
    EXPECT_TRUE(viewer.isVisible());
    viewer.hide();
    win_->setEnabled(true);
    win_->findChild<QToolButton*>(QStringLiteral("ToolButton3"))->click();
    EXPECT_TRUE(viewer.isVisible());

    TF_MeigaraListEdit editor;
    editor_ = &editor;
    bool wasModal = false;
    QTimer::singleShot(0, &editor, [&] {
        wasModal = editor.isVisible() && editor.isModal();
        editor.findChild<QAction*>(QStringLiteral("C1"))->trigger();
    });
    win_->findChild<QAction*>(QStringLiteral("E2"))->trigger();
    EXPECT_TRUE(wasModal);
    EXPECT_EQ(editor.result(), QDialog::Accepted);
    EXPECT_FALSE(editor.isVisible());
    viewer_ = nullptr;
    editor_ = nullptr;
}

}  // namespace
