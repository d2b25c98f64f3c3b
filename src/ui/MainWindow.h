#pragma once
// TF_Main: the monitor's main window. It shows the rising ranking list in GridA, rebuilt every
// 5 s, colours the figures by sign and carries the program's commands.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <QMainWindow>
#include <QTimer>

#include "ui/CmbGrid.h"

class CIni;
class CMeigara;
class CMeigaraList;
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

namespace kestrel {
// The value of a cell text for the colour rules: digits, a leading "-" and the first "." are
// kept, everything else dropped; what does not read as a number is 0.
double NumericText(std::string_view text);
// The font of the program's windows at the given pixel height.
QFont WindowFont(int pixelHeight);
}  // namespace kestrel

// What the window works with. Null members are taken from the process's controller: the rising
// list, the settings (created and read on the window's creation) and the tracker list.
struct TF_MainDeps {
    // All handed in by whoever makes the window (the entry, a test); none is looked up.
    IDialogs* Dialogs = nullptr;   // required
    IClock* Clock = nullptr;       // required
    CMeigaraList* List = nullptr;  // required: the rising list the grid shows
    CIni* Ini = nullptr;           // required: the settings, made once by the entry
    // Looked up at each command, since the trackers are made during start-up.
    std::function<CTrkgList*()> Trackers;
    // Ends the application; by default a quit once control is back in the event loop.
    std::function<void()> Terminate;
    // The other windows the menus open (none when not given).
    std::function<void()> EditWatchList;
    std::function<void()> ShowEventViewer;
};

class TF_Main : public QMainWindow {
    Q_OBJECT
public:
    explicit TF_Main(TF_MainDeps deps, QWidget* parent = nullptr);
    ~TF_Main() override;

    TComboGrid* GridA = nullptr;
    QToolBar* ToolBar1 = nullptr;
    QWidget* TabControl1 = nullptr;
    QTabBar* Tabs = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QTimer DispTimer;
    QMenu* PopupMenu1 = nullptr;

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
    // The ten column widths into the settings and the file; throws what SaveWidths throws.
    // Before start-up has enabled the window the grid shows its design widths, not the
    // trader's: nothing is written then.
    void SaveColumnWidths();

    // Handlers; each reports an error it meets in a message box and goes on.
    void DispTimerTimer();
    void FillRow(int row, const CMeigara& m);
    void GridADrawCell(QPainter& canvas, int col, int row, const QRect& rect, TGridDrawState state);
    void X1Click();
    void E2Click();
    void C1Click();
    void N11Click();
    void N21Click();
    void DEBUG2Click();
    void ToolButton2Click();
    void TabControl1Change(int index);
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
    void BuildGrid();
    void Refresh();
    void Guarded(const std::function<void()>& handler);
    void Reconnect(const char* status, bool (CTrkgList::*what)());

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
    bool ResettingTab = false;
};
