#include "kestrel-backtest/Csv.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "common/Format.h"

// A plain loop: find_first_of looks each byte up in the set with a call of its own, and
// alerts.csv has millions of fields.
bool CCsvWriter::NeedsQuotes(std::string_view text) {
    for (const char c : text)
        if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
    return false;
}

CCsvWriter& CCsvWriter::Field(std::string_view text) {
    if (!First) Out += ',';
    First = false;
    const size_t at = Out.size();
    Out += text;
    if (NeedsQuotes(text)) Enclose(at);
    return *this;
}

void CCsvWriter::Enclose(size_t at) {
    // In place, from the back: each byte moves right by the quotes before it and the opening
    // one, so none is overwritten before it is read.
    const size_t end = Out.size();
    size_t quotes = 0;
    for (size_t i = at; i < end; ++i) quotes += Out[i] == '"';
    Out.resize(end + 2 + quotes);
    char* d = Out.data();
    size_t w = Out.size();
    d[--w] = '"';
    for (size_t r = end; r-- > at;) {
        d[--w] = d[r];
        if (d[r] == '"') d[--w] = '"';
    }
    d[--w] = '"';
}

char* CCsvWriter::PutNumber(char* at, int64_t value) {
    return std::to_chars(at, at + kNumberRoom, value).ptr;
}

char* CCsvWriter::PutNumber(char* at, double value, int decimals) {
    if (char* fast = kestrel::PutFixedNearest(at, value, decimals)) return fast;
    char* end = std::to_chars(at, at + kNumberRoom, value, std::chars_format::fixed, decimals).ptr;
    // "-0.0000" says a sign the value does not have at this precision.
    if (end - at > 1 && at[0] == '-' &&
        std::all_of(at + 1, end, [](char c) { return c == '0' || c == '.'; })) {
        std::copy(at + 1, end, at);
        --end;
    }
    return end;
}

CCsvWriter& CCsvWriter::Field(int64_t value) {
    char text[kNumberRoom];
    return Field(std::string_view(text, static_cast<size_t>(PutNumber(text, value) - text)));
}

CCsvWriter& CCsvWriter::Field(double value, int decimals, bool present) {
    if (!present || !std::isfinite(value)) return Field(std::string_view());
    char text[kNumberRoom];  // room for any double in fixed point
    return Field(
        std::string_view(text, static_cast<size_t>(PutNumber(text, value, decimals) - text)));
}

void CCsvWriter::End() {
    Out += "\r\n";
    First = true;
}
