#include "ui/Alerts.h"

#include <QAudioDevice>
#include <QFileInfo>
#include <QKeySequence>
#include <QMainWindow>
#include <QMediaDevices>
#include <QShortcut>
#include <QSoundEffect>
#include <QStatusBar>
#include <QToolButton>
#include <QUrl>

#include "common/InputFile.h"

namespace {

QString MarkerText(bool muted) {
    return muted ? QStringLiteral("消音中") : QStringLiteral("警告音");
}

}  // namespace

TAlertSound::TAlertSound(CSoundAlertRule rule, const std::string& file, IDialogs& dialogs,
                         std::function<void(const std::string&)> status, QObject* parent)
    : QObject(parent),
      Rule(std::move(rule)),
      Dialogs(dialogs),
      Status(std::move(status)),
      Sound(new QSoundEffect(this)),
      Named(file.empty() ? QString::fromLatin1(kBuiltInSound) : QString::fromStdString(file)) {
    connect(Sound, &QSoundEffect::statusChanged, this, &TAlertSound::StatusChanged);
    if (file.empty()) {
        Sound->setSource(QUrl(QString::fromLatin1(kBuiltInSound)));
        return;
    }
    // Only a regular file of a sound's size goes to the player: a FIFO or a device would hold
    // up its loading for good, a huge file would fill the memory.
    if (const auto refused = kestrel::CheckRegularFile(file, kestrel::kMaxSoundFileBytes)) {
        Problem = QString::fromStdString(refused->Text);
        return;
    }
    Sound->setSource(
        QUrl::fromLocalFile(QFileInfo(QString::fromStdString(file)).absoluteFilePath()));
}

TAlertSound::~TAlertSound() = default;

void TAlertSound::Move(const MoveEvent& e) {
    if (IsMuted || !Rule.ShouldSound(e)) return;
    QMetaObject::invokeMethod(this, &TAlertSound::Play, Qt::QueuedConnection);
}

void TAlertSound::Play() {
    if (IsMuted) return;
    ++AlertCount;
    if (Problem.isEmpty() && Sound->status() == QSoundEffect::Error) Problem = Named;
    if (Problem.isEmpty() && QMediaDevices::audioOutputs().isEmpty())
        Problem = QStringLiteral("音声の出力先がありません");
    if (!Problem.isEmpty()) {
        Fail();
        return;
    }
    // Still loading: it plays once loaded, or fails then.
    WaitingToPlay = Sound->status() != QSoundEffect::Ready;
    Sound->play();
}

void TAlertSound::StatusChanged() {
    if (Sound->status() == QSoundEffect::Ready) WaitingToPlay = false;
    if (Sound->status() != QSoundEffect::Error) return;
    if (Problem.isEmpty()) Problem = Named;
    if (WaitingToPlay) {
        WaitingToPlay = false;
        Fail();
    }
}

void TAlertSound::Fail() {
    if (!Reported) {
        Reported = true;
        Status("警告音を鳴らせません: " + Problem.toStdString());
    }
    Dialogs.Beep();
}

void TAlertSound::SetMuted(bool muted) {
    if (muted == IsMuted) return;
    IsMuted = muted;
    if (muted) Sound->stop();
    emit MutedChanged(muted);
}

QToolButton* TAlertSound::InstallMarker(QMainWindow& window) {
    auto* marker = new QToolButton(&window);
    marker->setObjectName(QStringLiteral("SoundMarker"));
    marker->setAutoRaise(true);
    marker->setFocusPolicy(Qt::NoFocus);
    marker->setText(MarkerText(IsMuted));
    marker->setToolTip(QStringLiteral("警告音の消音と解除 (Ctrl+M)"));
    window.statusBar()->addPermanentWidget(marker);
    connect(marker, &QToolButton::clicked, this, [this] { SetMuted(!IsMuted); });
    connect(this, &TAlertSound::MutedChanged, marker,
            [marker](bool muted) { marker->setText(MarkerText(muted)); });
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_M), &window);
    shortcut->setObjectName(QStringLiteral("MuteShortcut"));
    shortcut->setContext(Qt::ApplicationShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] { SetMuted(!IsMuted); });
    return marker;
}

std::unique_ptr<QObject> MakeAlertSound(CSoundAlertRule rule, const std::string& file,
                                        IDialogs& dialogs,
                                        std::function<void(const std::string&)> status,
                                        QMainWindow& window,
                                        std::function<void(const MoveEvent&)>& onMove) {
    auto sound = std::make_unique<TAlertSound>(std::move(rule), file, dialogs, std::move(status));
    sound->InstallMarker(window);
    onMove = [raw = sound.get()](const MoveEvent& e) { raw->Move(e); };
    return sound;
}
