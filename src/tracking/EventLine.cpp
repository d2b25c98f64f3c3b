#include "tracking/EventLine.h"

#include <charconv>
#include <cstdint>

#include "common/Format.h"
#include "common/TimeOfDay.h"

namespace {
char* PutInt(char* at, int64_t v) { return std::to_chars(at, at + 24, v).ptr; }
}  // namespace

void WriteEventLine(std::string& out, const MoveEvent& e) {
    // The time shows the time of day of its distance from midnight, as a time in days does.
    int64_t ms = e.TimeMs < 0 ? -int64_t{e.TimeMs} : int64_t{e.TimeMs};
    ms %= kestrel::kMsPerDay;
    const int h = static_cast<int>(ms / 3'600'000), m = static_cast<int>(ms / 60'000 % 60);
    const char time[6] = {static_cast<char>('0' + h / 10), static_cast<char>('0' + h % 10), ':',
                          static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10), ' '};
    out.append(time, sizeof time);
    out += e.Topic;
    char buf[64];
    char* at = buf;
    *at++ = ':';
    at = PutInt(at, e.Price);
    *at++ = ',';
    *at++ = '(';
    at = PutInt(at, e.Move);
    *at++ = ')';
    *at++ = ',';
    out.append(buf, at);
    kestrel::AppendFixed(out, e.MoveRatio, 2, 4);
    at = buf;
    *at++ = '%';
    *at++ = ' ';
    at = PutInt(at, e.LimitHigh);
    *at++ = '[';
    *at++ = e.Kind;
    *at++ = ',';
    *at++ = e.Action;
    *at++ = ']';
    out.append(buf, at);
}

std::string EventLineText(const MoveEvent& e) {
    std::string line;
    WriteEventLine(line, e);
    return line;
}
