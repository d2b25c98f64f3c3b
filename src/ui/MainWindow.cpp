#include "ui/MainWindow.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QMenuBar>
#include <QPainter>
#include <QStatusBar>
#include <QTabBar>
#include <QToolBar>
#include <QToolButton>

#include "app/Controller.h"
#include "common/Format.h"
#include "common/Numbers.h"
#include "common/TimeOfDay.h"
#include "ranking/Meigara.h"
#include "settings/Ini.h"
#include "tracking/Trkg.h"
#include "ui/Dialogs.h"
#include "ui/GridForms.h"
#include "ui/Icons.h"
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
const QColor* SignColour(double value, double reference) {
    if (value > reference) return &kRed;
    if (value < reference) return &kGreen;
    return nullptr;
}

std::string WithPlus(std::string text, bool positive) { return positive ? "+" + text : text; }

}  // namespace

namespace kestrel {

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
    // Read the same under every locale: the window toolkit applies the user's LC_NUMERIC.
    return kestrel::ParseReal(kept).value_or(0);
}

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
    BuildGrid();

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(22);
    StatusBar1->setSizeGripEnabled(true);
    setStatusBar(StatusBar1);

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
    item(f1, "X1", "終了(&X)", &TF_Main::X1Click);
    QMenu* e1 = menu("E1", "編集(&E)");
    item(e1, "E2", "監視銘柄(&1)", &TF_Main::E2Click);
    item(e1, "C1", "銘柄リストクリア(&D)", &TF_Main::C1Click);
    QMenu* n1 = menu("N1", "通信(&C)");
    item(n1, "N11", "DDE 再接続(&1)", &TF_Main::N11Click);
    item(n1, "N21", "DDE Item再設定(&2)", &TF_Main::N21Click);
    QMenu* debug1 = menu("DEBUG1", "Event(&I)");
    item(debug1, "DEBUG2", "イベントリスト表示", &TF_Main::DEBUG2Click);
    QMenu* h1 = menu("H1", "ヘルプ(&H)");
    item(h1, "I1", "バージョン情報(&I)", nullptr);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    item(PopupMenu1, "I2", "銘柄情報(&I)", nullptr)->setEnabled(false);
    item(PopupMenu1, "N3", "銘柄ニュース(&N)", nullptr)->setEnabled(false);
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

void TF_Main::BuildGrid() {
    GridA = new TComboGrid(TabControl1);
    GridA->setObjectName(QStringLiteral("GridA"));
    GridA->SetColCount(kColumns);
    GridA->SetFixedCols(0);
    GridA->SetFixedRows(1);
    GridA->SetRowCount(2);
    GridA->SetDefaultRowHeight(16);
    // Lines between header cells only, column borders can be dragged, no editing, no row
    // selection.
    GridA->SetOptions(goFixedVertLine | goFixedHorzLine | goColSizing);
    for (int c = 0; c < kColumns; ++c) GridA->SetColWidths(c, kDesignWidths[c]);
    kestrel::LoadStoredGrid(*GridA, "GridA");
    GridA->SetPopupMenu(PopupMenu1);
    GridA->OnDrawCell = [this](QPainter& canvas, int col, int row, const QRect& rect,
                               TGridDrawState state) {
        GridADrawCell(canvas, col, row, rect, state);
    };
    GridA->setGeometry(4, 24, 781, 469);
    GridA->hide();
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
    if (GridA->isHidden()) GridA->show();
    DispTimer.stop();
    // Started again whatever happens below, after the list has been unlocked: the exit command
    // waits for the timer to run.
    struct Restart {
        QTimer& Timer;
        ~Restart() { Timer.start(); }
    } restart{DispTimer};
    if (!Deps.List) return;
    auto entries = Deps.List->Lock();
    if (entries->empty()) {
        // The data row keeps what it showed.
        GridA->SetRowCount(2);
        return;
    }
    GridA->SetRowCount(static_cast<int>(entries->size()) + 1);
    for (size_t i = 0; i < entries->size(); ++i) FillRow(static_cast<int>(i) + 1, *(*entries)[i]);
}

void TF_Main::FillRow(int row, const CMeigara& m) {
    using kestrel::FormatThousands;
    GridA->SetCells(0, row, m.Code);
    GridA->SetCells(1, row, m.MarginClass == "貸借" ? "(貸)" + m.Name : m.Name);
    GridA->SetCells(2, row, FormatThousands(m.PrevClose, true));
    GridA->SetCells(3, row, WithPlus(FormatThousands(m.Gap, false), m.Gap > 0));
    GridA->SetCells(4, row, FormatThousands(m.Price, true));
    GridA->SetCells(5, row,
                    WithPlus(kestrel::FormatPrintfReal("%.2f", m.OpenRatio), m.OpenRatio > 0));
    GridA->SetCells(6, row,
                    WithPlus(kestrel::FormatPrintfReal("%.2f", m.DayRatio), m.DayRatio > 0));
    GridA->SetCells(7, row, FormatThousands(m.LimitHigh, false));
    GridA->SetCells(8, row, FormatThousands(m.LimitGap, false));
    GridA->SetCells(9, row, kestrel::FormatHhNn(m.Time));
}

void TF_Main::GridADrawCell(QPainter& canvas, int col, int row, const QRect& rect,
                            TGridDrawState state) {
    if (state == TGridDrawState(gdFixed)) return;
    using kestrel::NumericText;
    const QColor* colour = nullptr;
    switch (col) {
        case 1:
            if (GridA->Cells(1, row).rfind("(貸)", 0) == 0) colour = &kBlue;
            break;
        case 3:
        case 5:
        case 6:
            colour = SignColour(NumericText(GridA->Cells(col, row)), 0);
            break;
        case 4:
            colour =
                SignColour(NumericText(GridA->Cells(4, row)), NumericText(GridA->Cells(2, row)));
            break;
        default:
            break;
    }
    if (!colour) return;
    // Every pixel becomes pixel OR colour: the white ground stays white, black text takes the
    // colour.
    const QPainter::CompositionMode old = canvas.compositionMode();
    canvas.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
    canvas.fillRect(rect, *colour);
    canvas.setCompositionMode(old);
}

void TF_Main::SaveColumnWidths() {
    if (!isEnabled()) return;
    for (int c = 0; c < kColumns; ++c) Deps.Ini->SetWidth(c, GridA->ColWidths(c));
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
    if (ResettingTab || index == 0) return;
    Deps.Dialogs->Beep();
    Deps.Dialogs->ShowMessage("工事中です。（∩ﾟдﾟ) 何にも聞こえないぞー");
    ResettingTab = true;
    Tabs->setCurrentIndex(0);
    ResettingTab = false;
}

void TF_Main::FormResize() {
    const QSize outer = frameGeometry().size();
    TabControl1->resize(outer.width() - 15, outer.height() - 100);
}

void TF_Main::TabControl1Resize() {
    GridA->resize(TabControl1->width() - 8, TabControl1->height() - 32);
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
