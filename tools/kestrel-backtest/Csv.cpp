#include "kestrel-backtest/Csv.h"

#include <charconv>
#include <cmath>

namespace {
// Whether a field must be enclosed. A plain loop: find_first_of looks each byte up in the set
// with a call of its own, and alerts.csv has millions of fields.
bool NeedsQuotes(std::string_view text) {
    for (const char c : text)
        if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
    return false;
}
}  // namespace

CCsvWriter& CCsvWriter::Field(std::string_view text) {
    if (!First) Out += ',';
    First = false;
    if (!NeedsQuotes(text)) {
        Out += text;
        return *this;
    }
    Out += '"';
    for (char c : text) {
        if (c == '"') Out += '"';
        Out += c;
    }
    Out += '"';
    return *this;
}

CCsvWriter& CCsvWriter::Field(int64_t value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return Field(std::string_view(text, static_cast<size_t>(end - text)));
}

CCsvWriter& CCsvWriter::Field(double value, int decimals, bool present) {
    if (!present || !std::isfinite(value)) return Field(std::string_view());
    char text[400];  // room for any double in fixed point
    const auto end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
    // "-0.0000" says a sign the value does not have at this precision.
    std::string_view t(text, static_cast<size_t>(end - text));
    if (t.size() > 1 && t[0] == '-' && t.find_first_not_of("-0.") == std::string_view::npos)
        t.remove_prefix(1);
    return Field(t);
}

void CCsvWriter::End() {
    Out += "\r\n";
    First = true;
}
