#pragma once
// The worker thread of one ranking list: drains its queue in bursts, merges every record into
// the list by issue code and sorts the list once per burst. A busy burst is followed by a pause
// of a few milliseconds, so a steady stream of records is merged in bursts of some size.
#include <functional>
#include <memory>
#include <thread>

#include "ranking/Meigara.h"

enum class TThreadPriority {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

class TWatch {
public:
    // Starts the thread at once, on the queue reopened if an earlier watcher closed it.
    // `beforeMerge` is a test seam: called before each record is merged, on the watcher's
    // thread; an exception from it drops that record only.
    TWatch(TThreadPriority priority, CMeigaraList& list, CMeigaraQueue& queue,
           std::function<void(const CMeigara&)> beforeMerge = {});
    // Stops the watcher and waits for it: everything pushed before is merged, and the list
    // sorted, when this returns.
    ~TWatch();
    TWatch(const TWatch&) = delete;
    TWatch& operator=(const TWatch&) = delete;

    CMeigaraQueue& Queue;
    CMeigaraList& List;

    // Closes the queue without waiting: the watcher merges what is queued, sorts the list and
    // ends. For stopping several watchers at once before destroying each.
    void Stop() { Queue.Close(); }

    // Merges one record into the list and returns it, spent, for reuse; dropping the result
    // frees it. Takes the list lock itself (the caller may hold it too); an exception (out of
    // memory) leaves the lock as it found it.
    static std::unique_ptr<CMeigara> Merge(CMeigaraList& list, std::unique_ptr<CMeigara> record);
    // The same for a caller that holds the list's lock already (`held`).
    static std::unique_ptr<CMeigara> Merge(const CMeigaraList::Locked& held, CMeigaraList& list,
                                           std::unique_ptr<CMeigara> record);

private:
    void Execute();

    std::function<void(const CMeigara&)> BeforeMerge;
    TThreadPriority Priority;
    std::jthread Thread;  // started by the constructor once every field above is set
};

// A list, its queue and its watcher as one unit, for the controller and for tests.
class CRankingChannel {
public:
    explicit CRankingChannel(char kind) : Queue(kind), List(kind) {}
    ~CRankingChannel() { Stop(); }
    void Start(TThreadPriority priority = TThreadPriority::tpLower) {
        if (!Watch) Watch = std::make_unique<TWatch>(priority, List, Queue);
    }
    // Returns once the watcher has merged everything queued and sorted the list.
    void Stop() { Watch.reset(); }

    CMeigaraQueue Queue;
    CMeigaraList List;
    std::unique_ptr<TWatch> Watch;
};
