// The alerts' Qt sides: the sound through Qt Multimedia (on a null audio sink of its own when
// PulseAudio is installed), the one word on a sound that cannot play, the mute, and the stale
// feed's text in the status bar.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAudioDevice>
#include <QDir>
#include <QFile>
#include <QMainWindow>
#include <QMediaDevices>
#include <QProcess>
#include <QSoundEffect>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

#include "app/Controller.h"
#include "common/TextFile.h"
#include "ranking/Meigara.h"
#include "settings/Ini.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"
#include "ui/Alerts.h"
#include "ui/MainWindow.h"
#include "ui/QtUserInterface.h"
#include "ui/StaleFeedWatch.h"
#include "ui/UiTestSupport.h"

using kestrel::test::CFakeClock;
using kestrel::test::TempDir;

namespace {

constexpr int64_t At(int h, int m, int s = 0) { return ((h * 60LL + m) * 60 + s) * 1000; }

// Each wait for the sound server or the sound only guards against a hang: far beyond the slowest
// run under a sanitizer on a loaded machine. A wait ends as soon as what it waits for is there.
constexpr int kHangGuardMs = 60'000;

// A rise that is an alert; the topic is a literal, so the view stays valid.
MoveEvent Rise(std::string_view topic) {
    MoveEvent e;
    e.Topic = topic;
    e.TimeMs = 10 * 3'600'000 + 60'000;
    e.Price = 1100;
    e.Move = 100;
    e.MoveRatio = 100 / 11.0;
    e.LimitHigh = 1700;
    e.Kind = e.Action = 'A';
    return e;
}

std::string Text(const QStatusBar& bar) { return bar.currentMessage().toStdString(); }

// True when a server listens on the local socket at `path`.
bool Listens(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", name.constData());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

// A PulseAudio server of the test's own with one null sink, reached through PULSE_SERVER: the
// sound plays in real time and no speaker hears it. Why there is none, when there is none.
class NullSink {
public:
    explicit NullSink(const TempDir& dir) {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
        if (exe.isEmpty()) {
            Why = "PulseAudio is not installed (scripts/setup-deps.sh installs it)";
            return;
        }
        const QString home = QString::fromStdString(dir.Path());
        const QString socket = home + QStringLiteral("/native");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"HOME", "XDG_RUNTIME_DIR", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH"})
            env.insert(QString::fromLatin1(name), home);
        Server.setProcessEnvironment(env);
        Server.setStandardOutputFile(QProcess::nullDevice());
        Server.setStandardErrorFile(QProcess::nullDevice());
        Server.start(exe, {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                           QStringLiteral("--exit-idle-time=-1"),
                           QStringLiteral("--use-pid-file=no"), QStringLiteral("--disable-shm=yes"),
                           QStringLiteral("--load=module-null-sink sink_name=kestrel_null"),
                           QStringLiteral("--load=module-native-protocol-unix socket=") + socket +
                               QStringLiteral(" auth-anonymous=1")});
        // The socket's file is there a moment before the server listens on it; Qt's sound,
        // refused in between (on a busy machine), does not try again and lists no output.
        const auto up = [&] { return Server.state() == QProcess::Running && Listens(socket); };
        if (!Server.waitForStarted(kHangGuardMs) ||
            !QTest::qWaitFor([&] { return up() || Server.state() == QProcess::NotRunning; },
                             kHangGuardMs) ||
            !up()) {
            Why = "PulseAudio did not start: " + Server.errorString().toStdString();
            return;
        }
        qputenv("PULSE_SERVER", (QStringLiteral("unix:") + socket).toUtf8());
    }
    ~NullSink() {
        if (Server.state() == QProcess::NotRunning) return;
        Server.kill();
        Server.waitForFinished(kHangGuardMs);
    }
    std::string Why;

private:
    QProcess Server;
};

class AlertsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kestrel::test::EnsureApplication(); }

    std::unique_ptr<TAlertSound> Make(const std::string& file, int cooldown = 60) {
        return std::make_unique<TAlertSound>(
            CSoundAlertRule(clock_, cooldown, "AD"), file, dialogs_,
            [this](const std::string& t) { status_.push_back(t); });
    }

    TempDir dir_;
    CFakeClock clock_{At(10, 0)};
    CScriptedDialogs dialogs_;
    std::vector<std::string> status_;
};

}  // namespace

TEST_F(AlertsTest, TheBuiltInSoundPlaysThroughQtMultimedia) {
    TempDir pulseDir;
    NullSink sink(pulseDir);
    if (QMediaDevices::audioOutputs().isEmpty())
        GTEST_SKIP() << "no audio output to play on"
                     << (sink.Why.empty() ? std::string() : ": " + sink.Why);
    auto sound = Make("");
    int started = 0, ended = 0;
    QObject::connect(&sound->Effect(), &QSoundEffect::playingChanged, [&] {
        if (sound->Effect().isPlaying())
            ++started;
        else if (started)
            ++ended;
    });
    sound->Move(Rise("1234.T"));
    EXPECT_EQ(started, 0) << "the line's caller does not wait for the speaker";
    EXPECT_TRUE(QTest::qWaitFor([&] { return ended > 0; }, kHangGuardMs))
        << "status " << int(sound->Effect().status()) << ", started " << started;
    EXPECT_EQ(sound->Effect().status(), QSoundEffect::Ready);
    EXPECT_EQ(sound->Alerts(), 1);
    EXPECT_EQ(dialogs_.Beeps, 0);
    EXPECT_TRUE(status_.empty()) << status_.front();
}

// A file that is missing or no sound is said once in the status bar; each alert beeps instead.
TEST_F(AlertsTest, ASoundThatCannotPlayIsSaidOnceAndEveryAlertBeeps) {
    const std::string missing = dir_.File("none.wav");
    auto sound = Make(missing);
    sound->Move(Rise("1234.T"));
    sound->Move(Rise("5678.T"));
    sound->Move(Rise("5678.T"));  // within its cooldown: nothing at all
    EXPECT_EQ(dialogs_.Beeps, 0) << "not from inside the caller";
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs_.Beeps, 2);
    EXPECT_EQ(status_, std::vector<std::string>{"警告音を鳴らせません: " + missing + ": " +
                                                std::strerror(ENOENT)});

    status_.clear();
    dialogs_.Beeps = 0;
    const std::string bad = dir_.WriteBytes("bad.wav", "RIFF....WAVEnot a sound at all");
    auto badSound = Make(bad);
    ASSERT_TRUE(QTest::qWaitFor([&] { return badSound->Effect().status() == QSoundEffect::Error; },
                                kHangGuardMs));
    badSound->Move(Rise("1234.T"));
    badSound->Move(Rise("5678.T"));
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs_.Beeps, 2);
    EXPECT_EQ(status_, std::vector<std::string>{"警告音を鳴らせません: " + bad});
}

TEST_F(AlertsTest, TheMarkerAndCtrlMMuteTheSoundForTheRun) {
    QMainWindow window;
    window.resize(400, 200);
    auto sound = Make(dir_.File("none.wav"), 0);  // beeps stand for the sound here
    QToolButton* marker = sound->InstallMarker(window);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
    EXPECT_EQ(window.statusBar()->findChild<QToolButton*>(QStringLiteral("SoundMarker")), marker);
    EXPECT_EQ(marker->text(), QStringLiteral("警告音"));

    QTest::keyClick(&window, Qt::Key_M, Qt::ControlModifier);
    EXPECT_TRUE(sound->Muted());
    EXPECT_EQ(marker->text(), QStringLiteral("消音中"));
    sound->Move(Rise("1234.T"));
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs_.Beeps, 0);

    marker->click();
    EXPECT_FALSE(sound->Muted());
    EXPECT_EQ(marker->text(), QStringLiteral("警告音"));
    sound->Move(Rise("1234.T"));
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs_.Beeps, 1);
}

// The watch's text comes and goes with the rule's, and stands back for other texts.
TEST_F(AlertsTest, TheStaleTextLeavesOtherStatusTextsAlone) {
    QStatusBar bar;
    int64_t quotes = 0;
    bool ready = false;
    clock_.NowMs = At(9, 0);
    TStaleFeedWatch watch(
        CStaleFeedRule(clock_, 120), [&] { return ready; }, [&] { return quotes; }, bar);
    watch.Tick();
    ready = true;
    clock_.NowMs = At(9, 1);
    watch.Tick();  // the first look: the watch counts from here
    clock_.NowMs = At(9, 2, 59);
    watch.Tick();
    EXPECT_EQ(Text(bar), "") << "not yet two minutes watched";
    clock_.NowMs = At(9, 3);
    watch.Tick();
    EXPECT_EQ(Text(bar), "配信停止? 09:01 以降の更新なし");
    bar.showMessage(QStringLiteral("DDE ReConnect DdeClientConv"));
    watch.Tick();
    EXPECT_EQ(Text(bar), "DDE ReConnect DdeClientConv");
    bar.clearMessage();
    watch.Tick();
    EXPECT_EQ(Text(bar), "配信停止? 09:01 以降の更新なし");
    quotes = 1;
    watch.Tick();
    EXPECT_EQ(Text(bar), "");

    clock_.NowMs = At(9, 6);
    watch.Tick();
    ASSERT_EQ(Text(bar), "配信停止? 09:03 以降の更新なし");
    bar.showMessage(QStringLiteral("【replayed】"));
    quotes = 2;
    watch.Tick();
    EXPECT_EQ(Text(bar), "【replayed】") << "not ours to clear";
}

// The word on a sound that cannot play must be seen: the replay writes its line into the status
// bar every 100 ms, and none of them takes the word's place for its 15 s on the clock. Then the
// replay's line is back, the one of that moment.
TEST_F(AlertsTest, TheWordOnTheSoundIsHeldOverTheReplayedLinesForItsTime) {
    dir_.WriteCp932("KESTREL.INI", "[DEBUG]\r\nflg=1\r\n");
    dir_.WriteCp932("監視銘柄.txt", "1234.T\r\n");
    dir_.WriteCp932("std.csv", "1234,貸借,1000,1000,,1,1100\r\n");
    std::string kabu;
    for (int i = 0; i < 400; ++i)
        kabu += "10:00:" + std::to_string(10 + i % 40) + ",1234," + std::to_string(1000 + i % 7) +
                "," + std::to_string(i + 1) + "\r\n";
    dir_.WriteCp932("kabu.txt", kabu);
    const std::vector<std::string> lines = kestrel::SplitLines(kabu);
    CIni ini(dir_.File("KESTREL.INI"));
    ini.Load();
    CMeigaraList list('A');
    TF_MainDeps deps;
    deps.Dialogs = &dialogs_;
    deps.Clock = &clock_;
    deps.List = &list;
    deps.Ini = &ini;
    deps.Trackers = [] { return nullptr; };
    TF_Main win(deps);
    const QStatusBar& bar = *win.StatusBar1;
    CQtUserInterface ui(dialogs_);
    ui.Attach({&win, nullptr, nullptr});
    CController c(ui, clock_, dir_.Path(), dir_.Path(), {}, CController::Reach::Local);
    c.DataModuleCreate();
    c.StartUp();
    auto sound = std::make_unique<TAlertSound>(
        CSoundAlertRule(clock_, 0, "AD"), dir_.File("none.wav"), dialogs_,
        [&win](const std::string& t) { win.HoldStatusText(t, TF_Main::kHeldStatusMs); });
    // What the replay timer does every 100 ms.
    size_t delivered = 0;
    const auto tick = [&] {
        clock_.Advance(100);
        c.DebugTimerTimer();
        ++delivered;
    };
    const auto replayed = [&] { return "【" + lines[delivered - 1] + "】"; };
    for (int i = 0; i < 10; ++i) tick();
    ASSERT_EQ(Text(bar), replayed());

    sound->Move(Rise("1234.T"));
    QCoreApplication::processEvents();
    const std::string said =
        "警告音を鳴らせません: " + dir_.File("none.wav") + ": " + std::strerror(ENOENT);
    ASSERT_EQ(dialogs_.Beeps, 1);
    EXPECT_EQ(Text(bar), said);
    for (int i = 0; i < 149; ++i) {
        tick();
        ASSERT_EQ(Text(bar), said)
            << "replayed line " << delivered << ", " << (i + 1) * 100 << " ms after the word";
    }
    tick();  // 15 s after it
    EXPECT_EQ(Text(bar), replayed());
    tick();
    EXPECT_EQ(Text(bar), replayed());

    // A second failure is not said again; a word held anew stays its own full time, and
    // without a line meanwhile the bar is empty after it.
    sound->Move(Rise("5678.T"));
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs_.Beeps, 2);
    EXPECT_EQ(Text(bar), replayed());
    win.HoldStatusText("first", 1000);
    clock_.Advance(500);
    win.HoldStatusText("second", 1000);
    clock_.Advance(900);
    win.SetStatusText("");
    EXPECT_EQ(Text(bar), "second");
    clock_.Advance(100);
    EXPECT_EQ(Text(bar), "") << "the empty text asked for meanwhile";
    win.HoldStatusText("third", 1000);
    clock_.Advance(1000);
    EXPECT_EQ(Text(bar), "");
    c.DataModuleDestroy();
}

// The stale feed's text (live mode, where nothing is replayed) does not take a held word's
// place either; it comes once the word's time is up.
TEST_F(AlertsTest, TheStaleTextWaitsForAHeldWord) {
    CIni ini(dir_.File("KESTREL.INI"));
    CMeigaraList list('A');
    TF_MainDeps deps;
    deps.Dialogs = &dialogs_;
    deps.Clock = &clock_;
    deps.List = &list;
    deps.Ini = &ini;
    TF_Main win(deps);
    clock_.NowMs = At(9, 0);
    TStaleFeedWatch watch(
        CStaleFeedRule(clock_, 120), [] { return true; }, [] { return int64_t{0}; },
        *win.StatusBar1);
    watch.Tick();
    win.HoldStatusText("警告音を鳴らせません: x", TF_Main::kHeldStatusMs);
    clock_.Advance(120'000 - TF_Main::kHeldStatusMs + 1000);
    ASSERT_EQ(Text(*win.StatusBar1), "");  // the word's time is up before the feed is stale
    win.HoldStatusText("警告音を鳴らせません: x", TF_Main::kHeldStatusMs);
    clock_.Advance(TF_Main::kHeldStatusMs - 1000);
    watch.Tick();
    EXPECT_EQ(Text(*win.StatusBar1), "警告音を鳴らせません: x");
    clock_.Advance(1000);
    watch.Tick();
    EXPECT_EQ(Text(*win.StatusBar1), "配信停止? 09:00 以降の更新なし");
}
