#pragma once
// The value encoding of stored component properties in window descriptions: tagged integers,
// strings, booleans and lists. The reader checks every length against the data it has and
// reports bad or truncated data as a StreamError, never by reading past the end.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrel {

enum class ValueTag : uint8_t {
    Null = 0x00,  // end of a list
    List = 0x01,
    Int8 = 0x02,
    Int16 = 0x03,
    Int32 = 0x04,
    String = 0x06,  // 1 length byte, Shift-JIS
    False = 0x08,
    True = 0x09,
    LString = 0x0C,     // 4 length bytes, Shift-JIS
    WString = 0x12,     // 4 bytes of UTF-16 code units, UTF-16LE
    Utf8String = 0x14,  // 4 length bytes, UTF-8
};

class StreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Builds a value list. Integers take the shortest tag that holds them; a string goes out as
// UTF-8 when it has non-ASCII characters, otherwise with a one-byte length when it fits.
class StreamWriter {
public:
    void WriteListBegin();
    void WriteListEnd();
    void WriteInteger(int32_t value);
    void WriteString(std::string_view utf8);
    void WriteBoolean(bool value);

    const std::string& Bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Reads values from bytes it does not own. Every Read* throws StreamError (with the byte
// offset) when the next value is missing, truncated or of another kind.
class StreamReader {
public:
    // Keeps its own copy, so a reader made from a temporary never reads freed bytes.
    explicit StreamReader(std::string_view bytes) : bytes_(bytes) {}

    void ReadListBegin();
    void ReadListEnd();
    // True when the next byte is the end-of-list tag (it is not consumed).
    bool EndOfList() const;
    int32_t ReadInteger();
    // Any of the four string kinds, returned as UTF-8.
    std::string ReadString();
    bool ReadBoolean();

    size_t Position() const { return pos_; }
    bool AtEnd() const { return pos_ >= bytes_.size(); }

private:
    uint8_t ReadTag(const char* expected);
    std::string_view Take(size_t count, const char* what);
    uint32_t ReadU32(const char* what);
    [[noreturn]] void Fail(const std::string& message, size_t at) const;

    std::string bytes_;
    size_t pos_ = 0;
};

// UTF-16LE code units to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16LeToUtf8(std::string_view utf16le);

}  // namespace kestrel
