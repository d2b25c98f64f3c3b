#include "ui/debug.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QTextBlock>
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
}

TF_DEBUG::~TF_DEBUG() = default;

void TF_DEBUG::AppendLine(const std::string& line) { log->append(Q(line)); }

std::vector<std::string> TF_DEBUG::Lines() const {
    std::vector<std::string> lines;
    const QTextDocument* doc = log->document();
    if (doc->isEmpty()) return lines;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        lines.push_back(b.text().toStdString());
    return lines;
}

void TF_DEBUG::ShowViewer() {
    if (!Placed) {
        // Centred on the screen the first time it is shown.
        Placed = true;
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect r = frameGeometry();
            r.moveCenter(screen->availableGeometry().center());
            move(r.topLeft());
        }
    }
    show();
    raise();
    activateWindow();
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
