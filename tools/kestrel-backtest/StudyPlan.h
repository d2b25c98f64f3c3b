#pragma once
// What a study may write and hold, planned before anything runs: the most its files can take,
// and the memory one run may.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kestrel-backtest/Study.h"
#include "kestrel-backtest/StudyRun.h"

namespace kestrel::study {

// Products and sums that stay at UINT64_MAX instead of wrapping.
uint64_t Mul(uint64_t a, uint64_t b);
uint64_t Add(uint64_t a, uint64_t b);
// A size as a message says it: "1.5 MiB".
std::string BytesText(uint64_t bytes);

// The most the study can write, with `alerts` or only what is written whatever the runs raise.
uint64_t PlannedBytes(const CStudyOptions& o, const std::vector<std::unique_ptr<CDay>>& days,
                      const std::vector<uint64_t>& runsOfDay, bool alerts);
// What the replay of day `d` with its settings may hold at once.
uint64_t DayMemory(const CDay& d, size_t horizons, size_t settings);
// Beyond its memory, a day's threads (its own, the replay's reader, two watchers a setting)
// reserve their stacks and the allocator an arena: address space, not memory in use.
inline uint64_t DayAddressSpace(size_t settings) {
    return Add(uint64_t{64} << 20, Mul(settings, uint64_t{32} << 20));
}

}  // namespace kestrel::study
