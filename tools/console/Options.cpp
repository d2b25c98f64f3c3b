#include "console/Options.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>

#include "common/Format.h"
#include "common/Numbers.h"

namespace {

// A value given to an option that reads numbers may begin with "-" when a digit or a decimal
// point follows: a negative number (or a list starting with one), never an option's name.
bool NegativeNumberLike(const std::string& w) {
    return w.size() > 1 && w[0] == '-' && ((w[1] >= '0' && w[1] <= '9') || w[1] == '.');
}

}  // namespace

void COptionParser::Add(std::string name, Kind takes, Reader read) {
    Options.push_back({std::move(name), takes, std::move(read)});
}

void COptionParser::Switch(std::string name, bool& on) {
    Add(std::move(name), Kind::Switch, [&on](const std::string&, std::string&) {
        on = true;
        return true;
    });
}

void COptionParser::Text(std::string name, Reader read) {
    Add(std::move(name), Kind::Text, std::move(read));
}

void COptionParser::Number(std::string name, Reader read) {
    Add(std::move(name), Kind::Number, std::move(read));
}

bool COptionParser::Parse(const std::vector<std::string>& words, std::vector<std::string>& operands,
                          std::string& error) {
    for (COption& o : Options) o.Given = false;
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i].empty() || words[i][0] != '-' ||
            (LongOptionsOnly && words[i].rfind("--", 0) != 0)) {
            operands.push_back(words[i]);
            continue;
        }
        // "--name=value" is "--name value" in one word; the value is then whatever follows the
        // "=", even when it begins with "-".
        std::string w = words[i];
        std::optional<std::string> joined;
        if (const size_t eq = w.find('='); w.rfind("--", 0) == 0 && eq != std::string::npos) {
            joined = w.substr(eq + 1);
            w.resize(eq);
        }
        auto it = std::find_if(Options.begin(), Options.end(),
                               [&](const COption& o) { return o.Name == w; });
        if (it == Options.end()) {
            error = "unknown option " + w;
            return false;
        }
        if (it->Given) {
            error = w + " given twice";
            return false;
        }
        it->Given = true;
        std::string value, why;
        if (joined && it->Takes == Kind::Switch) {
            error = w + " takes no value";
            return false;
        }
        if (joined) {
            if (joined->empty()) {
                error = w + " needs a value";
                return false;
            }
            value = *joined;
        } else if (it->Takes != Kind::Switch) {
            const bool there = i + 1 < words.size();
            const std::string& next = there ? words[i + 1] : value;
            const bool looksLikeOption = !next.empty() && next[0] == '-' &&
                                         !(it->Takes == Kind::Number && NegativeNumberLike(next));
            if (!there || looksLikeOption) {
                error = w + " needs a value";
                return false;
            }
            value = words[++i];
        }
        if (!it->Read(value, why)) {
            error = w + " " + why;
            return false;
        }
    }
    return true;
}

bool COptionParser::Given(std::string_view name) const {
    return std::any_of(Options.begin(), Options.end(),
                       [&](const COption& o) { return o.Name == name && o.Given; });
}

std::vector<std::string> CommandWords(int argc, char** argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);
    return words;
}

bool AsksForHelp(const std::vector<std::string>& words) {
    return std::any_of(words.begin(), words.end(),
                       [](const std::string& w) { return w == "--help" || w == "-h"; });
}

double RoundRate(double v) {
    return kestrel::ParseReal(kestrel::FormatGeneral(std::round(v * 1e9) / 1e9)).value_or(v);
}

bool CheckRate(double rate, std::string_view given, std::string& why) {
    if (!(rate >= kMinRate && rate <= kMaxRate)) {
        why = std::string(given) + " is outside the rates 0.000000001 to 100";
        return false;
    }
    if (RoundRate(rate) != rate) {
        why = std::string(given) + " has more than nine decimals";
        return false;
    }
    return true;
}

bool CheckMinutes(double minutes, std::string_view given, std::string& why) {
    if (minutes >= kMinMinutes && minutes <= kMaxMinutes) return true;
    why = std::string(given) + " is outside " + std::to_string(kMinMinutes) + " to " +
          std::to_string(kMaxMinutes) + " minutes";
    return false;
}

bool ReadRate(const std::string& text, double& rate, std::string& why) {
    const auto v = kestrel::ParseReal(text);
    if (!v) return why = "takes a number", false;
    if (!CheckRate(*v, text, why)) return false;
    rate = *v;
    return true;
}

bool ReadMinutes(const std::string& text, int& minutes, std::string& why) {
    if (const auto v = kestrel::ParseInt(text)) {
        if (!CheckMinutes(*v, text, why)) return false;
        minutes = *v;
        return true;
    }
    // A whole number too large for the reader is still said with the range it is outside.
    const auto r = kestrel::ParseReal(text);
    if (r && std::floor(*r) == *r && !CheckMinutes(*r, text, why)) return false;
    why = "takes a whole number of minutes";
    return false;
}

bool ReadDate(const std::string& text, CDate& date, std::string& why) {
    const bool digits = text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
                            return c >= '0' && c <= '9';
                        });
    if (!digits) return why = "takes yyyymmdd", false;
    const int y = std::stoi(text.substr(0, 4));
    const unsigned m = static_cast<unsigned>(std::stoi(text.substr(4, 2)));
    const unsigned d = static_cast<unsigned>(std::stoi(text.substr(6, 2)));
    const std::chrono::year_month_day day{std::chrono::year{y}, std::chrono::month{m},
                                          std::chrono::day{d}};
    if (y < 1 || !day.ok()) return why = text + " is no day of the calendar (yyyymmdd)", false;
    date = {y, static_cast<int>(m), static_cast<int>(d)};
    return true;
}

bool ReadByteSize(const std::string& text, uint64_t& bytes, std::string& why) {
    why = "takes a size in bytes above 0, with K, M or G after it for KiB, MiB or GiB";
    size_t end = 0;
    uint64_t v = 0;
    for (; end < text.size() && text[end] >= '0' && text[end] <= '9'; ++end) {
        const uint64_t digit = static_cast<uint64_t>(text[end] - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (end == 0 || v == 0 || text.size() > end + 1) return false;
    int shift = 0;
    if (end < text.size()) {
        const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(text[end])));
        const size_t at = std::string_view("KMG").find(unit);
        if (at == std::string_view::npos) return false;
        shift = 10 * static_cast<int>(at + 1);
    }
    if (v > std::numeric_limits<uint64_t>::max() >> shift) return false;
    bytes = v << shift;
    why.clear();
    return true;
}
