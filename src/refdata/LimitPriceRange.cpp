#include "refdata/LimitPriceRange.h"

#include <limits>

#include "common/CommaText.h"
#include "common/Numbers.h"
#include "common/TextFile.h"

CLimitPriceRangeList::CLimitPriceRangeList(const std::string& path) {
    try {
        std::vector<std::string> lines;
        if (!kestrel::ReadLines(path.empty() ? kDefaultPath : path, lines,
                                kestrel::kMaxListFileBytes, Report))
            return;
        std::vector<std::string> cols;
        Rows.reserve(lines.size());
        for (const auto& l : lines) {
            kestrel::SplitCommaText(l, cols);
            auto v = [&](size_t i) { return i < cols.size() ? kestrel::ParseIntOr0(cols[i]) : 0; };
            Rows.push_back({v(0), v(1), v(2), v(3)});
        }
    } catch (...) {
    }
}

int32_t CLimitPriceRangeList::GetLimitWidth(int32_t p) const {
    if (Rows.empty()) return 0;
    for (const auto& r : Rows)
        if (r.LowerPrice <= p && p < r.UpperPrice) return r.Width;
    return kOutsideTable;
}

int32_t CLimitPriceRangeList::GetLimitHigh(int32_t p) const {
    // Saturate rather than wrap: a limit far outside any price is still above it.
    int64_t h = int64_t{p} + GetLimitWidth(p);
    if (h > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (h < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(h);
}
