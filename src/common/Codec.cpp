#include "common/Codec.h"

#include <cstdint>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <cerrno>
#include <mutex>

namespace kestrel {
namespace {

#ifdef _WIN32
constexpr UINT kCp932 = 932;

// One character of CP932 input: a lead byte of a double-byte character takes the next byte.
size_t Cp932CharLength(std::string_view in, size_t i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    return lead && i + 1 < in.size() ? 2 : 1;
}

// Appends the UTF-16 of `in` (strict) to `out`; false when some byte does not decode.
bool WidenStrict(UINT cp, std::string_view in, std::wstring& out) {
    if (in.empty()) return true;
    int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                                nullptr, 0);
    if (n <= 0) return false;
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                        out.data() + at, n);
    return true;
}

std::string NarrowUtf8(const std::wstring& w) {
    std::string out;
    if (w.empty()) return out;
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n : 0));
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}
#else

// iconv descriptors are not thread-safe; each thread keeps its own pair.
struct Converter {
    iconv_t cd;
    Converter(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Converter() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
};

// Runs one conversion; on a byte sequence that does not convert, writes `replacement`, skips
// `skip` input bytes and goes on.
std::string Convert(iconv_t cd, std::string_view in, std::string_view replacement, bool utf8Input) {
    std::string out;
    if (in.empty()) return out;
    out.resize(in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t done = 0;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (srcLeft > 0) {
        char* dst = out.data() + done;
        size_t dstLeft = out.size() - done;
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        done = out.size() - dstLeft;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        // EILSEQ or EINVAL (truncated input): replace and step over the offending character.
        size_t skip = 1;
        if (utf8Input) {
            unsigned char c = static_cast<unsigned char>(*src);
            skip = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (skip > srcLeft) skip = srcLeft;
            for (size_t i = 1; i < skip; ++i) {
                if ((static_cast<unsigned char>(src[i]) & 0xC0) != 0x80) {
                    skip = i;
                    break;
                }
            }
        }
        if (out.size() - done < replacement.size()) out.resize(out.size() * 2 + replacement.size());
        out.replace(done, replacement.size(), replacement);
        done += replacement.size();
        src += skip;
        srcLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(done);
    return out;
}
#endif

}  // namespace

#ifdef _WIN32
std::string Cp932ToUtf8(std::string_view cp932) {
    if (IsAscii(cp932)) return std::string(cp932);
    std::wstring w;
    if (!WidenStrict(kCp932, cp932, w)) {
        // Character by character, so one bad byte costs only itself (U+FFFD).
        w.clear();
        for (size_t i = 0; i < cp932.size();) {
            size_t len = Cp932CharLength(cp932, i);
            if (!WidenStrict(kCp932, cp932.substr(i, len), w)) {
                if (len == 2 && WidenStrict(kCp932, cp932.substr(i, 1), w)) {
                    len = 1;
                } else {
                    w.push_back(L'\xFFFD');
                    len = 1;
                }
            }
            i += len;
        }
    }
    return NarrowUtf8(w);
}

std::string Utf8ToCp932(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    // Invalid UTF-8 becomes U+FFFD here, which CP932 cannot encode: '?' below.
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) return std::string(utf8);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    int m =
        WideCharToMultiByte(kCp932, WC_NO_BEST_FIT_CHARS, w.data(), n, nullptr, 0, "?", nullptr);
    std::string out(static_cast<size_t>(m > 0 ? m : 0), '\0');
    if (m > 0)
        WideCharToMultiByte(kCp932, WC_NO_BEST_FIT_CHARS, w.data(), n, out.data(), m, "?", nullptr);
    return out;
}
#else
std::string Cp932ToUtf8(std::string_view cp932) {
    if (IsAscii(cp932)) return std::string(cp932);
    thread_local Converter conv("UTF-8", "CP932");
    if (conv.cd == reinterpret_cast<iconv_t>(-1)) return std::string(cp932);
    return Convert(conv.cd, cp932, "\xEF\xBF\xBD", false);
}

std::string Utf8ToCp932(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    thread_local Converter conv("CP932", "UTF-8");
    if (conv.cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
    return Convert(conv.cd, utf8, "?", true);
}
#endif

std::string FirstChars(std::string_view utf8, size_t n) {
    size_t i = 0;
    size_t count = 0;
    while (i < utf8.size() && count < n) {
        ++i;
        while (i < utf8.size() && (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) ++i;
        ++count;
    }
    return std::string(utf8.substr(0, i));
}

std::string_view CutUtf8(std::string_view utf8, size_t maxBytes) {
    if (utf8.size() <= maxBytes) return utf8;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
    return utf8.substr(0, end);
}

bool IsAscii(std::string_view s) {
    // Eight bytes at a time, and 64 between tests: a whole quote file is scanned at start-up.
    const char* p = s.data();
    size_t n = s.size();
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    while (n >= 64) {
        uint64_t any = 0;
        for (int i = 0; i < 8; ++i) {
            uint64_t w;
            std::memcpy(&w, p + 8 * i, 8);
            any |= w;
        }
        if (any & kHigh) return false;
        p += 64;
        n -= 64;
    }
    for (; n > 0; ++p, --n)
        if (static_cast<unsigned char>(*p) >= 0x80) return false;
    return true;
}

bool IsValidUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = 0; i < n;) {
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        unsigned lo = 0x80, hi = 0xBF;  // the range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // overlong below U+0800
            if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;  // overlong below U+10000
            if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k < len; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

}  // namespace kestrel
