#pragma once
// The machine's local calendar time, the same way on every platform: the C library's
// thread-safe conversion of each (one small file per platform).
#include <cstdint>
#include <ctime>

namespace kestrel {

// The local broken-down time of t.
std::tm LocalTime(std::time_t t);
// Now, in the local time of day: milliseconds since local midnight, and the local date.
struct CLocalNow {
    int Year = 1970, Month = 1, Day = 1;
    int64_t TimeOfDayMs = 0;
};
CLocalNow LocalNow();

}  // namespace kestrel
