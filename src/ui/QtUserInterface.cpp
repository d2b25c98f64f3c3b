#include "ui/QtUserInterface.h"

#include <QApplication>

#include "settings/Ini.h"
#include "ui/D_init.h"
#include "ui/Dialogs.h"
#include "ui/MainWindow.h"
#include "ui/debug.h"

void CQtUserInterface::ShowMessage(const std::string& text) { Dialogs.ShowMessage(text); }

bool CQtUserInterface::Confirm(const std::string& question) { return Dialogs.Confirm(question); }

void CQtUserInterface::SetStatusText(const std::string& text) {
    if (!Windows.Main) return;
    Windows.Main->SetStatusText(text);
}

void CQtUserInterface::SetBusy(bool busy) { Dialogs.SetBusy(busy); }

void CQtUserInterface::Beep() { Dialogs.Beep(); }

void CQtUserInterface::RequestQuit() {
    if (Quitting) return;
    Quitting = true;
    // Takes effect once control is back in the event loop, whatever runs now.
    QMetaObject::invokeMethod(
        qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void CQtUserInterface::AppendEventLine(const std::string& line) {
    if (Windows.Events) Windows.Events->AppendLine(line);
}

void CQtUserInterface::AppendMove(const MoveEvent& e) {
    if (Windows.Events) Windows.Events->AppendLine(EventLineText(e), e.Kind);
    if (OnMove) OnMove(e);
}

void CQtUserInterface::EnableMainWindow() {
    if (Windows.Main) Windows.Main->setEnabled(true);
}

void CQtUserInterface::ShowSplash(bool shown) {
    if (!Windows.Splash) return;
    if (shown)
        Windows.Splash->ShowCentred(Windows.Main);
    else
        Windows.Splash->hide();
}

void CQtUserInterface::ProcessEvents() { QCoreApplication::processEvents(); }

void CQtUserInterface::ApplyColumnWidths(const CIni& ini) {
    if (!Windows.Main) return;
    for (int c = 0; c < CIni::kColumns; ++c) Windows.Main->SetColWidth(c, ini.GetWidth(c));
}
