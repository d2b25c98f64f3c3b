// The controller in live mode against a real kestrel-feed process: the trackers open their links
// at start-up, each stepped quote line becomes the same event lines and list entries that the
// headless replay of the same folder gives, and the midday reconnect and the two repair
// commands bring every tracker back after the server has gone away.
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>

#include "app/Controller.h"
#include "common/TextFile.h"
#include "feedtests/FeedServerProcess.h"
#include "support/ScriptedUi.h"
#include "support/TempDir.h"
#include "tracking/feed/FeedSocket.h"
#include "tracking/feed/SocketDdeConv.h"

using kestrel::feed::FeedControl;
using kestrel::test::CFakeClock;
using kestrel::test::FeedServerProcess;
using kestrel::test::ScriptedUi;
using kestrel::test::TempDir;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

// How long a test waits for what must come before it calls it a hang: far beyond the slowest
// run under a sanitizer on a loaded machine. A passing run never waits it out.
constexpr int kHangGuardMs = 120'000;

bool SpinUntil(const std::function<bool()>& done, int ms = kHangGuardMs) {
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (SteadyClock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string RunBacktest(const std::string& dir, const std::string& outDir) {
    std::string cmd = std::string(KESTREL_BACKTEST) + " '" + dir + "' --date 20261207 --out '" +
                      outDir + "' 2>/dev/null";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        std::array<char, 4096> buf;
        size_t n;
        while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
        EXPECT_EQ(pclose(p), 0) << cmd;
    }
    return out;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A working folder cut from the demo: its reference files whole, the first `lines` quote lines,
// and the settings switched to live mode.
void MakeFolder(const TempDir& dir, size_t lines, bool live) {
    const fs::path demo = fs::path(KESTREL_DEMO_DIR);
    for (const char* name : {"銘柄情報.txt", "株式売買値幅.txt", "監視銘柄.txt", "std.csv"})
        fs::copy_file(demo / name, fs::path(dir.Path()) / name);
    std::ifstream in(demo / "kabu.txt", std::ios::binary);
    std::string kabu, line;
    for (size_t i = 0; i < lines && std::getline(in, line); ++i) kabu += line + "\n";
    dir.WriteBytes("kabu.txt", kabu);
    dir.WriteCp932("KESTREL.INI", std::string("[DEBUG]\r\nflg=") + (live ? "0" : "1") +
                                      "\r\n[PARA]\r\nrate=2.0\r\ntime=2\r\n");
    fs::create_directory(dir.File("log"));
}

// One live run: the server replays the folder a line at a time, the controller tracks it.
struct LiveRig {
    TempDir dir;
    std::string sock = dir.File("RSS.sock");
    std::unique_ptr<FeedServerProcess> server;
    FeedControl stepper;
    ScriptedUi ui;
    CFakeClock clock;
    std::unique_ptr<CController> core;

    explicit LiveRig(size_t lines) { MakeFolder(dir, lines, true); }
    bool StartServer() {
        server = std::make_unique<FeedServerProcess>(
            sock, std::vector<std::string>{"--manual", "--folder", dir.Path()},
            dir.File("feed.log"));
        if (!server->Start()) return false;
        std::string err;
        return stepper.Open(sock, err);
    }
    void StopServer() {
        stepper.Close();
        EXPECT_EQ(server->Stop(), 0);
    }
    void StartController() {
        // A loaded machine may keep the server from answering for a while: only a hang is a
        // time-out here.
        DdeConvFactory patient = [make = MakeSocketConvFactory(sock)] {
            auto conv = make();
            conv->RequestTimeoutMs = conv->AdviseTimeoutMs = kHangGuardMs;
            return conv;
        };
        core = std::make_unique<CController>(ui, clock, dir.Path(), "", std::move(patient));
        core->DataModuleCreate();
        core->CreateIni(dir.File("KESTREL.INI"));
        core->StartUp();
    }
    // Steps the server `n` lines, one at a time, letting every notice reach its tracker.
    int Step(int n) {
        int total = 0;
        for (int i = 0; i < n; ++i) {
            int delivered = 0;
            if (!stepper.Step(1, delivered, kHangGuardMs)) break;
            total += delivered;
            if (!SpinUntil(FeedClientIdle)) break;
        }
        return total;
    }
    int StoredPoints() const {
        int n = 0;
        for (int i = 0; i < core->TrkgList->Count(); ++i)
            n += core->TrkgList->Items(i)->Detector.PointCount;
        return n;
    }
    int ConnectedTrackers() const {
        int n = 0;
        for (int i = 0; i < core->TrkgList->Count(); ++i) {
            CTrkg* t = core->TrkgList->Items(i);
            if (t->Conv && t->Conv->Connected()) ++n;
        }
        return n;
    }
    int LinkedTrackers() const {
        int n = 0;
        for (int i = 0; i < core->TrkgList->Count(); ++i) {
            CTrkg* t = core->TrkgList->Items(i);
            if (t->Conv && t->Conv->Connected() && t->Item && t->Item->DdeConv()) ++n;
        }
        return n;
    }
};

constexpr size_t kLines = 3000;

}  // namespace

TEST(LiveController, SteppedFeedGivesTheEventLinesAndListsOfTheReplay) {
    TempDir replayDir, replayOut;
    MakeFolder(replayDir, kLines, false);
    std::vector<std::string> expected = Lines(RunBacktest(replayDir.Path(), replayOut.Path()));
    ASSERT_GT(expected.size(), 20u) << "the cut demo should hold sharp moves";

    LiveRig rig(kLines);
    ASSERT_TRUE(rig.StartServer());
    rig.StartController();
    EXPECT_TRUE(rig.ui.messages.empty()) << rig.ui.messages.front();
    ASSERT_TRUE(rig.core->InitDone);
    EXPECT_FALSE(rig.core->DebugTimerEnabled) << "live mode replays nothing";
    const int watched = rig.core->TrkgList->Count();
    ASSERT_GT(watched, 10);
    EXPECT_EQ(rig.LinkedTrackers(), watched);

    EXPECT_GT(rig.Step(static_cast<int>(kLines)), 0);
    EXPECT_EQ(rig.ui.events, expected);

    // Shutdown writes the same two lists the replay wrote.
    rig.core->DataModuleDestroy();
    for (const char* name : {"20261207_Asc.txt", "20261207_Dsc.txt"}) {
        std::string live = Slurp(rig.dir.File(std::string("log/") + name));
        EXPECT_FALSE(live.empty()) << name;
        EXPECT_EQ(live, Slurp(replayOut.File(name))) << name;
    }
    rig.core.reset();
    rig.StopServer();
}

TEST(LiveController, MiddayReconnectAndRepairCommandsBringEveryTrackerBack) {
    LiveRig rig(kLines);
    ASSERT_TRUE(rig.StartServer());
    rig.StartController();
    const int watched = rig.core->TrkgList->Count();
    ASSERT_EQ(rig.LinkedTrackers(), watched);
    rig.Step(300);
    int points = rig.StoredPoints();
    ASSERT_GT(points, 0);

    // The midday reconnect against the running server: every link is made anew and the quotes
    // go on reaching the trackers.
    rig.clock.NowMs = 12 * 3600000;
    rig.core->ReConnTimerTimer();
    rig.clock.NowMs = 12 * 3600000 + 25 * 60000;
    rig.core->ReConnTimerTimer();
    EXPECT_TRUE(rig.core->ReConnDone);
    EXPECT_FALSE(rig.core->ReConnTimerEnabled);
    EXPECT_EQ(rig.LinkedTrackers(), watched);
    rig.Step(300);
    EXPECT_GT(rig.StoredPoints(), points);

    // Server gone: the trackers notice through the event loop and go silent; the repair
    // commands against a dead server break nothing and leave every item detached.
    auto stopAndWait = [&] {
        rig.StopServer();
        EXPECT_TRUE(SpinUntil([&] { return rig.ConnectedTrackers() == 0; }));
    };
    stopAndWait();
    rig.core->TrkgList->ReconnectAll();
    rig.core->TrkgList->ResetItemAll();
    EXPECT_EQ(rig.LinkedTrackers(), 0);
    points = rig.StoredPoints();

    // Back again: reconnect, then item reset, brings every tracker back.
    ASSERT_TRUE(rig.StartServer());
    rig.core->TrkgList->ReconnectAll();
    EXPECT_EQ(rig.ConnectedTrackers(), watched);
    rig.core->TrkgList->ResetItemAll();
    EXPECT_EQ(rig.LinkedTrackers(), watched);
    rig.Step(300);
    const int afterFirst = rig.StoredPoints();
    EXPECT_GT(afterFirst, points) << "quotes after the restart";

    // The other order after a second restart: item reset first, then reconnect.
    stopAndWait();
    ASSERT_TRUE(rig.StartServer());
    rig.core->TrkgList->ResetItemAll();
    rig.core->TrkgList->ReconnectAll();
    EXPECT_EQ(rig.LinkedTrackers(), watched);
    rig.Step(300);
    EXPECT_GT(rig.StoredPoints(), afterFirst);
    EXPECT_TRUE(rig.ui.messages.empty());

    rig.core->DataModuleDestroy();
    rig.core.reset();
    rig.StopServer();
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // No test may start a real launcher by accident.
    setenv("PATH", "/nonexistent-kestrel-path", 1);
    return RUN_ALL_TESTS();
}
