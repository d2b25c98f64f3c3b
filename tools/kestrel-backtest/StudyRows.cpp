#include "kestrel-backtest/StudyRows.h"

#include <algorithm>
#include <utility>

#include "common/FileSaveOps.h"

namespace kestrel::study {

namespace {
// A run's buffer holds its share and the row that passed it.
constexpr size_t kChunk = CAlertRows::kShare + (64 << 10);
}  // namespace

CAlertRows::CAlertRows(std::vector<std::string> parts, std::string shown, uint64_t room,
                       std::function<void()> ready)
    : Parts(std::move(parts)),
      Shown(std::move(shown)),
      Room(room),
      OnReady(std::move(ready)),
      Runs(Parts.size()) {}

CAlertRows::CSink::CSink(CAlertRows& rows, size_t run, CByteBudget* budget, std::string& buffer)
    : Buffer(buffer), Rows(rows), Run(run), Budget(budget) {
    Buffer.clear();
    Buffer.reserve(kChunk);
}

void CAlertRows::CSink::Hand() {
    if (Buffer.empty()) return;
    if (Budget) Budget->Charge(Buffer.size(), Rows.Shown);
    CBlock block;
    bool toPart = false;
    {
        std::lock_guard<std::mutex> lock(Rows.Mutex);
        CRunRows& r = Rows.Runs[Run];
        // The rows of the run whose turn it is always go to memory: the file takes them as
        // they come.
        toPart = r.InPart || (Run != Rows.Head && Rows.HeldBytes + Buffer.size() > Rows.Room);
        if (toPart) {
            r.InPart = true;
        } else if (!Rows.Free.empty()) {
            block = std::move(Rows.Free.back());
            Rows.Free.pop_back();
        }
    }
    if (toPart) {
        // Only this run writes its part, and the file's end reads it only once the run is
        // closed.
        if (!Part) Part.emplace(Rows.Parts[Run], Rows.Shown);
        Part->Buffer.swap(Buffer);
        Part->Flush();
        Part->Buffer.swap(Buffer);
        return;
    }
    // Copied into a block of the rows' own: the run goes on in its buffer, whose pages are in
    // the cache, and the blocks are used again once written.
    block.reserve(std::max(kChunk, Buffer.size()));
    block.assign(Buffer.begin(), Buffer.end());
    Buffer.clear();
    {
        std::lock_guard<std::mutex> lock(Rows.Mutex);
        Rows.HeldBytes += block.size();
        Rows.Runs[Run].Held.push_back(std::move(block));
    }
    Rows.OnReady();
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
        CBlock rows;
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
            to.Write(std::string_view(rows.data(), rows.size()));
            rows.clear();
            std::lock_guard<std::mutex> lock(Mutex);
            Free.push_back(std::move(rows));
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
