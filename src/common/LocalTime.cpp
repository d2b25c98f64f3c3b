#include "common/LocalTime.h"

#include <chrono>

namespace kestrel {

CLocalNow LocalNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const std::tm tm = LocalTime(seconds);
    const int64_t ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    CLocalNow out;
    out.Year = tm.tm_year + 1900;
    out.Month = tm.tm_mon + 1;
    out.Day = tm.tm_mday;
    out.TimeOfDayMs = ((int64_t{tm.tm_hour} * 60 + tm.tm_min) * 60 + tm.tm_sec) * 1000 + ms;
    return out;
}

}  // namespace kestrel
