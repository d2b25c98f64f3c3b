#pragma once
// CSV as RFC 4180 writes it: fields joined by commas, records ended by CR LF, and a field that
// holds a comma, a double quote, a CR or an LF enclosed in double quotes with each double quote
// inside doubled. Every other field, the empty one included, is written as it is.
#include <cstdint>
#include <string>
#include <string_view>

class CCsvWriter {
public:
    // Appends to `out`, which the caller writes away (the writer holds no file).
    explicit CCsvWriter(std::string& out) : Out(out) {}
    CCsvWriter& Field(std::string_view text);
    CCsvWriter& Field(int64_t value);
    // Fixed point with `decimals` digits, or an empty field when `present` is false.
    CCsvWriter& Field(double value, int decimals, bool present = true);
    // Ends the record.
    void End();

private:
    std::string& Out;
    bool First = true;
};
