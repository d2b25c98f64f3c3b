#include "Rtf.h"

#include <cstdint>
#include <cstdio>

#include "Codec.h"

namespace kestrel {
namespace {

void AppendHexBytes(std::string& out, std::string_view bytes) {
    char buf[8];
    for (unsigned char b : bytes) {
        std::snprintf(buf, sizeof buf, "\\'%02x", b);
        out += buf;
    }
}

// \uN takes a signed 16-bit number; characters beyond the BMP go as a surrogate pair. Each is
// followed by one "?" for readers that do not know \u (\uc1).
void AppendUnicode(std::string& out, uint32_t cp) {
    auto unit = [&](uint32_t u) {
        out += "\\u" + std::to_string(static_cast<int16_t>(static_cast<uint16_t>(u))) + "?";
    };
    if (cp >= 0x10000) {
        cp -= 0x10000;
        unit(0xD800 + (cp >> 10));
        unit(0xDC00 + (cp & 0x3FF));
    } else {
        unit(cp);
    }
}

// The length of the UTF-8 sequence starting with `lead`, 1 for a stray byte.
size_t SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

uint32_t CodePoint(std::string_view seq) {
    const auto b = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(seq[i]));
    };
    switch (seq.size()) {
        case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        case 4:
            return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) |
                   (b(3) & 0x3F);
        default: return 0xFFFD;
    }
}

void AppendText(std::string& out, std::string_view utf8) {
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            if (c == '\\' || c == '{' || c == '}') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c == '\t') {
                out += "\\tab ";
            } else if (c >= 0x20) {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        size_t len = SequenceLength(c);
        if (i + len > utf8.size()) len = utf8.size() - i;
        const std::string_view seq = utf8.substr(i, len);
        i += len;
        const uint32_t cp = len > 1 ? CodePoint(seq) : 0xFFFD;
        const std::string sjis = Utf8ToCp932(seq);
        if (len > 1 && !sjis.empty() && sjis != "?")
            AppendHexBytes(out, sjis);
        else
            AppendUnicode(out, cp);
    }
}

}  // namespace

std::string WriteRtf(const std::vector<std::string>& lines) {
    // Font 0 is "ＭＳ Ｐゴシック" (its Shift-JIS bytes), charset 128 (Shift-JIS), so that readers
    // take the \'hh pairs as double-byte characters.
    std::string out =
        "{\\rtf1\\ansi\\ansicpg932\\deff0\\deflang1041"
        "{\\fonttbl{\\f0\\fswiss\\fprq2\\fcharset128 "
        "\\'82\\'6c\\'82\\'72 \\'82\\'6f\\'83\\'53\\'83\\'56\\'83\\'62\\'83\\'4e;}}\r\n"
        "\\viewkind4\\uc1\\pard\\lang1041\\f0\\fs18 ";
    for (const std::string& line : lines) {
        AppendText(out, line);
        out += "\\par\r\n";
    }
    out += "}\r\n";
    return out;
}

}  // namespace kestrel
