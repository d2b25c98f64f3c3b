// The kabu source's bridge, between the simulated kabuステーション API and a client of
// kestrel-feed --source kabu on this machine:
//  - the delay from a PUSH frame leaving the API's socket to the feed's notice arriving on
//    the client's socket, one frame at a time so nothing queues (median, p99, most);
//  - the frames a second the feed absorbs when they come as fast as the connection carries
//    them: from the first frame sent to the moment every issue reads its last volume.
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

#include <unistd.h>

#include <QCoreApplication>

#include "common/Codec.h"
#include "feedtests/FeedServerProcess.h"
#include "support/KabuSim.h"
#include "tracking/feed/FeedProtocol.h"
#include "tracking/feed/FeedSocket.h"

using Clock = std::chrono::steady_clock;
using kestrel::test::FeedServerProcess;
using kestrel::test::KabuSim;
using kestrel::test::KabuSimOptions;
using kestrel::test::KabuSimThread;
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
    std::sort(us.begin(), us.end());
    auto at = [&](double q) {
        return us[static_cast<size_t>(q * static_cast<double>(us.size() - 1))];
    };
    std::printf(
        "frame to notice, %d frames over %d issues: median %.0f us, p90 %.0f us, "
        "p99 %.0f us, most %.0f us\n",
        rounds, topics, at(0.5), at(0.9), at(0.99), us.back());

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
    std::filesystem::remove_all(dir);
    return 0;
}
