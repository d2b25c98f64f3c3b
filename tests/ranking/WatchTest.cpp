#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <new>
#include <random>
#include <thread>

#include "common/TimeOfDay.h"
#include "ranking/Watch.h"

using namespace std::chrono;

namespace {
// Running out of memory on demand: the next allocation of at least this many bytes made on the
// thread that set it fails with std::bad_alloc (0: none fails).
thread_local size_t FailAllocationOf = 0;
}  // namespace

// Not inlined, so the compiler does not mistake the free below for one of memory from new.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (FailAllocationOf != 0 && size >= FailAllocationOf) {
        FailAllocationOf = 0;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {
void WaitDrained(CMeigaraQueue& q) {
    auto until = steady_clock::now() + seconds(60);
    while (q.Count() > 0 && steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(2));
}
}  // namespace

// An idle watcher sleeps until woken, with no time-out of its own: unless the stop wakes it,
// it never ends. The wait below only guards against that hang.
TEST(Watch, StopRequestToAnIdleWatcherEndsItPromptly) {
    CRankingChannel ch('A');
    ch.Start();
    std::this_thread::sleep_for(milliseconds(30));
    auto stopped = std::async(std::launch::async, [&] { ch.Stop(); });
    ASSERT_EQ(stopped.wait_for(seconds(120)), std::future_status::ready)
        << "the stop did not wake the idle watcher";
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
    auto until = steady_clock::now() + seconds(120);  // a hang guard
    while (ch.List.Count() < 2 && steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(5));
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

// A record's last figures as the list must show them.
struct Expected {
    bool Listed = false;
    int Price = 0;
    double Time = 0;
};

// The watcher is stopped while it is still working through tens of thousands of records (the
// merge is slowed down): every one of them is merged before the stop returns, the last figures
// of each issue are listed, and the list is in its order.
TEST(Watch, StopInTheMiddleOfABurstMergesEverythingQueuedAndSorts) {
    constexpr int kCodes = 3000;
    constexpr int kRecords = 30'000;
    CRankingChannel ch('D');
    std::atomic<int> merged{0};
    ch.Watch = std::make_unique<TWatch>(TThreadPriority::tpNormal, ch.List, ch.Queue,
                                        [&](const CMeigara&) {
                                            if (++merged % 64 == 0)
                                                std::this_thread::sleep_for(milliseconds(1));
                                        });
    std::vector<Expected> expected(kCodes);
    std::mt19937 rng(7);
    auto produce = [&](int i) {
        int c = static_cast<int>(rng() % kCodes);
        // Spent records come back for reuse while the watcher runs.
        std::unique_ptr<CMeigara> r = ch.Queue.TakeSpare();
        if (!r) r = std::make_unique<CMeigara>();
        *r = CMeigara(std::to_string(1000 + c), rng() % 5 == 0 ? 'A' : 'U');
        r->Price = i;
        r->Time = kestrel::MsToDays(static_cast<int64_t>(rng() % 3600) * 1000);
        r->MoveRatio = -static_cast<double>(rng() % 50) / 10;
        Expected& e = expected[static_cast<size_t>(c)];
        if (r->Action == 'A') {
            e.Listed = true;
            e.Time = r->Time;
        }
        if (e.Listed) e.Price = i;  // an update of an issue not listed is dropped
        return r;
    };
    int i = 0;
    for (; i < kRecords / 3; ++i) ch.Queue.Push(produce(i));
    auto until = steady_clock::now() + seconds(120);  // a hang guard
    while (merged.load() == 0 && steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(1));
    // The rest in batches, as a fast replay pushes them.
    for (; i < kRecords; ++i) {
        ch.Queue.Hold(produce(i));
        if (i % 100 == 0) ch.Queue.PushHeld();
    }
    ch.Queue.PushHeld();
    ch.Stop();

    EXPECT_EQ(merged.load(), kRecords);
    EXPECT_EQ(ch.Queue.Count(), 0u);
    auto g = ch.List.Lock();
    std::vector<int> seen(kCodes, 0);
    int stale = 0, missing = 0, outOfOrder = 0;
    for (auto& e : *g) {
        const size_t c = static_cast<size_t>(std::stoi(e->Code) - 1000);
        const Expected& x = expected[c];
        ++seen[c];
        stale += !x.Listed || e->Price != x.Price || e->Time != x.Time;
    }
    for (size_t c = 0; c < kCodes; ++c) missing += seen[c] != (expected[c].Listed ? 1 : 0);
    for (size_t k = 1; k < g->size(); ++k) outOfOrder += CompareDsc(*(*g)[k], *(*g)[k - 1]);
    EXPECT_EQ(stale, 0) << "entries without their last figures";
    EXPECT_EQ(missing, 0) << "issues missing or listed twice";
    EXPECT_EQ(outOfOrder, 0) << "entries out of order";
}

// Out of memory while a listed issue is updated: the merge fails, but the display can still
// take the list lock, and the next record of that issue is merged.
TEST(Watch, AMergeThatRunsOutOfMemoryLeavesTheListUnlocked) {
    CMeigaraList list('A');
    TWatch::Merge(list, std::make_unique<CMeigara>("1111", 'A'));
    auto big = std::make_unique<CMeigara>("1111", 'A');
    big->Name = std::string(300, 'x');  // copying it into the entry needs memory
    FailAllocationOf = 256;
    EXPECT_THROW(TWatch::Merge(list, std::move(big)), std::bad_alloc);
    FailAllocationOf = 0;

    std::promise<void> taken;
    std::future<void> tookIt = taken.get_future();
    std::thread display([&] {
        auto g = list.Lock();
        taken.set_value();
    });
    // A hang guard: a lock left held never lets the display take it.
    const bool unlocked = tookIt.wait_for(seconds(60)) == std::future_status::ready;
    if (!unlocked) list.UnlockList();  // what the failed merge kept, so this test can end
    display.join();
    EXPECT_TRUE(unlocked) << "the failed merge left the list locked";

    auto next = std::make_unique<CMeigara>("1111", 'U');
    next->Price = 1234;
    TWatch::Merge(list, std::move(next));
    auto g = list.Lock();
    ASSERT_EQ(g->size(), 1u);
    EXPECT_EQ((*g)[0]->Price, 1234);
}

// One record at a time, each waited for, so the consumer is asleep for nearly every push: a
// notice lost on the way would leave it asleep and the producer waiting in vain. Closing then
// lets the consumer take what is left, and tells it there is nothing more.
TEST(ThreadQueue, NoWakeUpIsLostAndCloseEndsTheConsumerAfterTheLastItem) {
    constexpr int kRounds = 20'000;
    TThreadQueue<int> q;
    std::atomic<int> taken{0};
    std::thread consumer([&] {
        while (q.WaitForItems())
            for (auto& item : q.PopAll()) taken.store(*item + 1, std::memory_order_release);
    });
    bool stuck = false;
    for (int i = 0; i < kRounds && !stuck; ++i) {
        if (i % 2) {
            q.Push(std::make_unique<int>(i));
        } else {
            q.Hold(std::make_unique<int>(i));
            q.PushHeld();
        }
        auto until = steady_clock::now() + seconds(120);  // a hang guard
        while (taken.load(std::memory_order_acquire) != i + 1 && !stuck) {
            stuck = steady_clock::now() > until;
            std::this_thread::yield();
        }
    }
    EXPECT_FALSE(stuck) << "the consumer slept through item " << taken.load();
    // Queued before the close: taken, then the consumer ends.
    q.Push(std::make_unique<int>(kRounds));
    q.Push(std::make_unique<int>(kRounds + 1));
    q.Close();
    consumer.join();
    EXPECT_EQ(taken.load(), kRounds + 2);
    EXPECT_EQ(q.Count(), 0u);
    EXPECT_FALSE(q.WaitForItems());
    EXPECT_TRUE(q.WaitForClose(milliseconds(0)));
}
