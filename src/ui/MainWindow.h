#pragma once
// TF_Main: the monitor's main window. Its four tabs show the rising and the falling ranking list
// and the watched issues by their change on the day, each in a grid rebuilt every 5 s; it colours
// the figures by sign and carries the program's commands.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QColor>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include "ui/CmbGrid.h"

class CIni;
class CMeigara;
class CMeigaraList;
class CTrkg;
class CTrkgList;
class IClock;
class IDialogs;
class ITimer;
class QAction;
class QMenu;
class QStatusBar;
class QTabBar;
class QToolBar;
class QToolButton;
class TFeedStatus;

namespace kestrel {
// The font of the program's windows at the given pixel height.
QFont WindowFont(int pixelHeight);
}  // namespace kestrel

// What the window works with. Null members are taken from the process's controller: the rising
// list, the settings (created and read on the window's creation) and the tracker list.
struct TF_MainDeps {
    // All handed in by whoever makes the window (the entry, a test); none is looked up.
    IDialogs* Dialogs = nullptr;    // required
    IClock* Clock = nullptr;        // required
    CMeigaraList* List = nullptr;   // required: the rising list 急騰 shows
    CMeigaraList* ListD = nullptr;  // the falling list 急落 shows (none: the tab stays empty)
    CIni* Ini = nullptr;            // required: the settings, made once by the entry
    // Looked up at each command, since the trackers are made during start-up.
    std::function<CTrkgList*()> Trackers;
    // Ends the application; by default a quit once control is back in the event loop.
    std::function<void()> Terminate;
    // The other windows the menus open (none when not given).
    std::function<void()> EditWatchList;
    std::function<void()> ShowEventViewer;
    // For the feed's state in the status bar in live mode (none: not shown): whether start-up
    // has ended, and the count of quote points stored from the live feed so far.
    std::function<bool()> Started;
    std::function<int64_t()> LiveQuotes;
};

class TF_Main : public QMainWindow {
    Q_OBJECT
public:
    explicit TF_Main(TF_MainDeps deps, QWidget* parent = nullptr);
    ~TF_Main() override;

    // The tabs in order, each with its grid: 急騰 (the rising list), 急落 (the falling list),
    // 値上り銘柄 and 値下り銘柄 (every watched issue with a quote, by its change on the day).
    enum { kTabRise, kTabFall, kTabGain, kTabLoss, kTabs };
    TComboGrid* GridA = nullptr;
    TComboGrid* GridD = nullptr;
    TComboGrid* GridGain = nullptr;
    TComboGrid* GridLoss = nullptr;
    std::array<TComboGrid*, kTabs> Grids{};
    TComboGrid* CurrentGrid() const;
    QToolBar* ToolBar1 = nullptr;
    QWidget* TabControl1 = nullptr;
    QTabBar* Tabs = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QTimer DispTimer;
    QMenu* PopupMenu1 = nullptr;
    TFeedStatus* FeedStatus = nullptr;  // live mode only

    // The status bar's simple text. While a held text is shown it waits, and the last one
    // asked for meanwhile is shown when the held text's time is up.
    void SetStatusText(const std::string& text);
    std::string StatusText() const;
    // A text the trader must see (the alert sound cannot play), shown now for `ms` on the
    // window's clock: no status text replaces it meanwhile, not even the replayed line that
    // comes every 100 ms. A later held text takes its place.
    void HoldStatusText(const std::string& text, int ms);
    static constexpr int kHeldStatusMs = 15000;
    CIni* Ini() const { return Deps.Ini; }
    // One set of column widths serves every tab: a width set here goes to every grid.
    void SetColWidth(int col, int width);
    // The ten column widths into the settings and the file; throws what SaveWidths throws.
    // Before start-up has enabled the window the grid shows its design widths, not the
    // trader's: nothing is written then.
    void SaveColumnWidths();

    // Handlers; each reports an error it meets in a message box and goes on.
    void DispTimerTimer();
    // Rebuilds the grid of one tab from its source.
    void Rebuild(int tab);
    void FillRow(TComboGrid& grid, int row, const CMeigara& m);
    // The colour a data cell's text takes, none for black; from the figures the row was filled
    // with, as its cells show them.
    std::optional<QColor> CellColour(const TComboGrid& grid, int col, int row) const;
    void GridDrawCell(const TComboGrid& grid, QPainter& canvas, int col, int row, const QRect& rect,
                      TGridDrawState state);
    void X1Click();
    void E2Click();
    void C1Click();
    void N11Click();
    void N21Click();
    void DEBUG2Click();
    void ToolButton2Click();
    void TabControl1Change(int index);
    // 銘柄情報: the reference figures of the chosen issue.
    void I2Click();
    // The chart of an issue (its topic), opened or brought forward.
    void OpenChart(const std::string& topic);

    // How a tab's grid is ordered and which issue the trader chose in it. Sorting by a column
    // (-1: the list's own order) and the choice both outlive the rebuilds.
    struct TGridView {
        int SortCol = -1;
        bool Descending = false;
        std::string Chosen;  // the chosen issue's topic (the code column), "" for none
        int Filled = 0;      // rows filled by the last rebuild
    };
    const TGridView& View(int tab) const { return Views[static_cast<size_t>(tab)]; }
    // A click on a header: sorts by that column, or the other way when it already does.
    void SortBy(int tab, int col);
    // The topic chosen in the tab in front, "" for none.
    std::string ChosenTopic() const;
    // The open chart windows, by topic.
    QWidget* ChartOf(const std::string& topic) const;
    void FormResize();
    void TabControl1Resize();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildMenus();
    void BuildToolBar(QWidget* client);
    void BuildTabs(QWidget* client);
    TComboGrid* BuildGrid(const char* name);
    void BuildTabKeys();
    void BuildFeedStatus();
    void ShowFrontGrid();
    void Refresh();
    void Guarded(const std::function<void()>& handler);
    void Reconnect(const char* status, bool (CTrkgList::*what)());
    int TabOf(const TComboGrid* grid) const;
    const CTrkg* TrackerOf(const std::string& topic) const;
    void GridSelected(int tab, int row);
    void ChoiceToGrid(int tab);
    void UpdateIssueCommands();
    // The issue's figures now: from its tracker, or else from the list in front.
    bool IssueFigures(const std::string& topic, CMeigara& out);

    // Whether a held text is still within its time; ends the hold when it is not.
    bool StatusHeld();
    void EndHold();

    TF_MainDeps Deps;
    // The held status text: since when (the clock's day and time of day), for how long, and the
    // text asked for meanwhile. Its end comes from a timer of the clock, or of the event loop
    // where the clock has none.
    QString Held;
    int HeldMs = 0;
    int64_t HeldSinceMs = 0;
    int HeldDay[3] = {0, 0, 0};
    std::optional<std::string> Waiting;
    std::unique_ptr<ITimer> HoldClockTimer;
    QTimer HoldTimer;
    bool FrameFitted = false;
    // The tab in front, and whether the first refresh has shown its grid.
    int FrontTab = kTabRise;
    bool GridsShown = false;
    // The figures each row of a tab's grid was last filled from, by row (row 0, the header,
    // holds none): rows are sorted and rebuilt as a whole, so a row's figures are always
    // those of its texts. When a list empties, its grid keeps row 1's texts, and so its
    // figures.
    struct TRowFigures {
        bool Filled = false;
        bool Taishaku = false;  // margin class 貸借: the name carries the mark
        int32_t PrevClose = 0, Gap = 0, Price = 0;
        double OpenRatio = 0, DayRatio = 0;
    };
    std::array<std::vector<TRowFigures>, kTabs> Figures{};
    // The day-change records of the last rebuild, kept so their texts keep their buffers.
    std::vector<std::unique_ptr<CMeigara>> DayRecords;
    std::array<TGridView, kTabs> Views{};
    // Set while a rebuild puts the current cell on the chosen issue: that is no new choice.
    bool Restoring = false;
    QAction* InfoAction = nullptr;
    QAction* ChartAction = nullptr;
    std::vector<std::pair<std::string, QPointer<QWidget>>> Charts;
};
