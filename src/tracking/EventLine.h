#pragma once
// The reading of an event line, as CTrkg::PostMovement writes it for the event viewer:
// "10:01 1234.T:1100,(100),9.09% 1700[A,A]", the time, the topic, then price, move, ratio and
// limit, then the record's kind and action. Whoever acts on event lines (the alert sound, the
// study of settings) reads them here.
#include <cstdint>
#include <optional>
#include <string_view>

struct CEventLineParts {
    std::string_view Topic;
    std::string_view Ratio;  // as written, without the padding before it
    int32_t Price = 0, Move = 0;
    char Kind = 0;
    char Action = 0;
};
// The parts of `line`, which they view; none when it is not laid out as an event line. It is
// read from its end, so a topic may hold any text, ':' included.
std::optional<CEventLineParts> ParseEventLine(std::string_view line);
