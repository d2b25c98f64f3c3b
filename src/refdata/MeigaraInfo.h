#pragma once
// The issue master list (銘柄情報.txt): one record per line with code, name and markets, and the
// fixed table that turns a market name into the suffix of a quote topic.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/TextFile.h"

extern const char* const MarketNames[6];
extern const char* const MarketSuffixes[6];

// The topic suffix of a market name ("東証" -> ".T"); empty when the name is not in the table.
std::string MarketToSuffix(std::string_view market);

class CMeigaraInfo {
public:
    CMeigaraInfo() = default;
    // Fills the record from one line of the master list, split by the comma-text rule.
    explicit CMeigaraInfo(std::string_view line);

    const std::string& GetName() const { return Name; }

    std::string Code;
    std::string Name;
    int32_t Number = 0;
    bool IsIndefiniteMargin = false;
    bool IsMargin = false;
    bool IsLending = false;
    std::string Suffix1;
    std::string Suffix2;
    std::string Suffix3;
};

class CMeigaraInfoList {
public:
    static constexpr const char* kDefaultPath = "銘柄情報.txt";
    // Reads the file (the default one for an empty path). Never throws: a missing or unreadable
    // file gives an empty list.
    explicit CMeigaraInfoList(const std::string& path = "");

    size_t Count() const { return Items.size(); }
    const CMeigaraInfo& operator[](size_t i) const { return *Items[i]; }
    // The first record whose code equals the first four characters of `code`.
    const CMeigaraInfo* FindByCode(std::string_view code) const;
    // Lines of the file passed over as longer than any record.
    size_t LongLines() const { return Report.LongLines; }
    // What reading the file found: why it was not read, a byte-order mark.
    const kestrel::TextFileReport& ReadReport() const { return Report; }

private:
    std::vector<std::unique_ptr<CMeigaraInfo>> Items;
    kestrel::TextFileReport Report;
};
