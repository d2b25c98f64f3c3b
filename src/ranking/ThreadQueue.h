#pragma once
// A first-in first-out queue of owned objects between one producer and one consumer thread.
// Push and Pop hold the queue's lock for that one operation only; Count takes no lock.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

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
        return raw;
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

    size_t Count() const { return Size.load(std::memory_order_acquire); }

private:
    std::mutex Lock;
    std::deque<std::unique_ptr<T>> Items;  // guarded by Lock
    std::atomic<size_t> Size{0};
};
