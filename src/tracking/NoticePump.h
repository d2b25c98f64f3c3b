#pragma once
// The way advise notices of a transport reach the conversations, the same for the feed socket
// and for DDEML: they wait in a queue, one per key (a notice carries no value, so one waiting
// is as good as many), and go out on the event loop a limited number per turn, so timers and
// windows keep running. Never from inside a request (the request's end schedules a turn) and
// never from inside a delivery (a change handler that runs a nested loop: the outer turn goes
// on once it returns). The transport says how a turn is posted to its loop.
#include <chrono>
#include <deque>
#include <functional>
#include <set>
#include <utility>

namespace kestrel {

// After a started server never came up, further links of the service do not start it again
// for this long: a watch list of thousands would otherwise block the window for an hour.
constexpr auto kLaunchCoolDown = std::chrono::seconds(30);

template <typename Notice>
class TNoticePump {
public:
    static constexpr int kPerTurn = 256;

    // `post` asks the loop for one call of Turn, later; false when it could not.
    explicit TNoticePump(std::function<bool()> post) : Post(std::move(post)) {}

    // Queues a notice unless the same one waits already.
    void Add(Notice notice) {
        if (!Waiting.insert(notice).second) return;
        Queue.push_back(std::move(notice));
        Schedule();
    }
    // Drops the waiting notices `drop` says so of.
    template <typename Pred>
    void RemoveIf(Pred drop) {
        for (auto it = Queue.begin(); it != Queue.end();) {
            if (drop(*it)) {
                Waiting.erase(*it);
                it = Queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    void Clear() {
        Queue.clear();
        Waiting.clear();
    }
    bool Empty() const { return Queue.empty(); }
    // Nothing waits, no turn is posted and none runs.
    bool Idle() const { return Queue.empty() && !Posted && !Running; }

    // A request runs: no turn until it ends. Requests may nest.
    void BeginRequest() { ++Depth; }
    void EndRequest() {
        --Depth;
        if (Depth == 0 && !Queue.empty()) Schedule();
    }

    // The turn the loop calls: up to kPerTurn notices through `deliver`, then another turn
    // posted when more wait.
    template <typename Deliver>
    void Turn(Deliver&& deliver) {
        Posted = false;
        if (Running || Depth > 0) return;
        Running = true;
        for (int n = 0; n < kPerTurn && !Queue.empty(); ++n) {
            Notice notice = std::move(Queue.front());
            Queue.pop_front();
            Waiting.erase(notice);
            deliver(notice);
        }
        Running = false;
        if (!Queue.empty()) Schedule();
    }

    // Asks for a turn unless one is posted already or a request runs.
    void Schedule() {
        if (Posted || Depth > 0) return;
        if (Post()) Posted = true;
    }

private:
    std::function<bool()> Post;
    std::deque<Notice> Queue;
    std::set<Notice> Waiting;
    bool Posted = false;
    bool Running = false;
    int Depth = 0;
};

}  // namespace kestrel
