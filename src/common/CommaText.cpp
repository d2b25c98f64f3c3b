#include "CommaText.h"

namespace kestrel {
namespace {
inline bool IsBlank(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}
}  // namespace

void SplitCommaText(std::string_view line, std::vector<std::string>& columns) {
    columns.clear();
    // A NUL ends the text, as it ends a C string.
    if (size_t nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
    const size_t n = line.size();
    size_t p = 0;
    while (p < n && IsBlank(line[p])) ++p;
    while (p < n) {
        if (line[p] == '"') {
            // Quoted column: runs to the matching quote; "" inside stands for one quote. An
            // unterminated quote runs to the end of the line.
            std::string col;
            ++p;
            while (p < n) {
                if (line[p] == '"') {
                    if (p + 1 < n && line[p + 1] == '"') {
                        col += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                col += line[p++];
            }
            columns.push_back(std::move(col));
        } else {
            size_t start = p;
            while (p < n && static_cast<unsigned char>(line[p]) > 32 && line[p] != ',') ++p;
            columns.emplace_back(line.substr(start, p - start));
        }
        while (p < n && IsBlank(line[p])) ++p;
        if (p < n && line[p] == ',') {
            if (p + 1 == n) columns.emplace_back();
            do {
                ++p;
            } while (p < n && IsBlank(line[p]));
        }
    }
}

std::vector<std::string> SplitCommaText(std::string_view line) {
    std::vector<std::string> cols;
    SplitCommaText(line, cols);
    return cols;
}

std::string QuoteCommaColumn(std::string_view column) {
    bool needs = false;
    for (char c : column) {
        if (IsBlank(c) || c == '"' || c == ',') {
            needs = true;
            break;
        }
    }
    if (!needs) return std::string(column);
    std::string out;
    out.reserve(column.size() + 2);
    out += '"';
    for (char c : column) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string JoinCommaText(const std::vector<std::string>& columns) {
    std::string out;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) out += ',';
        out += QuoteCommaColumn(columns[i]);
    }
    return out;
}

}  // namespace kestrel
