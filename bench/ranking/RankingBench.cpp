// Merge + sort of one burst of 100,000 records into a list of 4,000 issues, and the producer's
// push rate while a watcher drains and another thread holds the list lock.
#include <benchmark/benchmark.h>

#include <atomic>
#include <random>
#include <thread>

#include "ranking/Watch.h"

static std::vector<std::unique_ptr<CMeigara>> Burst(int n, int codes, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::unique_ptr<CMeigara>> v;
    v.reserve(n);
    for (int i = 0; i < n; ++i) {
        auto r = std::make_unique<CMeigara>(std::to_string(1000 + rng() % codes) + ".T",
                                            rng() % 3 == 0 ? 'A' : 'U');
        r->Time = (i / 100) / 1440.0;
        r->MoveRatio = (rng() % 500) / 100.0;
        v.push_back(std::move(r));
    }
    return v;
}

static void BM_MergeAndSortBurst(benchmark::State& state) {
    CMeigaraList list('A');
    for (auto& r : Burst(4000, 4000, 1)) {
        r->Action = 'A';
        TWatch::Merge(list, std::move(r));
    }
    for (auto _ : state) {
        state.PauseTiming();
        auto burst = Burst(100000, 4000, 2);
        state.ResumeTiming();
        auto g = list.Lock();
        for (auto& r : burst) TWatch::Merge(list, std::move(r));
        list.Sort();
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_MergeAndSortBurst)->Unit(benchmark::kMillisecond);

static void BM_PushWhileDrainingAndLocked(benchmark::State& state) {
    CRankingChannel ch('A');
    ch.Start();
    std::atomic<bool> stop{false};
    std::thread holder([&] {
        while (!stop) {
            auto g = ch.List.Lock();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    for (auto _ : state) ch.Queue.Push(std::make_unique<CMeigara>("1234.T", 'A'));
    state.SetItemsProcessed(state.iterations());
    stop = true;
    holder.join();
}
BENCHMARK(BM_PushWhileDrainingAndLocked);

BENCHMARK_MAIN();
