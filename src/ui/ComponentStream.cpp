#include "ui/ComponentStream.h"

#include <limits>

#include "common/Codec.h"

namespace kestrel {
namespace {

void PutLe(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Keeps well-formed UTF-8 sequences and replaces every other byte by U+FFFD.
std::string SanitizeUtf8(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        uint8_t c = static_cast<uint8_t>(in[i]);
        size_t len = c < 0x80             ? 1
                     : (c & 0xE0) == 0xC0 ? 2
                     : (c & 0xF0) == 0xE0 ? 3
                     : (c & 0xF8) == 0xF0 ? 4
                                          : 0;
        uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        bool ok = len != 0 && i + len <= in.size();
        for (size_t k = 1; ok && k < len; ++k) {
            uint8_t cc = static_cast<uint8_t>(in[i + k]);
            ok = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (ok) {
            out.append(in.substr(i, len));
            i += len;
        } else {
            AppendUtf8(out, 0xFFFD);
            ++i;
        }
    }
    return out;
}

const char* TagName(uint8_t tag) {
    switch (tag) {
        case 0x00:
            return "end of list";
        case 0x01:
            return "list";
        case 0x02:
        case 0x03:
        case 0x04:
            return "integer";
        case 0x06:
        case 0x0C:
        case 0x12:
        case 0x14:
            return "string";
        case 0x08:
        case 0x09:
            return "boolean";
        default:
            return "unknown value";
    }
}

}  // namespace

void StreamWriter::WriteListBegin() { bytes_ += static_cast<char>(ValueTag::List); }
void StreamWriter::WriteListEnd() { bytes_ += static_cast<char>(ValueTag::Null); }

void StreamWriter::WriteInteger(int32_t value) {
    if (value >= std::numeric_limits<int8_t>::min() &&
        value <= std::numeric_limits<int8_t>::max()) {
        bytes_ += static_cast<char>(ValueTag::Int8);
        PutLe(bytes_, static_cast<uint32_t>(value), 1);
    } else if (value >= std::numeric_limits<int16_t>::min() &&
               value <= std::numeric_limits<int16_t>::max()) {
        bytes_ += static_cast<char>(ValueTag::Int16);
        PutLe(bytes_, static_cast<uint32_t>(value), 2);
    } else {
        bytes_ += static_cast<char>(ValueTag::Int32);
        PutLe(bytes_, static_cast<uint32_t>(value), 4);
    }
}

void StreamWriter::WriteString(std::string_view utf8) {
    if (!IsAscii(utf8)) {
        bytes_ += static_cast<char>(ValueTag::Utf8String);
        PutLe(bytes_, static_cast<uint32_t>(utf8.size()), 4);
    } else if (utf8.size() < 256) {
        bytes_ += static_cast<char>(ValueTag::String);
        PutLe(bytes_, static_cast<uint32_t>(utf8.size()), 1);
    } else {
        bytes_ += static_cast<char>(ValueTag::LString);
        PutLe(bytes_, static_cast<uint32_t>(utf8.size()), 4);
    }
    bytes_.append(utf8);
}

void StreamWriter::WriteBoolean(bool value) {
    bytes_ += static_cast<char>(value ? ValueTag::True : ValueTag::False);
}

void StreamReader::Fail(const std::string& message, size_t at) const {
    throw StreamError(message + " at byte " + std::to_string(at));
}

uint8_t StreamReader::ReadTag(const char* expected) {
    if (pos_ >= bytes_.size())
        Fail(std::string("data ends where ") + expected + " was expected", pos_);
    return static_cast<uint8_t>(bytes_[pos_++]);
}

std::string_view StreamReader::Take(size_t count, const char* what) {
    if (count > bytes_.size() - pos_)
        Fail(std::string("truncated ") + what + ": " + std::to_string(count) + " bytes needed, " +
                 std::to_string(bytes_.size() - pos_) + " left",
             pos_);
    std::string_view part = std::string_view(bytes_).substr(pos_, count);
    pos_ += count;
    return part;
}

uint32_t StreamReader::ReadU32(const char* what) {
    std::string_view b = Take(4, what);
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[i]);
    return v;
}

void StreamReader::ReadListBegin() {
    size_t at = pos_;
    uint8_t tag = ReadTag("a list");
    if (tag != static_cast<uint8_t>(ValueTag::List))
        Fail(std::string("list expected, found ") + TagName(tag), at);
}

void StreamReader::ReadListEnd() {
    size_t at = pos_;
    uint8_t tag = ReadTag("the end of the list");
    if (tag != static_cast<uint8_t>(ValueTag::Null))
        Fail(std::string("end of list expected, found ") + TagName(tag), at);
}

bool StreamReader::EndOfList() const {
    return pos_ < bytes_.size() && bytes_[pos_] == static_cast<char>(ValueTag::Null);
}

int32_t StreamReader::ReadInteger() {
    size_t at = pos_;
    uint8_t tag = ReadTag("an integer");
    switch (static_cast<ValueTag>(tag)) {
        case ValueTag::Int8:
            return static_cast<int8_t>(Take(1, "integer")[0]);
        case ValueTag::Int16: {
            std::string_view b = Take(2, "integer");
            return static_cast<int16_t>(static_cast<uint8_t>(b[0]) |
                                        (static_cast<uint8_t>(b[1]) << 8));
        }
        case ValueTag::Int32:
            return static_cast<int32_t>(ReadU32("integer"));
        default:
            Fail(std::string("integer expected, found ") + TagName(tag), at);
    }
}

std::string StreamReader::ReadString() {
    size_t at = pos_;
    uint8_t tag = ReadTag("a string");
    switch (static_cast<ValueTag>(tag)) {
        case ValueTag::String: {
            size_t n = static_cast<uint8_t>(Take(1, "string length")[0]);
            return Cp932ToUtf8(Take(n, "string"));
        }
        case ValueTag::LString: {
            uint32_t n = ReadU32("string length");
            return Cp932ToUtf8(Take(n, "string"));
        }
        case ValueTag::WString: {
            uint32_t units = ReadU32("string length");
            if (units > (bytes_.size() - pos_) / 2)
                Fail("truncated string: " + std::to_string(units) + " UTF-16 units needed", pos_);
            return Utf16LeToUtf8(Take(size_t{units} * 2, "string"));
        }
        case ValueTag::Utf8String: {
            uint32_t n = ReadU32("string length");
            // Normalise bad UTF-8 to U+FFFD so that nothing downstream meets broken text.
            std::string_view raw = Take(n, "string");
            return IsAscii(raw) ? std::string(raw) : SanitizeUtf8(raw);
        }
        default:
            Fail(std::string("string expected, found ") + TagName(tag), at);
    }
}

bool StreamReader::ReadBoolean() {
    size_t at = pos_;
    uint8_t tag = ReadTag("a boolean");
    if (tag == static_cast<uint8_t>(ValueTag::True)) return true;
    if (tag == static_cast<uint8_t>(ValueTag::False)) return false;
    Fail(std::string("boolean expected, found ") + TagName(tag), at);
}

std::string Utf16LeToUtf8(std::string_view utf16le) {
    std::string out;
    out.reserve(utf16le.size() * 3 / 2);
    size_t n = utf16le.size() / 2;
    auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(utf16le[2 * i]) |
                                     (static_cast<uint8_t>(utf16le[2 * i + 1]) << 8));
    };
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

}  // namespace kestrel
