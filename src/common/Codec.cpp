#include "Codec.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>

namespace kestrel {
namespace {

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
std::string Convert(iconv_t cd, std::string_view in, std::string_view replacement,
                    bool utf8Input) {
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

}  // namespace

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

bool IsAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

}  // namespace kestrel
