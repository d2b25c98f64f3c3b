#pragma once
// A first-in first-out queue of owned objects between one producer and one consumer thread.
// Push, Pop and PopAll hold the queue's lock for that one operation only; Count takes no lock.
// The consumer can sleep until objects arrive; closing the queue wakes it for the last time.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

template <typename T>
class TThreadQueue {
public:
    TThreadQueue() = default;
    TThreadQueue(const TThreadQueue&) = delete;
    TThreadQueue& operator=(const TThreadQueue&) = delete;
    // Objects still queued are freed here, not delivered to anyone.
    ~TThreadQueue() = default;

    // Takes ownership; returns the object pushed.
    T* Push(std::unique_ptr<T> item) {
        T* raw = item.get();
        std::lock_guard<std::mutex> guard(Lock);
        Items.push_back(std::move(item));
        Size.store(Items.size(), std::memory_order_release);
        WakeConsumer();
        return raw;
    }

    // For the producer only: keeps an object back to be pushed with others by PushHeld, in one
    // take of the lock. Held objects are not queued yet: Count does not see them.
    void Hold(std::unique_ptr<T> item) { Held.push_back(std::move(item)); }
    void PushHeld() {
        if (Held.empty()) return;
        {
            std::lock_guard<std::mutex> guard(Lock);
            for (auto& item : Held) Items.push_back(std::move(item));
            Size.store(Items.size(), std::memory_order_release);
            WakeConsumer();
        }
        Held.clear();
    }

    // The oldest object, now owned by the caller; empty when the queue is empty.
    std::unique_ptr<T> Pop() {
        std::lock_guard<std::mutex> guard(Lock);
        if (Items.empty()) return nullptr;
        std::unique_ptr<T> item = std::move(Items.front());
        Items.pop_front();
        Size.store(Items.size(), std::memory_order_release);
        return item;
    }

    // Every queued object, oldest first, now owned by the caller: one lock for a whole burst.
    std::deque<std::unique_ptr<T>> PopAll() {
        std::deque<std::unique_ptr<T>> all;
        std::lock_guard<std::mutex> guard(Lock);
        all.swap(Items);
        Size.store(0, std::memory_order_release);
        return all;
    }

    size_t Count() const { return Size.load(std::memory_order_acquire); }

    // Tells the consumer that nothing more is coming: it takes what is queued and ends. Objects
    // pushed afterwards are still queued, but no consumer is bound to take them.
    void Close() {
        std::lock_guard<std::mutex> guard(Lock);
        Closed = true;
        Changed.notify_all();
    }
    // For a new consumer of a closed queue.
    void Reopen() {
        std::lock_guard<std::mutex> guard(Lock);
        Closed = false;
    }

    // For the consumer: sleeps until something is queued or the queue is closed. False when
    // it is closed and empty: the consumer's work is done.
    bool WaitForItems() {
        std::unique_lock<std::mutex> lock(Lock);
        while (Items.empty() && !Closed) {
            ConsumerWaiting = true;
            Changed.wait(lock);
        }
        ConsumerWaiting = false;
        return !Items.empty();
    }

    // For the consumer: sleeps for `pause` while objects gather, or less if the queue is closed
    // meanwhile. True when it is closed.
    bool WaitForClose(std::chrono::milliseconds pause) {
        std::unique_lock<std::mutex> lock(Lock);
        return Changed.wait_for(lock, pause, [this] { return Closed; });
    }

    // Objects the consumer is done with, handed back (empty entries are passed over) for the
    // producer to reuse: a steady stream then needs no allocation, and nothing allocated by one
    // thread is freed by the other.
    void GiveBack(std::deque<std::unique_ptr<T>>& spent) {
        std::lock_guard<std::mutex> guard(Lock);
        for (auto& item : spent)
            if (item) Spares.push_back(std::move(item));
        spent.clear();
    }

    // For the producer only: an object handed back, to be overwritten; empty when none is left.
    std::unique_ptr<T> TakeSpare() {
        if (ProducerNext == ProducerSpares.size()) {
            ProducerSpares.clear();
            ProducerNext = 0;
            std::lock_guard<std::mutex> guard(Lock);
            ProducerSpares.swap(Spares);
        }
        if (ProducerNext == ProducerSpares.size()) return nullptr;
        std::unique_ptr<T> item = std::move(ProducerSpares[ProducerNext++]);
        // The coming ones were last written by the consumer's thread: start bringing one over
        // a few takes ahead, so it is here when its turn comes.
        // The pointers themselves, written there by the consumer, are fetched further ahead.
        constexpr size_t kAhead = 4, kPointersAhead = 16;
        if (ProducerNext + kPointersAhead < ProducerSpares.size())
            __builtin_prefetch(&ProducerSpares[ProducerNext + kPointersAhead]);
        if (ProducerNext + kAhead < ProducerSpares.size()) {
            const char* next =
                reinterpret_cast<const char*>(ProducerSpares[ProducerNext + kAhead].get());
            for (size_t at = 0; at < sizeof(T); at += 64) __builtin_prefetch(next + at, 1);
        }
        return item;
    }

private:
    // Called with Lock held, so a consumer about to sleep has either seen the new objects or
    // is already waiting when the notice goes out. Only a sleeping consumer is woken: a
    // steady stream does not pay for a notice per push.
    void WakeConsumer() {
        if (!ConsumerWaiting) return;
        ConsumerWaiting = false;
        Changed.notify_one();
    }

    std::mutex Lock;
    std::condition_variable Changed;         // objects arrived (to a waiting consumer), or closed
    std::deque<std::unique_ptr<T>> Items;    // guarded by Lock
    std::vector<std::unique_ptr<T>> Spares;  // guarded by Lock
    bool Closed = false;                     // guarded by Lock
    bool ConsumerWaiting = false;            // guarded by Lock: the consumer sleeps in WaitForItems
    // The producer's own, taken from Spares in one piece; those before ProducerNext are taken.
    std::vector<std::unique_ptr<T>> ProducerSpares;
    size_t ProducerNext = 0;
    std::vector<std::unique_ptr<T>> Held;  // the producer's, not yet pushed
    std::atomic<size_t> Size{0};
};
