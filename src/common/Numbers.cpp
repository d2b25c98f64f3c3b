#include "common/Numbers.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace kestrel {
namespace {
inline bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<int32_t> ParseInt(std::string_view text, bool allowHex) {
    // One to nine digits and nothing else (almost every number read from a recorded day):
    // read at once, as the rules below read it.
    if (!text.empty() && text.size() <= 9) {
        int32_t v = 0;
        bool digits = true;
        for (char c : text) {
            const unsigned d = static_cast<unsigned>(c) - '0';
            if (d > 9) {
                digits = false;
                break;
            }
            v = v * 10 + static_cast<int32_t>(d);
        }
        if (digits) return v;
    }
    std::string_view s = text;
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    bool neg = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        neg = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (allowHex) {
        if (!s.empty() && s.front() == '$') {
            base = 16;
            s.remove_prefix(1);
        } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            base = 16;
            s.remove_prefix(2);
        }
    }
    if (s.empty()) return std::nullopt;
    int64_t v = 0;
    for (char c : s) {
        int d = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return std::nullopt;
        v = v * base + d;
        if (v > (int64_t{1} << 32)) return std::nullopt;
    }
    if (base == 16) {
        // Hexadecimal texts name the 32-bit pattern: $FFFFFFFF is -1.
        if (v > 0xFFFFFFFFLL) return std::nullopt;
        int32_t bits = static_cast<int32_t>(static_cast<uint32_t>(v));
        return neg ? static_cast<int32_t>(0u - static_cast<uint32_t>(bits)) : bits;
    }
    if (neg) v = -v;
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(v);
}

int32_t ParseIntOr0(std::string_view text) { return ParseInt(text).value_or(0); }

std::optional<double> ParseReal(std::string_view text) {
    std::string_view s = Trim(text);
    if (s.empty()) return std::nullopt;
    // Accept exactly: sign? digits* (. digits*)? ([eE] sign? digits+)?, with at least one digit
    // in the mantissa; no "inf", "nan" or hexadecimal forms. The conversion itself is
    // from_chars, which reads "." whatever LC_NUMERIC the process runs under (the GUI sets it
    // from the environment, and a German desktop would turn "2.5" into 2).
    size_t i = 0;
    const bool neg = s[i] == '-';
    if (s[i] == '+' || s[i] == '-') ++i;
    const size_t mantissa = i;
    size_t digits = 0;
    // Decimal place of the first significant digit, to tell an overflow from an underflow.
    int64_t place = 0;
    bool significant = false;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        significant = significant || s[i] != '0';
        if (significant) ++place;
        ++i, ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            significant = significant || s[i] != '0';
            if (!significant) --place;
            ++i, ++digits;
        }
    }
    if (digits == 0) return std::nullopt;
    int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool expNeg = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) expNeg = s[i++] == '-';
        size_t ed = 0;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++ed)
            if (exponent < 100'000'000) exponent = exponent * 10 + (s[i] - '0');
        if (ed == 0) return std::nullopt;
        if (expNeg) exponent = -exponent;
    }
    if (i != s.size()) return std::nullopt;
    // from_chars takes no "+"; a "-" it reads itself.
    const char* first = s.data() + (neg ? 0 : mantissa);
    const char* last = s.data() + s.size();
    double v = 0;
    auto [stop, ec] = std::from_chars(first, last, v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Too large does not convert; too small is a zero of its sign, as strtod gives.
        if (place + exponent > 0) return std::nullopt;
        return neg ? -0.0 : 0.0;
    }
    if (ec != std::errc() || stop != last || !std::isfinite(v)) return std::nullopt;
    return v;
}

double ParseRealOr0(std::string_view text) { return ParseReal(text).value_or(0.0); }

int32_t FloorToInt32(double value) {
    if (!std::isfinite(value)) return 0;
    double f = std::floor(value);
    if (f < static_cast<double>(std::numeric_limits<int32_t>::min()) ||
        f > static_cast<double>(std::numeric_limits<int32_t>::max()))
        return 0;
    return static_cast<int32_t>(f);
}

int32_t FloorYen(std::string_view text) {
    auto v = ParseReal(text);
    return v ? FloorToInt32(*v) : 0;
}

}  // namespace kestrel
