#include "ui/Rtf.h"

#include <cstdint>

namespace kestrel {
namespace {

// \uN takes a signed 16-bit number; characters beyond the BMP go as a surrogate pair.
std::string UnicodeWord(uint32_t unit) {
    return "\\u" + std::to_string(static_cast<int16_t>(static_cast<uint16_t>(unit)));
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
        case 2:
            return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3:
            return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        case 4:
            return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) |
                   (b(3) & 0x3F);
        default:
            return 0xFFFD;
    }
}

// Every non-ASCII character goes as \uN with one "?" for readers without Unicode (\uc1), in a
// group of its own: some readers drop the whole run of text after a \uN up to the next space
// or control word, however many fallback characters \ucN announces. The Shift-JIS bytes are
// not repeated after it for the same reason.
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
        const uint32_t cp = len > 1 ? CodePoint(utf8.substr(i, len)) : 0xFFFD;
        i += len;
        out += '{';
        if (cp >= 0x10000) {
            out += UnicodeWord(0xD800 + ((cp - 0x10000) >> 10)) + "?";
            out += UnicodeWord(0xDC00 + ((cp - 0x10000) & 0x3FF)) + "?";
        } else {
            out += UnicodeWord(cp) + "?";
        }
        out += '}';
    }
}

}  // namespace

std::string WriteRtf(const std::vector<std::string>& lines) {
    // Font 0 is "ＭＳ Ｐゴシック", its name in Shift-JIS bytes, charset 128 (Shift-JIS): word
    // processors then show the log in a Japanese font.
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
