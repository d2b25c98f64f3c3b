#pragma once
// A 32-bit value that one thread publishes and another waits on, for hand-offs between a
// producer and a consumer thread. Reading it takes no lock; waiting and publishing meet under
// one mutex, so a change published between a waiter's look and its sleep still wakes it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CWaitableValue {
public:
    explicit CWaitableValue(int32_t value = 0) : Value(value) {}
    CWaitableValue(const CWaitableValue&) = delete;
    CWaitableValue& operator=(const CWaitableValue&) = delete;

    int32_t Load() const { return Value.load(std::memory_order_acquire); }
    // Sets the value and wakes every waiter.
    void Store(int32_t value);
    // Returns the value once it differs from `old` (at once when it already does).
    int32_t WaitWhileEquals(int32_t old);

private:
    std::atomic<int32_t> Value;
    std::mutex Lock;
    std::condition_variable Changed;  // waited on and notified under Lock
};
