// The kabu source's bridge, between the simulated kabuステーション API and a client of
// kestrel-feed --source kabu on this machine:
//  - the delay from a PUSH frame leaving the API's socket to the feed's notice arriving on
//    the client's socket, one frame at a time so nothing queues (median, p99, most);
//  - the frames a second the feed absorbs when they come as fast as the connection carries
//    them: from the first frame sent to the moment every issue reads its last volume;
//  - the delay from a frame that makes a sharp move to the monitor's event line: kestrel-watch,
//    the monitor without windows, follows the feed as a trader runs it, and each frame moves
//    one issue by 5 % up or down, one at a time (median, p99, most).
// The delay includes the WebSocket over loopback TCP, the JSON reading, the hand-over between
// the feed's two threads and the Unix socket: it is the whole way a frame takes in the feed.
//
//   bench_kabu [topics (30)] [rounds (2000)] [burst (50000)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>

#include "common/Codec.h"
#include "feedtests/FeedServerProcess.h"
#include "feedtests/WatchProcess.h"
#include "support/KabuSim.h"
#include "tracking/feed/FeedProtocol.h"
#include "tracking/feed/FeedSocket.h"

using Clock = std::chrono::steady_clock;
using kestrel::test::FeedServerProcess;
using kestrel::test::KabuSim;
using kestrel::test::KabuSimOptions;
using kestrel::test::KabuSimThread;
using kestrel::test::WatchProcess;
using namespace kestrel::feed;

namespace {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// A bare client of the feed: lines out, lines in, nothing in between.
class Raw {
public:
    bool Open(const std::string& path) {
        std::string error;
        Fd = ConnectOwnFeed(path, error);
        if (Fd < 0) std::fprintf(stderr, "bench_kabu: %s\n", error.c_str());
        return Fd >= 0;
    }
    ~Raw() {
        if (Fd >= 0) close(Fd);
    }
    void Send(const std::string& line) { WriteAll(Fd, line, 5000); }
    // The next line, or false after `ms` without one.
    bool Line(std::string& line, int ms) {
        for (;;) {
            if (Reader.Next(line) == LineReader::Result::Line) return true;
            if (!WaitFd(Fd, false, ms)) return false;
            char buf[65536];
            ssize_t n = read(Fd, buf, sizeof buf);
            if (n <= 0) return false;
            Reader.Append(buf, static_cast<size_t>(n));
        }
    }

private:
    int Fd = -1;
    LineReader Reader;
};

std::string Topic(int i) { return std::to_string(1000 + i) + ".T"; }

void WriteFile(const std::filesystem::path& p, const std::string& bytes) {
    if (FILE* f = std::fopen(p.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

// The next line of a pipe, or false after `ms` without one.
bool PipeLine(int fd, std::string& pending, std::string& line, int ms) {
    for (;;) {
        if (const size_t nl = pending.find('\n'); nl != std::string::npos) {
            line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return true;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        pending.append(buf, static_cast<size_t>(n));
    }
}

void PrintDelays(const char* what, std::vector<double> us, int topics) {
    std::sort(us.begin(), us.end());
    auto at = [&](double q) {
        return us[static_cast<size_t>(q * static_cast<double>(us.size() - 1))];
    };
    std::printf(
        "%s, %zu frames over %d issues: median %.0f us, p90 %.0f us, p99 %.0f us, most %.0f us\n",
        what, us.size(), topics, at(0.5), at(0.9), at(0.99), us.back());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int topics = argc > 1 ? std::atoi(argv[1]) : 30;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int burst = argc > 3 ? std::atoi(argv[3]) : 50000;

    KabuSimOptions o;
    o.ThinMs = 0;  // every trade a frame: the thinning is the API's, not the bridge's
    o.RatePerSecond = 100000;
    o.Cap = std::max(topics, 50);
    KabuSimThread sim(o);
    if (!sim.Listening()) return 1;
    sim.Run([&](KabuSim& s) {
        for (int i = 0; i < topics; ++i) s.AddIssue(std::to_string(1000 + i), "銘柄", 1000);
    });

    const std::string dir =
        std::filesystem::temp_directory_path() / ("kestrel-bench-kabu-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string sock = dir + "/RSS.sock";
    setenv("KABU_API_PASSWORD", o.Password.c_str(), 1);
    FeedServerProcess feed(
        sock, {"--source", "kabu", "--kabu-url", sim.Url(), "--kabu-cap", std::to_string(o.Cap)},
        dir + "/feed.log");
    if (!feed.Start()) {
        std::fprintf(stderr, "bench_kabu: kestrel-feed did not start\n%s", feed.Log().c_str());
        return 1;
    }
    Raw c;
    if (!c.Open(sock)) return 1;
    for (int i = 0; i < topics; ++i) {
        c.Send("CONN\t1\t" + Topic(i) + "\n");
        c.Send(FormatMessage(Verb::Adv, 2, {Topic(i), kestrel::Utf8ToCp932("出来高")}));
    }
    // Registered, every board read (the feed's start-up), the PUSH connection open.
    const auto ready = Clock::now() + std::chrono::seconds(60);
    auto settled = [&](KabuSim& s) {
        return s.PushOpens == 1 &&
               std::count_if(s.Requests.begin(), s.Requests.end(), [](const std::string& r) {
                   return r.rfind("GET /board/", 0) == 0;
               }) == topics;
    };
    while (!sim.Get<bool>(settled)) {
        if (Clock::now() > ready) {
            std::fprintf(stderr, "bench_kabu: the feed did not settle\n%s", feed.Log().c_str());
            return 1;
        }
        std::string line;
        c.Line(line, 10);
    }
    std::string line;
    while (c.Line(line, 200)) {
    }

    // The delay, one frame at a time.
    std::map<int, int64_t> volume;
    int64_t sentNs = 0;
    sim.Run([&](KabuSim& s) { s.OnPush = [&](const std::string&, int64_t) { sentNs = NowNs(); }; });
    std::vector<double> us;
    for (int r = 0; r < rounds; ++r) {
        const int i = r % topics;
        volume[i] += 100;
        sim.Run([&](KabuSim& s) { s.Trade(std::to_string(1000 + i), 1000 + r % 7, volume[i]); });
        const std::string want = "NOTE\t" + Topic(i) + "\t";
        bool got = false;
        while (!got && c.Line(line, 5000)) got = line.rfind(want, 0) == 0;
        if (!got) {
            std::fprintf(stderr, "bench_kabu: no notice for %s\n", Topic(i).c_str());
            return 1;
        }
        us.push_back(static_cast<double>(NowNs() - sentNs) / 1000.0);
    }
    sim.Run([](KabuSim& s) { s.OnPush = nullptr; });
    PrintDelays("frame to notice", us, topics);

    // The frames a second, made beforehand and sent back to back.
    std::vector<QByteArray> frames;
    sim.Run([&](KabuSim& s) {
        s.Options().ThinMs = 1 << 30;  // the trades below make boards, not frames
        for (int f = 0; f < burst; ++f) {
            const int i = f % topics;
            volume[i] += 100;
            const std::string code = std::to_string(1000 + i);
            s.Trade(code, 1000 + f % 11, volume[i]);
            frames.push_back(s.Frame(code));
        }
    });
    const auto t0 = Clock::now();
    sim.Run([&](KabuSim& s) {
        for (const auto& f : frames) s.SendRaw(f);
    });
    const auto sent = Clock::now();
    // Absorbed once every issue reads its last volume; asked with a pause between questions,
    // so the asking does not slow what it measures.
    int id = 10;
    for (int i = 0; i < topics;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        c.Send("ALL\t" + std::to_string(++id) + "\t" + Topic(i) + "\n");
        const std::string want = "VALS\t" + std::to_string(id) + "\t";
        bool got = false;
        while (!got && c.Line(line, 5000)) got = line.rfind(want, 0) == 0;
        if (!got) {
            std::fprintf(stderr, "bench_kabu: no answer\n");
            return 1;
        }
        const std::string v = line.substr(want.size(), line.find('\t', want.size()) - want.size());
        if (std::atoll(v.c_str()) == volume[i]) ++i;
        if (Clock::now() - t0 > std::chrono::seconds(120)) {
            std::fprintf(stderr, "bench_kabu: the burst was never absorbed\n");
            return 1;
        }
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const double sending = std::chrono::duration<double>(sent - t0).count();
    std::printf(
        "burst of %d frames (%.1f MB): absorbed in %.3f s, %.0f frames/s "
        "(handing them to the socket took %.3f s)\n",
        burst, static_cast<double>(burst) * static_cast<double>(frames[0].size()) / 1e6, secs,
        burst / secs, sending);
    feed.Stop();

    // The monitor's event line: kestrel-watch over a feed of its own (the API takes one PUSH
    // connection), on the socket the monitor looks for in its runtime folder.
    const std::filesystem::path work = std::filesystem::path(dir) / "work";
    const std::string runtime = dir + "/xdg";
    std::filesystem::create_directories(work / "log");
    std::filesystem::create_directories(runtime);
    std::string error, watchList, master;
    if (!PrepareSocketDir(runtime + "/kestrel", error)) {
        std::fprintf(stderr, "bench_kabu: %s\n", error.c_str());
        return 1;
    }
    for (int i = 0; i < topics; ++i) {
        watchList += Topic(i) + "\r\n";
        master +=
            std::to_string(1000 + i) + ",\"" + kestrel::Utf8ToCp932("銘柄") + "\",100,,,,\r\n";
    }
    WriteFile(work / "監視銘柄.txt", watchList);
    WriteFile(work / "銘柄情報.txt", master);
    std::filesystem::copy_file(std::filesystem::path(KESTREL_DEMO_DIR) / "株式売買値幅.txt",
                               work / "株式売買値幅.txt");
    WriteFile(work / "KESTREL.INI", "[DEBUG]\r\nflg=0\r\n[PARA]\r\nrate=2.0\r\ntime=2\r\n");
    const int boardsBefore = sim.Get<int>([](KabuSim& s) {
        return static_cast<int>(
            std::count_if(s.Requests.begin(), s.Requests.end(),
                          [](const std::string& r) { return r.rfind("GET /board/", 0) == 0; }));
    });
    FeedServerProcess live(
        runtime + "/kestrel/RSS.sock",
        {"--source", "kabu", "--kabu-url", sim.Url(), "--kabu-cap", std::to_string(o.Cap)},
        dir + "/live-feed.log");
    if (!live.Start()) {
        std::fprintf(stderr, "bench_kabu: kestrel-feed did not start\n%s", live.Log().c_str());
        return 1;
    }
    WatchProcess watch;
    if (!watch.Start(KESTREL_WATCH, {work.string(), "--fresh"}, runtime, "", dir + "/watch.log")) {
        std::fprintf(stderr, "bench_kabu: kestrel-watch did not start\n");
        return 1;
    }
    const auto linked = Clock::now() + std::chrono::seconds(60);
    while (!sim.Get<bool>([&](KabuSim& s) {
        return s.PushOpens == 2 &&
               std::count_if(s.Requests.begin(), s.Requests.end(), [](const std::string& r) {
                   return r.rfind("GET /board/", 0) == 0;
               }) == boardsBefore + topics;
    })) {
        if (Clock::now() > linked || watch.Ended()) {
            std::fprintf(stderr, "bench_kabu: the monitor's links did not settle\n%s",
                         live.Log().c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Every trade a frame again (the burst above made boards only), and every issue's first
    // stored point at 1000 yen: no move yet.
    sim.Run([](KabuSim& s) { s.Options().ThinMs = 0; });
    for (int i = 0; i < topics; ++i) {
        volume[i] += 100;
        sim.Run([&](KabuSim& s) { s.Trade(std::to_string(1000 + i), 1000, volume[i]); });
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::string pending;
    sim.Run([&](KabuSim& s) { s.OnPush = [&](const std::string&, int64_t) { sentNs = NowNs(); }; });
    std::vector<double> toEvent;
    const int moves = std::min(rounds, 1000);
    for (int r = 0; r < moves; ++r) {
        const int i = r % topics;
        const bool up = (r / topics) % 2 == 0;
        volume[i] += 100;
        sim.Run(
            [&](KabuSim& s) { s.Trade(std::to_string(1000 + i), up ? 1050 : 1000, volume[i]); });
        const std::string want = " " + Topic(i) + ":";
        bool got = false;
        while (!got && PipeLine(watch.OutFd(), pending, line, 5000))
            got = line.find(want) != std::string::npos;
        if (!got) {
            std::fprintf(stderr, "bench_kabu: no event line for %s\n", Topic(i).c_str());
            return 1;
        }
        toEvent.push_back(static_cast<double>(NowNs() - sentNs) / 1000.0);
    }
    sim.Run([](KabuSim& s) { s.OnPush = nullptr; });
    PrintDelays("frame to the monitor's event line (kestrel-watch)", toEvent, topics);
    watch.EndInput();
    for (int i = 0; i < 500 && !watch.Ended(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    live.Stop();
    std::filesystem::remove_all(dir);
    return 0;
}
