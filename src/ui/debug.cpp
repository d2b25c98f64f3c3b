#include "ui/debug.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHideEvent>
#include <QMenu>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QScreen>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>

#include "app/Interaction.h"
#include "ui/Dialogs.h"
#include "ui/MainWindow.h"
#include "ui/Rtf.h"

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// Writes the bytes, replacing the file; throws the toolkit-style creation error.
void WriteFile(const std::string& path, const std::string& bytes) {
    auto fail = [&](int err) {
        throw std::runtime_error("ファイル \"" + path + "\". " + std::strerror(err) +
                                 " を作成できません");
    };
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail(errno);
    const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), f);
    const int writeErr = written == bytes.size() ? 0 : errno;
    if (std::fclose(f) != 0 && writeErr == 0) fail(errno);
    if (writeErr != 0) fail(writeErr);
}

}  // namespace

TF_DEBUG::TF_DEBUG(IDialogs& dialogs, IClock& clock, std::string dir, QWidget* parent)
    : QWidget(parent, Qt::Window), Dialogs(dialogs), Clock(clock), Dir(std::move(dir)) {
    setObjectName(QStringLiteral("F_DEBUG"));
    setWindowTitle(QStringLiteral("EventViewer"));
    setFont(kestrel::WindowFont(12));
    setGeometry(858, 109, 385, 400);

    log = new QTextEdit(this);
    log->setObjectName(QStringLiteral("log"));
    log->setReadOnly(true);
    log->setGeometry(8, 8, 365, 357);
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    log->setLineWrapMode(QTextEdit::WidgetWidth);
    log->setContextMenuPolicy(Qt::CustomContextMenu);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    QAction* n1 = PopupMenu1->addAction(QStringLiteral("クリア"));
    n1->setObjectName(QStringLiteral("N1"));
    QAction* z1 = PopupMenu1->addAction(QStringLiteral("保存(&Z)"));
    z1->setObjectName(QStringLiteral("Z1"));
    connect(n1, &QAction::triggered, this, &TF_DEBUG::N1Click);
    connect(z1, &QAction::triggered, this, &TF_DEBUG::Z1Click);
    connect(log, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenu1->popup(log->viewport()->mapToGlobal(pos)); });

    SaveTimer.setSingleShot(true);
    connect(&SaveTimer, &QTimer::timeout, this, [this] { WritePlace(false); });
}

TF_DEBUG::~TF_DEBUG() {
    // A move made just before the end is kept too; no box can be shown any more.
    WritePlace(true);
}

void TF_DEBUG::AppendLine(const std::string& line, char kind) {
    log->append(Q(line));
    // A rise in red, a fall in green, as the grid colours them; the text stays as written.
    if (kind != 'A' && kind != 'D') return;
    QTextCharFormat format;
    format.setForeground(kind == 'A' ? QColor(255, 0, 0) : QColor(0, 128, 0));
    QTextCursor cursor(log->document()->lastBlock());
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.mergeCharFormat(format);
}

std::vector<std::string> TF_DEBUG::Lines() const {
    std::vector<std::string> lines;
    const QTextDocument* doc = log->document();
    if (doc->isEmpty()) return lines;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        lines.push_back(b.text().toStdString());
    return lines;
}

void TF_DEBUG::SetPlacement(CIni* ini, QWidget* beside) {
    Ini = ini;
    Beside = beside;
}

void TF_DEBUG::ShowViewer() {
    if (!Placed) {
        Placed = true;
        Place();
    }
    show();
    raise();
    activateWindow();
}

namespace {

// Whether enough of the rectangle lies on a screen for the trader to take it by its title bar.
bool OnAScreen(const QRect& r) {
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect seen = r.intersected(screen->availableGeometry());
        if (seen.width() >= 80 && seen.height() >= 40) return true;
    }
    return false;
}

}  // namespace

void TF_DEBUG::Place() {
    if (Ini && Ini->ViewerPlace) {
        const CIni::CPlace& p = *Ini->ViewerPlace;
        // A place on a screen that is no longer there would leave the window out of reach.
        if (OnAScreen(QRect(p.Left, p.Top, p.Width, p.Height))) {
            resize(p.Width, p.Height);
            move(p.Left, p.Top);
            KnownPlace = CurrentPlace();
            return;
        }
    }
    if (Beside && Beside->isVisible() && !Beside->isMinimized()) {
        PlaceBeside(*Beside);
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
    KnownPlace = CurrentPlace();
}

void TF_DEBUG::PlaceBeside(const QWidget& main) {
    const QRect m = main.frameGeometry();
    const QScreen* screen = main.screen() ? main.screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect avail = screen->availableGeometry();
    // The frame is not known before the window is first shown: the main window's frame, which
    // the same window manager draws, stands for it.
    const QSize decor = isVisible() ? frameGeometry().size() - size() : m.size() - main.size();
    const QSize frame = size() + decor;
    constexpr int kGap = 4;
    const int roomRight = avail.right() - m.right() - kGap;
    const int roomLeft = m.left() - avail.left() - kGap;
    int x;
    if (frame.width() <= roomRight) {
        x = m.right() + 1 + kGap;
    } else if (frame.width() <= roomLeft) {
        x = m.left() - kGap - frame.width();
    } else if (std::max(roomLeft, roomRight) >= kMinBesideWidth) {
        // Narrower, but beside it: the lines wrap rather than hide the grid.
        const int room = std::max(roomLeft, roomRight);
        resize(room - decor.width(), height());
        x = roomRight >= roomLeft ? m.right() + 1 + kGap : avail.left();
    } else {
        // No room worth the name either side: at the screen's edge, where it hides least.
        x = roomRight >= roomLeft ? avail.right() + 1 - frame.width() : avail.left();
    }
    const int y = std::clamp(m.top(), avail.top(),
                             std::max(avail.top(), avail.bottom() + 1 - frame.height()));
    move(x, y);
}

CIni::CPlace TF_DEBUG::CurrentPlace() const {
    return {static_cast<int32_t>(x()), static_cast<int32_t>(y()), static_cast<int32_t>(width()),
            static_cast<int32_t>(height())};
}

void TF_DEBUG::PlaceChanged() {
    // Only what the trader does with the shown window counts; minimised or maximised is no
    // place to come back to.
    if (!Placed || !Ini || !isVisible() || isMinimized() || isMaximized()) return;
    if (!SaveClockTimer) SaveClockTimer = Clock.MakeTimer([this] { WritePlace(false); });
    if (SaveClockTimer) {
        SaveClockTimer->SetInterval(kSavePlaceDelayMs);
        SaveClockTimer->Start();
    } else {
        SaveTimer.start(kSavePlaceDelayMs);
    }
}

void TF_DEBUG::SavePlace() { WritePlace(false); }

void TF_DEBUG::WritePlace(bool quietly) {
    if (SaveClockTimer) SaveClockTimer->Stop();
    SaveTimer.stop();
    if (!Placed || !Ini || isMinimized() || isMaximized()) return;
    const CIni::CPlace place = CurrentPlace();
    if (KnownPlace && place == *KnownPlace) return;
    try {
        Ini->SaveViewerPlace(place);
        KnownPlace = place;
    } catch (const std::exception& e) {
        // Said once; the window works on, and its place is simply not kept.
        KnownPlace = place;
        if (WriteFailSaid) return;
        WriteFailSaid = true;
        if (quietly)
            std::fprintf(stderr, "kestrel: %s\n", e.what());
        else
            Dialogs.ShowMessage(e.what());
    }
}

void TF_DEBUG::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    PlaceChanged();
}

void TF_DEBUG::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The log keeps its designed margins, so a window made larger shows more of it.
    log->setGeometry(8, 8, std::max(width() - 20, 40), std::max(height() - 43, 40));
    PlaceChanged();
}

void TF_DEBUG::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous()) WritePlace(false);
}

std::string TF_DEBUG::LogFileName() const {
    const CDate d = Clock.Today();
    const int64_t minutes = Clock.TimeOfDayMs() / 60'000;
    char name[32];
    std::snprintf(name, sizeof name, "LOG%02d%02d%02d%02d%02d.txt", d.Year % 100, d.Month, d.Day,
                  static_cast<int>(minutes / 60 % 24), static_cast<int>(minutes % 60));
    return name;
}

void TF_DEBUG::N1Click() {
    if (!Dialogs.Confirm("ログをクリアします。よろしいですか？")) return;
    log->clear();
}

void TF_DEBUG::Z1Click() {
    if (!Dialogs.Confirm("ログを保存します。よろしいですか？")) return;
    const std::string name = LogFileName();
    const std::string path = Dir.empty() ? name : Dir + "/" + name;
    try {
        WriteFile(path, kestrel::WriteRtf(Lines()));
    } catch (const std::exception& e) {
        // The lines stay, so the user can try again elsewhere.
        Dialogs.ShowMessage(e.what());
        return;
    }
    log->clear();
}

void TF_DEBUG::closeEvent(QCloseEvent* event) {
    // Closing only hides (the window is never deleted on close) and the log keeps filling.
    // Accepted, so that it never stands in the way of the application's own quit.
    event->accept();
}
