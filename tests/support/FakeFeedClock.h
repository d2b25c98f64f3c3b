#pragma once
// The feed client on the tests' clock (FakeClock.h), for as long as this lives. A wait for a
// server ends at once with what the server has sent; with nothing sent, it waits for the server
// for real while the test says the server may still speak, and runs out its whole time on the
// clock (as one sleep) once the test says it has nothing more to say. So a time-out costs no
// real time, and a slow machine never turns an answer into a time-out. Sleeps move the clock.
#include <chrono>
#include <functional>

#include <poll.h>

#include <gtest/gtest.h>

#include "support/FakeClock.h"
#include "tracking/feed/SocketDdeConv.h"

namespace kestrel::test {

class FeedOnFakeClock : public IFeedClock {
public:
    // A wait for a server that neither answers nor is said to be silent fails the test after
    // this long: far beyond the slowest run under a sanitizer on a loaded machine.
    static constexpr int kHangGuardMs = 120'000;

    explicit FeedOnFakeClock(CFakeClock& fake) : Fake(fake) { SetFeedClock(this); }
    ~FeedOnFakeClock() override { SetFeedClock(nullptr); }
    FeedOnFakeClock(const FeedOnFakeClock&) = delete;
    FeedOnFakeClock& operator=(const FeedOnFakeClock&) = delete;

    // True once the server will send nothing more for what it was asked. Null: it may always
    // still speak, and no wait for it ever runs out its time.
    std::function<bool()> ServerDone;

    std::chrono::steady_clock::time_point Now() override {
        return std::chrono::steady_clock::time_point(std::chrono::milliseconds(Fake.NowMs));
    }
    int Poll(pollfd* fds, nfds_t count, int ms) override {
        using Machine = std::chrono::steady_clock;
        const auto guard = Machine::now() + std::chrono::milliseconds(kHangGuardMs);
        while (true) {
            // Asked first: whatever the server sent before it fell silent is readable by then.
            const bool done = ServerDone && ServerDone();
            int r = poll(fds, count, done || ms == 0 ? 0 : 10);
            if (r != 0 || ms == 0) return r;
            if (done) {
                Fake.SleepMs(ms);
                return 0;
            }
            if (Machine::now() > guard) {
                ADD_FAILURE() << "the feed neither answered nor fell silent in "
                              << kHangGuardMs / 1000 << " s";
                Fake.SleepMs(ms);
                return 0;
            }
        }
    }
    void Sleep(std::chrono::milliseconds duration) override {
        Fake.SleepMs(static_cast<int>(duration.count()));
    }

private:
    CFakeClock& Fake;
};

}  // namespace kestrel::test
