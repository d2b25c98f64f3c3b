// Any byte stream from a peer, cut anywhere, must frame and parse without a crash, never yield
// a line above the limit, and whatever parses must format into a line that parses the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/Codec.h"
#include "tracking/feed/FeedProtocol.h"

using namespace kestrel::feed;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the chunk size, so the reader sees lines split at every place.
    size_t chunk = 1 + data[0] % 64;
    const char* p = reinterpret_cast<const char*>(data + 1);
    size_t n = size - 1;
    LineReader reader;
    std::string line, err;
    while (true) {
        size_t take = n < chunk ? n : chunk;
        reader.Append(p, take);
        p += take;
        n -= take;
        LineReader::Result r;
        while ((r = reader.Next(line)) != LineReader::Result::None) {
            if (r != LineReader::Result::Line) continue;
            if (line.size() > kMaxLineBytes || line.find('\n') != std::string::npos) std::abort();
            Message m;
            if (!ParseMessage(line, m, err)) continue;
            for (const auto& a : m.Args) (void)kestrel::Cp932ToUtf8(a);
            std::string once = FormatMessage(m);
            if (once.size() > kMaxLineBytes + 1 || once.back() != '\n') std::abort();
            Message back;
            if (!ParseMessage(once.substr(0, once.size() - 1), back, err)) {
                // Only a cut at the size limit may make a formatted line unreadable.
                if (once.size() <= kMaxLineBytes) std::abort();
                continue;
            }
            if (back.Kind != m.Kind || back.Id != m.Id || FormatMessage(back) != once) {
                if (once.size() <= kMaxLineBytes) std::abort();
            }
        }
        if (n == 0) break;
    }
    return 0;
}
