#pragma once
// Times of day: stored and shown as doubles in days (date part 0), computed in whole
// milliseconds so that equal clock times always compare equal.
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrel {

constexpr int64_t kMsPerMinute = 60'000;
constexpr int64_t kMsPerDay = 86'400'000;

// The conversion error of a time text that is not a valid time.
class TimeFormatError : public std::runtime_error {
public:
    explicit TimeFormatError(const std::string& text);
};

inline double MsToDays(int64_t ms) {
    return static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}
// Rounded to the nearest millisecond, halves away from zero; 0 for a value that is not finite.
inline int64_t DaysToMs(double days) {
    if (!std::isfinite(days)) return 0;
    const double ms = days * static_cast<double>(kMsPerDay);
    if (!(std::fabs(ms) < 4503599627370496.0)) return std::llround(ms);  // 2^52 and beyond
    // What llround gives, without the call: the cut towards zero, then the exact remainder.
    const int64_t whole = static_cast<int64_t>(ms);
    const double rest = ms - static_cast<double>(whole);
    return whole + (rest >= 0.5 ? 1 : rest <= -0.5 ? -1 : 0);
}

// "h:nn", "hh:nn" or "hh:nn:ss" (blanks around allowed) to milliseconds since midnight.
std::optional<int64_t> ParseTimeMs(std::string_view text);
// The same as days; throws TimeFormatError for an invalid text.
double ParseTime(std::string_view text);
std::optional<double> TryParseTime(std::string_view text);

// "hh:nn" of a time of day; seconds are dropped.
std::string FormatHhNn(double days);
std::string FormatHhNnMs(int64_t ms);
// The time cut down to the whole minute (format "hh:nn" and read back).
inline int64_t CutToMinuteMs(int64_t ms) {
    int64_t r = ms % kMsPerMinute;
    if (r < 0) r += kMsPerMinute;
    return ms - r;
}

}  // namespace kestrel
