#include "tracking/EventLine.h"

#include <charconv>
#include <cstdint>
#include <cstring>

#include "common/Format.h"
#include "common/TimeOfDay.h"

namespace {
char* PutInt(char* at, int64_t v) { return std::to_chars(at, at + 24, v).ptr; }
}  // namespace

void WriteEventLine(std::string& out, const MoveEvent& e) {
    // The line is put together here and appended once; a topic too long for the room here (a
    // topic is whatever the watch list's line says) is appended by itself.
    constexpr size_t kTopicRoom = 64;
    char line[6 + kTopicRoom + 2 * 24 + 4 + kestrel::kFixedRoom + 24 + 8];
    char* at = line;
    // The time shows the time of day of its distance from midnight, as a time in days does.
    int64_t ms = e.TimeMs < 0 ? -int64_t{e.TimeMs} : int64_t{e.TimeMs};
    ms %= kestrel::kMsPerDay;
    const int h = static_cast<int>(ms / 3'600'000), m = static_cast<int>(ms / 60'000 % 60);
    *at++ = static_cast<char>('0' + h / 10);
    *at++ = static_cast<char>('0' + h % 10);
    *at++ = ':';
    *at++ = static_cast<char>('0' + m / 10);
    *at++ = static_cast<char>('0' + m % 10);
    *at++ = ' ';
    if (e.Topic.size() <= kTopicRoom) {
        std::memcpy(at, e.Topic.data(), e.Topic.size());
        at += e.Topic.size();
    } else {
        out.append(line, at);
        out += e.Topic;
        at = line;
    }
    *at++ = ':';
    at = PutInt(at, e.Price);
    *at++ = ',';
    *at++ = '(';
    at = PutInt(at, e.Move);
    *at++ = ')';
    *at++ = ',';
    if (char* fixed = kestrel::PutFixed(at, e.MoveRatio, 2, 4)) {
        at = fixed;
    } else {
        out.append(line, at);
        kestrel::AppendFixed(out, e.MoveRatio, 2, 4);
        at = line;
    }
    *at++ = '%';
    *at++ = ' ';
    at = PutInt(at, e.LimitHigh);
    *at++ = '[';
    *at++ = e.Kind;
    *at++ = ',';
    *at++ = e.Action;
    *at++ = ']';
    out.append(line, at);
}

std::string EventLineText(const MoveEvent& e) {
    std::string line;
    WriteEventLine(line, e);
    return line;
}
