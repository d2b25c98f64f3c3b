// The quote feed on this machine: the round trip of one request, how long another client's
// request waits while a STEP of a million changes runs, and the changes per second that real
// trackers absorb end to end (notice, eleven requests, detection, two records) from a
// simulating kestrel-feed, for 100 and 4,000 topics.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>

#include <benchmark/benchmark.h>

#include "common/TextFile.h"
#include "feedtests/FeedServerProcess.h"
#include "refdata/LimitPriceRange.h"
#include "settings/Ini.h"
#include "tracking/Trkg.h"
#include "tracking/feed/FeedSocket.h"
#include "tracking/feed/SocketDdeConv.h"

using Clock = std::chrono::steady_clock;
using kestrel::test::FeedServerProcess;

namespace {

struct Scratch {
    std::string Dir;
    Scratch() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "kestrel-bench-XXXXXX").string();
        Dir = mkdtemp(tmpl.data()) ? tmpl : "/tmp";
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    std::string File(const std::string& name) const { return Dir + "/" + name; }
};

std::string Topic(int i) { return std::to_string(1000 + i) + ".T"; }

const std::vector<std::string> kItems = {"出来高",   "現在値",     "現在値時刻",   "出来高加重平均",
                                         "前日比率", "銘柄名称",   "信用貸借区分", "前日終値",
                                         "始値",     "年初来高値", "貸借倍率"};

void RequestRoundTrip(benchmark::State& state) {
    const int topics = static_cast<int>(state.range(0));
    Scratch tmp;
    std::string sock = tmp.File("RSS.sock");
    FeedServerProcess server(sock, {"--manual", "--simulate", std::to_string(topics)},
                             tmp.File("feed.log"));
    if (!server.Start()) {
        state.SkipWithError("kestrel-feed did not start");
        return;
    }
    auto make = MakeSocketConvFactory(sock);
    std::vector<std::unique_ptr<TDdeClientConv>> convs;
    for (int i = 0; i < topics; ++i) {
        convs.push_back(make());
        convs.back()->SetLink("RSS", Topic(i));
        convs.back()->OpenLink();
    }
    kestrel::feed::FeedControl control;
    std::string err;
    int delivered = 0;
    if (control.Open(sock, err)) control.Step(topics * 5, delivered);

    std::vector<double> us;
    size_t n = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        std::string v = convs[n % convs.size()]->RequestData(kItems[n % kItems.size()]);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        benchmark::DoNotOptimize(v);
        ++n;
    }
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        state.counters["median_us"] = us[us.size() / 2];
        state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    }
}

// The server does a long STEP a slice at a time so that the other clients are served
// meanwhile: the wait of their requests, with the time the whole step took beside it.
void LongStep(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Scratch tmp;
    std::string sock = tmp.File("RSS.sock");
    FeedServerProcess server(sock, {"--manual", "--simulate", "20", "--seed", "3"},
                             tmp.File("feed.log"));
    kestrel::feed::FeedControl stepper, other;
    std::string err;
    kestrel::feed::Message reply;
    if (!server.Start() || !stepper.Open(sock, err) || !other.Open(sock, err) ||
        !other.Call(kestrel::feed::Verb::Conn, {"1005.T"}, reply, 10'000)) {
        state.SkipWithError("kestrel-feed did not start");
        return;
    }
    std::vector<double> ms;
    double stepMs = 0;
    for (auto _ : state) {
        std::atomic<bool> stepping{true};
        auto t0 = Clock::now();
        std::thread t([&] {
            int delivered = 0;
            stepper.Step(count, delivered, 600'000);
            stepMs += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            stepping = false;
        });
        while (stepping) {
            auto start = Clock::now();
            bool ok = other.Call(kestrel::feed::Verb::Req, {"1005.T", "出来高"}, reply, 10'000);
            double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            if (!ok || !stepping) break;
            ms.push_back(took);
        }
        t.join();
    }
    std::sort(ms.begin(), ms.end());
    state.counters["step_ms"] = stepMs / static_cast<double>(state.iterations());
    state.counters["answered"] = static_cast<double>(ms.size());
    if (!ms.empty()) {
        state.counters["median_ms"] = ms[ms.size() / 2];
        state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
        state.counters["max_ms"] = ms.back();
    }
}

void ChangesAbsorbed(benchmark::State& state) {
    const int topics = static_cast<int>(state.range(0));
    SetFeedSnapshotOnNotice(state.range(1) != 0);
    Scratch tmp;
    std::string sock = tmp.File("RSS.sock");
    // The feed offers far more than any monitor takes; notices of one issue merge meanwhile.
    FeedServerProcess server(sock, {"--simulate", std::to_string(topics), "--rate", "20000"},
                             tmp.File("feed.log"));
    if (!server.Start()) {
        state.SkipWithError("kestrel-feed did not start");
        return;
    }
    kestrel::WriteLines(tmp.File("limits.txt"), {"0,100000,1000"});
    CIni ini(tmp.File("KESTREL.INI"));
    ini.Flg = 0;
    bool initDone = true;
    CMeigaraQueue qa('A'), qd('D');
    CLimitPriceRangeList limits(tmp.File("limits.txt"));
    CMeigaraInfoList master(tmp.File("none.txt"));
    size_t events = 0;
    CTrkgContext ctx;
    ctx.Rule = {ini.GetRate(), ini.GetSpan()};
    ctx.InitDone = &initDone;
    ctx.MasterList = &master;
    ctx.LimitList = &limits;
    ctx.QueueA = &qa;
    ctx.QueueD = &qd;
    ctx.EventLog = [&](const MoveEvent&) { ++events; };
    ctx.ShowMessage = [](const std::string&) {};
    ctx.ReportError = [](const std::string&) {};
    ctx.ConvFactory = MakeSocketConvFactory(sock);
    std::vector<std::unique_ptr<CTrkg>> trackers;
    for (int i = 0; i < topics; ++i) trackers.push_back(std::make_unique<CTrkg>(Topic(i), ctx));

    // The watcher threads' part: take the records off the queues.
    auto drain = [&] {
        size_t n = 0;
        while (qa.Pop()) ++n;
        while (qd.Pop()) {
        }
        return n;
    };
    drain();
    size_t changes = 0;
    double seconds = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        while (Clock::now() - t0 < std::chrono::seconds(1)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            changes += drain();
        }
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    state.counters["changes_per_s"] = seconds > 0 ? changes / seconds : 0;
    state.counters["event_lines"] = static_cast<double>(events);
    trackers.clear();
    SetFeedSnapshotOnNotice(true);
}

}  // namespace

BENCHMARK(RequestRoundTrip)->Arg(100)->Arg(4000)->Iterations(50000)->Unit(benchmark::kMicrosecond);
BENCHMARK(LongStep)->Arg(1'000'000)->Iterations(3)->Unit(benchmark::kMillisecond);
// Second argument: 1 reads a change's items in one round trip, 0 asks the server for each.
BENCHMARK(ChangesAbsorbed)
    ->ArgNames({"topics", "snapshot"})
    ->Args({100, 1})
    ->Args({4000, 1})
    ->Args({100, 0})
    ->Args({4000, 0})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
