#pragma once
// TF_DEBUG: the event viewer, a read-only log that every sharp move appends one line to, also
// while the window is hidden. The user clears it or saves it as an RTF file.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "settings/Ini.h"

class IClock;
class IDialogs;
class ITimer;
class QAction;
class QMenu;
class QTextEdit;

class TF_DEBUG : public QWidget {
    Q_OBJECT
public:
    // Saved files go to `dir` ("" for the working directory).
    TF_DEBUG(IDialogs& dialogs, IClock& clock, std::string dir = "", QWidget* parent = nullptr);
    ~TF_DEBUG() override;

    QTextEdit* log = nullptr;
    QMenu* PopupMenu1 = nullptr;

    // One line at the end of the log; the line of a move in the colour of its kind ('A' a
    // rise, 'D' a fall; 0 for a line that is no move).
    void AppendLine(const std::string& line, char kind = 0);
    std::vector<std::string> Lines() const;
    // Shows the window, or brings it forward when it is open. The first time it goes where the
    // trader last put it, or else beside the main window, so that it hides none of the grid.
    void ShowViewer();
    // Whose settings keep the window's place, and the window it opens beside; either may be
    // null (no place kept; centred on the screen).
    void SetPlacement(CIni* ini, QWidget* beside);
    // The place into the settings now, when the trader has moved or resized the window since it
    // was placed or last saved; a move is otherwise saved a second after it ends, and when the
    // window is hidden. A file that cannot be written is said once.
    void SavePlace();
    static constexpr int kSavePlaceDelayMs = 1000;
    // Beside the main window it may be made this narrow rather than cover the grid.
    static constexpr int kMinBesideWidth = 260;

    // "クリア" and "保存(&Z)".
    void N1Click();
    void Z1Click();
    // "LOG" + yymmddhhnn + ".txt" for the clock's present moment.
    std::string LogFileName() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Place();
    void PlaceBeside(const QWidget& main);
    CIni::CPlace CurrentPlace() const;
    // A move or resize by the trader: saved once the window has kept still a while.
    void PlaceChanged();
    void WritePlace(bool quietly);

    IDialogs& Dialogs;
    IClock& Clock;
    std::string Dir;
    bool Placed = false;
    CIni* Ini = nullptr;
    QPointer<QWidget> Beside;
    // Where the window was put or last saved: only a place that differs is written.
    std::optional<CIni::CPlace> KnownPlace;
    bool WriteFailSaid = false;
    std::unique_ptr<ITimer> SaveClockTimer;
    QTimer SaveTimer;
};
