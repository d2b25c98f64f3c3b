// A recorded live day, end to end: kestrel-feed simulates a market and records it while the
// console monitor kestrel-watch follows it over the socket, and kestrel-backtest over the recorded
// folder prints the very event lines the monitor printed live and writes the same lists. The
// recording holds every change served, in order; a feed killed while it writes leaves a folder
// that replays; the monitor's input lines and a signal work as on Windows.
//
// Between kestrel-watch and the feed sits a relay of this test: it passes every byte on and
// watches the conversation, so the test steps the feed only once the monitor has read the last
// change. The live run then takes every change, as the replay does, however busy the machine.
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/Codec.h"
#include "common/CommaText.h"
#include "common/TextFile.h"
#include "common/TimeOfDay.h"
#include "feedtests/FeedServerProcess.h"
#include "feedtests/WatchProcess.h"
#include "support/TempDir.h"
#include "tracking/feed/FeedProtocol.h"
#include "tracking/feed/FeedSocket.h"

extern char** environ;

using kestrel::feed::FeedControl;
using kestrel::feed::LineReader;
using kestrel::feed::Message;
using kestrel::feed::Verb;
using kestrel::test::FeedServerProcess;
using kestrel::test::TempDir;
using kestrel::test::WatchProcess;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int kIssues = 30;
constexpr const char* kDay = "20261207";
// Far above any run, sanitizers and a loaded machine included: only a guard against a hang.
constexpr int kGuardMs = 60'000;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The relay between the monitor and the feed: every byte passed on unchanged, the messages
// counted, and the quote of each snapshot the monitor read kept.
class Relay {
public:
    explicit Relay(std::string feedSocket) : FeedSocket(std::move(feedSocket)) {}
    ~Relay() {
        for (auto& p : Pairs) {
            if (p->Watch >= 0) close(p->Watch);
            if (p->Feed >= 0) close(p->Feed);
        }
        if (ListenFd >= 0) close(ListenFd);
    }

    bool Listen(const std::string& path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) return false;
        path.copy(addr.sun_path, path.size());
        ListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return ListenFd >= 0 &&
               bind(ListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
               listen(ListenFd, 8) == 0;
    }

    // Passes bytes on until `done` holds; false when the guard ran out first.
    bool PumpUntil(const std::function<bool()>& done, int ms = kGuardMs) {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (SteadyClock::now() > deadline) return false;
            PumpOnce(10);
        }
        return true;
    }

    int Conns = 0, Advs = 0, Notes = 0, Alls = 0, Answered = 0;
    // time, code, price, volume of every snapshot answered, in order.
    std::vector<std::array<std::string, 4>> Served;
    // Reference figures as served, by code: margin class, previous close, open, loan ratio,
    // year-to-date high.
    std::map<std::string, std::array<std::string, 5>> Figures;

private:
    struct Pair {
        int Watch = -1, Feed = -1;
        LineReader FromWatch, FromFeed;
        std::map<uint32_t, std::string> AllTopics;  // ALL requests not yet answered
    };

    void PumpOnce(int timeoutMs) {
        std::vector<pollfd> fds{{ListenFd, POLLIN, 0}};
        for (auto& p : Pairs) {
            fds.push_back({p->Watch, POLLIN, 0});
            fds.push_back({p->Feed, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), timeoutMs) <= 0) return;
        for (size_t i = 0; i < Pairs.size(); ++i) {
            Pair& p = *Pairs[i];
            if (p.Watch < 0) continue;
            if (fds[1 + 2 * i].revents) Move(p, true);
            if (p.Watch >= 0 && fds[2 + 2 * i].revents) Move(p, false);
        }
        if (fds[0].revents & POLLIN) {
            auto p = std::make_unique<Pair>();
            p->Watch = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            std::string error;
            p->Feed = kestrel::feed::ConnectUnix(FeedSocket, error);
            if (p->Watch >= 0 && p->Feed >= 0) Pairs.push_back(std::move(p));
        }
    }

    void Move(Pair& p, bool fromWatch) {
        char buf[65536];
        const int from = fromWatch ? p.Watch : p.Feed, to = fromWatch ? p.Feed : p.Watch;
        ssize_t n = read(from, buf, sizeof buf);
        if (n <= 0 ||
            !kestrel::feed::WriteAll(to, std::string(buf, static_cast<size_t>(n)), kGuardMs)) {
            close(p.Watch);
            close(p.Feed);
            p.Watch = p.Feed = -1;
            return;
        }
        LineReader& reader = fromWatch ? p.FromWatch : p.FromFeed;
        reader.Append(buf, static_cast<size_t>(n));
        std::string line, error;
        while (reader.Next(line) == LineReader::Result::Line) {
            Message m;
            if (!kestrel::feed::ParseMessage(line, m, error)) continue;
            if (m.Kind == Verb::Conn) ++Conns;
            if (m.Kind == Verb::Adv) ++Advs;
            if (m.Kind == Verb::Note) ++Notes;
            if (m.Kind == Verb::All) {
                ++Alls;
                p.AllTopics[m.Id] = kestrel::Cp932ToUtf8(m.Args.at(0));
            }
            if (m.Kind == Verb::Vals && p.AllTopics.count(m.Id)) {
                const std::string code = kestrel::FirstChars(p.AllTopics[m.Id], 4);
                p.AllTopics.erase(m.Id);
                std::vector<std::string> v;
                for (const auto& a : m.Args) v.push_back(kestrel::Cp932ToUtf8(a));
                v.resize(11);
                ++Answered;
                // The items in the wire's order: volume, price, time, ..., margin class (6),
                // previous close, open, year-to-date high, loan ratio.
                Served.push_back({v[2], code, v[1], v[0]});
                Figures[code] = {v[6], v[7], v[8], v[10], v[9]};
            }
        }
    }

    std::string FeedSocket;
    int ListenFd = -1;
    std::vector<std::unique_ptr<Pair>> Pairs;
};

std::string Slurp(const std::string& path) {
    std::string bytes;
    kestrel::ReadFileBytes(path, bytes);
    return bytes;
}

std::string RunBacktest(const std::string& dir, const std::string& outDir) {
    std::string cmd = std::string(KESTREL_BACKTEST) + " '" + dir + "' --date " + kDay + " --out '" +
                      outDir + "' 2>'" + outDir + "/backtest.log'";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        EXPECT_EQ(pclose(p), 0) << cmd << "\n" << Slurp(outDir + "/backtest.log");
    }
    return out;
}

// The monitor's working folder for the simulated market: every simulated issue watched, their
// names in the master list (as the feed serves them), live mode.
void MakeWorkingFolder(const TempDir& dir) {
    std::string watch, master;
    for (int i = 0; i < kIssues; ++i) {
        const std::string code = std::to_string(1000 + i);
        watch += code + ".T\r\n";
        master += code + ",\"模擬" + code + "\",100,,信用,,東証\r\n";
    }
    dir.WriteCp932("監視銘柄.txt", watch);
    dir.WriteCp932("銘柄情報.txt", master);
    fs::copy_file(fs::path(KESTREL_DEMO_DIR) / "株式売買値幅.txt", dir.File("株式売買値幅.txt"));
    dir.WriteCp932("KESTREL.INI", "[DEBUG]\r\nflg=0\r\n\r\n[PARA]\r\nrate=2.0\r\ntime=2\r\n");
    fs::create_directory(dir.File("log"));
}

std::vector<std::string> FeedOptions(const TempDir& work, const std::string& rec,
                                     std::vector<std::string> more) {
    std::vector<std::string> o = {
        "--simulate", std::to_string(kIssues), "--record", rec, "--record-from",
        work.Path(),  "--record-date",         kDay};
    o.insert(o.end(), more.begin(), more.end());
    return o;
}

std::vector<std::vector<std::string>> Columns(const std::string& path) {
    std::vector<std::string> lines;
    kestrel::ReadLines(path, lines);
    std::vector<std::vector<std::string>> out;
    for (const auto& l : lines) out.push_back(kestrel::SplitCommaText(l));
    return out;
}

// Every line of a recorded kabu.txt whole: CR LF after each, four columns, a time that reads.
void ExpectWholeLines(const std::string& path, size_t atLeast) {
    const std::string bytes = Slurp(path);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    const auto rows = Columns(path);
    EXPECT_GE(rows.size(), atLeast);
    size_t crlf = 0;
    for (size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at + 2))
        ++crlf;
    EXPECT_EQ(crlf, rows.size()) << "a line end other than CR LF";
    for (const auto& r : rows) {
        ASSERT_EQ(r.size(), 4u) << kestrel::JoinCommaText(r);
        EXPECT_TRUE(kestrel::ParseTimeMs(r[0])) << kestrel::JoinCommaText(r);
    }
}

// Steps the feed one change at a time, the next once the monitor has read this one: every
// simulated issue is watched, so each change is one snapshot read through the relay.
void StepInLockstep(FeedControl& stepper, Relay& relay, int steps) {
    const int answered = relay.Answered;
    for (int i = 0; i < steps; ++i) {
        int delivered = 0;
        ASSERT_TRUE(stepper.Step(1, delivered, kGuardMs)) << stepper.LastError;
        ASSERT_EQ(delivered, 1);
        ASSERT_TRUE(relay.PumpUntil([&] { return relay.Answered > answered + i; })) << "step " << i;
    }
}

}  // namespace

TEST(RecordedDay, BacktestOfTheRecordingPrintsTheLiveEventLines) {
    TempDir work, run, btOut;
    MakeWorkingFolder(work);
    const std::string rec = run.File("days"), day = rec + "/" + kDay;
    const std::string feedSock = run.File("feed.sock"), runtime = run.File("xdg");
    FeedServerProcess feed(feedSock, FeedOptions(work, rec, {"--manual", "--rate", "5"}),
                           run.File("feed.log"));
    ASSERT_TRUE(feed.Start()) << feed.Log();
    std::string error;
    fs::create_directory(runtime);
    ASSERT_TRUE(kestrel::feed::PrepareSocketDir(runtime + "/kestrel", error)) << error;
    Relay relay(feedSock);
    ASSERT_TRUE(relay.Listen(runtime + "/kestrel/RSS.sock"));

    WatchProcess watch;
    const std::string events = run.File("events.txt"), watchLog = run.File("watch.log");
    ASSERT_TRUE(
        watch.Start(KESTREL_WATCH, {work.Path(), "--date", kDay}, runtime, events, watchLog));
    ASSERT_TRUE(relay.PumpUntil([&] {
        return Contains(Slurp(watchLog), "links open") || watch.Ended();
    }) && !watch.Ended())
        << Slurp(watchLog);
    EXPECT_TRUE(Contains(Slurp(watchLog), "30 of 30 links open")) << Slurp(watchLog);
    EXPECT_EQ(relay.Advs, kIssues);

    FeedControl stepper;
    ASSERT_TRUE(stepper.Open(feedSock, error)) << error;
    constexpr int kSteps = 2500;
    StepInLockstep(stepper, relay, kSteps);
    // The day ends: the monitor writes its lists and ends, then the feed.
    watch.EndInput();
    ASSERT_TRUE(relay.PumpUntil([&] { return watch.Ended(); })) << Slurp(watchLog);
    EXPECT_EQ(watch.Status, 0) << Slurp(watchLog);
    stepper.Close();
    EXPECT_EQ(feed.Stop(), 0) << feed.Log();
    EXPECT_EQ(relay.Notes, kSteps) << "every simulated issue is watched";
    EXPECT_EQ(relay.Alls, kSteps);

    // The recording holds every change served, in order, as the monitor read it.
    const auto kabu = Columns(day + "/kabu.txt");
    ASSERT_EQ(kabu.size(), relay.Served.size());
    for (size_t i = 0; i < kabu.size(); ++i) {
        const auto& s = relay.Served[i];
        ASSERT_EQ(kabu[i], std::vector<std::string>(s.begin(), s.end())) << "line " << i + 1;
    }
    ExpectWholeLines(day + "/kabu.txt", kSteps);
    // One std.csv line per issue, with the figures served.
    const auto base = Columns(day + "/std.csv");
    EXPECT_EQ(base.size(), static_cast<size_t>(kIssues));
    for (const auto& row : base) {
        ASSERT_EQ(row.size(), 7u);
        ASSERT_TRUE(relay.Figures.count(row[0])) << row[0];
        const auto& f = relay.Figures[row[0]];
        EXPECT_EQ((std::array<std::string, 5>{row[1], row[2], row[3], row[5], row[6]}), f)
            << row[0];
    }

    // The backtest over the recorded folder, as it is: the same event lines, the same lists.
    const std::string live = Slurp(events);
    EXPECT_GT(std::count(live.begin(), live.end(), '\n'), 10) << "a day with sharp moves";
    EXPECT_EQ(RunBacktest(day, btOut.Path()), live);
    for (const char* name : {"20261207_Asc.txt", "20261207_Dsc.txt"}) {
        const std::string watched = Slurp(work.File(std::string("log/") + name));
        EXPECT_FALSE(watched.empty()) << name;
        EXPECT_EQ(Slurp(btOut.File(name)), watched) << name;
    }
}

TEST(RecordedDay, AFeedKilledWhileRecordingLeavesAFolderThatReplays) {
    TempDir work, run, btOut;
    MakeWorkingFolder(work);
    const std::string rec = run.File("days"), day = rec + "/" + kDay;
    const std::string sock = run.File("feed.sock"), kabu = day + "/kabu.txt";
    auto restart = [&](const std::vector<std::string>& more) {
        auto f = std::make_unique<FeedServerProcess>(sock, FeedOptions(work, rec, more),
                                                     run.File("feed.log"));
        EXPECT_TRUE(f->Start()) << f->Log();
        return f;
    };

    // Killed while it writes as fast as it can: wherever the kill fell, the next start leaves
    // whole lines only.
    auto feed = restart({"--rate", "100000"});
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kGuardMs);
    while (fs::exists(kabu) ? fs::file_size(kabu) < 200'000 : true) {
        ASSERT_LT(SteadyClock::now(), deadline) << feed->Log();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    feed->Kill();
    feed = restart({"--manual"});
    EXPECT_EQ(feed->Stop(), 0);
    ExpectWholeLines(kabu, 1000);

    // Killed in the middle of a line (the torn line written by hand, where the kill would
    // leave it), then started again: the torn line is gone and the day goes on after it.
    const auto before = Columns(kabu);
    TempDir edit;
    edit.WriteBytes("kabu", Slurp(kabu) + "09:01:0");
    fs::copy_file(edit.File("kabu"), kabu, fs::copy_options::overwrite_existing);
    edit.WriteBytes("std", Slurp(day + "/std.csv") + "10");
    fs::copy_file(edit.File("std"), day + "/std.csv", fs::copy_options::overwrite_existing);
    feed = restart({"--manual", "--seed", "2"});
    FeedControl stepper;
    std::string error;
    ASSERT_TRUE(stepper.Open(sock, error)) << error;
    int delivered = 0;
    ASSERT_TRUE(stepper.Step(200, delivered, kGuardMs));
    EXPECT_EQ(delivered, 200);
    stepper.Close();
    EXPECT_EQ(feed->Stop(), 0);
    EXPECT_TRUE(Contains(feed->Log(), "kabu.txt: cut 7 bytes of a torn last line")) << feed->Log();
    EXPECT_TRUE(Contains(feed->Log(), "std.csv: cut 2 bytes of a torn last line")) << feed->Log();

    const auto after = Columns(kabu);
    ASSERT_EQ(after.size(), before.size() + 200);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    ExpectWholeLines(kabu, before.size() + 200);
    // The restart wrote no second line for an issue: the replay takes the first.
    const auto base = Columns(day + "/std.csv");
    EXPECT_EQ(base.size(), static_cast<size_t>(kIssues));
    for (const auto& row : base) EXPECT_EQ(row.size(), 7u);

    // And it replays, every line read.
    const std::string printed = RunBacktest(day, btOut.Path());
    const std::string log = Slurp(btOut.File("backtest.log"));
    EXPECT_TRUE(Contains(log, std::to_string(after.size()) + " lines read, 0 skipped")) << log;
    EXPECT_FALSE(printed.empty());
}

TEST(RecordedDay, WatchOnLinuxTakesItsInputLinesAndWritesItsListsOnASignal) {
    TempDir work, run;
    MakeWorkingFolder(work);
    const std::string feedSock = run.File("feed.sock"), runtime = run.File("xdg");
    FeedServerProcess feed(feedSock, {"--simulate", "30", "--manual"}, run.File("feed.log"));
    ASSERT_TRUE(feed.Start()) << feed.Log();
    std::string error;
    fs::create_directory(runtime);
    ASSERT_TRUE(kestrel::feed::PrepareSocketDir(runtime + "/kestrel", error)) << error;
    Relay relay(feedSock);
    ASSERT_TRUE(relay.Listen(runtime + "/kestrel/RSS.sock"));
    FeedControl stepper;
    ASSERT_TRUE(stepper.Open(feedSock, error)) << error;

    const std::string watchLog = run.File("watch.log");
    auto startWatch = [&](WatchProcess& w) {
        EXPECT_TRUE(w.Start(KESTREL_WATCH, {work.Path(), "--date", kDay}, runtime,
                            run.File("events.txt"), watchLog));
        EXPECT_TRUE(relay.PumpUntil([&] {
            return Contains(Slurp(watchLog), "links open") || w.Ended();
        }) && !w.Ended())
            << Slurp(watchLog);
    };
    {
        WatchProcess watch;
        startWatch(watch);
        StepInLockstep(stepper, relay, 1500);
        // The monitor's two repair commands: every item advised again, every link made anew.
        const int advs = relay.Advs, conns = relay.Conns;
        watch.Say("reset");
        EXPECT_TRUE(relay.PumpUntil([&] { return relay.Advs >= advs + kIssues; }));
        watch.Say("reconnect");
        EXPECT_TRUE(relay.PumpUntil([&] { return relay.Conns >= conns + kIssues; }));
        // SIGTERM ends it as the end of its input does: the lists are written.
        watch.Signal(SIGTERM);
        ASSERT_TRUE(relay.PumpUntil([&] { return watch.Ended(); })) << Slurp(watchLog);
        EXPECT_EQ(watch.Status, 0) << Slurp(watchLog);
    }
    const std::string asc = Slurp(work.File("log/20261207_Asc.txt"));
    EXPECT_FALSE(asc.empty()) << Slurp(watchLog);
    EXPECT_TRUE(fs::exists(work.File("log/20261207_Dsc.txt")));

    // A restart on the same day loads them and goes on; SIGINT writes them again.
    WatchProcess again;
    startWatch(again);
    EXPECT_TRUE(Contains(Slurp(watchLog), "はい")) << Slurp(watchLog);
    again.Signal(SIGINT);
    ASSERT_TRUE(relay.PumpUntil([&] { return again.Ended(); })) << Slurp(watchLog);
    EXPECT_EQ(again.Status, 0) << Slurp(watchLog);
    EXPECT_EQ(Slurp(work.File("log/20261207_Asc.txt")), asc);
    stepper.Close();
    EXPECT_EQ(feed.Stop(), 0);
}
