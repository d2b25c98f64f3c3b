#include "kestrel-backtest/Study.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/Format.h"
#include "common/Numbers.h"
#include "console/ConsoleTool.h"

namespace {

constexpr size_t kMaxSettings = 1000;
constexpr int kMaxJobs = 256;

// ---- options ------------------------------------------------------------------------------

std::string_view Trim(std::string_view t) {
    while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    return t;
}

// The value the plain option reads from the shortest text of `v` (cut to nine decimals, where
// a sum of steps has no error left).
double Canonical(double v, SweepKind kind) {
    if (kind == SweepKind::Minutes) return std::round(v);
    return kestrel::ParseReal(kestrel::FormatGeneral(std::round(v * 1e9) / 1e9)).value_or(v);
}

}  // namespace

bool ParseSweepValues(std::string_view text, SweepKind kind, std::vector<double>& values,
                      std::string& error) {
    values.clear();
    const bool whole = kind == SweepKind::Minutes;
    const char* what = whole ? "a whole number of minutes" : "a number";
    auto number = [&](std::string_view t, double& v) {
        if (whole) {
            auto i = kestrel::ParseInt(t);
            if (i) v = *i;
            return i.has_value();
        }
        auto r = kestrel::ParseReal(t);
        if (r) v = *r;
        return r.has_value();
    };
    if (Trim(text).empty()) {
        error = "takes a list of values";
        return false;
    }
    for (size_t start = 0;;) {
        const size_t comma = text.find(',', start);
        const std::string_view item =
            Trim(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (item.empty()) {
            error = "has an empty item";
            return false;
        }
        std::vector<std::string_view> parts;
        for (size_t at = 0;;) {
            const size_t colon = item.find(':', at);
            parts.push_back(item.substr(at, colon == std::string_view::npos ? colon : colon - at));
            if (colon == std::string_view::npos) break;
            at = colon + 1;
        }
        if (parts.size() == 1) {
            double v = 0;
            if (!number(parts[0], v)) {
                error = "'" + std::string(item) + "' is not " + what;
                return false;
            }
            values.push_back(Canonical(v, kind));
        } else if (parts.size() == 3) {
            double first = 0, last = 0, step = 0;
            for (size_t i = 0; i < 3; ++i) {
                if (!number(parts[i], i == 0 ? first : i == 1 ? last : step)) {
                    error = "'" + std::string(parts[i]) + "' in '" + std::string(item) +
                            "' is not " + what;
                    return false;
                }
            }
            if (step <= 0) {
                error = "the step of '" + std::string(item) + "' must be above 0";
                return false;
            }
            if (first > last) {
                error = "the range '" + std::string(item) + "' runs backwards (first above last)";
                return false;
            }
            const double steps = std::floor((last - first) / step + 1e-9);
            if (steps + 1 > static_cast<double>(kMaxSweepValues)) {
                error = "'" + std::string(item) + "' makes more than " +
                        std::to_string(kMaxSweepValues) + " values";
                return false;
            }
            for (int i = 0; i <= static_cast<int>(steps); ++i)
                values.push_back(Canonical(first + i * step, kind));
        } else {
            error = "'" + std::string(item) + "' is neither " + what + " nor first:last:step";
            return false;
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    for (double v : values) {
        const bool fits = whole ? v >= 1 && v <= 1440 : v > 0 && v <= 100;
        if (!fits) {
            error = kestrel::FormatGeneral(v) + (whole ? " is outside 1 to 1440 minutes"
                                                       : " is outside the rates above 0 up "
                                                         "to 100");
            return false;
        }
    }
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    if (values.size() > kMaxSweepValues) {
        error = "makes more than " + std::to_string(kMaxSweepValues) + " values";
        return false;
    }
    return true;
}

namespace {
bool IsStudyOption(std::string_view a) {
    return a == "--sweep-rate" || a == "--sweep-time" || a == "--horizon" || a == "--jobs";
}
bool TakesValue(std::string_view a) {
    return a == "--rate" || a == "--time" || a == "--date" || a == "--out" || IsStudyOption(a);
}
}  // namespace

bool IsStudyCommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (IsStudyOption(a)) return true;
        if (TakesValue(a)) ++i;
    }
    return false;
}

int ParseStudyOptions(int argc, char** argv, CStudyOptions& o, std::string& error) {
    bool sweep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (TakesValue(a) && i + 1 >= argc) {
            error = a + " needs a value";
            return 2;
        }
        std::vector<double> values;
        std::string why;
        auto list = [&](SweepKind kind) {
            if (ParseSweepValues(argv[++i], kind, values, why)) return true;
            error = a + " " + argv[i] + ": " + why;
            return false;
        };
        if (a == "--sweep-rate") {
            if (!list(SweepKind::Rate)) return 2;
            o.Rates = values;
            sweep = true;
        } else if (a == "--sweep-time" || a == "--horizon") {
            if (!list(SweepKind::Minutes)) return 2;
            std::vector<int>& to = a == "--horizon" ? o.Horizons : o.Spans;
            to.assign(values.begin(), values.end());
            sweep = sweep || a == "--sweep-time";
        } else if (a == "--rate") {
            auto v = kestrel::ParseReal(argv[++i]);
            if (!v) return error = "--rate takes a number", 2;
            o.Rate = *v, o.HaveRate = true;
        } else if (a == "--time") {
            auto v = kestrel::ParseInt(argv[++i]);
            if (!v) return error = "--time takes a whole number of minutes", 2;
            o.Span = *v, o.HaveSpan = true;
        } else if (a == "--jobs") {
            auto v = kestrel::ParseInt(argv[++i]);
            if (!v || *v < 1 || *v > kMaxJobs)
                return error = "--jobs takes a whole number from 1 to " + std::to_string(kMaxJobs),
                       2;
            o.Jobs = *v;
        } else if (a == "--date") {
            if (!ParseDateOption(argv[++i], o.Date)) return error = "--date takes yyyymmdd", 2;
            o.FixedDate = true;
        } else if (a == "--out") {
            o.OutDir = argv[++i];
            if (o.OutDir.empty()) return error = "--out takes a folder", 2;
        } else if (a == "--force") {
            o.Force = true;
        } else if (a == "--quiet") {
            o.Quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            return error = "unknown option " + a, 2;
        } else {
            o.Days.push_back(a);
        }
    }
    if (!sweep)
        return error = "--horizon and --jobs belong to a sweep: --sweep-rate or --sweep-time", 2;
    if (o.HaveRate && !o.Rates.empty())
        return error = "--rate and --sweep-rate name the rate twice: give one", 2;
    if (o.HaveSpan && !o.Spans.empty())
        return error = "--time and --sweep-time name the window twice: give one", 2;
    const size_t settings =
        std::max<size_t>(o.Rates.size(), 1) * std::max<size_t>(o.Spans.size(), 1);
    if (settings > kMaxSettings)
        return error = std::to_string(settings) + " settings are more than a study takes (" +
                       std::to_string(kMaxSettings) + ")",
               2;
    if (o.Days.empty()) return error = "a study needs at least one folder", 2;
    return 0;
}
const char* const kStudyUsage =
    "       kestrel-backtest DIR... --sweep-rate LIST [--sweep-time LIST] [--horizon LIST]\n"
    "                        [--jobs N] [--rate R | --time N] [--date yyyymmdd] [--out DIR]\n"
    "                        [--force] [--quiet]\n"
    "  A study: replays each DIR once for every setting of the sweep (--sweep-rate in %,\n"
    "  --sweep-time in minutes, either or both; the one not swept is --rate or --time, or the\n"
    "  folder's own). A LIST holds values and ranges first:last:step: 1.0:3.0:0.5 or 1,2,3,5.\n"
    "  N runs go at once (default one per core). Every alert is scored at each horizon\n"
    "  (--horizon, default 1,5,15 minutes); study.csv, alerts.csv, report.html and each run's\n"
    "  resume files (lists/DAY/SETTING/) go to --out (default ./study, made when missing).\n"
    "  The study's files already there are replaced only with --force; without it the run\n"
    "  ends with exit code 3 before replaying anything.\n";
