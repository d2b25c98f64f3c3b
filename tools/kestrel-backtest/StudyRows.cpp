#include "kestrel-backtest/StudyRows.h"

#include <utility>

#include "common/FileSaveOps.h"
#include "common/ZeroPages.h"

namespace kestrel::study {

namespace {
// A buffer of rows holds its share and the row that passed it: one size for all, so that a
// buffer written away serves any run again as it is, its pages already in memory.
constexpr size_t kChunk = CAlertRows::kShare + (64 << 10);

// Room for a buffer's rows. Its whole large pages inside are asked for as such: the rows held
// in memory are a gigabyte of fresh pages, which come 2 MiB at a time so (a fresh 4 KB page
// costs microseconds where the system runs in a virtual machine).
void Reserve(std::string& buffer) {
    if (buffer.capacity() >= kChunk) return;
    buffer.reserve(kChunk);
    constexpr uintptr_t kLargePage = uintptr_t{2} << 20;
    const uintptr_t from =
        (reinterpret_cast<uintptr_t>(buffer.data()) + kLargePage - 1) & ~(kLargePage - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(buffer.data()) + kChunk) & ~(kLargePage - 1);
    if (from < to) kestrel::CZeroPages::PreferLargePages(reinterpret_cast<void*>(from), to - from);
}
// Buffers kept for reuse: one for each thread that may score, with some to spare.
constexpr size_t kSpares = 16;
}  // namespace

CAlertRows::CAlertRows(std::vector<std::string> parts, std::string shown, uint64_t room,
                       std::function<void()> ready)
    : Parts(std::move(parts)),
      Shown(std::move(shown)),
      Room(room),
      OnReady(std::move(ready)),
      Runs(Parts.size()) {}

CAlertRows::CSink::CSink(CAlertRows& rows, size_t run, CByteBudget* budget)
    : Rows(rows), Run(run), Budget(budget) {
    Reserve(Buffer);
}

void CAlertRows::CSink::Hand() {
    if (Buffer.empty()) return;
    std::string rows;
    rows.swap(Buffer);
    if (Budget) Budget->Charge(rows.size(), Rows.Shown);
    bool toPart = false;
    {
        std::lock_guard<std::mutex> lock(Rows.Mutex);
        if (!Rows.Spares.empty()) {
            Buffer = std::move(Rows.Spares.back());
            Rows.Spares.pop_back();
        }
        CRunRows& r = Rows.Runs[Run];
        // The rows of the run whose turn it is always go to memory: the file takes them as
        // they come.
        toPart = r.InPart || (Run != Rows.Head && Rows.HeldBytes + rows.size() > Rows.Room);
        if (toPart) {
            r.InPart = true;
        } else {
            Rows.HeldBytes += rows.size();
            r.Held.push_back(std::move(rows));
        }
    }
    Reserve(Buffer);
    if (!toPart) {
        Rows.OnReady();
        return;
    }
    // Only this run writes its part, and the file's end reads it only once the run is closed.
    if (!Part) Part.emplace(Rows.Parts[Run], Rows.Shown);
    Part->Buffer.swap(rows);
    Part->Flush();
}

void CAlertRows::CSink::Close() {
    Hand();
    if (Part) Part->Close(false);
    {
        std::lock_guard<std::mutex> lock(Rows.Mutex);
        Rows.Runs[Run].Closed = true;
    }
    Rows.OnReady();
}

bool CAlertRows::Ready() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Head < Runs.size() && (!Runs[Head].Held.empty() || Runs[Head].Closed);
}

void CAlertRows::WriteReady(COutFile& to) {
    for (;;) {
        std::string rows;
        size_t run = 0;
        bool part = false;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            if (Head == Runs.size()) return;
            CRunRows& r = Runs[Head];
            if (!r.Held.empty()) {
                rows = std::move(r.Held.front());
                r.Held.pop_front();
                HeldBytes -= rows.size();
            } else if (!r.Closed) {
                return;  // the run has more to come
            }
            run = Head;
            part = r.InPart;
        }
        if (!rows.empty()) {
            to.Flush();
            to.Buffer.swap(rows);
            to.Flush();
            to.Buffer.swap(rows);  // the run's buffer, empty again, goes back to the runs
            std::lock_guard<std::mutex> lock(Mutex);
            if (Spares.size() < kSpares) Spares.push_back(std::move(rows));
            continue;
        }
        // The run is closed and what it held in memory is written: its part follows.
        if (part) {
            AppendFile(Parts[run], Shown, to);
            kestrel::CurrentSaveOps().Remove(Parts[run]);
        }
        std::lock_guard<std::mutex> lock(Mutex);
        ++Head;
    }
}

size_t CAlertRows::RunsIn() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Head;
}

}  // namespace kestrel::study
