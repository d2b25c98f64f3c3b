// The quote conversation over the socket, against a real kestrel-feed process.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>

#include "common/Codec.h"
#include "feedtests/FeedServerProcess.h"
#include "support/FakeClock.h"
#include "support/FakeFeedClock.h"
#include "support/TempDir.h"
#include "tracking/NoticePump.h"
#include "tracking/feed/FeedProtocol.h"
#include "tracking/feed/FeedSocket.h"
#include "tracking/feed/SocketDdeConv.h"

using namespace kestrel::feed;
using kestrel::test::CFakeClock;
using kestrel::test::FeedOnFakeClock;
using kestrel::test::FeedServerProcess;
using kestrel::test::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

// How long a test waits for what must come before it calls it a hang: far beyond the slowest
// run under a sanitizer on a loaded machine. A passing run never waits it out.
constexpr int kHangGuardMs = FeedOnFakeClock::kHangGuardMs;

bool SpinUntil(const std::function<bool()>& done, int ms = kHangGuardMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}
void SpinIdle() { ASSERT_TRUE(SpinUntil(FeedClientIdle)); }

void WriteFolder(const TempDir& dir) {
    dir.WriteCp932("銘柄情報.txt", "1234,テスト電機,100\r\n5678,サンプル,1\r\n");
    dir.WriteCp932("std.csv", "1234,貸借,1000,1010,0,1.25,1500\r\n");
    dir.WriteCp932("kabu.txt",
                   "09:00:05,1234,1005,100\r\n09:01,5678,990,200\r\n"
                   "09:02,1234,1020,300\r\n09:03,5678,991,400\r\n"
                   "09:04,1234,1030,500\r\n09:05,1234,1040,600\r\n"
                   "09:06,1234,1050,700\r\n");
}

// One tracker's worth of conversation: a link and its attached volume item.
struct Watcher {
    std::unique_ptr<TDdeClientConv> Conv;
    TDdeClientItem Item;
    std::string Topic;
    int Changes = 0;
    Watcher(const DdeConvFactory& make, std::string topic) : Conv(make()), Topic(std::move(topic)) {
        // A loaded machine may keep a live server from answering for a while: only a hang
        // is a time-out here, unless a test sets its own.
        Conv->RequestTimeoutMs = Conv->AdviseTimeoutMs = kHangGuardMs;
        Conv->SetLink("RSS", Topic);
        ResetItem();
    }
    void ResetItem() {
        Item.SetDdeConv(Conv.get());
        Item.OnChange = [this](TDdeClientItem&) { ++Changes; };
        Item.SetDdeItem("出来高");
    }
    bool Reconnect() {
        Conv->CloseLink();
        Conv->SetLink("RSS", Topic);
        return Conv->OpenLink();
    }
};

struct Rig {
    TempDir dir;
    std::string sock = dir.File("RSS.sock");
    std::unique_ptr<FeedServerProcess> server;
    FeedControl stepper;
    DdeConvFactory make = MakeSocketConvFactory(sock);
    bool Start(std::vector<std::string> options) {
        server =
            std::make_unique<FeedServerProcess>(sock, std::move(options), dir.File("feed.log"));
        if (!server->Start()) return false;
        std::string err;
        return stepper.Open(sock, err);
    }
    void Step(int n = 1) {
        int delivered = 0;
        ASSERT_TRUE(stepper.Step(n, delivered, kHangGuardMs));
    }
};

}  // namespace

TEST(SocketDdeConv, ItemsValuesAndNoticesOverOneSharedConnection) {
    Rig rig;
    WriteFolder(rig.dir);
    ASSERT_TRUE(rig.Start({"--manual", "--folder", rig.dir.Path()}));
    Watcher a(rig.make, "1234.T"), twin(rig.make, "1234.T"), other(rig.make, "5678");
    auto spare = std::make_unique<Watcher>(rig.make, "1234.T");
    for (Watcher* w : {&a, &twin, &other, spare.get()}) ASSERT_TRUE(w->Conv->OpenLink());
    // The advise start is followed by one request and its change.
    EXPECT_EQ(a.Changes, 1);
    EXPECT_EQ(a.Item.Text(), "0");
    EXPECT_EQ(a.Conv->RequestData("現在値時刻"), "  :  ");
    EXPECT_EQ(a.Conv->RequestData("銘柄名称"), "テスト電機");
    EXPECT_EQ(a.Conv->RequestData("貸借倍率"), "1.25");
    EXPECT_EQ(a.Conv->RequestData("no such item"), "");

    rig.Step();
    SpinIdle();
    EXPECT_EQ(a.Changes, 2);
    EXPECT_EQ(twin.Changes, 2);
    EXPECT_EQ(other.Changes, 1);
    EXPECT_EQ(a.Item.Text(), "100");
    EXPECT_EQ(a.Conv->RequestData("現在値時刻"), "09:00:05");

    // A notice that arrives while a request waits is delivered after it, not inside it.
    rig.Step();  // 5678: the notice is now in our socket
    EXPECT_EQ(other.Conv->RequestData("現在値"), "990");
    EXPECT_EQ(other.Changes, 1);
    SpinIdle();
    EXPECT_EQ(other.Changes, 2);
    EXPECT_EQ(other.Item.Text(), "200");

    // A handler that throws stops neither the other conversations nor the event loop.
    other.Item.OnChange = [&](TDdeClientItem&) {
        ++other.Changes;
        throw std::runtime_error("bad time");
    };
    rig.Step();  // 1234
    rig.Step();  // 5678
    SpinIdle();
    EXPECT_EQ(other.Changes, 3);
    EXPECT_EQ(a.Changes, 3);

    // A freed conversation gets nothing, the others go on.
    spare.reset();
    rig.Step();
    SpinIdle();
    EXPECT_EQ(a.Changes, 4);
    EXPECT_EQ(twin.Changes, 4);

    // A closed link is silent and answers nothing; the item stays attached for the next open.
    twin.Conv->CloseLink();
    EXPECT_FALSE(twin.Conv->Connected());
    EXPECT_EQ(twin.Conv->RequestData("現在値"), "");
    rig.Step();
    SpinIdle();
    EXPECT_EQ(a.Changes, 5);
    EXPECT_EQ(twin.Changes, 4);
    EXPECT_EQ(twin.Item.DdeConv(), twin.Conv.get());
    ASSERT_TRUE(twin.Reconnect());
    EXPECT_EQ(twin.Changes, 5);
    EXPECT_EQ(twin.Item.Text(), "600");
    rig.Step();
    SpinIdle();
    EXPECT_EQ(twin.Changes, 6);
    EXPECT_EQ(a.Changes, 6);

    // Four conversations, one connection (after the start-up probe's and the stepper's).
    std::string log = rig.server->Log();
    EXPECT_NE(log.find("client 3 connected"), std::string::npos) << log;
    EXPECT_EQ(log.find("client 4 connected"), std::string::npos) << log;
}

TEST(SocketDdeConv, TheValuesOfOneChangeBelongTogetherWhileTheFeedMovesOn) {
    Rig rig;
    WriteFolder(rig.dir);
    ASSERT_TRUE(rig.Start({"--manual", "--folder", rig.dir.Path()}));
    Watcher w(rig.make, "1234.T");
    ASSERT_TRUE(w.Conv->OpenLink());
    std::vector<std::string> seen;
    w.Item.OnChange = [&](TDdeClientItem&) {
        std::string time = w.Conv->RequestData("現在値時刻");
        if (seen.empty()) rig.Step(2);  // the next trade of 1234 happens while we read
        seen.push_back(time + " " + w.Conv->RequestData("現在値"));
    };
    rig.Step();
    SpinIdle();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "09:00:05 1005");
    EXPECT_EQ(seen[1], "09:02 1020");
    // Outside a change every request asks the server afresh.
    EXPECT_EQ(w.Conv->RequestData("現在値"), "1020");
}

TEST(SocketDdeConv, StoppedServerGoesSilentAndRecoversInEitherOrder) {
    Rig rig;
    ASSERT_TRUE(rig.Start({"--manual", "--simulate", "1"}));
    Watcher w(rig.make, "1000.T");
    ASSERT_TRUE(w.Conv->OpenLink());
    rig.Step();
    SpinIdle();
    ASSERT_EQ(w.Changes, 2);

    auto stopServer = [&] {
        rig.stepper.Close();
        EXPECT_EQ(rig.server->Stop(), 0);
        // The loss is noticed through the event loop, without any request.
        EXPECT_TRUE(SpinUntil([&] { return !w.Conv->Connected(); }));
        EXPECT_EQ(w.Conv->RequestData("現在値"), "");
    };
    auto restart = [&] { ASSERT_TRUE(rig.Start({"--manual", "--simulate", "1"})); };

    // Restarted server, link re-established: the attached item resumes its advise loop.
    stopServer();
    restart();
    ASSERT_TRUE(w.Reconnect());
    EXPECT_EQ(w.Changes, 3);
    rig.Step();
    SpinIdle();
    EXPECT_EQ(w.Changes, 4);

    // An open attempt while the server is away detaches the item; reconnect, then reset.
    stopServer();
    EXPECT_FALSE(w.Reconnect());
    EXPECT_EQ(w.Item.DdeConv(), nullptr);
    restart();
    ASSERT_TRUE(w.Reconnect());
    rig.Step();
    SpinIdle();
    EXPECT_EQ(w.Changes, 4) << "no item, no notice";
    w.ResetItem();
    EXPECT_EQ(w.Changes, 5);
    rig.Step();
    SpinIdle();
    EXPECT_EQ(w.Changes, 6);

    // The other order: reset the item on the dead link first, then reconnect.
    stopServer();
    EXPECT_FALSE(w.Reconnect());
    restart();
    w.ResetItem();
    EXPECT_EQ(w.Changes, 6);
    ASSERT_TRUE(w.Reconnect());
    EXPECT_EQ(w.Changes, 7);
    rig.Step();
    SpinIdle();
    EXPECT_EQ(w.Changes, 8);
}

// A server that leaves a request unanswered without a byte is gone for the round: the request
// ends at its time-out, every further link fails at once (instead of a time-out each, and
// without starting a second server), the user is told once, and after the hold-off a
// reconnect links again, where the late answer never passes for a new request.
TEST(SocketDdeConv, ASilentServerIsGoneForTheRoundAndFurtherLinksFailAtOnce) {
    Rig rig;
    WriteFolder(rig.dir);
    ASSERT_TRUE(rig.Start({"--manual", "--folder", rig.dir.Path()}));
    std::vector<std::string> warnings;
    SetFeedWarningHandler([&](const std::string& w) { warnings.push_back(w); });
    CFakeClock clock;
    FeedOnFakeClock feedClock(clock);
    bool paused = false;
    feedClock.ServerDone = [&] { return paused; };
    Watcher w(rig.make, "1234.T");
    ASSERT_TRUE(w.Conv->OpenLink());
    EXPECT_TRUE(clock.Sleeps.empty()) << "a live server's answers cost no time-out";
    w.Conv->RequestTimeoutMs = 150;

    rig.server->Pause();
    paused = true;
    const int64_t t0 = clock.NowMs;
    EXPECT_EQ(w.Conv->RequestData("現在値時刻"), "");
    EXPECT_EQ(clock.NowMs - t0, 150) << "the request waits out its time-out, and no more";
    EXPECT_FALSE(w.Conv->Connected());

    // Each of these would wait out a time-out of its own had it asked the server anything.
    std::vector<std::unique_ptr<Watcher>> more;
    for (int i = 0; i < 50; ++i) {
        more.push_back(std::make_unique<Watcher>(rig.make, std::to_string(2000 + i)));
        EXPECT_FALSE(more.back()->Conv->OpenLink());
    }
    EXPECT_EQ(clock.Sleeps, std::vector<int>{150}) << "50 links to a silent server";
    EXPECT_TRUE(SpinUntil([&] { return !warnings.empty(); }));
    QCoreApplication::sendPostedEvents();  // any second warning is queued by now
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("相場配信が応答しません: " + rig.sock), std::string::npos)
        << warnings[0];

    // The server is back, but the hold-off runs its whole length before anybody asks it again.
    paused = false;
    rig.server->Resume();
    w.Conv->RequestTimeoutMs = kHangGuardMs;
    const int64_t holdOff = kFeedSilentHoldOff.count();
    clock.Advance(holdOff - 1);
    EXPECT_FALSE(w.Reconnect());
    EXPECT_EQ(clock.Sleeps, std::vector<int>{150});
    clock.Advance(1);
    EXPECT_TRUE(w.Reconnect());
    EXPECT_EQ(w.Conv->RequestData("銘柄名称"), "テスト電機");
    EXPECT_EQ(clock.Sleeps, std::vector<int>{150});
    SetFeedWarningHandler(nullptr);
}

// Another user's feed at our socket never hears a word from us: a socket file of another
// user is not connected to, and a listener of another user behind our own file is left at
// once. Each refusal is said to the user.
TEST(SocketDdeConv, AFeedOfAnotherUserIsRefusedBeforeAnythingIsSent) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    TempDir dir;
    for (bool foreignFile : {true, false}) {
        const std::string path = dir.File(foreignFile ? "theirs.sock" : "ours.sock");
        int report[2], ready[2], through[2];
        ASSERT_EQ(pipe(report), 0);
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(through), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(through[1]);
            int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
            if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(2);
            if (foreignFile && chown(path.c_str(), 65534, 65534) != 0) _exit(3);
            if (setgid(65534) != 0 || setuid(65534) != 0 || listen(lfd, 4) != 0) _exit(4);
            [[maybe_unused]] ssize_t r = write(ready[1], "r", 1);
            // Until the client comes or is through with its link. A connection it made is
            // waiting to be accepted by then, whether or not it has closed its end since.
            pollfd wait[2] = {{lfd, POLLIN, 0}, {through[0], POLLIN, 0}};
            poll(wait, 2, kHangGuardMs);
            long heard = -1;  // -1: nobody came
            if (WaitFd(lfd, false, 0)) {
                int fd = accept(lfd, nullptr, nullptr);
                char buf[256];
                heard = 0;
                for (ssize_t n;
                     WaitFd(fd, false, kHangGuardMs) && (n = read(fd, buf, sizeof buf)) > 0;)
                    heard += n;
            }
            [[maybe_unused]] ssize_t w = write(report[1], &heard, sizeof heard);
            _exit(0);
        }
        close(report[1]);
        close(ready[1]);
        close(through[0]);
        char r = 0;
        ASSERT_EQ(read(ready[0], &r, 1), 1) << "the other user's feed did not start";
        close(ready[0]);
        std::vector<std::string> warnings;
        SetFeedWarningHandler([&](const std::string& w) { warnings.push_back(w); });
        {
            Watcher w(MakeSocketConvFactory(path), "1234.T");
            EXPECT_FALSE(w.Conv->OpenLink());
        }
        close(through[1]);  // through: the other end hears the pipe close
        long heard = -2;
        EXPECT_EQ(read(report[0], &heard, sizeof heard), static_cast<ssize_t>(sizeof heard));
        EXPECT_EQ(heard, foreignFile ? -1 : 0) << "bytes the other user's feed received";
        close(report[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(SpinUntil([&] { return !warnings.empty(); }));
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(
            warnings[0].find(foreignFile ? "belongs to another user" : "served by another user"),
            std::string::npos)
            << warnings[0];
        SetFeedWarningHandler(nullptr);
    }
}

TEST(SocketDdeConv, GarbageFromTheServerIsIgnored) {
    TempDir dir;
    std::string path = dir.File("bad.sock");
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    // A server gone wrong: every answer comes wrapped in junk, the first value far too long.
    std::atomic<int> answered{0};
    std::thread bad([lfd, &answered] {
        int fd = accept(lfd, nullptr, nullptr);
        LineReader reader;
        char buf[4096];
        int requests = 0;
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            reader.Append(buf, static_cast<size_t>(n));
            std::string line, err;
            while (reader.Next(line) == LineReader::Result::Line) {
                Message m;
                if (!ParseMessage(line, m, err)) continue;
                std::string out = std::string("\x01\x02junk\xff\n") + std::string(20000, 'J') +
                                  "\nVAL\t999999\tstale\nNOTE\tone-field\nREQ\t1\tx\ty\nNOTE\t" +
                                  std::string(300, 'T') + "\tz\n";
                std::string id = std::to_string(m.Id);
                if (m.Kind == Verb::Req && requests++ == 0)
                    out += "VAL\t" + id + "\t" + std::string(kMaxLineBytes, 'v') + "\n";
                else if (m.Kind == Verb::Req)
                    out += "VAL\t" + id + "\t" + kestrel::Utf8ToCp932("良い値") + "\n";
                else
                    out += "OK\t" + id + "\n";
                WriteAll(fd, out, kHangGuardMs);
                ++answered;
            }
        }
        close(fd);
    });
    {
        CFakeClock clock;
        FeedOnFakeClock feedClock(clock);
        // The link, the advise start and the request after it: once the third is answered,
        // nothing more comes for them.
        feedClock.ServerDone = [&] { return answered >= 3; };
        Watcher w(MakeSocketConvFactory(path), "1234.T");
        w.Conv->AdviseTimeoutMs = 200;
        ASSERT_TRUE(w.Conv->OpenLink());
        // The value after the advise start came too long: refused, so no change, and that
        // request ran out its time. The junk around it keeps the connection: the server talks.
        EXPECT_EQ(w.Changes, 0);
        EXPECT_EQ(clock.Sleeps, std::vector<int>{200});
        EXPECT_EQ(w.Item.DdeConv(), w.Conv.get());
        feedClock.ServerDone = nullptr;  // a new request: its answer is on its way
        EXPECT_EQ(w.Conv->RequestData("現在値"), "良い値");
        SpinIdle();  // junk notices must not reach anybody
        EXPECT_EQ(w.Changes, 0);
        EXPECT_TRUE(w.Conv->Connected());
    }
    bad.join();
    close(lfd);
}

TEST(SocketDdeConv, OpenLinkStartsTheServiceFromPathOnce) {
    TempDir tmp;
    WriteFolder(tmp);
    std::string bin = tmp.File("bin"), run = tmp.File("run"), dud = tmp.File("dud");
    mkdir(bin.c_str(), 0700);
    mkdir(run.c_str(), 0700);
    mkdir(dud.c_str(), 0700);
    ASSERT_EQ(symlink(KESTREL_FEED, (bin + "/RSS").c_str()), 0);
    ASSERT_EQ(symlink("/bin/true", (dud + "/RSS").c_str()), 0);
    std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    setenv("KESTREL_FEED_OPTIONS", ("--manual --folder " + tmp.Path()).c_str(), 1);
    std::string sock = run + "/kestrel/RSS.sock";
    DdeConvFactory make = MakeSocketConvFactory();
    {
        // No launcher on PATH: the open fails at once and the item is detached.
        setenv("PATH", tmp.File("nowhere").c_str(), 1);
        Watcher w(make, "1234.T");
        EXPECT_FALSE(w.Conv->OpenLink());
        EXPECT_EQ(w.Item.DdeConv(), nullptr);
    }
    {
        // A launcher that never serves costs one wait, then no more starts until the cool-down
        // is over.
        setenv("PATH", dud.c_str(), 1);
        CFakeClock clock;
        FeedOnFakeClock feedClock(clock);
        Watcher w(make, "1234.T");
        auto* conv = static_cast<SocketDdeConv*>(w.Conv.get());
        conv->LaunchWaitMs = 100;
        auto waitOfAnOpen = [&] {
            const int64_t t0 = clock.NowMs;
            w.ResetItem();
            EXPECT_FALSE(w.Conv->OpenLink());
            return clock.NowMs - t0;
        };
        const int64_t first = waitOfAnOpen();
        EXPECT_GE(first, 100);
        EXPECT_LT(first, 200) << "about as long as a started server is given, no longer";
        EXPECT_EQ(waitOfAnOpen(), 0);
        const int64_t coolDown =
            std::chrono::duration_cast<std::chrono::milliseconds>(kestrel::kLaunchCoolDown).count();
        clock.Advance(coolDown - 1);
        EXPECT_EQ(waitOfAnOpen(), 0);
        clock.Advance(1);
        EXPECT_EQ(waitOfAnOpen(), first) << "started again after the cool-down";
    }
    {
        setenv("PATH", bin.c_str(), 1);
        Watcher w(make, "1234.T");
        Watcher second(make, "5678");
        // The server starts on a machine that may be busy: only a hang is too long.
        for (Watcher* x : {&w, &second})
            static_cast<SocketDdeConv*>(x->Conv.get())->LaunchWaitMs = kHangGuardMs;
        ASSERT_TRUE(w.Conv->OpenLink());
        ASSERT_TRUE(second.Conv->OpenLink());  // the server is up: no second start
        EXPECT_EQ(w.Conv->RequestData("銘柄名称"), "テスト電機");
        struct stat st {};
        ASSERT_EQ(stat((run + "/kestrel").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        FeedControl control;
        std::string err;
        ASSERT_TRUE(control.Open(sock, err)) << err;
        EXPECT_TRUE(control.Stop(kHangGuardMs));
        EXPECT_TRUE(SpinUntil([&] { return !w.Conv->Connected(); }));
        FILE* f = std::fopen((run + "/kestrel/RSS.log").c_str(), "r");
        ASSERT_NE(f, nullptr);
        char buf[4096] = {};
        size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        EXPECT_NE(std::string(buf, n).find("serving RSS"), std::string::npos);
        EXPECT_EQ(std::string(buf, n).find("serving RSS", 20), std::string::npos)
            << "started twice";
    }
    setenv("PATH", savedPath.c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("KESTREL_FEED_OPTIONS");
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // No test may start a real launcher by accident.
    setenv("PATH", "/nonexistent-kestrel-path", 1);
    return RUN_ALL_TESTS();
}
