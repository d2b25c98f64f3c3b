#pragma once
// The daily price-limit table (株式売買値幅.txt): bands of base prices with the limit width that
// gives an issue's upper daily limit ("S高").
#include <cstdint>
#include <string>
#include <vector>

#include "common/TextFile.h"

struct CLimitPriceRange {
    int32_t LowerPrice = 0;  // inclusive
    int32_t UpperPrice = 0;  // exclusive
    int32_t Width = 0;
    int32_t Extra = 0;
};

class CLimitPriceRangeList {
public:
    static constexpr const char* kDefaultPath = "株式売買値幅.txt";
    static constexpr int32_t kOutsideTable = 10'000'000;
    // Reads the file (the default one for an empty path). Never throws. Columns a line lacks
    // read as 0.
    explicit CLimitPriceRangeList(const std::string& path = "");

    size_t Count() const { return Rows.size(); }
    const CLimitPriceRange& operator[](size_t i) const { return Rows[i]; }

    // Width of the first band holding p; 0 for an empty table, 10,000,000 when no band does.
    int32_t GetLimitWidth(int32_t p) const;
    int32_t GetLimitHigh(int32_t p) const;
    // Lines of the file passed over as longer than any row.
    size_t LongLines() const { return Report.LongLines; }
    // What reading the file found: why it was not read, a byte-order mark.
    const kestrel::TextFileReport& ReadReport() const { return Report; }

private:
    std::vector<CLimitPriceRange> Rows;
    kestrel::TextFileReport Report;
};
