#include "common/CommaText.h"

namespace kestrel {
namespace {
inline bool IsBlank(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}
}  // namespace

void SplitCommaText(std::string_view line, std::vector<std::string_view>& columns,
                    std::string& scratch) {
    columns.clear();
    scratch.clear();
    // A NUL ends the text, as it ends a C string.
    if (size_t nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
    const size_t n = line.size();
    // An unquoted column is never longer than its line: with this much room the views into
    // `scratch` stay valid while later columns are added.
    scratch.reserve(n);
    size_t p = 0;
    while (p < n && IsBlank(line[p])) ++p;
    while (p < n) {
        if (line[p] == '"') {
            // Quoted column: runs to the matching quote; "" inside stands for one quote. An
            // unterminated quote runs to the end of the line.
            ++p;
            const size_t start = p;
            while (p < n && line[p] != '"') ++p;
            if (p + 1 < n && line[p + 1] == '"') {
                // Doubled quotes: the column is unescaped into the scratch text.
                const size_t from = scratch.size();
                scratch.append(line.substr(start, p - start));
                while (p < n) {
                    if (line[p] == '"') {
                        if (p + 1 < n && line[p + 1] == '"') {
                            scratch += '"';
                            p += 2;
                            continue;
                        }
                        ++p;
                        break;
                    }
                    scratch += line[p++];
                }
                columns.push_back(std::string_view(scratch).substr(from));
            } else {
                columns.push_back(line.substr(start, p - start));
                if (p < n) ++p;  // the closing quote
            }
        } else {
            size_t start = p;
            while (p<n&& static_cast<unsigned char>(line[p])> 32 && line[p] != ',') ++p;
            columns.push_back(line.substr(start, p - start));
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

void SplitCommaText(std::string_view line, std::vector<std::string>& columns) {
    thread_local std::vector<std::string_view> views;
    thread_local std::string scratch;
    SplitCommaText(line, views, scratch);
    columns.resize(views.size());
    for (size_t i = 0; i < views.size(); ++i) columns[i].assign(views[i]);
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
