#include "kestrel-backtest/StudyPlan.h"

#include <algorithm>
#include <cstdio>

#include "common/TextFile.h"
#include "kestrel-backtest/StudyCharts.h"
#include "kestrel-backtest/StudyScore.h"
#include "tracking/Trkg.h"

// The library the report embeds, for the plan of its size.
extern const size_t kEchartsScriptSize;

namespace kestrel::study {

uint64_t Mul(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
uint64_t Add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::string BytesText(uint64_t bytes) {
    char text[64];
    const double b = static_cast<double>(bytes);
    if (bytes >= (uint64_t{1} << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", b / (1u << 30));
    else if (bytes >= (uint64_t{1} << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", b / (1u << 20));
    else
        std::snprintf(text, sizeof text, "%.1f KiB", b / (1u << 10));
    return text;
}

namespace {

// The longest topic a day's events can carry: a watch line in UTF-8 (at most three bytes for
// each byte of CP932), and never longer than a record keeps.
uint64_t TopicBytes(const CDay& d) {
    return std::min<uint64_t>(kestrel::kMaxTextFieldBytes, 3 * d.Watch.LongestLine);
}

// The longest event line of a day: "hh:nn topic:price,(move),ratio% limit[K,A]", each number at
// most 11 characters, the ratio (a move over a price, in percent, two decimals) at most 24.
uint64_t EventLineBytes(const CDay& d) { return 78 + TopicBytes(d); }

// The most one row of alerts.csv can take, field by field: the day's folder and the topic and
// event quoted (each byte doubled at worst), the rate 24, the window, line, price and move 11
// each, the time 16, the ratio 24; per horizon a price and two moves of four decimals (50 with
// their commas); the issue's name (a record's text, quoted); the other commas and CR LF.
uint64_t AlertRowBytes(const CDay& d, size_t horizons) {
    return 2 * d.Dir.size() + 2 * TopicBytes(d) + 2 * EventLineBytes(d) + 50 * horizons +
           2 * kestrel::kMaxTextFieldBytes + 150;
}

}  // namespace

// The most the study can write, planned before anything runs. A replayed line stores at most
// one point and a point raises at most one rise and one fall, so a run has at most two alerts
// a line of its day's kabu.txt. A run's lists hold one record per watched issue at most (three
// texts of at most 256 bytes, quoted, and 15 numbers). study.csv has two rows a run, the report
// its library, the days' names, two cells a run, and its charts of at most every point of a day
// with two alerts each. Without `alerts`, only what is written whatever the runs raise: the
// headers, study.csv's rows, the report's fixed part and cells.
uint64_t PlannedBytes(const CStudyOptions& o, const std::vector<std::unique_ptr<CDay>>& days,
                      const std::vector<uint64_t>& runsOfDay, bool alerts) {
    const uint64_t hs = o.Horizons.size();
    uint64_t total = 120 + 60 * hs;                               // alerts.csv's header, BOM
    total = Add(total, 70 + 240 * hs);                            // study.csv's
    total = Add(total, kEchartsScriptSize / 8 * 9 + (64 << 10));  // the report's fixed part
    total = Add(total, 2 * hs * 8000);  // its tables of the best settings, warnings, walks
    uint64_t longestDay = 0, longestName = 0;
    for (size_t d = 0; d < days.size(); ++d) {
        const CDay& day = *days[d];
        const uint64_t runs = runsOfDay[d];
        const uint64_t record =
            2 * (TopicBytes(day) + 2 * kestrel::kMaxTextFieldBytes) + 6 + 15 * 32 + 19;
        const uint64_t perRun =
            Add(Mul(2 * day.Lines.Lines, AlertRowBytes(day, hs)), Mul(2 * day.Watch.Lines, record));
        if (alerts) total = Add(total, Mul(runs, perRun));
        // study.csv: the old columns, then per horizon four numbers, a count, a share and a
        // topic (quoted).
        total = Add(total,
                    Mul(runs, 2 * (2 * day.Dir.size() + 100 + (280 + 2 * TopicBytes(day)) * hs)));
        // The report's cells: the heat maps' data (with a topic each), the session tables and
        // the warnings that name settings and topics.
        total = Add(total, Mul(runs, 2 * (150 + (900 + 3 * 6 * TopicBytes(day)) * hs)));
        total = Add(total, 6 * (day.Dir.size() + 2));  // its list of days
        // The walk forward: a line per kind and horizon for each day, its name escaped.
        total = Add(total, 2 * hs * (6 * day.Dir.size() + 160));
        longestDay = std::max(longestDay, day.Lines.Lines);
        longestName = std::max(longestName, 6 * (TopicBytes(day) + 260 + day.Dir.size()));
    }
    // Charts: every point of an issue as [ms,price], every alert as [ms,price,"K"].
    if (!alerts) return total;
    return Add(total, Mul(kChartIssues, Add(longestName + 64, Mul(longestDay, 86))));
}

// What one run may hold at once: the controller with its reference files, the records in
// flight and buffers; every tracker with all it may keep apart; the day's text (four times its
// bytes when it must be converted from CP932, the bytes and the text side by side); per line its
// place in the text and the day's point; a large page per setting for its moves; and per alert
// (two a line at most) the event line kept, its match, its paths and its forward moves, each
// with room to grow. Measured peaks of one run: 11 MB on examples/demo and 259 MB on a
// generated day of a million lines with 1.6 alerts a line; what this counts for them is
// several times as much.
uint64_t DayMemory(const CDay& d, size_t horizons, size_t settings) {
    const uint64_t lines = d.Lines.Lines;
    const uint64_t perAlert = 2 * EventLineBytes(d) + 32 + 32 + 8 + 24 * horizons;
    uint64_t bytes = uint64_t{16} << 20;
    // Two settings or more may be replayed in two halves at once, each with its trackers and
    // the day's text.
    const uint64_t replays = settings >= 2 ? 2 : 1;
    bytes =
        Add(bytes, Mul(replays, Mul(d.Watch.Lines, sizeof(CTrkg) + CMoveDetector::kSpillBytes)));
    bytes = Add(bytes, Mul(replays, d.Lines.Ascii ? d.Lines.Bytes : Mul(4, d.Lines.Bytes)));
    // The points once, with their paths at each horizon; every setting's moves, each line
    // raising both at worst.
    bytes = Add(bytes, Mul(lines, 12 + 24));
    bytes = Add(bytes, Mul(lines, Mul(horizons, sizeof(CPointPaths))));
    bytes = Add(bytes, Mul(Mul(lines, 2 * perAlert), settings));
    // Each setting's first block of moves, which may be backed by a large page from its first.
    bytes = Add(bytes, Mul(settings, uint64_t{2} << 20));
    return bytes;
}

}  // namespace kestrel::study
