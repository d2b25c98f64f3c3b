#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>

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

#include "common/Numbers.h"
#include "ranking/Meigara.h"
#include "settings/Ini.h"
#include "support/FakeDde.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"
#include "tracking/Trkg.h"
#include "ui/Dialogs.h"
#include "ui/FeedStatus.h"
#include "ui/MainWindow.h"
#include "ui/MeigaraListEdit.h"
#include "ui/QtUserInterface.h"
#include "ui/UiTestSupport.h"
#include "ui/debug.h"

using kestrel::test::CFakeClock;
using kestrel::test::TempDir;

namespace {

// The value the colour rules once read back from a cell's text, kept here to show that the
// colours from the figures are the colours of the texts: digits, a leading "-" and the first
// "." kept, everything else dropped; what does not read as a number is 0.
double NumericText(std::string_view text) {
    std::string kept;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9')
            kept += c;
        else if (c == '-' && i == 0)
            kept += c;
        else if (c == '.' && kept.find('.') == std::string::npos)
            kept += c;
    }
    return kestrel::ParseReal(kept).value_or(0);
}

std::unique_ptr<CMeigara> Record(const std::string& code) {
    auto m = std::make_unique<CMeigara>(code, 'A');
    m->Name = "銘柄" + code;
    m->PrevClose = 1200;
    m->Price = 1200;
    m->Time = (9 * 60 + 5) / 1440.0;
    return m;
}

// Live-mode trackers on an in-memory quote service: each topic answers its reference figures,
// and a quote is a change of its volume.
struct LiveFeed {
    TempDir dir;
    CIni ini{dir.File("feed.ini")};
    bool initDone = true;
    CMeigaraQueue qa{'A'}, qd{'D'};
    CFakeDdeServer server;
    CTrkgContext ctx;
    std::unique_ptr<CTrkgList> trackers;
    LiveFeed() {
        ini.Flg = 0;
        ctx.Rule = {ini.GetRate(), ini.GetSpan()};
        ctx.InitDone = &initDone;
        ctx.QueueA = &qa;
        ctx.QueueD = &qd;
        ctx.ConvFactory = server.Factory();
    }
    void Serve(const std::string& topic, int prevClose, const std::string& margin = "") {
        server.Topics[topic] = {{"銘柄名称", "名" + topic},
                                {"信用貸借区分", margin},
                                {"前日終値", std::to_string(prevClose)},
                                {"始値", std::to_string(prevClose)},
                                {"現在値", ""},
                                {"出来高", "0"},
                                {"現在値時刻", "  :  "},
                                {"前日比率", ""}};
    }
    void Watch(const std::vector<std::string>& topics) {
        trackers = std::make_unique<CTrkgList>(topics, ctx);
    }
    void Quote(const std::string& topic, int price, const std::string& dayRatio,
               const std::string& time) {
        server.Set(topic, "現在値", std::to_string(price), false);
        server.Set(topic, "前日比率", dayRatio, false);
        server.Set(topic, "現在値時刻", time, false);
        server.Set(topic, "出来高", std::to_string(++volume));
    }
    int volume = 0;
};

std::vector<std::string> RowCells(const TComboGrid& g, int row) {
    std::vector<std::string> cells;
    for (int c = 0; c < g.ColCount(); ++c) cells.push_back(g.Cells(c, row));
    return cells;
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
        deps.ListD = &listD_;
        deps.Ini = ini_.get();
        deps.Trackers = [this] {
            ++trackerLookups_;
            if (win_) trackerStatus_ = win_->StatusText();
            return trackers_;
        };
        deps.Started = [this] { return started_; };
        deps.LiveQuotes = [this] { return liveQuotes_ ? *liveQuotes_ : 0; };
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

    QImage CellImage(TComboGrid& grid, int col, int row) {
        QImage all = grid.GrabImage();
        QRect r = grid.CellRect(col, row).translated(grid.viewport()->pos());
        return all.copy(r);
    }
    QImage CellImage(int col, int row) { return CellImage(*win_->GridA, col, row); }
    // Is any pixel of the cell clearly coloured?
    bool Coloured(int col, int row) {
        QImage img = CellImage(col, row);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (kestrel::test::IsChromatic(img.pixel(x, y))) return true;
        return false;
    }
    // The darkest pixel of a cell: where the text was black before the colour went over it.
    QColor TextColour(int col, int row) { return TextColour(*win_->GridA, col, row); }
    QColor TextColour(TComboGrid& grid, int col, int row) {
        QImage img = CellImage(grid, col, row);
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
    CMeigaraList listD_{'D'};
    CTrkgList* trackers_ = nullptr;
    bool started_ = true;
    const int64_t* liveQuotes_ = nullptr;
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

// The colour each cell's text would have had by reading the text back as a number.
std::optional<QColor> ColourOfText(const TComboGrid& g, int col, int row) {
    const QColor red(255, 0, 0), green(0, 128, 0), blue(0, 0, 255);
    auto sign = [&](double v, double ref) -> std::optional<QColor> {
        if (v > ref) return red;
        if (v < ref) return green;
        return std::nullopt;
    };
    switch (col) {
        case 1:
            if (g.Cells(1, row).rfind("(貸)", 0) == 0) return blue;
            return std::nullopt;
        case 3:
        case 5:
        case 6:
            return sign(NumericText(g.Cells(col, row)), 0);
        case 4:
            return sign(NumericText(g.Cells(4, row)), NumericText(g.Cells(2, row)));
        default:
            return std::nullopt;
    }
}

// The colours come from the figures a row was filled with, yet are those of its texts: a ratio
// that shows as 0.00 either way has none, one that shows as 0.01 has its sign. They stay with
// their rows through a header sort, the rebuilds and a list that empties.
TEST_F(MainWindowTest, ColoursFromTheRowsFiguresAsTheCellsShowThem) {
    const double belowHalf = std::nextafter(0.005, 0.0);
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* Code;
        const char* Margin;
        int32_t PrevClose, Price, Gap;
        double Open, Day;
    };
    const Case cases[] = {
        {"1001", "貸借", 0, 0, -1, 0.004, -0.004},            // all shown as zero but the gap
        {"1002", "", 0, 1200, 0, 0.005, -0.005},              // shows +0.01 and -0.01
        {"1003", "信用", 1200, 0, 1, belowHalf, -belowHalf},  // +0.00 / 0.00; no price: below
        {"1004", "", 1200, 1199, -1500, 1e-300, -0.0},        // tiny and negative zero: none
        {"1005", "貸借 ", 1200, 1201, 0, inf, std::nan("")},  // INF / NAN: no number, none
        {"1006", "", -5, 0, 0, -inf, 12345.678},       // -INF; a price above a negative close
        {"1007", "", 1200, 1200, 0, -0.0051, 0.0049},  // -0.01 green, +0.00 none
    };
    for (const Case& c : cases) {
        auto m = Record(c.Code);
        m->MarginClass = c.Margin;
        m->PrevClose = c.PrevClose;
        m->Price = c.Price;
        m->Gap = c.Gap;
        m->OpenRatio = c.Open;
        m->DayRatio = c.Day;
        list_.Add(std::move(m));
    }
    win_->DispTimerTimer();
    TComboGrid& g = *win_->GridA;
    ASSERT_EQ(g.RowCount(), 8);
    const QColor red(255, 0, 0), green(0, 128, 0), blue(0, 0, 255);
    using Colour = std::optional<QColor>;
    auto colour = [&](int col, int row) { return win_->CellColour(g, col, row); };

    // What the texts show, and the colour of each.
    EXPECT_EQ(RowCells(g, 1), (std::vector<std::string>{"1001", "(貸)銘柄1001", "", "-1", "",
                                                        "+0.00", "0.00", "0", "0", "09:05"}));
    EXPECT_EQ(colour(1, 1), Colour(blue));
    EXPECT_EQ(colour(3, 1), Colour(green));
    EXPECT_EQ(colour(4, 1), Colour()) << "no price and no previous close";
    EXPECT_EQ(colour(5, 1), Colour());
    EXPECT_EQ(colour(6, 1), Colour());
    EXPECT_EQ(g.Cells(5, 2), "+0.01");
    EXPECT_EQ(g.Cells(6, 2), "-0.01");
    EXPECT_EQ(colour(5, 2), Colour(red));
    EXPECT_EQ(colour(6, 2), Colour(green));
    EXPECT_EQ(colour(4, 2), Colour(red)) << "a price over a zero previous close";
    EXPECT_EQ(colour(3, 2), Colour());
    EXPECT_EQ(g.Cells(5, 3), "+0.00");
    EXPECT_EQ(g.Cells(6, 3), "0.00");
    EXPECT_EQ(colour(5, 3), Colour());
    EXPECT_EQ(colour(6, 3), Colour());
    EXPECT_EQ(colour(4, 3), Colour(green)) << "an empty price reads below the close";
    EXPECT_EQ(colour(1, 3), Colour()) << "信用 has no mark";
    EXPECT_EQ(colour(3, 4), Colour(green));
    EXPECT_EQ(colour(4, 4), Colour(green));
    EXPECT_EQ(colour(5, 4), Colour());
    EXPECT_EQ(colour(6, 4), Colour());
    EXPECT_EQ(colour(1, 5), Colour()) << "only the class 貸借 exactly";
    EXPECT_EQ(colour(5, 5), Colour());
    EXPECT_EQ(colour(6, 5), Colour());
    EXPECT_EQ(colour(4, 6), Colour(red));
    EXPECT_EQ(colour(5, 6), Colour());
    EXPECT_EQ(colour(6, 6), Colour(red));
    EXPECT_EQ(colour(5, 7), Colour(green));
    EXPECT_EQ(colour(6, 7), Colour());
    // Every cell, the header included, takes the colour its text would have given.
    for (int row = 0; row < g.RowCount(); ++row)
        for (int col = 0; col < 10; ++col)
            EXPECT_EQ(colour(col, row), row == 0 ? Colour() : ColourOfText(g, col, row))
                << "column " << col << " row " << row << " '" << g.Cells(col, row) << "'";

    // Each issue's colours by its code, then sorted by the day ratio both ways: the colours go
    // with the rows.
    std::map<std::string, std::vector<Colour>> byCode;
    for (int row = 1; row < g.RowCount(); ++row)
        for (int col = 0; col < 10; ++col) byCode[g.Cells(0, row)].push_back(colour(col, row));
    auto followRows = [&](const char* when) {
        for (int row = 1; row < g.RowCount(); ++row)
            for (int col = 0; col < 10; ++col)
                EXPECT_EQ(colour(col, row), byCode[g.Cells(0, row)][size_t(col)])
                    << when << ": " << g.Cells(0, row) << " column " << col;
    };
    win_->SortBy(TF_Main::kTabRise, 6);
    ASSERT_NE(g.Cells(0, 1), "1001") << "the order changed";
    followRows("sorted");
    win_->SortBy(TF_Main::kTabRise, 6);
    followRows("sorted the other way");
    const std::string top = g.Cells(0, 1);
    win_->DispTimerTimer();
    followRows("rebuilt");

    // A list that empties keeps row 1's texts, and their colours.
    const std::vector<Colour> kept = byCode[top];
    list_.Clear();
    win_->DispTimerTimer();
    ASSERT_EQ(g.RowCount(), 2);
    ASSERT_EQ(g.Cells(0, 1), top);
    for (int col = 0; col < 10; ++col) EXPECT_EQ(colour(col, 1), kept[size_t(col)]) << col;

    // A name that merely begins with the mark is no 貸借 issue.
    auto odd = Record("2001");
    odd->Name = "(貸)名";
    list_.Add(std::move(odd));
    win_->DispTimerTimer();
    ASSERT_EQ(g.Cells(1, 1), "(貸)名");
    EXPECT_EQ(colour(1, 1), Colour());
    // The other tabs' rows are their own: 急落 was never filled.
    EXPECT_EQ(win_->CellColour(*win_->GridD, 1, 1), Colour());
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
    trackerLookups_ = 0;  // the feed's state in the status bar looks at them too
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

// 急落 is the falling list as 急騰 is the rising one: the same records give the same cells and
// the same colours, each list read under its own lock.
TEST_F(MainWindowTest, TheFallingListFillsItsTabAsTheRisingListFillsTheFirst) {
    auto make = [](const std::string& code, int price, int gap, double open, double day,
                   const char* margin) {
        auto m = Record(code);
        m->MarginClass = margin;
        m->Price = price;
        m->Gap = gap;
        m->OpenRatio = open;
        m->DayRatio = day;
        m->LimitHigh = 1500;
        m->LimitGap = 1500 - price;
        return m;
    };
    for (CMeigaraList* list : {&list_, &listD_}) {
        list->Add(make("1234", 1234, 1500, 0.004, -1.5, "貸借"));
        list->Add(make("5678", 1100, -20, 1.25, -8.33, "貸借"));
        list->Add(make("9012", 1200, 0, 0, 0, "信用"));
    }
    ShowReady();
    win_->DispTimerTimer();
    TComboGrid& a = *win_->GridA;
    TComboGrid& d = *win_->GridD;
    ASSERT_EQ(d.RowCount(), 4);
    ASSERT_EQ(a.RowCount(), d.RowCount());
    for (int row = 0; row < a.RowCount(); ++row) EXPECT_EQ(RowCells(d, row), RowCells(a, row));
    EXPECT_EQ(d.Cells(1, 2), "(貸)銘柄5678");
    EXPECT_EQ(d.Cells(6, 2), "-8.33");
    for (int c = 0; c < 10; ++c) EXPECT_EQ(d.ColWidths(c), a.ColWidths(c));

    // Brought forward, 急落's cells are drawn pixel for pixel as 急騰's.
    std::vector<QImage> rising;
    for (int row = 0; row < a.RowCount(); ++row)
        for (int c = 0; c < 10; ++c) rising.push_back(CellImage(a, c, row));
    win_->Tabs->setCurrentIndex(TF_Main::kTabFall);
    EXPECT_TRUE(d.isVisible());
    EXPECT_FALSE(a.isVisible());
    EXPECT_EQ(win_->CurrentGrid(), &d);
    for (int row = 0; row < d.RowCount(); ++row)
        for (int c = 0; c < 10; ++c)
            EXPECT_EQ(CellImage(d, c, row), rising[size_t(row * 10 + c)])
                << "column " << c << " row " << row;
    EXPECT_TRUE(Near(TextColour(d, 3, 2), QColor(0, 128, 0)));
    EXPECT_TRUE(dialogs_.Messages.empty()) << "no more under construction";
    EXPECT_EQ(dialogs_.Beeps, 0);

    // Each grid follows its own list at the next tick; an empty list keeps the two rows.
    listD_.Clear();
    list_.Add(make("3333", 1300, 0, 0, 2.5, ""));
    win_->DispTimerTimer();
    EXPECT_EQ(d.RowCount(), 2);
    EXPECT_EQ(d.Cells(0, 1), "1234") << "the data row keeps its text";
    EXPECT_EQ(a.RowCount(), 5);
    // Both locks are free again: the watchers could merge now.
    std::thread other([this] { EXPECT_EQ(listD_.Count() + list_.Count(), 4); });
    other.join();
}

// 値上り銘柄 and 値下り銘柄: every watched issue with a quote, by its change against the previous
// close, in the grid's own columns; an issue without a quote is in neither.
TEST_F(MainWindowTest, TheDayChangeTabsRankTheWatchedIssuesByTheirChange) {
    LiveFeed feed;
    for (const char* topic : {"1111.T", "2222", "3333.OS", "4444.T", "5555"})
        feed.Serve(topic, 1000, std::string(topic) == "2222" ? "貸借" : "");
    feed.Watch({"1111.T", "2222", "3333.OS", "4444.T", "5555"});
    trackers_ = feed.trackers.get();
    feed.Quote("1111.T", 1050, "5.0", "09:01");
    feed.Quote("2222", 970, "-3.0", "09:02");
    feed.Quote("5555", 1010, "1.0", "09:03");
    feed.Quote("3333.OS", 1010, "1.0", "09:04");  // a tie with 5555: the code decides
    // 4444.T has reference figures but no trade yet.
    win_->DispTimerTimer();
    auto codes = [](const TComboGrid& g) {
        std::vector<std::string> c;
        for (int row = 1; row < g.RowCount(); ++row) c.push_back(g.Cells(0, row));
        return c;
    };
    EXPECT_EQ(codes(*win_->GridGain),
              (std::vector<std::string>{"1111.T", "3333.OS", "5555", "2222"}));
    EXPECT_EQ(codes(*win_->GridLoss),
              (std::vector<std::string>{"2222", "3333.OS", "5555", "1111.T"}));
    EXPECT_EQ(RowCells(*win_->GridGain, 4),
              (std::vector<std::string>{"2222", "(貸)名2222", "1,000", "0", "970", "-3.00", "-3.00",
                                        "1,000", "30", "09:02"}));
    EXPECT_TRUE(list_.Count() == 0 && listD_.Count() == 0) << "the lists are not touched";

    // The row of an issue is the row its record would have in a list.
    std::unique_ptr<CMeigara> last;
    while (auto r = feed.qa.Pop()) last = std::move(r);
    ASSERT_TRUE(last);
    ASSERT_EQ(last->Code, "3333.OS");
    list_.Add(std::move(last));
    win_->DispTimerTimer();
    EXPECT_EQ(RowCells(*win_->GridGain, 2), RowCells(*win_->GridA, 1));

    // The next tick follows the quotes; the colours are those of the other grids.
    feed.Quote("1111.T", 940, "-6.0", "09:05");
    ShowReady();
    win_->DispTimerTimer();
    EXPECT_EQ(codes(*win_->GridGain),
              (std::vector<std::string>{"3333.OS", "5555", "2222", "1111.T"}));
    EXPECT_EQ(codes(*win_->GridLoss),
              (std::vector<std::string>{"1111.T", "2222", "3333.OS", "5555"}));
    win_->Tabs->setCurrentIndex(TF_Main::kTabLoss);
    TComboGrid& loss = *win_->GridLoss;
    ASSERT_TRUE(loss.isVisible());
    EXPECT_TRUE(Near(TextColour(loss, 6, 2), QColor(0, 128, 0)));
    EXPECT_TRUE(Near(TextColour(loss, 1, 2), QColor(0, 0, 255)));
    EXPECT_TRUE(Near(TextColour(loss, 4, 3), QColor(255, 0, 0)));

    // Without trackers (before start-up) the tabs keep their two rows.
    trackers_ = nullptr;
    win_->DispTimerTimer();
    EXPECT_EQ(win_->GridGain->RowCount(), 2);
}

// Ctrl+1..4 bring the tabs forward; the menu commands with a key show it.
TEST_F(MainWindowTest, KeysSwitchTabsAndMenusShowTheirKeys) {
    TF_DEBUG viewer(dialogs_, clock_);
    viewer_ = &viewer;
    ShowReady();
    win_->DispTimerTimer();
    win_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(win_.get()));
    for (int tab : {2, 1, 3, 0}) {
        QTest::keyClick(win_.get(), Qt::Key(Qt::Key_1 + tab), Qt::ControlModifier);
        EXPECT_EQ(win_->Tabs->currentIndex(), tab);
        EXPECT_EQ(win_->CurrentGrid(), win_->Grids[size_t(tab)]);
        for (int other = 0; other < TF_Main::kTabs; ++other)
            EXPECT_EQ(win_->Grids[size_t(other)]->isVisible(), other == tab);
        EXPECT_EQ(win_->Tabs->tabToolTip(tab), QStringLiteral("Ctrl+%1").arg(tab + 1));
    }

    // The keyed commands are written in their menus and work from the keyboard.
    int keyed = 0;
    for (QMenu* menu : win_->findChildren<QMenu*>())
        for (QAction* a : menu->actions()) {
            if (a->shortcut().isEmpty()) continue;
            ++keyed;
            EXPECT_TRUE(a->isShortcutVisibleInContextMenu()) << a->objectName().toStdString();
        }
    EXPECT_GE(keyed, 2);
    auto* x1 = win_->findChild<QAction*>(QStringLiteral("X1"));
    auto* debug2 = win_->findChild<QAction*>(QStringLiteral("DEBUG2"));
    EXPECT_EQ(x1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_EQ(debug2->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_E));
    QTest::keyClick(win_.get(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_TRUE(viewer.isVisible());
    viewer.hide();
    win_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(win_.get()));
    dialogs_.Answers = {false};
    QTest::keyClick(win_.get(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(dialogs_.Questions, std::vector<std::string>{"終了します。よろしいですか？"});
    EXPECT_EQ(terminations_, 0);
    viewer_ = nullptr;
}

// One set of widths serves every tab: what the trader drags on one tab, the next one shows, and
// the exit command stores.
TEST_F(MainWindowTest, ColumnWidthsFollowFromTabToTab) {
    win_->setEnabled(true);
    win_->Tabs->setCurrentIndex(TF_Main::kTabGain);
    win_->GridGain->SetColWidths(1, 150);
    win_->Tabs->setCurrentIndex(TF_Main::kTabFall);
    EXPECT_EQ(win_->GridD->ColWidths(1), 150);
    CQtUserInterface ui(dialogs_);
    ui.Attach({win_.get(), nullptr, nullptr});
    ini_->SetWidth(4, 91);
    ui.ApplyColumnWidths(*ini_);
    for (TComboGrid* g : win_->Grids) EXPECT_EQ(g->ColWidths(4), 91);
    win_->GridD->SetColWidths(2, 44);
    dialogs_.Answers = {true};
    win_->X1Click();
    EXPECT_EQ(WidthInFile(2), 44);
}

// In live mode the status bar always says how the feed is and when the last quote came, beside
// the texts that come and go.
TEST_F(MainWindowTest, LiveModeStatusBarShowsTheFeedOnTheClock) {
    clock_.NowMs = 10 * 3'600'000LL;  // in the morning session
    LiveFeed feed;
    feed.Serve("1111.T", 1000);
    feed.Watch({"1111.T", "2222.T"});  // 2222.T is not served: its link does not open
    trackers_ = feed.trackers.get();
    liveQuotes_ = &feed.ctx.LiveQuotes;
    started_ = false;
    Make(false);
    ShowReady();
    TFeedStatus* status = win_->FeedStatus;
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(win_->StatusBar1->findChild<TFeedStatus*>(), status);
    EXPECT_EQ(status->text(), QStringLiteral("配信 開始前"));

    started_ = true;
    clock_.Advance(TFeedStatus::kLookMs);
    EXPECT_EQ(status->text(), QStringLiteral("配信 待機中  接続 1/2  最終受信 --:--:--"));
    clock_.Advance(2500);
    feed.Quote("1111.T", 1010, "1.0", "10:00");
    clock_.Advance(TFeedStatus::kLookMs);
    EXPECT_EQ(status->State(), TFeedStatus::TState::Receiving);
    EXPECT_EQ(status->text(), QStringLiteral("配信 受信中  接続 1/2  最終受信 10:00:04"));

    // The status texts go on beside it, the held one too.
    win_->SetStatusText("DDE ReConnect DdeClientConv");
    win_->HoldStatusText("警告音を鳴らせません: x.wav", 15000);
    win_->SetStatusText("【10:00:05,1111,1010】");
    EXPECT_EQ(win_->StatusText(), "警告音を鳴らせません: x.wav");
    EXPECT_TRUE(status->isVisible());
    clock_.Advance(15000);
    EXPECT_EQ(win_->StatusText(), "【10:00:05,1111,1010】");

    // Silent past the stale time in the session: said, in red; a quote ends it.
    clock_.Advance(120'000);
    EXPECT_EQ(status->State(), TFeedStatus::TState::Stale);
    EXPECT_EQ(status->text(), QStringLiteral("配信 停止?  接続 1/2  最終受信 10:00:04"));
    EXPECT_NE(status->styleSheet().indexOf(QStringLiteral("255, 0, 0")), -1);
    feed.Quote("1111.T", 1011, "1.1", "10:02");
    clock_.Advance(TFeedStatus::kLookMs);
    EXPECT_EQ(status->State(), TFeedStatus::TState::Receiving);
    EXPECT_TRUE(status->styleSheet().isEmpty());

    // Every link down: said before anything else.
    feed.server.Running = false;
    feed.trackers->ReconnectAll();
    clock_.Advance(TFeedStatus::kLookMs);
    EXPECT_EQ(status->State(), TFeedStatus::TState::Unlinked);
    EXPECT_TRUE(status->text().startsWith(QStringLiteral("配信 未接続  接続 0/2")));

    // A replay has no feed to speak of.
    trackers_ = nullptr;
    liveQuotes_ = nullptr;
    Make(true);
    EXPECT_EQ(win_->FeedStatus, nullptr);
    EXPECT_EQ(win_->StatusBar1->findChild<TFeedStatus*>(), nullptr);
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
