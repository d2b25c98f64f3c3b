#include "common/WaitableValue.h"

// The value is stored under the lock: a waiter that has looked at the old value still holds
// the lock until it sleeps, so the store and its notice cannot fall between the two.
// (std::atomic::wait is not used: without a futex, as on Windows with MinGW's library, its
// notice does not take the waiter's lock and can be lost, which left a replay hanging.)
void CWaitableValue::Store(int32_t value) {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Value.store(value, std::memory_order_release);
    }
    Changed.notify_all();
}

int32_t CWaitableValue::WaitWhileEquals(int32_t old) {
    int32_t now = Load();
    if (now != old) return now;
    std::unique_lock<std::mutex> lock(Lock);
    Changed.wait(lock, [&] { return (now = Value.load(std::memory_order_acquire)) != old; });
    return now;
}
