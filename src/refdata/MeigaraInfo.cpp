#include "refdata/MeigaraInfo.h"

#include "common/Codec.h"
#include "common/CommaText.h"
#include "common/Numbers.h"
#include "common/TextFile.h"

const char* const MarketNames[6] = {"東証", "大証", "JASDAQ", "HC", "名証", "福証"};
const char* const MarketSuffixes[6] = {".T", ".OS", ".Q", ".OJ", "", ""};

std::string MarketToSuffix(std::string_view market) {
    for (int i = 0; i < 6; ++i)
        if (market == MarketNames[i]) return MarketSuffixes[i];
    return {};
}

CMeigaraInfo::CMeigaraInfo(std::string_view line) {
    auto cols = kestrel::SplitCommaText(line);
    auto col = [&](size_t i) -> const std::string* { return i < cols.size() ? &cols[i] : nullptr; };
    if (auto c = col(0)) Code = *c;
    if (auto c = col(1))
        Name = kestrel::CutUtf8(*c, kestrel::kMaxTextFieldBytes);  // every record carries it
    if (auto c = col(2)) Number = kestrel::ParseIntOr0(*c);
    if (auto c = col(3)) IsIndefiniteMargin = *c == "無期限信用";
    if (auto c = col(4)) IsMargin = *c == "信用";
    if (auto c = col(5)) IsLending = *c == "貸借";
    if (auto c = col(6)) Suffix1 = MarketToSuffix(*c);
    if (auto c = col(7)) Suffix2 = MarketToSuffix(*c);
    if (auto c = col(8)) Suffix3 = MarketToSuffix(*c);
}

CMeigaraInfoList::CMeigaraInfoList(const std::string& path) {
    try {
        std::vector<std::string> lines;
        if (!kestrel::ReadLines(path.empty() ? kDefaultPath : path, lines,
                                kestrel::kMaxListFileBytes, Report))
            return;
        Items.reserve(lines.size());
        for (const auto& l : lines) Items.push_back(std::make_unique<CMeigaraInfo>(l));
    } catch (...) {
        // Loaders never throw: the records read so far stay.
    }
}

const CMeigaraInfo* CMeigaraInfoList::FindByCode(std::string_view code) const {
    std::string key = kestrel::FirstChars(code, 4);
    for (const auto& r : Items)
        if (r->Code == key) return r.get();
    return nullptr;
}
