// Any recorded folder the feed server replays: kabu.txt, std.csv and 銘柄情報.txt, cut from one
// input at the bytes 0x00. Every line is delivered or passed over, and every item of every
// issue then has a value text, without a crash or an overflow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/TextFile.h"
#include "kestrel-feed/Quotes.h"

using namespace kestrel::feed;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> files[3];
    for (auto& lines : files) {
        size_t cut = rest.find('\0');
        lines = kestrel::SplitLines(rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    }
    QuoteBook book;
    ReplayOptions opt;
    ReplaySource source(opt, book, files[0], files[1], files[2]);
    const size_t total = source.LineCount();
    std::string code, value;
    std::vector<std::string> codes;
    size_t steps = 0;
    while (source.Remaining() > 0) {
        (void)source.NextDueMs();
        if (!source.Next(book, code)) break;
        codes.push_back(code);
        if (++steps > total) std::abort();  // every delivery takes at least one line
    }
    for (const std::string& c : codes) {
        const Issue issue = book.Lookup(c);
        for (const char* item :
             {"出来高", "現在値", "現在値時刻", "出来高加重平均", "前日比率", "銘柄名称",
              "信用貸借区分", "前日終値", "始値", "年初来高値", "貸借倍率"})
            if (!ItemValue(issue, item, value)) std::abort();
    }
    return 0;
}
