#include "ui/Dialogs.h"

#include <algorithm>

#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "ui/MainWindow.h"

namespace {
QString Q(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
}  // namespace

namespace {
QWidget* gMainWindow = nullptr;
}  // namespace

void SetDialogMainWindow(QWidget* window) { gMainWindow = window; }

QWidget* DialogParent() {
    if (QWidget* w = QApplication::activeWindow()) return w;
    return gMainWindow;
}

void CQtDialogs::ShowMessage(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, Q(kTitle), Q(text), QMessageBox::NoButton, DialogParent());
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    // A message asked for while the hourglass shows must still be answerable.
    const bool busy = QGuiApplication::overrideCursor() != nullptr;
    if (busy) QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    if (busy) QGuiApplication::restoreOverrideCursor();
}

bool CQtDialogs::Confirm(const std::string& question) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("確認"), Q(question),
                    QMessageBox::NoButton, DialogParent());
    QPushButton* yes = box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("いいえ(&N)"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    const bool busy = QGuiApplication::overrideCursor() != nullptr;
    if (busy) QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    if (busy) QGuiApplication::restoreOverrideCursor();
    return box.clickedButton() == yes;
}

void CQtDialogs::Beep() { QApplication::beep(); }

void CQtDialogs::SetBusy(bool busy) {
    if (busy) {
        if (!QGuiApplication::overrideCursor()) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        while (QGuiApplication::overrideCursor()) QGuiApplication::restoreOverrideCursor();
    }
}
