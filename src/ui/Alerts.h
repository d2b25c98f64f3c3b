#pragma once
// The sound of a new sharp move on the speaker, with its mute marker in the status bar and
// Ctrl+M. The rules are in app/AlertRules.h; this is their thin Qt side.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QObject>
#include <QString>

#include "app/AlertRules.h"

class QMainWindow;
class QSoundEffect;
class QToolButton;

class TAlertSound : public QObject {
    Q_OBJECT
public:
    // The sound the program carries (assets/alert.wav, compiled in).
    static constexpr const char* kBuiltInSound = "qrc:/kestrel/alert.wav";

    // `file` is a WAV file ("" for the built-in sound); `status` puts a text into the status
    // bar. A sound that cannot play is said there once, and every alert beeps instead.
    TAlertSound(CSoundAlertRule rule, const std::string& file, IDialogs& dialogs,
                std::function<void(const std::string&)> status, QObject* parent = nullptr);
    ~TAlertSound() override;

    // A move as the event viewer receives it. Sounds when the rule says so, once control is
    // back in the event loop: the quote path never waits for the speaker.
    void Move(const MoveEvent& e);

    bool Muted() const { return IsMuted; }
    // For this run only; the settings file is not touched.
    void SetMuted(bool muted);
    // A marker in the window's status bar that shows and toggles the mute, and Ctrl+M for the
    // same in every window of the program.
    QToolButton* InstallMarker(QMainWindow& window);

    const QSoundEffect& Effect() const { return *Sound; }
    // Alerts that reached the speaker (or its stand-in, the beep).
    int Alerts() const { return AlertCount; }

signals:
    void MutedChanged(bool muted);

private:
    void Play();
    void Fail();
    void StatusChanged();

    CSoundAlertRule Rule;
    IDialogs& Dialogs;
    std::function<void(const std::string&)> Status;
    QSoundEffect* Sound;
    QString Named;    // the file as the settings name it
    QString Problem;  // why the sound cannot play, once known
    bool Reported = false;
    bool WaitingToPlay = false;
    bool IsMuted = false;
    int AlertCount = 0;
};

// The sound for a new sharp move with its marker and Ctrl+M in `window`, as TAlertSound makes
// them; `onMove` is set to hand it the moves. Null (and said on stderr) where the
// program is built without a sound.
std::unique_ptr<QObject> MakeAlertSound(CSoundAlertRule rule, const std::string& file,
                                        IDialogs& dialogs,
                                        std::function<void(const std::string&)> status,
                                        QMainWindow& window,
                                        std::function<void(const MoveEvent&)>& onMove);
