#include "kestrel-backtest/Study.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "common/Numbers.h"
#include "console/Options.h"

namespace {

constexpr size_t kMaxSettings = 1000;
constexpr int kMaxJobs = 256;

std::string_view Trim(std::string_view t) {
    while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    return t;
}

// The options that make a command line a study's.
constexpr std::string_view kStudyOptions[] = {"--sweep-rate", "--sweep-time", "--horizon", "--jobs",
                                              "--max-output"};

}  // namespace

bool ParseSweepValues(std::string_view text, SweepKind kind, std::vector<double>& values,
                      std::string& error) {
    values.clear();
    const bool whole = kind == SweepKind::Minutes;
    const char* what = whole ? "a whole number of minutes" : "a number";
    // One number of `item` as given, held to the setting's range when `ranged` (the values
    // themselves, not a range's step); false with `error` naming it.
    auto read = [&](std::string_view part, std::string_view item, bool ranged, double& v) {
        const std::string given(Trim(part));
        std::optional<double> r;
        if (whole) {
            if (auto i = kestrel::ParseInt(part)) r = *i;
        } else {
            r = kestrel::ParseReal(part);
        }
        if (!r) {
            // A whole number too large for the reader is still said with the range it is
            // outside.
            const auto big = kestrel::ParseReal(part);
            if (whole && ranged && big && std::floor(*big) == *big &&
                !CheckMinutes(*big, given, error))
                return false;
            error = "'" + given + "'" +
                    (part.size() == item.size() ? "" : " in '" + std::string(item) + "'") +
                    " is not " + what;
            return false;
        }
        if (ranged && !(whole ? CheckMinutes(*r, given, error) : CheckRate(*r, given, error)))
            return false;
        v = *r;
        return true;
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
            if (!read(parts[0], item, true, v)) return false;
            values.push_back(v);
        } else if (parts.size() == 3) {
            double first = 0, last = 0, step = 0;
            if (!read(parts[0], item, true, first) || !read(parts[1], item, true, last) ||
                !read(parts[2], item, false, step))
                return false;
            if (step <= 0) {
                error = "the step of '" + std::string(item) + "' must be above 0";
                return false;
            }
            if (!whole && RoundRate(step) != step) {
                error = "the step of '" + std::string(item) + "' has more than nine decimals";
                return false;
            }
            if (first > last) {
                error = "the range '" + std::string(item) + "' runs backwards (first above last)";
                return false;
            }
            // First, last and step lie on the grid of nine decimals (of whole minutes), so
            // the steps are counted there, exactly: a quotient of the reals themselves can fall
            // an ulp short of a whole number and lose the last value. Each value is then the
            // one its shortest text reads as, not first plus a sum of steps with its error
            // (0.1 + 2 × 0.1 is not 0.3).
            const double perUnit = whole ? 1 : 1e9;
            const int64_t from = std::llround(first * perUnit);
            const int64_t span = std::llround(last * perUnit) - from;
            const int64_t units = step * perUnit > 1e15 ? span + 1 : std::llround(step * perUnit);
            const int64_t steps = span / units;
            if (steps + 1 > static_cast<int64_t>(kMaxSweepValues)) {
                error = "'" + std::string(item) + "' makes more than " +
                        std::to_string(kMaxSweepValues) + " values";
                return false;
            }
            for (int64_t i = 0; i <= steps; ++i) {
                const double at = static_cast<double>(from + i * units);
                values.push_back(whole ? at : RoundRate(at / perUnit));
            }
        } else {
            error = "'" + std::string(item) + "' is neither " + what + " nor first:last:step";
            return false;
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    if (values.size() > kMaxSweepValues) {
        error = "makes more than " + std::to_string(kMaxSweepValues) + " values";
        return false;
    }
    return true;
}

bool IsStudyCommand(int argc, char** argv) {
    // A value is never an option's name, so the name anywhere makes the command a study's.
    for (int i = 1; i < argc; ++i)
        for (std::string_view o : kStudyOptions)
            if (argv[i] == o) return true;
    return false;
}

int ParseStudyOptions(int argc, char** argv, CStudyOptions& o, std::string& error) {
    COptionParser p;
    auto sweep = [&](SweepKind kind, auto store) {
        return [kind, store](const std::string& text, std::string& why) {
            std::vector<double> values;
            std::string reason;
            if (!ParseSweepValues(text, kind, values, reason))
                return why = text + ": " + reason, false;
            store(values);
            return true;
        };
    };
    p.Number("--sweep-rate", sweep(SweepKind::Rate, [&](auto& v) { o.Rates = v; }));
    p.Number("--sweep-time",
             sweep(SweepKind::Minutes, [&](auto& v) { o.Spans.assign(v.begin(), v.end()); }));
    p.Number("--horizon",
             sweep(SweepKind::Minutes, [&](auto& v) { o.Horizons.assign(v.begin(), v.end()); }));
    p.Number("--rate", [&](const std::string& t, std::string& why) {
        return o.HaveRate = ReadRate(t, o.Rate, why);
    });
    p.Number("--time", [&](const std::string& t, std::string& why) {
        return o.HaveSpan = ReadMinutes(t, o.Span, why);
    });
    p.Number("--jobs", [&](const std::string& t, std::string& why) {
        const auto v = kestrel::ParseInt(t);
        if (!v || *v < 1 || *v > kMaxJobs)
            return why = "takes a whole number from 1 to " + std::to_string(kMaxJobs), false;
        o.Jobs = *v;
        return true;
    });
    p.Number("--max-output", [&](const std::string& t, std::string& why) {
        return ReadByteSize(t, o.MaxOutput, why);
    });
    p.Text("--date", [&](const std::string& t, std::string& why) {
        return o.FixedDate = ReadDate(t, o.Date, why);
    });
    p.Text("--out", [&](const std::string& t, std::string& why) {
        o.OutDir = t;
        return !t.empty() || (why = "takes a folder", false);
    });
    p.Text("--csv-bom", [&](const std::string& t, std::string& why) {
        if (t != "yes" && t != "no") return why = "takes yes or no", false;
        o.CsvBom = t == "yes";
        return true;
    });
    p.Switch("--force", o.Force);
    p.Switch("--quiet", o.Quiet);
    if (!p.Parse(CommandWords(argc, argv), o.Days, error)) return 2;
    if (!p.Given("--sweep-rate") && !p.Given("--sweep-time"))
        return error =
                   "--horizon, --jobs and --max-output belong to a sweep: --sweep-rate or "
                   "--sweep-time",
               2;
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
    "                        [--max-output SIZE] [--csv-bom=no] [--force] [--quiet]\n"
    "  A study: replays each DIR once, judging every setting of the sweep over it (--sweep-rate\n"
    "  in %, --sweep-time in minutes, either or both; the one not swept is --rate or --time, or\n"
    "  the folder's own). A LIST holds values and ranges first:last:step: 1.0:3.0:0.5 or 1,2,3,5.\n"
    "  N threads go at once (default one per core): a day each, the spare ones scoring a\n"
    "  replayed day's runs. Every alert is scored at each horizon\n"
    "  (--horizon, default 1,5,15 minutes); study.csv, alerts.csv, report.html and each run's\n"
    "  resume files (lists/DAY/SETTING/) go to --out (default ./study, made when missing).\n"
    "  The study's files already there are replaced only with --force; without it the run\n"
    "  ends with exit code 3 before replaying anything. The study says the size of the files\n"
    "  it plans before it starts and refuses more than --max-output (bytes, or with K, M or G\n"
    "  for KiB, MiB or GiB; default 4G). Rates go from 0.000000001 to 100 (%), windows and\n"
    "  horizons from 1 to 1440 minutes. study.csv and alerts.csv start with a UTF-8 byte-order\n"
    "  mark, so that Excel reads their Japanese; --csv-bom=no leaves it out.\n";
