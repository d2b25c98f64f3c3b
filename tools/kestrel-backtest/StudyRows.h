#pragma once
// The rows of alerts.csv on their way from the runs, scored on several threads at once, into the
// file, in the order of the runs. A run hands its rows on a few megabytes at a time. The rows of
// the first run not yet all in go to the file as they come; a later run's wait in memory, up to the
// room the study gives them, and past that in the run's own part file, until the runs before it
// are in. So the rows are written once, not written to a part, read back and written again.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/ZeroPages.h"
#include "kestrel-backtest/StudyFiles.h"

namespace kestrel::study {

class CAlertRows {
public:
    // What a run hands on at a time: the rows past it.
    static constexpr size_t kShare = size_t{4} << 20;
    // `parts[i]` is where run i's rows go when they find no room; `shown` the name said in
    // errors. `ready` is called whenever there is more to write.
    CAlertRows(std::vector<std::string> parts, std::string shown, uint64_t room,
               std::function<void()> ready);

    // One run's end: its rows go into `Buffer`, the caller's, which is kept from run to run
    // so that its pages are paged in once. Each call of FlushWhenFull or Close charges them to
    // the budget and hands them on; Close says the run's rows are all there. A run that fails
    // is never closed.
    class CSink {
    public:
        CSink(CAlertRows& rows, size_t run, CByteBudget* budget, std::string& buffer);
        CSink(const CSink&) = delete;
        CSink& operator=(const CSink&) = delete;
        std::string& Buffer;
        void FlushWhenFull() {
            if (Buffer.size() >= kShare) Hand();
        }
        void Close();

    private:
        void Hand();
        CAlertRows& Rows;
        size_t Run;
        CByteBudget* Budget;
        std::optional<COutFile> Part;  // once the run's rows found no room
    };

    // The file's end, on one thread: whether there is anything to write, and writing it.
    bool Ready();
    void WriteReady(COutFile& to);
    // How many runs, from the first, are all in the file.
    size_t RunsIn();

private:
    // Rows on their way: blocks of a few megabytes on large pages where the system gives them,
    // used again and again (a fresh 4 KB page costs microseconds where the system runs in a
    // virtual machine, and the rows held are a gigabyte).
    using CBlock = std::vector<char, kestrel::CLargeBlockAllocator<char>>;
    struct CRunRows {
        std::deque<CBlock> Held;  // in memory, in order, before any in the part
        bool InPart = false;      // the rest went to the part file
        bool Closed = false;      // all handed on (the part, if any, closed)
    };
    std::mutex Mutex;
    std::vector<std::string> Parts;
    std::string Shown;
    uint64_t Room, HeldBytes = 0;
    std::function<void()> OnReady;
    std::vector<CRunRows> Runs;
    size_t Head = 0;  // the first run not all in the file
    // Blocks written away, for the runs to fill again: as many as were ever held at once.
    std::vector<CBlock> Free;
};

}  // namespace kestrel::study
