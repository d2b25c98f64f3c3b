// Splitting any line must not crash, and quoting then splitting must give the columns back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/Codec.h"
#include "common/CommaText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    auto cols = kestrel::SplitCommaText(line);
    auto utf8 = kestrel::Cp932ToUtf8(line);
    (void)kestrel::Utf8ToCp932(utf8);
    // Resume lines never hold a NUL or a line break; within that domain the quoting must invert.
    for (auto& c : cols)
        for (auto& ch : c)
            if (ch == '\0' || ch == '\r' || ch == '\n') ch = 'x';
    if (kestrel::SplitCommaText(kestrel::JoinCommaText(cols)) != cols && !cols.empty()) {
        // A single empty column joins to an empty line, which splits to no column at all.
        if (!(cols.size() == 1 && cols[0].empty())) std::abort();
    }
    return 0;
}
