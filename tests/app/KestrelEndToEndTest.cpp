// The monitor as a trader starts it, on a copy of the demo folder, offscreen: the same entry as
// the kestrel executable, with scripted answers. The replay runs, the grid fills, the exit
// command ends the run, and today's resume files hold what the grid showed.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include "app/Global.h"
#include "common/CommaText.h"
#include "common/IniFile.h"
#include "common/TextFile.h"
#include "kestrel/Entry.h"
#include "settings/Ini.h"
#include "support/FakeClock.h"
#include "support/FakeFeedClock.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"
#include "tracking/feed/FeedProtocol.h"
#include "ui/Dialogs.h"
#include "ui/MainWindow.h"
#include "ui/debug.h"

namespace fs = std::filesystem;

namespace {
// A run that waits for the replay gives up after this long: only a guard against a hang, far
// beyond the slowest run under a sanitizer on a loaded machine. Each run ends as soon as what
// it waits for has happened, or once the replay has reached the end of the day.
constexpr int kHangGuardMs = 120'000;

std::string Today() {
    CSystemClock clock;
    CDate d = clock.Today();
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", d.Year, d.Month, d.Day);
    return buf;
}
}  // namespace

TEST(Kestrel, DemoRunEndedByTheExitCommandSavesWhatTheGridShowed) {
    kestrel::test::TempDir work, runtime;
    fs::copy(KESTREL_DEMO_DIR, work.Path(), fs::copy_options::recursive);
    chmod(runtime.Path().c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);

    CScriptedDialogs dialogs;
    dialogs.DefaultAnswer = true;  // the exit command's question
    CSystemClock clock;
    std::vector<std::string> gridCodes;
    size_t eventLines = 0;
    bool wasDisabled = false;
    bool soundMarker = true;
    bool replayEnded = false, guardRanOut = false;
    QElapsedTimer running;

    TKestrelHooks hooks;
    hooks.Dialogs = &dialogs;
    hooks.Clock = &clock;
    hooks.BeforeLoop = [&] {
        wasDisabled = !F_Main->isEnabled();
        soundMarker = F_Main->StatusBar1->findChild<QToolButton*>() != nullptr;
        running.start();
        auto* poll = new QTimer(F_Main);
        QObject::connect(poll, &QTimer::timeout, [&, poll] {
            if (!M_Global->InitDone()) return;
            // The replay at full speed: a few seconds cover the demo's first minutes.
            if (M_Global->DebugTimer->Interval() != 1) M_Global->DebugTimer->SetInterval(1);
            replayEnded = M_Global->Core().ReplayAtEnd();
            guardRanOut = running.elapsed() > kHangGuardMs;
            if (F_DEBUG->Lines().size() < 40 && !replayEnded && !guardRanOut) return;
            poll->stop();
            eventLines = F_DEBUG->Lines().size();
            F_Main->DispTimerTimer();
            for (int r = 1; r < F_Main->GridA->RowCount(); ++r)
                gridCodes.push_back(F_Main->GridA->Cells(0, r));
            F_Main->GridA->SetColWidths(1, 150);
            F_Main->X1Click();
        });
        poll->start(50);
    };

    std::string self = "kestrel", opt = "--workdir", dir = work.Path();
    char* argv[] = {self.data(), opt.data(), dir.data(), nullptr};
    int argc = 3;
    const auto cwd = fs::current_path();
    EXPECT_EQ(RunKestrel(argc, argv, hooks), 0);
    fs::current_path(cwd);

    EXPECT_TRUE(wasDisabled) << "no input before start-up has ended";
    EXPECT_FALSE(guardRanOut) << "no 40 event lines and no end of the replay in "
                              << kHangGuardMs / 1000 << " s";
    EXPECT_GE(eventLines, 40u) << (replayEnded ? "the whole replay" : "");
    EXPECT_EQ(dialogs.Questions, std::vector<std::string>{"終了します。よろしいですか？"});
    EXPECT_TRUE(dialogs.Messages.empty()) << dialogs.Messages.front();
    EXPECT_FALSE(soundMarker) << "no [ALERT], no marker";
    EXPECT_EQ(dialogs.Beeps, 0);
    ASSERT_GE(gridCodes.size(), 2u);

    // Every issue the grid showed is in today's rising list, and the falling one exists too.
    std::vector<std::string> asc;
    ASSERT_TRUE(kestrel::ReadLines(work.File("log/" + Today() + "_Asc.txt"), asc));
    std::set<std::string> saved;
    for (const auto& line : asc) saved.insert(kestrel::SplitCommaText(line).at(0));
    for (const auto& code : gridCodes) EXPECT_TRUE(saved.count(code)) << code;
    EXPECT_EQ(saved.size(), gridCodes.size());
    EXPECT_TRUE(fs::exists(work.File("log/" + Today() + "_Dsc.txt")));

    // The widths went to the settings file, the one changed by the user among them.
    CIni ini(work.File("KESTREL.INI"));
    ini.Load();
    EXPECT_EQ(ini.GetWidth(1), 150);
}

namespace {
// Real dates, no real waiting.
struct QuickClock : CSystemClock {
    void SleepMs(int) override {}
};

std::string Bytes(const std::string& path) {
    std::string b;
    kestrel::ReadFileBytes(path, b);
    return b;
}

std::set<std::string> Codes(const std::string& path) {
    std::vector<std::string> lines;
    kestrel::ReadLines(path, lines);
    std::set<std::string> codes;
    for (const auto& l : lines) codes.insert(kestrel::SplitCommaText(l).at(0));
    return codes;
}

// A demo folder with today's lists from a morning run and widths the trader set.
struct DayFolder {
    kestrel::test::TempDir work, runtime;
    std::string asc, dsc, ini;
    DayFolder() {
        fs::copy(KESTREL_DEMO_DIR, work.Path(), fs::copy_options::recursive);
        chmod(runtime.Path().c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
        fs::create_directories(work.File("log"));
        asc = work.File("log/" + Today() + "_Asc.txt");
        dsc = work.File("log/" + Today() + "_Dsc.txt");
        kestrel::WriteLines(asc, {"7203,A,トヨタ自動車,貸借,2.5,2500,2400,2900,2410,10,0,490,09:12,"
                                  "2460,120000,2.5,2.07,2.04",
                                  "6758,A,ソニー,貸借,1.25,9000,8800,10300,8850,50,0,1500,09:05,"
                                  "9010,50000,2.38,1.81,2.1"});
        kestrel::WriteLines(dsc, {"9984,A,ソフトバンク,貸借,3,7000,6900,8400,6950,50,0,1500,09:20,"
                                  "6800,90000,-1.45,-2.16,-2.3"});
        kestrel::IniFile(work.File("KESTREL.INI")).WriteInteger("GRID", "width02", 150);
        ini = Bytes(work.File("KESTREL.INI"));
    }
    int Run(CScriptedDialogs& dialogs, std::function<void()> beforeLoop = {}) {
        QuickClock clock;
        TKestrelHooks hooks;
        hooks.Dialogs = &dialogs;
        hooks.Clock = &clock;
        hooks.BeforeLoop = std::move(beforeLoop);
        std::string self = "kestrel", opt = "--workdir", dir = work.Path();
        char* argv[] = {self.data(), opt.data(), dir.data(), nullptr};
        int argc = 3;
        const auto cwd = fs::current_path();
        int rc = RunKestrel(argc, argv, hooks);
        fs::current_path(cwd);
        return rc;
    }
};
}  // namespace

// With sound=1 each new sharp move sounds (here the beep that stands in for a file that is
// not there, said once in the status bar) until the marker mutes it; the settings keep it on.
TEST(Kestrel, TheAlertSectionSoundsEachNewMoveUntilTheMarkerMutesIt) {
    DayFolder day;
    kestrel::IniFile ini(day.work.File("KESTREL.INI"));
    ASSERT_TRUE(ini.WriteString("ALERT", "sound", "1") &&
                ini.WriteString("ALERT", "file", "none.wav") &&
                ini.WriteString("ALERT", "cooldown", "0"));
    CScriptedDialogs dialogs;
    dialogs.Answers = {false};  // today's lists are not loaded
    dialogs.DefaultAnswer = true;
    std::vector<std::string> said;
    QToolButton* marker = nullptr;
    int beepsAtMute = -1;
    size_t linesAtMute = 0;
    bool replayEnded = false, guardRanOut = false;
    QElapsedTimer running;
    const int rc = day.Run(dialogs, [&] {
        running.start();
        marker = F_Main->StatusBar1->findChild<QToolButton*>(QStringLiteral("SoundMarker"));
        QObject::connect(F_Main->StatusBar1, &QStatusBar::messageChanged, [&](const QString& t) {
            if (t.startsWith(QStringLiteral("警告音"))) said.push_back(t.toStdString());
        });
        auto* poll = new QTimer(F_Main);
        QObject::connect(poll, &QTimer::timeout, [&, poll] {
            if (!M_Global->InitDone()) return;
            if (M_Global->DebugTimer->Interval() != 1) M_Global->DebugTimer->SetInterval(1);
            const size_t lines = F_DEBUG->Lines().size();
            if (beepsAtMute < 0 && dialogs.Beeps >= 3 && marker) {
                marker->click();
                beepsAtMute = dialogs.Beeps;
                linesAtMute = lines;
            }
            replayEnded = M_Global->Core().ReplayAtEnd();
            guardRanOut = running.elapsed() > kHangGuardMs;
            // Ten lines after the mute, in which new moves would have sounded.
            if ((beepsAtMute < 0 || lines < linesAtMute + 10) && !replayEnded && !guardRanOut)
                return;
            poll->stop();
            F_Main->X1Click();
        });
        poll->start(50);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(guardRanOut) << "the replay neither sounded three times and went on for ten "
                                 "lines, nor ended, in "
                              << kHangGuardMs / 1000 << " s";
    ASSERT_NE(marker, nullptr);
    ASSERT_GE(beepsAtMute, 3) << (replayEnded ? "the whole replay" : "");
    EXPECT_EQ(dialogs.Beeps, beepsAtMute) << "muted";
    EXPECT_EQ(said, std::vector<std::string>{"警告音を鳴らせません: none.wav: " +
                                             std::string(std::strerror(ENOENT))});
    kestrel::IniFile after(day.work.File("KESTREL.INI"));
    EXPECT_EQ(after.ReadString("ALERT", "sound", ""), "1");
}

// Today's lists are written at the end only when start-up has offered them and the user has
// loaded or declined them: no ending before that, by a signal or by a missing watch list,
// writes over them or over the widths the trader set.
TEST(Kestrel, NoEndingBeforeStartUpHasFinishedLosesTodaysListsOrWidths) {
    {
        // No watch list: both messages, then the resume question answered, then the end.
        DayFolder day;
        const std::set<std::string> ascCodes = Codes(day.asc), dscCodes = Codes(day.dsc);
        fs::remove(day.work.File("監視銘柄.txt"));
        CScriptedDialogs dialogs;
        dialogs.RunsEventLoop = true;
        dialogs.Answers = {true};
        EXPECT_EQ(day.Run(dialogs), 0);
        EXPECT_EQ(dialogs.Messages,
                  (std::vector<std::string>{"監視銘柄リストの取得に失敗しました。【監視銘柄.txt】",
                                            "作業フォルダを再確認してください → 終了します"}));
        EXPECT_EQ(dialogs.Questions,
                  std::vector<std::string>{"レジュームファイルがあります。ロードしますか？"});
        EXPECT_EQ(Codes(day.asc), ascCodes) << "loaded, and saved back";
        EXPECT_EQ(Codes(day.dsc), dscCodes);
    }
    {
        // A signal before the start-up timer has fired.
        DayFolder day;
        const std::string asc = Bytes(day.asc), dsc = Bytes(day.dsc);
        CScriptedDialogs dialogs;
        EXPECT_EQ(day.Run(dialogs, [] { raise(SIGTERM); }), 0);
        EXPECT_TRUE(dialogs.Questions.empty());
        EXPECT_EQ(Bytes(day.asc), asc);
        EXPECT_EQ(Bytes(day.dsc), dsc);
        EXPECT_EQ(Bytes(day.work.File("KESTREL.INI")), day.ini) << "the design widths were written";
    }
    {
        // A signal while the resume question is open: the box ends unanswered.
        DayFolder day;
        const std::string asc = Bytes(day.asc), dsc = Bytes(day.dsc);
        CScriptedDialogs dialogs;
        dialogs.RunsEventLoop = true;
        dialogs.AnswerAfterMs = kHangGuardMs;  // only the signal ends the box before that
        dialogs.DefaultAnswer = true;
        dialogs.OnQuestion = [](const std::string&) { raise(SIGTERM); };
        EXPECT_EQ(day.Run(dialogs), 0);
        EXPECT_EQ(dialogs.Questions.size(), 1u);
        EXPECT_EQ(Bytes(day.asc), asc);
        EXPECT_EQ(Bytes(day.dsc), dsc);
        EXPECT_EQ(Bytes(day.work.File("KESTREL.INI")), day.ini);
    }
}

// A refusal to start is shown where a desktop user looks, not only on stderr: here the
// folder for the monitor's lock belongs to another user.
TEST(Kestrel, ARefusalToStartIsShownInAMessageBox) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the folder to another user";
    DayFolder day;
    fs::create_directories(day.runtime.File("kestrel"));
    ASSERT_EQ(chown(day.runtime.File("kestrel").c_str(), 65534, 65534), 0);
    CScriptedDialogs dialogs;
    EXPECT_EQ(day.Run(dialogs), 1);
    ASSERT_EQ(dialogs.Messages.size(), 1u);
    EXPECT_EQ(dialogs.Messages[0].rfind("起動できません: ", 0), 0u) << dialogs.Messages[0];
    EXPECT_NE(dialogs.Messages[0].find("belongs to another user"), std::string::npos)
        << dialogs.Messages[0];
}

// A feed that takes the links and then never answers a request holds the monitor no longer
// than the signal that ends it: a termination ends every wait for the feed at once, and the
// lists are saved whatever the feed does. On the fake clock no wait for the feed ever runs
// out its time by itself, so only the signal can have ended it.
TEST(Kestrel, ATerminationEndsEveryWaitForTheFeedWhateverTheFeedDoes) {
    kestrel::test::CFakeClock feedTime;
    kestrel::test::FeedOnFakeClock feedClock(feedTime);
    DayFolder day;
    kestrel::IniFile(day.work.File("KESTREL.INI")).WriteInteger("DEBUG", "flg", 0);
    const std::string dirPath = day.runtime.File("kestrel"), sockPath = dirPath + "/RSS.sock";
    ASSERT_EQ(mkdir(dirPath.c_str(), 0700), 0);
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sockPath.c_str());
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lfd, 8), 0);
    std::atomic<bool> done{false};
    std::atomic<int> requests{0};
    // Links and advise loops are taken; a request for a value is never answered.
    std::thread feed([&] {
        std::vector<int> fds;
        std::map<int, kestrel::feed::LineReader> readers;
        while (!done) {
            std::vector<pollfd> p{{lfd, POLLIN, 0}};
            for (int fd : fds) p.push_back({fd, POLLIN, 0});
            if (poll(p.data(), p.size(), 50) <= 0) continue;
            if (p[0].revents) fds.push_back(accept(lfd, nullptr, nullptr));
            for (size_t i = 1; i < p.size(); ++i) {
                if (!p[i].revents) continue;
                char buf[4096];
                ssize_t n = read(p[i].fd, buf, sizeof buf);
                if (n <= 0) continue;
                auto& reader = readers[p[i].fd];
                reader.Append(buf, static_cast<size_t>(n));
                std::string line, err;
                while (reader.Next(line) == kestrel::feed::LineReader::Result::Line) {
                    kestrel::feed::Message m;
                    if (!kestrel::feed::ParseMessage(line, m, err)) continue;
                    if (m.Kind == kestrel::feed::Verb::Req || m.Kind == kestrel::feed::Verb::All) {
                        ++requests;
                        continue;
                    }
                    const std::string ok = "OK\t" + std::to_string(m.Id) + "\n";
                    [[maybe_unused]] ssize_t w = write(p[i].fd, ok.data(), ok.size());
                }
            }
        }
        for (int fd : fds) close(fd);
    });
    std::thread terminator([&] {
        while (requests == 0 && !done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Most likely inside the request's wait by then; before it, the wait must not begin.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(getpid(), SIGTERM);
    });
    CScriptedDialogs dialogs;
    dialogs.Answers = {true};
    const int rc = day.Run(dialogs);
    done = true;
    terminator.join();
    feed.join();
    close(lfd);
    EXPECT_EQ(rc, 0);
    EXPECT_GT(requests.load(), 0);
    EXPECT_TRUE(feedTime.Sleeps.empty()) << "a wait for the feed ran out its time";
    EXPECT_EQ(Codes(day.asc), (std::set<std::string>{"7203", "6758"})) << "loaded, and saved back";
    EXPECT_EQ(Codes(day.dsc), std::set<std::string>{"9984"});
}
