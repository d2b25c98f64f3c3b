#pragma once
// The worker thread of one ranking list: drains its queue in bursts, merges every record into
// the list by issue code and sorts the list once per burst. A busy burst is followed by a pause
// of a millisecond, so a steady stream of records is merged in bursts of some size.
#include <functional>
#include <memory>
#include <thread>

#include "Meigara.h"

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TWatch {
public:
    // Starts the thread at once.
    // `beforeMerge` is a test seam: called before each record is merged; an exception from it
    // drops that record only.
    TWatch(TThreadPriority priority, CMeigaraList& list, CMeigaraQueue& queue,
           std::function<void(const CMeigara&)> beforeMerge = {});
    // Sets the stop request and waits for the thread to end.
    ~TWatch();
    TWatch(const TWatch&) = delete;
    TWatch& operator=(const TWatch&) = delete;

    CMeigaraQueue& Queue;
    CMeigaraList& List;

    // Merges one record into the list (the caller holds the list lock) and returns it, spent,
    // for reuse; dropping the result frees it.
    static std::unique_ptr<CMeigara> Merge(CMeigaraList& list, std::unique_ptr<CMeigara> record);

private:
    void Execute(std::stop_token stop);

    std::function<void(const CMeigara&)> BeforeMerge;
    TThreadPriority Priority;
    std::jthread Thread;  // last: starts after every field above is set
};

// A list, its queue and its watcher as one unit, for the controller and for tests.
class CRankingChannel {
public:
    explicit CRankingChannel(char kind) : Queue(kind), List(kind) {}
    ~CRankingChannel() { Stop(); }
    void Start(TThreadPriority priority = TThreadPriority::tpLower) {
        if (!Watch) Watch = std::make_unique<TWatch>(priority, List, Queue);
    }
    void Stop() { Watch.reset(); }

    CMeigaraQueue Queue;
    CMeigaraList List;
    std::unique_ptr<TWatch> Watch;
};
