#include "common/TimeOfDay.h"

#include <cmath>
#include <cstdio>

namespace kestrel {

TimeFormatError::TimeFormatError(const std::string& text)
    : std::runtime_error("'" + text + "' は正しい時刻ではありません") {}

std::optional<int64_t> ParseTimeMs(std::string_view text) {
    // "HH:MM:SS" in range (almost every recorded time): read at once, as the rules below read it.
    if (text.size() == 8 && text[2] == ':' && text[5] == ':') {
        const auto two = [&](size_t at) {
            const unsigned hi = static_cast<unsigned>(text[at]) - '0';
            const unsigned lo = static_cast<unsigned>(text[at + 1]) - '0';
            return hi > 9 || lo > 9 ? 100u : hi * 10 + lo;
        };
        const unsigned h = two(0), m = two(3), sec = two(6);
        if (h <= 23 && m <= 59 && sec <= 59) return int64_t{((h * 60 + m) * 60 + sec) * 1000};
    }
    std::string_view s = text;
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    int parts[3] = {0, 0, 0};
    int count = 0;
    size_t i = 0;
    while (count < 3) {
        size_t start = i;
        int v = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 2)
            v = v * 10 + (s[i++] - '0');
        if (i == start) return std::nullopt;
        parts[count++] = v;
        if (i == s.size()) break;
        if (s[i] != ':') return std::nullopt;
        ++i;
        if (i == s.size()) return std::nullopt;
    }
    if (i != s.size() || count < 2) return std::nullopt;
    if (parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return std::nullopt;
    return ((int64_t{parts[0]} * 60 + parts[1]) * 60 + parts[2]) * 1000;
}

std::optional<double> TryParseTime(std::string_view text) {
    auto ms = ParseTimeMs(text);
    if (!ms) return std::nullopt;
    return MsToDays(*ms);
}

double ParseTime(std::string_view text) {
    auto t = TryParseTime(text);
    if (!t) throw TimeFormatError(std::string(text));
    return *t;
}

std::string FormatHhNnMs(int64_t ms) {
    int64_t inDay = ms % kMsPerDay;
    if (inDay < 0) inDay += kMsPerDay;
    int h = static_cast<int>(inDay / 3'600'000);
    int m = static_cast<int>(inDay / kMsPerMinute % 60);
    const char buf[5] = {static_cast<char>('0' + h / 10), static_cast<char>('0' + h % 10), ':',
                         static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10)};
    return std::string(buf, 5);
}

std::string FormatHhNn(double days) {
    // The date part plays no role: only the time of day is shown.
    return FormatHhNnMs(DaysToMs(std::fabs(days)));
}

}  // namespace kestrel
