#include "ui/MainWindow.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QKeySequence>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTabBar>
#include <QToolBar>
#include <QToolButton>

#include "app/Controller.h"
#include "common/Format.h"
#include "common/TimeOfDay.h"
#include "ranking/Meigara.h"
#include "settings/Ini.h"
#include "tracking/Trkg.h"
#include "ui/Dialogs.h"
#include "ui/FeedStatus.h"
#include "ui/GridForms.h"
#include "ui/Icons.h"
#ifdef KESTREL_HAVE_CHARTS
#include "ui/IssueChart.h"
#endif
#include "ui/IssueInfo.h"
#include "ui/MeigaraListEdit.h"
#include "ui/debug.h"

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

constexpr int kColumns = 10;
constexpr int kDesignWidths[kColumns] = {53, 130, 60, 63, 73, 66, 65, 60, 63, 56};
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 128, 0);
const QColor kBlue(0, 0, 255);

// Red above, green below, nothing at equality.
template <typename T>
std::optional<QColor> SignColour(T value, T reference) {
    if (value > reference) return kRed;
    if (value < reference) return kGreen;
    return std::nullopt;
}

// The sign of a ratio as its cell shows it, to two decimals: a value under half a hundredth
// either way shows as 0.00 and has none, and neither has one that shows as no number at all
// (not finite). The double nearest 0.005 lies above it, so it shows as 0.01: the comparison
// is exact at the edge, where scaling by 100 and rounding would not be.
int ShownSign(double ratio) {
    if (!std::isfinite(ratio) || std::fabs(ratio) < 0.005) return 0;
    return ratio > 0 ? 1 : -1;
}

std::string WithPlus(std::string text, bool positive) { return positive ? "+" + text : text; }

// The day-change order: the larger (smaller) change against the previous close first, then the
// code byte by byte, as the lists break their ties.
bool GainsFirst(const CMeigara* a, const CMeigara* b) {
    if (a->DayRatio != b->DayRatio) return a->DayRatio > b->DayRatio;
    return a->Code < b->Code;
}
bool LossesFirst(const CMeigara* a, const CMeigara* b) {
    if (a->DayRatio != b->DayRatio) return a->DayRatio < b->DayRatio;
    return a->Code < b->Code;
}

// The order of a column: by the figure the column shows, texts as texts and numbers as numbers
// (a name by the name itself, without the "(貸)" the grid puts before it).
int CompareByColumn(const CMeigara& a, const CMeigara& b, int col) {
    auto cmp = [](const auto& x, const auto& y) { return x < y ? -1 : y < x ? 1 : 0; };
    switch (col) {
        case 0:
            return cmp(a.Code, b.Code);
        case 1:
            return cmp(a.Name, b.Name);
        case 2:
            return cmp(a.PrevClose, b.PrevClose);
        case 3:
            return cmp(a.Gap, b.Gap);
        case 4:
            return cmp(a.Price, b.Price);
        case 5:
            return cmp(a.OpenRatio, b.OpenRatio);
        case 6:
            return cmp(a.DayRatio, b.DayRatio);
        case 7:
            return cmp(a.LimitHigh, b.LimitHigh);
        case 8:
            return cmp(a.LimitGap, b.LimitGap);
        case 9:
            return cmp(a.Time, b.Time);
        default:
            return 0;
    }
}

// Stable, so rows equal in the column keep the order their source gave them, either way.
void SortRows(std::vector<const CMeigara*>& rows, const TF_Main::TGridView& view) {
    if (view.SortCol < 0) return;
    std::stable_sort(rows.begin(), rows.end(), [&](const CMeigara* a, const CMeigara* b) {
        const int c = CompareByColumn(*a, *b, view.SortCol);
        return view.Descending ? c > 0 : c < 0;
    });
}

// Rows 1.. from the records in order. With none the grid keeps its header and one data row,
// whose texts stay as they were.
template <typename Records>
int FillGrid(TF_Main& window, TComboGrid& grid, const Records& records) {
    if (records.empty()) {
        grid.SetRowCount(2);
        return 0;
    }
    grid.SetRowCount(static_cast<int>(records.size()) + 1);
    int row = 1;
    for (const auto& m : records) window.FillRow(grid, row++, *m);
    return static_cast<int>(records.size());
}

}  // namespace

namespace kestrel {

QFont WindowFont(int pixelHeight) {
    QFont font;
    const QStringList families{QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                               QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP")};
    font.setFamily(families.front());
    font.setFamilies(families);
    font.setPixelSize(pixelHeight);
    return font;
}

}  // namespace kestrel

TF_Main::TF_Main(TF_MainDeps deps, QWidget* parent) : QMainWindow(parent), Deps(std::move(deps)) {
    setObjectName(QStringLiteral("F_Main"));
    // FormCreate: the hourglass until start-up has ended, then the settings.
    Deps.Dialogs->SetBusy(true);
    if (!Deps.Trackers) Deps.Trackers = [] { return static_cast<CTrkgList*>(nullptr); };
    if (!Deps.Terminate)
        Deps.Terminate = [] {
            QMetaObject::invokeMethod(
                qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        };

    setWindowTitle(QStringLiteral("KESTREL 2005 【デイトレ用】"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(kestrel::WindowFont(12));
    setGeometry(303, 108, 799, 602);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(client);
    BuildMenus();
    BuildToolBar(client);
    BuildTabs(client);
    GridA = BuildGrid("GridA");
    GridD = BuildGrid("GridD");
    GridGain = BuildGrid("GridGain");
    GridLoss = BuildGrid("GridLoss");
    Grids = {GridA, GridD, GridGain, GridLoss};
    BuildTabKeys();

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(22);
    StatusBar1->setSizeGripEnabled(true);
    setStatusBar(StatusBar1);
    BuildFeedStatus();

    DispTimer.setInterval(5000);
    connect(&DispTimer, &QTimer::timeout, this, &TF_Main::DispTimerTimer);
    DispTimer.start();
    HoldTimer.setSingleShot(true);
    connect(&HoldTimer, &QTimer::timeout, this, &TF_Main::EndHold);

    setEnabled(false);
    FormResize();
}

TF_Main::~TF_Main() {
    DispTimer.stop();
    HoldTimer.stop();
}

void TF_Main::BuildMenus() {
    QMenuBar* bar = menuBar();
    auto menu = [&](const char* name, const char* caption) {
        QMenu* m = bar->addMenu(QString::fromUtf8(caption));
        m->setObjectName(QString::fromUtf8(name));
        return m;
    };
    auto item = [&](QMenu* m, const char* name, const char* caption, void (TF_Main::*slot)()) {
        QAction* a = m->addAction(QString::fromUtf8(caption));
        a->setObjectName(QString::fromUtf8(name));
        if (slot)
            connect(a, &QAction::triggered, this,
                    [this, slot] { Guarded([&] { (this->*slot)(); }); });
        return a;
    };
    QMenu* f1 = menu("F1", "ファイル(&F)");
    item(f1, "X1", "終了(&X)", &TF_Main::X1Click)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    QMenu* e1 = menu("E1", "編集(&E)");
    item(e1, "E2", "監視銘柄(&1)", &TF_Main::E2Click);
    item(e1, "C1", "銘柄リストクリア(&D)", &TF_Main::C1Click);
    QMenu* n1 = menu("N1", "通信(&C)");
    item(n1, "N11", "DDE 再接続(&1)", &TF_Main::N11Click);
    item(n1, "N21", "DDE Item再設定(&2)", &TF_Main::N21Click);
    QMenu* debug1 = menu("DEBUG1", "Event(&I)");
    item(debug1, "DEBUG2", "イベントリスト表示", &TF_Main::DEBUG2Click)
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    QMenu* h1 = menu("H1", "ヘルプ(&H)");
    item(h1, "I1", "バージョン情報(&I)", nullptr);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    // The issue commands act on the issue chosen in the grid in front: off while none is.
    InfoAction = item(PopupMenu1, "I2", "銘柄情報(&I)", &TF_Main::I2Click);
    InfoAction->setEnabled(false);
    item(PopupMenu1, "N3", "銘柄ニュース(&N)", nullptr)->setEnabled(false);
    ChartAction = item(PopupMenu1, "G1", "チャート表示(&G)", nullptr);
    connect(ChartAction, &QAction::triggered, this, [this] {
        Guarded([this] {
            if (const std::string topic = ChosenTopic(); !topic.empty()) OpenChart(topic);
        });
    });
    ChartAction->setEnabled(false);
#ifndef KESTREL_HAVE_CHARTS
    ChartAction->setVisible(false);
#endif

    // A command's key is written beside it in every menu, the grid's context menu too.
    for (QAction* a : findChildren<QAction*>())
        if (!a->shortcut().isEmpty()) a->setShortcutVisibleInContextMenu(true);
}

void TF_Main::BuildTabKeys() {
    // Ctrl+1 to Ctrl+4 bring a tab forward; each tab says its key in its tool tip.
    for (int tab = 0; tab < kTabs; ++tab) {
        auto* a = new QAction(this);
        a->setObjectName(QStringLiteral("Tab%1").arg(tab + 1));
        a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_1 + tab)));
        a->setShortcutContext(Qt::WindowShortcut);
        connect(a, &QAction::triggered, this, [this, tab] { Tabs->setCurrentIndex(tab); });
        addAction(a);
        Tabs->setTabToolTip(tab, a->shortcut().toString(QKeySequence::NativeText));
    }
}

void TF_Main::BuildFeedStatus() {
    // Live mode only: a replay has no feed to speak of. The silence it calls a stop is the one
    // of [ALERT] stale=, 120 s without the section.
    if (Deps.Ini->IsDebug() || !Deps.LiveQuotes) return;
    TFeedStatus::TSource source;
    source.Started = Deps.Started;
    source.LiveQuotes = Deps.LiveQuotes;
    source.Links = [this] {
        const CTrkgList* trackers = Deps.Trackers();
        return trackers ? std::make_pair(trackers->LinkedCount(), trackers->Count())
                        : std::make_pair(0, 0);
    };
    FeedStatus = new TFeedStatus(*Deps.Clock, Deps.Ini->AlertStale, std::move(source), StatusBar1);
    StatusBar1->addPermanentWidget(FeedStatus);
    FeedStatus->Start();
}

void TF_Main::BuildToolBar(QWidget* client) {
    ToolBar1 = new QToolBar(client);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(16, 16));
    ToolBar1->setGeometry(0, 0, width(), 25);
    auto button = [&](const char* name, const QImage& image, const char* hint,
                      void (TF_Main::*slot)()) {
        auto* b = new QToolButton(ToolBar1);
        b->setObjectName(QString::fromUtf8(name));
        b->setIcon(kestrel::IconOf(image));
        b->setIconSize(QSize(16, 16));
        b->setFixedSize(23, 23);
        b->setAutoRaise(true);
        if (hint) b->setToolTip(QString::fromUtf8(hint));
        connect(b, &QToolButton::clicked, this,
                [this, slot] { Guarded([&] { (this->*slot)(); }); });
        ToolBar1->addWidget(b);
        return b;
    };
    button("ToolButton1", kestrel::ExitDoorImage(), "終了", &TF_Main::X1Click);
    ToolBar1->addSeparator()->setObjectName(QStringLiteral("ToolButton4"));
    button("ToolButton2", kestrel::OpenFolderImage(), nullptr, &TF_Main::ToolButton2Click);
    button("ToolButton3", kestrel::ViewerImage(), "イベントリスト表示", &TF_Main::DEBUG2Click);
}

void TF_Main::BuildTabs(QWidget* client) {
    TabControl1 = new QWidget(client);
    TabControl1->setObjectName(QStringLiteral("TabControl1"));
    TabControl1->setGeometry(0, 28, 789, 501);
    auto* page = new QFrame(TabControl1);
    page->setObjectName(QStringLiteral("TabPage"));
    page->setFrameShape(QFrame::StyledPanel);
    Tabs = new QTabBar(TabControl1);
    Tabs->setObjectName(QStringLiteral("TabControl1Tabs"));
    Tabs->setDrawBase(false);
    Tabs->setExpanding(false);
    for (const char* caption : {"急騰", "急落", "値上り銘柄", "値下り銘柄"})
        Tabs->addTab(QString::fromUtf8(caption));
    Tabs->setCurrentIndex(0);
    Tabs->move(2, 0);
    Tabs->adjustSize();
    connect(Tabs, &QTabBar::currentChanged, this,
            [this](int index) { Guarded([&] { TabControl1Change(index); }); });
    TabControl1->installEventFilter(this);
}

TComboGrid* TF_Main::BuildGrid(const char* name) {
    auto* grid = new TComboGrid(TabControl1);
    grid->setObjectName(QString::fromUtf8(name));
    grid->SetColCount(kColumns);
    grid->SetFixedCols(0);
    grid->SetFixedRows(1);
    grid->SetRowCount(2);
    grid->SetDefaultRowHeight(16);
    // Lines between header cells only, column borders can be dragged, no editing, no row
    // selection.
    grid->SetOptions(goFixedVertLine | goFixedHorzLine | goColSizing);
    for (int c = 0; c < kColumns; ++c) grid->SetColWidths(c, kDesignWidths[c]);
    // Every tab shows the same ten columns: the rising list's grid description serves them all.
    kestrel::LoadStoredGrid(*grid, "GridA");
    grid->SetPopupMenu(PopupMenu1);
    grid->OnDrawCell = [this, grid](QPainter& canvas, int col, int row, const QRect& rect,
                                    TGridDrawState state) {
        GridDrawCell(*grid, canvas, col, row, rect, state);
    };
    grid->SetElideColumn(1, true);
    grid->OnHeaderClick = [this, grid](int col) { Guarded([&] { SortBy(TabOf(grid), col); }); };
    grid->OnSelectCell = [this, grid](int, int row) { GridSelected(TabOf(grid), row); };
    grid->OnOpenCell = [this, grid](int, int row) {
        Guarded([&] {
            const int tab = TabOf(grid);
            if (row >= 1 && row <= View(tab).Filled) OpenChart(grid->Cells(0, row));
        });
    };
    grid->setGeometry(4, 24, 781, 469);
    grid->hide();
    return grid;
}

TComboGrid* TF_Main::CurrentGrid() const { return Grids[static_cast<size_t>(FrontTab)]; }

int TF_Main::TabOf(const TComboGrid* grid) const {
    const auto it = std::find(Grids.begin(), Grids.end(), grid);
    return it == Grids.end() ? kTabRise : static_cast<int>(it - Grids.begin());
}

void TF_Main::SetColWidth(int col, int width) {
    for (TComboGrid* grid : Grids) grid->SetColWidths(col, width);
}

void TF_Main::ShowFrontGrid() {
    if (!GridsShown) return;
    for (int tab = 0; tab < kTabs; ++tab)
        if (tab != FrontTab) Grids[static_cast<size_t>(tab)]->hide();
    CurrentGrid()->show();
}

void TF_Main::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        Deps.Dialogs->ShowMessage(e.what());
    }
}

void TF_Main::SetStatusText(const std::string& text) {
    if (StatusHeld()) {
        Waiting = text;
        return;
    }
    if (text.empty())
        StatusBar1->clearMessage();
    else
        StatusBar1->showMessage(Q(text));
}

void TF_Main::HoldStatusText(const std::string& text, int ms) {
    Held = Q(text);
    HeldMs = std::max(ms, 1);
    HeldSinceMs = Deps.Clock->TimeOfDayMs();
    const CDate today = Deps.Clock->Today();
    HeldDay[0] = today.Year, HeldDay[1] = today.Month, HeldDay[2] = today.Day;
    StatusBar1->showMessage(Held);
    if (!HoldClockTimer) HoldClockTimer = Deps.Clock->MakeTimer([this] { EndHold(); });
    if (HoldClockTimer) {
        HoldClockTimer->SetInterval(HeldMs);
        HoldClockTimer->Start();
    } else {
        HoldTimer.start(HeldMs);
    }
}

bool TF_Main::StatusHeld() {
    if (Held.isEmpty()) return false;
    // Past its time, or the clock went back or on to another day: over.
    const int64_t now = Deps.Clock->TimeOfDayMs();
    const CDate today = Deps.Clock->Today();
    const bool sameDay =
        today.Year == HeldDay[0] && today.Month == HeldDay[1] && today.Day == HeldDay[2];
    if (!sameDay || now < HeldSinceMs || now - HeldSinceMs >= HeldMs) EndHold();
    return !Held.isEmpty();
}

void TF_Main::EndHold() {
    if (HoldClockTimer) HoldClockTimer->Stop();
    HoldTimer.stop();
    if (Held.isEmpty()) return;
    const bool shown = StatusBar1->currentMessage() == Held;
    Held.clear();
    if (Waiting) {
        const std::string text = std::move(*Waiting);
        Waiting.reset();
        SetStatusText(text);
    } else if (shown) {
        StatusBar1->clearMessage();
    }
}

std::string TF_Main::StatusText() const { return StatusBar1->currentMessage().toStdString(); }

void TF_Main::DispTimerTimer() {
    Guarded([this] { Refresh(); });
}

void TF_Main::Refresh() {
    if (!GridsShown) {
        GridsShown = true;
        ShowFrontGrid();
    }
    DispTimer.stop();
    // Started again whatever happens below, after the lists have been unlocked: the exit command
    // waits for the timer to run.
    struct Restart {
        QTimer& Timer;
        ~Restart() { Timer.start(); }
    } restart{DispTimer};
    for (int tab = 0; tab < kTabs; ++tab) Rebuild(tab);
}

void TF_Main::Rebuild(int tab) {
    TComboGrid& grid = *Grids[static_cast<size_t>(tab)];
    TGridView& view = Views[static_cast<size_t>(tab)];
    if (tab == kTabRise || tab == kTabFall) {
        // Each list under its own lock, for the whole rebuild and nothing else: the entries are
        // read in place, and no other lock is taken meanwhile.
        CMeigaraList* list = tab == kTabRise ? Deps.List : Deps.ListD;
        if (!list) return;
        {
            auto entries = list->Lock();
            if (view.SortCol < 0) {
                view.Filled = FillGrid(*this, grid, *entries);
            } else {
                std::vector<const CMeigara*> rows;
                rows.reserve(entries->size());
                for (const auto& m : *entries) rows.push_back(m.get());
                SortRows(rows, view);
                view.Filled = FillGrid(*this, grid, rows);
            }
        }
        ChoiceToGrid(tab);
        return;
    }
    // The trackers live on this thread: their figures are read here, between two quotes.
    const CTrkgList* trackers = Deps.Trackers();
    const int count = trackers ? trackers->Count() : 0;
    std::vector<const CMeigara*> order;
    size_t used = 0;
    for (int i = 0; i < count; ++i) {
        const CTrkg& t = *trackers->Items(i);
        if (!t.HasQuote()) continue;
        if (used == DayRecords.size()) DayRecords.push_back(std::make_unique<CMeigara>());
        t.FillRecord(*DayRecords[used]);
        order.push_back(DayRecords[used++].get());
    }
    std::sort(order.begin(), order.end(), tab == kTabGain ? GainsFirst : LossesFirst);
    SortRows(order, view);
    view.Filled = FillGrid(*this, grid, order);
    ChoiceToGrid(tab);
}

void TF_Main::SortBy(int tab, int col) {
    if (tab < 0 || tab >= kTabs || col < 0 || col >= kColumns) return;
    TGridView& view = Views[static_cast<size_t>(tab)];
    if (view.SortCol == col) {
        view.Descending = !view.Descending;
    } else {
        view.SortCol = col;
        view.Descending = false;
    }
    // At once, not at the next tick: the trader sees the click take effect.
    Rebuild(tab);
    Grids[static_cast<size_t>(tab)]->viewport()->update();
}

void TF_Main::GridSelected(int tab, int row) {
    if (Restoring) return;
    TGridView& view = Views[static_cast<size_t>(tab)];
    const TComboGrid& grid = *Grids[static_cast<size_t>(tab)];
    view.Chosen = row >= 1 && row <= view.Filled ? grid.Cells(0, row) : std::string();
    if (tab == FrontTab) UpdateIssueCommands();
}

void TF_Main::ChoiceToGrid(int tab) {
    TGridView& view = Views[static_cast<size_t>(tab)];
    if (view.Chosen.empty()) return;
    TComboGrid& grid = *Grids[static_cast<size_t>(tab)];
    for (int row = 1; row <= view.Filled; ++row) {
        if (grid.Cells(0, row) != view.Chosen) continue;
        if (grid.Row() != row) {
            // The view stays where the trader scrolled it; only the mark moves with the issue.
            const int top = grid.TopRow();
            Restoring = true;
            grid.SetCurrentCell(grid.Col(), row);
            grid.SetTopRow(top);
            Restoring = false;
        }
        return;
    }
    // The issue left the list: nothing is chosen any more.
    view.Chosen.clear();
    if (tab == FrontTab) UpdateIssueCommands();
}

std::string TF_Main::ChosenTopic() const { return View(FrontTab).Chosen; }

void TF_Main::UpdateIssueCommands() {
    const bool chosen = !ChosenTopic().empty();
    InfoAction->setEnabled(chosen);
    ChartAction->setEnabled(chosen);
}

const CTrkg* TF_Main::TrackerOf(const std::string& topic) const {
    const CTrkgList* trackers = Deps.Trackers();
    if (!trackers) return nullptr;
    for (int i = 0; i < trackers->Count(); ++i)
        if (trackers->Items(i)->GetTopic() == topic) return trackers->Items(i);
    return nullptr;
}

bool TF_Main::IssueFigures(const std::string& topic, CMeigara& out) {
    if (const CTrkg* t = TrackerOf(topic)) {
        t->FillRecord(out);
        return true;
    }
    // Not watched any more (a list loaded from a resume file, an edited watch list): the
    // figures of its last move, as the list in front holds them.
    CMeigaraList* list = FrontTab == kTabRise   ? Deps.List
                         : FrontTab == kTabFall ? Deps.ListD
                                                : nullptr;
    if (!list) return false;
    auto entries = list->Lock();
    for (const auto& m : *entries)
        if (m->Code == topic) {
            out = *m;
            return true;
        }
    return false;
}

void TF_Main::I2Click() {
    const std::string topic = ChosenTopic();
    if (topic.empty()) return;
    CMeigara figures;
    if (!IssueFigures(topic, figures)) {
        Deps.Dialogs->ShowMessage(topic + " の銘柄情報がありません");
        return;
    }
    auto* info = new TIssueInfo(figures, this);
    info->setAttribute(Qt::WA_DeleteOnClose);
    info->show();
}

QWidget* TF_Main::ChartOf(const std::string& topic) const {
    for (const auto& [t, w] : Charts)
        if (t == topic && w) return w;
    return nullptr;
}

void TF_Main::OpenChart(const std::string& topic) {
    if (topic.empty()) return;
    if (QWidget* open = ChartOf(topic)) {
        open->showNormal();
        open->raise();
        open->activateWindow();
        return;
    }
#ifndef KESTREL_HAVE_CHARTS
    // A build without Qt Charts has no chart to open.
    Deps.Dialogs->Beep();
#else
    std::erase_if(Charts, [](const auto& c) { return c.second.isNull(); });
    TIssueChart::TSource source;
    // Looked up at every refresh: an edited watch list may have made the trackers anew.
    source.Tracker = [this, topic] { return TrackerOf(topic); };
    // The rule the tracker's own detector judges by.
    source.Rule = [this, topic] {
        const CTrkg* t = TrackerOf(topic);
        return t ? t->Rule() : MoveRule{};
    };
    auto* chart = new TIssueChart(topic, std::move(source), this);
    chart->setAttribute(Qt::WA_DeleteOnClose);
    // Beside the main window, each further one a little lower, so none hides another; kept on
    // the screen.
    const int n = static_cast<int>(Charts.size());
    QRect place(frameGeometry().topRight() + QPoint(8, 40 + 24 * (n % 8)), chart->size());
    if (const QScreen* screen = this->screen()) {
        const QRect room = screen->availableGeometry();
        place.moveRight(std::min(place.right(), room.right()));
        place.moveBottom(std::min(place.bottom(), room.bottom()));
        place.moveLeft(std::max(place.left(), room.left()));
        place.moveTop(std::max(place.top(), room.top()));
    }
    chart->move(place.topLeft());
    chart->show();
    Charts.emplace_back(topic, chart);
#endif
}

void TF_Main::FillRow(TComboGrid& grid, int row, const CMeigara& m) {
    using kestrel::FormatThousands;
    if (row < 0) return;
    std::vector<TRowFigures>& figures = Figures[static_cast<size_t>(TabOf(&grid))];
    if (figures.size() <= static_cast<size_t>(row)) figures.resize(static_cast<size_t>(row) + 1);
    figures[static_cast<size_t>(row)] = {
        true, m.MarginClass == "貸借", m.PrevClose, m.Gap, m.Price, m.OpenRatio, m.DayRatio};
    grid.SetCells(0, row, m.Code);
    grid.SetCells(1, row, m.MarginClass == "貸借" ? "(貸)" + m.Name : m.Name);
    grid.SetCells(2, row, FormatThousands(m.PrevClose, true));
    grid.SetCells(3, row, WithPlus(FormatThousands(m.Gap, false), m.Gap > 0));
    grid.SetCells(4, row, FormatThousands(m.Price, true));
    grid.SetCells(5, row,
                  WithPlus(kestrel::FormatPrintfReal("%.2f", m.OpenRatio), m.OpenRatio > 0));
    grid.SetCells(6, row, WithPlus(kestrel::FormatPrintfReal("%.2f", m.DayRatio), m.DayRatio > 0));
    grid.SetCells(7, row, FormatThousands(m.LimitHigh, false));
    grid.SetCells(8, row, FormatThousands(m.LimitGap, false));
    grid.SetCells(9, row, kestrel::FormatHhNn(m.Time));
}

void TF_Main::GridDrawCell(const TComboGrid& grid, QPainter& canvas, int col, int row,
                           const QRect& rect, TGridDrawState state) {
    if (state == TGridDrawState(gdFixed)) {
        // The column the grid is sorted by carries the style's sort arrow at its right end,
        // beside the caption.
        const TGridView& view = View(TabOf(&grid));
        if (row != 0 || col != view.SortCol) return;
        QStyleOptionHeader arrow;
        arrow.initFrom(&grid);
        arrow.sortIndicator =
            view.Descending ? QStyleOptionHeader::SortDown : QStyleOptionHeader::SortUp;
        arrow.rect = QRect(rect.right() - 9, rect.top() + (rect.height() - 7) / 2, 7, 7);
        grid.style()->drawPrimitive(QStyle::PE_IndicatorHeaderArrow, &arrow, &canvas, &grid);
        return;
    }
    const std::optional<QColor> colour = CellColour(grid, col, row);
    if (!colour) return;
    // Every pixel becomes pixel OR colour: the white ground stays white, black text takes the
    // colour.
    const QPainter::CompositionMode old = canvas.compositionMode();
    canvas.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
    canvas.fillRect(rect, *colour);
    canvas.setCompositionMode(old);
}

std::optional<QColor> TF_Main::CellColour(const TComboGrid& grid, int col, int row) const {
    const std::vector<TRowFigures>& figures = Figures[static_cast<size_t>(TabOf(&grid))];
    // The header, and a data row never filled (its cells are empty).
    if (row < 1 || static_cast<size_t>(row) >= figures.size()) return std::nullopt;
    const TRowFigures& f = figures[static_cast<size_t>(row)];
    if (!f.Filled) return std::nullopt;
    switch (col) {
        case 1:
            if (f.Taishaku) return kBlue;
            return std::nullopt;
        case 3:
            return SignColour(f.Gap, 0);
        case 4:
            // An empty price cell (0) against the previous close, as it shows.
            return SignColour(f.Price, f.PrevClose);
        case 5:
            return SignColour(ShownSign(f.OpenRatio), 0);
        case 6:
            return SignColour(ShownSign(f.DayRatio), 0);
        default:
            return std::nullopt;
    }
}

void TF_Main::SaveColumnWidths() {
    if (!isEnabled()) return;
    for (int c = 0; c < kColumns; ++c) Deps.Ini->SetWidth(c, CurrentGrid()->ColWidths(c));
    Deps.Ini->SaveWidths();
}

void TF_Main::X1Click() {
    if (!Deps.Dialogs->Confirm("終了します。よろしいですか？")) return;
    // A settings file that cannot be written is reported, but must not keep the trader from
    // quitting: the lists are only saved when the application ends normally.
    try {
        SaveColumnWidths();
    } catch (const std::exception& e) {
        Deps.Dialogs->ShowMessage(e.what());
    }
    while (!DispTimer.isActive()) {
        Deps.Clock->SleepMs(100);
        QCoreApplication::processEvents();
    }
    Deps.Terminate();
}

void TF_Main::closeEvent(QCloseEvent* event) {
    const bool debug = Deps.Ini->IsDebug();
    if (!debug) Deps.Dialogs->Beep();
    try {
        SaveColumnWidths();
    } catch (const std::exception& e) {
        Deps.Dialogs->ShowMessage(e.what());
    }
    if (!debug) {
        event->ignore();
        return;
    }
    event->accept();
    Deps.Terminate();
}

void TF_Main::E2Click() {
    if (Deps.EditWatchList) Deps.EditWatchList();
}

void TF_Main::DEBUG2Click() {
    if (Deps.ShowEventViewer) Deps.ShowEventViewer();
}

void TF_Main::ToolButton2Click() { Deps.Dialogs->Beep(); }

void TF_Main::C1Click() {
    if (!Deps.Dialogs->Confirm("銘柄リストをクリアします。よろしいですか？")) return;
    if (Deps.List) Deps.List->Clear();
    if (DispTimer.isActive()) {
        DispTimer.stop();
        Refresh();
    }
    Deps.Dialogs->ShowMessage("銘柄リストをクリアしますた。【再表示は少し遅れる場合があります】");
}

void TF_Main::Reconnect(const char* status, bool (CTrkgList::*what)()) {
    SetStatusText(status);
    StatusBar1->repaint();
    if (CTrkgList* trackers = Deps.Trackers()) (trackers->*what)();
    Deps.Dialogs->Beep();
    // The window does not answer meanwhile, as the links settle.
    Deps.Clock->SleepMs(1000);
    SetStatusText("");
}

void TF_Main::N11Click() { Reconnect("DDE ReConnect DdeClientConv", &CTrkgList::ReconnectAll); }

void TF_Main::N21Click() { Reconnect("DDE ReConnect DdeClientItem", &CTrkgList::ResetItemAll); }

void TF_Main::TabControl1Change(int index) {
    if (index < 0 || index >= kTabs || index == FrontTab) return;
    // One set of widths for every tab: the grid coming forward takes those of the one leaving,
    // which the trader may have dragged.
    TComboGrid* leaving = CurrentGrid();
    for (int c = 0; c < kColumns; ++c)
        Grids[static_cast<size_t>(index)]->SetColWidths(c, leaving->ColWidths(c));
    FrontTab = index;
    ShowFrontGrid();
    UpdateIssueCommands();
}

void TF_Main::FormResize() {
    const QSize outer = frameGeometry().size();
    TabControl1->resize(outer.width() - 15, outer.height() - 100);
}

void TF_Main::TabControl1Resize() {
    for (TComboGrid* grid : Grids)
        if (grid) grid->resize(TabControl1->width() - 8, TabControl1->height() - 32);
    if (QWidget* page = TabControl1->findChild<QWidget*>(QStringLiteral("TabPage")))
        page->setGeometry(0, Tabs->height() - 1, TabControl1->width(),
                          TabControl1->height() - Tabs->height() + 1);
}

void TF_Main::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    ToolBar1->resize(centralWidget()->width(), 25);
    FormResize();
}

void TF_Main::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (FrameFitted) return;
    FrameFitted = true;
    // The designed size is the outer one; once the frame is known, fit the client inside it.
    const QSize frame = frameGeometry().size() - size();
    if (frame.width() > 0 || frame.height() > 0) {
        resize(QSize(799, 602) - frame);
        move(303, 108);
    }
}

bool TF_Main::eventFilter(QObject* watched, QEvent* event) {
    if (watched == TabControl1 && event->type() == QEvent::Resize) TabControl1Resize();
    return QMainWindow::eventFilter(watched, event);
}
