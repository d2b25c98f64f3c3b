#include "ranking/Watch.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <chrono>

namespace {

constexpr int kBurstGapMs = 5;

#ifdef _WIN32
// One step below normal is one step of the thread priority scale, as the system counts them.
void ApplyPriority(TThreadPriority p) {
    int delta = static_cast<int>(TThreadPriority::tpNormal) - static_cast<int>(p);
    if (delta <= 0) return;  // raising priority is not asked for
    // Below normal, lowest, then idle.
    int level = delta >= 3 ? THREAD_PRIORITY_IDLE : THREAD_PRIORITY_NORMAL - delta;
    SetThreadPriority(GetCurrentThread(), level);
}
#else
// One step below normal is one nice level above the process's own.
void ApplyPriority(TThreadPriority p) {
    int delta = static_cast<int>(TThreadPriority::tpNormal) - static_cast<int>(p);
    if (delta <= 0) return;  // raising priority needs privileges we do not ask for
    pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    errno = 0;
    int base = getpriority(PRIO_PROCESS, 0);
    if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), base + delta);
}
#endif

}  // namespace

TWatch::TWatch(TThreadPriority priority, CMeigaraList& list, CMeigaraQueue& queue,
               std::function<void(const CMeigara&)> beforeMerge)
    : Queue(queue), List(list), BeforeMerge(std::move(beforeMerge)), Priority(priority) {
    Queue.Reopen();
    Thread = std::jthread([this] { Execute(); });
}

TWatch::~TWatch() {
    Stop();
    if (Thread.joinable()) Thread.join();
}

std::unique_ptr<CMeigara> TWatch::Merge(CMeigaraList& list, std::unique_ptr<CMeigara> record) {
    // One hold for the look-up and the change: an Assign that runs out of memory must not
    // leave the list locked for the display.
    CMeigaraList::Locked hold(list);
    return Merge(hold, list, std::move(record));
}

std::unique_ptr<CMeigara> TWatch::Merge(const CMeigaraList::Locked& held, CMeigaraList& list,
                                        std::unique_ptr<CMeigara> record) {
    int i = list.IndexOfCode(held, *record);
    if (i >= 0) {
        CMeigara& entry = *(*held)[static_cast<size_t>(i)];
        double keptTime = entry.Time;
        entry.Assign(*record);
        if (record->Action == 'U') entry.Time = keptTime;
    } else if (record->Action == 'A') {
        auto entry = std::make_unique<CMeigara>();
        entry->Assign(*record);
        list.Add(held, std::move(entry));
    }
    // An 'U' record of an issue that is not listed is dropped.
    return record;
}

void TWatch::Execute() {
    ApplyPriority(Priority);
    // Ends only when the queue is closed and empty, right after the burst that emptied it was
    // merged and sorted: closing the queue is the stop, and nothing queued is left behind.
    while (Queue.WaitForItems()) {
        {
            CMeigaraList::Locked lock(List);
            while (Queue.Count() > 0) {
                // Everything queued so far in one take of the queue lock.
                std::deque<std::unique_ptr<CMeigara>> records = Queue.PopAll();
                for (std::unique_ptr<CMeigara>& record : records) {
                    try {
                        if (BeforeMerge) BeforeMerge(*record);
                        record = Merge(lock, List, std::move(record));
                    } catch (...) {
                        // This record stays unmerged; what was merged stays, the rest follows.
                    }
                }
                Queue.GiveBack(records);  // the producer fills them anew
            }
            List.Sort();
        }
        // After a busy burst, let records gather for a moment: a producer that never pauses
        // would otherwise have the whole list re-sorted for every handful of records. A close
        // cuts the pause short; what came meanwhile is merged by the next burst.
        Queue.WaitForClose(std::chrono::milliseconds(kBurstGapMs));
    }
}
