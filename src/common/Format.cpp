#include "common/Format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace kestrel {
namespace {

// No text here comes from printf: printf writes the decimal point of LC_NUMERIC, which the GUI
// takes from the environment (a "," under de_DE), and these texts go into resume files and
// event lines that must read the same on every desktop. to_chars knows no locale.

// The exact decimal expansion of |v| as integer digits and fraction digits. to_chars with a
// precision prints the exact binary value; 1100 fraction digits hold every double's expansion.
struct Exact {
    std::string intPart;   // no leading zeros; "0" for |v| < 1
    std::string fracPart;  // trailing zeros removed
};

Exact ExactDecimal(double v) {
    // DBL_MAX has 309 integer digits: 309 + "." + 1100 fit.
    static thread_local std::vector<char> buf(1500);
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(v),
                             std::chars_format::fixed, 1100);
    std::string s(buf.data(), res.ptr);
    size_t dot = s.find('.');
    Exact e;
    e.intPart = s.substr(0, dot);
    e.fracPart = dot == std::string::npos ? "" : s.substr(dot + 1);
    while (!e.fracPart.empty() && e.fracPart.back() == '0') e.fracPart.pop_back();
    return e;
}

// Adds one unit at the last digit of a digit string; returns true when a carry comes out.
bool Increment(std::string& digits) {
    for (size_t i = digits.size(); i-- > 0;) {
        if (digits[i] == '9') {
            digits[i] = '0';
        } else {
            ++digits[i];
            return false;
        }
    }
    return true;
}

// |v| rounded to `decimals` fraction digits, ties away from zero: integer and fraction digits.
void RoundFixed(double v, int decimals, std::string& intPart, std::string& fracPart) {
    Exact e = ExactDecimal(v);
    std::string frac = e.fracPart;
    frac.resize(static_cast<size_t>(decimals) + 1, '0');
    bool up = frac.back() >= '5';
    frac.pop_back();
    std::string all = e.intPart + frac;
    if (up && Increment(all)) all.insert(all.begin(), '1');
    intPart = all.substr(0, all.size() - static_cast<size_t>(decimals));
    fracPart = all.substr(all.size() - static_cast<size_t>(decimals));
    size_t nz = intPart.find_first_not_of('0');
    intPart = nz == std::string::npos ? "0" : intPart.substr(nz);
}

bool AllZero(const std::string& a, const std::string& b) {
    return a.find_first_not_of('0') == std::string::npos &&
           b.find_first_not_of('0') == std::string::npos;
}

std::string Group(const std::string& digits) {
    std::string out;
    size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// "00" to "99", for writing numbers two digits at a time.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// An exact tie at `decimals` digits: |v| x 10^d x 2 is an odd integer. As 10^d = 2^d x 5^d with
// 5^d odd and v a binary fraction, that is: v x 2^(d+1) is an odd integer.
bool IsTie(double v, int decimals) {
    double w = std::ldexp(std::fabs(v), decimals + 1);
    if (w >= 9007199254740992.0) return true;  // too large to tell cheaply: take the exact path
    return w == std::floor(w) && std::fmod(w, 2.0) == 1.0;
}

// The common case without the C library: a few decimals of a moderate value. Rounding is
// monotonic and every n + 0.5 below 2^52 is a double, so when the computed v x 10^d lies above
// (below) such a half, the exact product does too, and its digits are the correctly rounded
// decimal. Only a product that comes out exactly on a half is left to the exact paths (false),
// with every other value out of this range.
// The digits go to the end of the 40 bytes before `end`; the first is returned, null for false.
char* FastFixed(double v, int decimals, char* end, bool tiesAway = true) {
    static constexpr double kPow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    if (decimals < 0 || decimals > 9 || !std::isfinite(v)) return nullptr;
    const double p = std::fabs(v) * kPow10[decimals];
    if (!(p < 1e15)) return nullptr;
    const uint64_t whole = static_cast<uint64_t>(p);     // p is not negative: its floor
    const double frac = p - static_cast<double>(whole);  // exact: both below 2^53
    // On a half: an exact tie goes away from zero; a product rounded onto the half is left to
    // the exact path.
    if (frac == 0.5 && (!tiesAway || !IsTie(v, decimals))) return nullptr;
    uint64_t n = whole + (frac >= 0.5 ? 1 : 0);
    const bool zero = n == 0;  // a value that rounds to zero shows no sign
    // Two digits at a time, from the last.
    char* at = end;
    auto two = [&at](uint64_t r) {
        at -= 2;
        std::memcpy(at, kDigitPairs + 2 * r, 2);
    };
    int d = decimals;
    for (; d >= 2; d -= 2) {
        const uint64_t q = n / 100;
        two(n - q * 100);
        n = q;
    }
    if (d == 1) {
        *--at = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    if (decimals > 0) *--at = '.';
    for (; n >= 100; n /= 100) two(n % 100);
    if (n >= 10)
        two(n);
    else
        *--at = static_cast<char>('0' + n);
    if (std::signbit(v) && !zero) *--at = '-';
    return at;
}

}  // namespace

std::string FormatThousands(int64_t value, bool zeroAsEmpty) {
    if (value == 0) return zeroAsEmpty ? std::string() : std::string("0");
    uint64_t mag = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string out = Group(std::to_string(mag));
    return value < 0 ? "-" + out : out;
}

std::string FormatFixed(double value, int decimals, int width) {
    std::string out;
    char buf[40];
    if (char* at = FastFixed(value, decimals, buf + sizeof buf)) {
        out.assign(at, buf + sizeof buf);
    } else if (std::isnan(value)) {
        out = "NAN";
    } else if (std::isinf(value)) {
        out = value < 0 ? "-INF" : "INF";
    } else if (!IsTie(value, decimals) && decimals <= 30 && std::fabs(value) < 1e300) {
        // Away from an exact tie the correctly rounded result of to_chars is the same.
        char buf[400];
        auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
        out.assign(buf, res.ptr);
        if (out[0] == '-' && out.find_first_not_of("-0.") == std::string::npos) out.erase(0, 1);
    } else {
        std::string ip, fp;
        RoundFixed(value, decimals, ip, fp);
        bool neg = std::signbit(value) && !AllZero(ip, fp);
        out = (neg ? "-" : "") + ip + (decimals > 0 ? "." + fp : "");
    }
    if (static_cast<int>(out.size()) < width)
        out.insert(0, static_cast<size_t>(width) - out.size(), ' ');
    return out;
}

char* PutFixed(char* at, double value, int decimals, int width) {
    char buf[kFixedRoom];
    char* const end = buf + sizeof buf;
    const char* from = FastFixed(value, decimals, end);
    if (!from || width > kFixedRoom) return nullptr;
    for (auto pad = width - (end - from); pad > 0; --pad) *at++ = ' ';
    const size_t n = static_cast<size_t>(end - from);
    std::memcpy(at, from, n);
    return at + n;
}

char* PutFixedNearest(char* at, double value, int decimals) {
    char buf[kFixedRoom];
    char* const end = buf + sizeof buf;
    const char* from = FastFixed(value, decimals, end, false);
    if (!from) return nullptr;
    const size_t n = static_cast<size_t>(end - from);
    std::memcpy(at, from, n);
    return at + n;
}

void AppendFixed(std::string& out, double value, int decimals, int width) {
    char buf[kFixedRoom];
    char* const end = buf + sizeof buf;
    char* at = FastFixed(value, decimals, end);
    if (!at) {
        out += FormatFixed(value, decimals, width);
        return;
    }
    if (end - at < width) out.append(static_cast<size_t>(width - (end - at)), ' ');
    out.append(at, end);
}

std::string FormatGeneral(double value) {
    constexpr int kPrecision = 15;
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == 0) return "0";
    // Significant digits and the decimal exponent E with |v| = 0.d1d2... x 10^E.
    std::string digits;
    int exp10 = 0;
    // 25 correctly rounded digits decide the rounding at 15 unless digits 16 to 25 read
    // 5000000000, where the exact value may lie on either side of the half or on it.
    // "d.<24 digits>e<sign><2 or 3 digits>".
    char buf[64];
    auto res =
        std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific, 24);
    const char* ePos = std::find(buf, res.ptr, 'e');
    if (ePos - buf == 26 && res.ptr - ePos >= 3 && std::memcmp(buf + 16, "5000000000", 10) != 0) {
        digits.assign(1, buf[0]);
        digits.append(buf + 2, 24);
        int e = 0;
        std::from_chars(ePos + 2, res.ptr, e);
        exp10 = (ePos[1] == '-' ? -e : e) + 1;
    } else {
        Exact e = ExactDecimal(value);
        std::string all = e.intPart + e.fracPart;
        exp10 = e.intPart == "0" ? 0 : static_cast<int>(e.intPart.size());
        size_t first = all.find_first_not_of('0');
        if (e.intPart == "0") {
            all = e.fracPart;
            first = all.find_first_not_of('0');
            exp10 = -static_cast<int>(first);
        }
        digits = all.substr(first);
    }
    if (digits.size() > kPrecision) {
        bool up = digits[kPrecision] >= '5';
        digits.resize(kPrecision);
        if (up && Increment(digits)) {
            digits.insert(digits.begin(), '1');
            digits.pop_back();
            ++exp10;
        }
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string sign = value < 0 ? "-" : "";
    if (exp10 > kPrecision || exp10 < -4) {
        std::string out = sign + digits.substr(0, 1);
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        return out + "E" + std::to_string(exp10 - 1);
    }
    std::string out;
    if (exp10 <= 0) {
        out = "0." + std::string(static_cast<size_t>(-exp10), '0') + digits;
    } else if (static_cast<int>(digits.size()) <= exp10) {
        out = digits + std::string(static_cast<size_t>(exp10) - digits.size(), '0');
    } else {
        out = digits.substr(0, static_cast<size_t>(exp10)) + "." +
              digits.substr(static_cast<size_t>(exp10));
    }
    return sign + out;
}

std::string FormatFloatPattern(std::string_view pattern, double value) {
    // Sections: positive;negative;zero. An empty negative or zero section uses the first.
    std::vector<std::string> sections;
    {
        std::string cur;
        char quote = 0;
        for (char c : pattern) {
            if (quote) {
                if (c == quote) quote = 0;
                cur += c;
            } else if (c == '"' || c == '\'') {
                quote = c;
                cur += c;
            } else if (c == ';') {
                sections.push_back(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
        sections.push_back(cur);
    }
    std::string sec = sections[0];
    bool negSection = false;
    if (value < 0 && sections.size() > 1 && !sections[1].empty()) {
        sec = sections[1];
        negSection = true;
    }

    // Read the placeholders of the section.
    bool thousands = false, inFrac = false, seenDigit = false;
    int minInt = 0, minFrac = 0, maxFrac = 0;
    std::string prefix, suffix;
    char quote = 0;
    for (char c : sec) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                (seenDigit ? suffix : prefix) += c;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '0' || c == '#') {
            seenDigit = true;
            if (inFrac) {
                ++maxFrac;
                if (c == '0') minFrac = maxFrac;
            } else if (c == '0') {
                ++minInt;
            }
        } else if (c == '.') {
            inFrac = true;
            seenDigit = true;
        } else if (c == ',') {
            thousands = true;
            seenDigit = true;
        } else {
            (seenDigit ? suffix : prefix) += c;
        }
    }
    std::string ip, fp;
    RoundFixed(value, maxFrac, ip, fp);
    if (sections.size() > 2 && AllZero(ip, fp) && !sections[2].empty())
        return FormatFloatPattern(sections[2], 0.0);
    while (static_cast<int>(fp.size()) > minFrac && !fp.empty() && fp.back() == '0') fp.pop_back();
    if (ip == "0" && minInt == 0) ip.clear();
    while (static_cast<int>(ip.size()) < minInt) ip.insert(ip.begin(), '0');
    std::string body = thousands ? Group(ip) : ip;
    if (!fp.empty()) body += "." + fp;
    bool neg = value < 0 && !negSection && !AllZero(ip.empty() ? "0" : ip, fp);
    return (neg ? "-" : "") + prefix + body + suffix;
}

std::string FormatPrintfReal(std::string_view pattern, double value) {
    // "%[width][.prec]f"; anything else falls back to two decimals.
    int width = 0, prec = 6;
    size_t i = 0;
    if (i < pattern.size() && pattern[i] == '%') ++i;
    while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9')
        width = width * 10 + (pattern[i++] - '0');
    if (i < pattern.size() && pattern[i] == '.') {
        ++i;
        prec = 0;
        while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9')
            prec = prec * 10 + (pattern[i++] - '0');
    }
    if (prec > 30) prec = 30;
    return FormatFixed(value, prec, width);
}

}  // namespace kestrel
