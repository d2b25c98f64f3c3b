#pragma once
// TF_DEBUG: the event viewer, a read-only log that every sharp move appends one line to, also
// while the window is hidden. The user clears it or saves it as an RTF file.
#include <string>
#include <vector>

#include <QWidget>

class IClock;
class IDialogs;
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

    // One event line at the end of the log.
    void AppendLine(const std::string& line);
    std::vector<std::string> Lines() const;
    // Shows the window, or brings it forward when it is open.
    void ShowViewer();

    // "クリア" and "保存(&Z)".
    void N1Click();
    void Z1Click();
    // "LOG" + yymmddhhnn + ".txt" for the clock's present moment.
    std::string LogFileName() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    IDialogs& Dialogs;
    IClock& Clock;
    std::string Dir;
    bool Placed = false;
};
