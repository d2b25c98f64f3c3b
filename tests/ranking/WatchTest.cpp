#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "TimeOfDay.h"
#include "Watch.h"

using namespace std::chrono;

namespace {
void WaitDrained(CMeigaraQueue& q) {
    auto until = steady_clock::now() + seconds(60);
    while (q.Count() > 0 && steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(2));
}
}  // namespace

TEST(Watch, StopRequestToAnIdleWatcherEndsItPromptly) {
    CRankingChannel ch('A');
    ch.Start();
    std::this_thread::sleep_for(milliseconds(30));
    auto t0 = steady_clock::now();
    ch.Stop();
    auto took = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    EXPECT_LT(took, 500);
}

TEST(Watch, AnErrorInsideABurstKeepsWhatWasMergedAndTheWatcherGoesOn) {
    CRankingChannel ch('A');
    std::atomic<int> seen{0};
    ch.Watch = std::make_unique<TWatch>(TThreadPriority::tpLower, ch.List, ch.Queue,
                                        [&](const CMeigara& r) {
                                            ++seen;
                                            if (r.Code == "BAD") throw std::runtime_error("boom");
                                        });
    {
        // Hold the list so the three records arrive in one burst.
        auto hold = ch.List.Lock();
        ch.Queue.Push(std::make_unique<CMeigara>("1111", 'A'));
        ch.Queue.Push(std::make_unique<CMeigara>("BAD", 'A'));
        ch.Queue.Push(std::make_unique<CMeigara>("2222", 'A'));
        std::this_thread::sleep_for(milliseconds(30));
    }
    WaitDrained(ch.Queue);
    auto until = steady_clock::now() + seconds(10);
    while (ch.List.Count() < 2 && steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(5));
    ch.Stop();
    EXPECT_EQ(ch.List.Count(), 2);
    EXPECT_EQ(ch.List.IndexOfCode(CMeigara("BAD", 'A')), -1);
    EXPECT_EQ(seen.load(), 3);
    {
        // The lock was released: another thread can take it.
        std::thread other([&] { auto g = ch.List.Lock(); });
        other.join();
    }
}

// One producer pushes a million records over 4,000 codes into each queue while both watchers
// run and a reader keeps taking the list lock. Every issue that had an 'A' must end up listed
// once, with the figures of its last record.
TEST(Watch, StressManyRecordsWhileAReaderHoldsTheLock) {
    constexpr int kCodes = 4000;
    constexpr int kRecords = 1'000'000;
    CRankingChannel up('A'), down('D');
    up.Start();
    down.Start();
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            auto g = up.List.Lock();
            long sum = 0;
            for (auto& e : *g) sum += e->Price;
            reads += sum >= 0 ? 1 : 0;
            auto h = down.List.Lock();
            reads += 1 + static_cast<long>(h->size() / 1000000);
        }
    });
    struct Last {
        int price = -1;
        bool hadA = false;
        double time = 0;
        double firstA = -1;
    };
    std::vector<Last> lastUp(kCodes), lastDown(kCodes);
    std::mt19937 rng(42);
    for (int i = 0; i < kRecords; ++i) {
        int c = static_cast<int>(rng() % kCodes);
        std::string code = std::to_string(1000 + c) + ".T";
        for (int dir = 0; dir < 2; ++dir) {
            char action = rng() % 7 == 0 ? 'A' : 'U';
            auto r = std::make_unique<CMeigara>(code, action);
            r->Price = i;
            r->Time = kestrel::MsToDays(int64_t{i} * 10);
            r->MoveRatio = dir == 0 ? 1.0 : -1.0;
            Last& l = (dir == 0 ? lastUp : lastDown)[c];
            if (action == 'A') l.hadA = true;
            if (l.hadA) {
                l.price = i;
                if (action == 'A') l.time = r->Time;
            }
            (dir == 0 ? up.Queue : down.Queue).Push(std::move(r));
        }
    }
    WaitDrained(up.Queue);
    WaitDrained(down.Queue);
    std::this_thread::sleep_for(milliseconds(50));
    done = true;
    reader.join();
    up.Stop();
    down.Stop();
    for (int dir = 0; dir < 2; ++dir) {
        CMeigaraList& list = dir == 0 ? up.List : down.List;
        auto& last = dir == 0 ? lastUp : lastDown;
        int expected = 0;
        for (auto& l : last) expected += l.hadA;
        auto g = list.Lock();
        ASSERT_EQ(static_cast<int>(g->size()), expected);
        std::vector<int> seen(kCodes, 0);
        for (auto& e : *g) {
            int c = std::stoi(e->Code.substr(0, 4)) - 1000;
            ++seen[c];
            EXPECT_EQ(e->Price, last[c].price) << e->Code;
            EXPECT_EQ(e->Time, last[c].time) << e->Code;
        }
        for (int c = 0; c < kCodes; ++c) EXPECT_EQ(seen[c], last[c].hadA ? 1 : 0);
        // The list is in its order after the last burst.
        for (size_t i = 1; i < g->size(); ++i)
            EXPECT_FALSE((dir == 0 ? CompareAsc : CompareDsc)(*(*g)[i], *(*g)[i - 1]));
    }
    EXPECT_GT(reads.load(), 0);
}
