#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <system_error>
#include <tuple>

#include "common/FileSaveOps.h"
#include "common/Numbers.h"
#include "common/TimeOfDay.h"
#include "kestrel-backtest/Csv.h"
#include "kestrel-backtest/Study.h"
#include "kestrel-backtest/StudyFiles.h"
#include "kestrel-backtest/StudyRun.h"
#include "kestrel-backtest/StudyScore.h"
#include "support/TempDir.h"

namespace {
int RunTool(const std::string& args, std::string& out, std::string* err = nullptr) {
    const std::string errFile = std::filesystem::temp_directory_path() /
                                ("kestrel-study-err-" + std::to_string(getpid()) + ".txt");
    // A hang guard far above any run here, sanitizers and a loaded machine included: a run
    // that waits for ever (on a pipe, say) fails instead of holding up the suite.
    FILE* p = popen(
        ("timeout -s KILL 240 " + std::string(KESTREL_BACKTEST) + " " + args + " 2>" + errFile)
            .c_str(),
        "r");
    char buf[4096];
    out.clear();
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = pclose(p);
    if (err) {
        err->clear();
        if (FILE* f = fopen(errFile.c_str(), "rb")) {
            for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) err->append(buf, n);
            fclose(f);
        }
    }
    std::filesystem::remove(errFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Read(const std::string& path) {
    std::string bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
        fclose(f);
    }
    return bytes;
}

// A CSV file as RFC 4180 reads it, each record a map from the header's names.
// A UTF-8 byte-order mark before the header is no part of its first name.
std::vector<std::map<std::string, std::string>> ReadCsv(std::string text) {
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string& field = records.back().back();
        if (quoted) {
            if (c != '"')
                field += c;
            else if (i + 1 < text.size() && text[i + 1] == '"')
                field += '"', ++i;
            else
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            records.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            records.emplace_back(1);
        } else {
            field += c;
        }
    }
    records.pop_back();  // after the last CR LF
    std::vector<std::map<std::string, std::string>> rows;
    for (size_t r = 1; r < records.size(); ++r) {
        EXPECT_EQ(records[r].size(), records[0].size()) << "record " << r;
        std::map<std::string, std::string> row;
        for (size_t c = 0; c < records[0].size() && c < records[r].size(); ++c)
            row[records[0][c]] = records[r][c];
        rows.push_back(row);
    }
    return rows;
}

std::string SettingKey(const std::map<std::string, std::string>& row) {
    return row.at("rate") + "/" + row.at("time");
}
}  // namespace

TEST(Study, CsvFieldsAreQuotedAsRfc4180Says) {
    std::string out;
    CCsvWriter w(out);
    w.Field("plain").Field("").Field("a,b").Field("say \"hi\"").Field("two\nlines");
    w.Field("cr\rhere").Field(" blanks ").Field("ソニー").Field(int64_t{-12});
    w.Field(1.23456, 4).Field(-0.00001, 4).Field(2.5, 4, false).End();
    w.Field("next").FieldWrittenBy([](std::string& o) { o += "\"a\",\"\""; });
    w.FieldWrittenBy([](std::string& o) { o += "as is"; }).End();
    EXPECT_EQ(out,
              "plain,,\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",\"cr\rhere\", blanks ,ソニー,-12,"
              "1.2346,0.0000,\r\nnext,\"\"\"a\"\",\"\"\"\"\",as is\r\n");
}

// Moves are numbered by their topic's text: by its place while the place has been seen, by the
// text for a place first seen, through the table's growth, and blocks of moves keep their order.
TEST(Study, MovesKeepTheirTopicsAndOrderAcrossTheTablesAndBlocksGrowth) {
    kestrel::study::CTopicNumbers topics;
    std::vector<std::string> here, there;
    for (int i = 0; i < 3000; ++i) here.push_back(std::to_string(1000 + i) + ".T-long-enough-text");
    there = here;  // the same texts elsewhere: two trackers of one issue
    kestrel::study::CRunUi ui(topics);
    const size_t count = kestrel::study::CRunUi::CEvents::kBlock + 5;
    for (size_t i = 0; i < count; ++i) {
        MoveEvent e;
        const std::vector<std::string>& texts = i % 2 ? here : there;
        e.Topic = texts[i * 7 % texts.size()];
        e.Price = static_cast<int32_t>(i);
        ui.Line = static_cast<int32_t>(i);
        ui.AppendMove(e);
    }
    ASSERT_EQ(ui.Events.size(), count);
    EXPECT_EQ(topics.Count(), here.size());
    for (size_t i = 0; i < count; i += 997) {
        const auto& e = ui.Events[i];
        EXPECT_EQ(e.Line, static_cast<int32_t>(i));
        EXPECT_EQ(e.Price, static_cast<int32_t>(i));
        EXPECT_EQ(ui.TopicOf(e), here[i * 7 % here.size()]);
    }
    EXPECT_EQ(ui.TopicOf(ui.Events[count - 1]), here[(count - 1) * 7 % here.size()]);
}

// Each swept value is the one the plain --rate or --time reads from its shortest text, so a
// sweep's run is exactly that plain run; what does not read is refused with its reason.
TEST(Study, SweepValuesAreThePlainOptionsValuesAndBadOnesAreRefused) {
    std::vector<double> v;
    std::string error;
    ASSERT_TRUE(ParseSweepValues("1.0:3.0:0.5", SweepKind::Rate, v, error)) << error;
    EXPECT_EQ(v, (std::vector<double>{1.0, 1.5, 2.0, 2.5, 3.0}));
    ASSERT_TRUE(ParseSweepValues("0.1:0.7:0.1", SweepKind::Rate, v, error)) << error;
    ASSERT_EQ(v.size(), 7u);
    EXPECT_EQ(v[2], *kestrel::ParseReal("0.3")) << "not 0.1 + 2 × 0.1";
    EXPECT_EQ(v[6], *kestrel::ParseReal("0.7"));
    ASSERT_TRUE(ParseSweepValues("1:2:0.3, 2.5,1", SweepKind::Rate, v, error)) << error;
    EXPECT_EQ(v, (std::vector<double>{1.0, 1.3, 1.6, 1.9, 2.5}));
    ASSERT_TRUE(ParseSweepValues("5,1,3,1:5:2", SweepKind::Minutes, v, error)) << error;
    EXPECT_EQ(v, (std::vector<double>{1, 3, 5}));

    for (const char* bad : {"", " ", "1,,2", "3.0:1.0:0.5", "1:3:0", "1:3:-1", "abc", "1:2",
                            "1:2:3:4", "0", "-1", "101", "0.0001:100:0.0001"}) {
        EXPECT_FALSE(ParseSweepValues(bad, SweepKind::Rate, v, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    for (const char* bad : {"1.5", "0", "1441", "1:5:0.5", "x"})
        EXPECT_FALSE(ParseSweepValues(bad, SweepKind::Minutes, v, error)) << bad;
    ASSERT_FALSE(ParseSweepValues("3:1:1", SweepKind::Minutes, v, error));
    EXPECT_NE(error.find("runs backwards"), std::string::npos) << error;
}

// The check a trader would make by hand: every setting of the sweep raises exactly the events
// of a plain run with that --rate and --time, and leaves exactly its ranking lists.
TEST(Study, SweepOfTheDemoMatchesPlainRunsSettingBySetting) {
    kestrel::test::TempDir dir;
    std::string out, err;
    ASSERT_EQ(RunTool(std::string(KESTREL_DEMO_DIR) +
                          " --sweep-rate 1.5:2.5:0.5 --sweep-time 1,2,5 --date 20261208 --out " +
                          dir.File("study"),
                      out, &err),
              0)
        << err;
    EXPECT_NE(out.find("best settings"), std::string::npos) << out;
    const auto study = ReadCsv(Read(dir.File("study/study.csv")));
    const auto alerts = ReadCsv(Read(dir.File("study/alerts.csv")));
    const std::string report = Read(dir.File("study/report.html"));
    ASSERT_EQ(study.size(), 9u * 2) << "one row per setting and kind";
    EXPECT_NE(report.find("echarts"), std::string::npos);
    EXPECT_EQ(report.find("<script src"), std::string::npos) << "the page needs no network";

    std::map<std::string, long> events, rows;
    for (const auto& row : study) events[SettingKey(row)] += std::stol(row.at("events"));
    for (const auto& row : alerts) ++rows[SettingKey(row)];
    ASSERT_EQ(events.size(), 9u);
    std::filesystem::create_directory(dir.File("plain"));
    for (const auto& [key, count] : events) {
        const std::string rate = key.substr(0, key.find('/')), span = key.substr(key.find('/') + 1);
        ASSERT_EQ(RunTool(std::string(KESTREL_DEMO_DIR) + " --rate " + rate + " --time " + span +
                              " --date 20261208 --force --out " + dir.File("plain"),
                          out),
                  0);
        const long lines = static_cast<long>(std::count(out.begin(), out.end(), '\n'));
        EXPECT_EQ(count, lines) << key;
        EXPECT_EQ(rows[key], lines) << key;
        const std::string lists = "study/lists/demo/rate" + rate + "_time" + span + "/";
        for (const char* list : {"20261208_Asc.txt", "20261208_Dsc.txt"})
            EXPECT_EQ(Read(dir.File(lists + list)), Read(dir.File(std::string("plain/") + list)))
                << key << " " << list;
    }

    // A second study into the same folder replaces nothing without --force.
    const std::string before = Read(dir.File("study/study.csv"));
    EXPECT_EQ(RunTool(std::string(KESTREL_DEMO_DIR) + " --sweep-rate 3 --out " + dir.File("study"),
                      out, &err),
              3);
    EXPECT_NE(err.find("not replaced without --force"), std::string::npos) << err;
    EXPECT_EQ(Read(dir.File("study/study.csv")), before);
}

// A day whose prices are known: every score is the one worked out by hand below.
TEST(Study, ScoresOfAHandMadeDayAreExact) {
    kestrel::test::TempDir dir;
    dir.WriteCp932("株式売買値幅.txt", "0,100,30\r\n100,10000,700\r\n");
    dir.WriteCp932("監視銘柄.txt", "1111.T\r\n2222.T\r\n");
    dir.WriteCp932("std.csv", "1111,貸借,1000,1000,,1,1100\r\n2222,貸借,1000,1000,,1,1100\r\n");
    // Line 3 rises 9.09 % (alert), line 7 falls 4.76 % (alert), line 11 rises 13.33 % (alert);
    // lines 4 (no watched issue) and 5 (bad time) are replayed lines that store nothing. The
    // day's data ends at 10:34 (line 12).
    dir.WriteCp932("kabu.txt",
                   "10:00:00,1111,1000,1\r\n10:00:30,2222,500,1\r\n10:01:00,1111,1100,2\r\n"
                   "10:02:00,9999,5,5\r\nxx,1111,1,1\r\n10:04:00,1111,1080,3\r\n"
                   "10:05:30,1111,1050,4\r\n10:07:00,1111,1065,5\r\n10:09:00,1111,1045,6\r\n"
                   "10:20:00,1111,1040,7\r\n10:30:00,1111,1200,8\r\n10:34:00,2222,500,2\r\n");
    std::string out, err;
    ASSERT_EQ(
        RunTool(dir.Path() + " --sweep-rate 2,10 --time 2 --horizon 5,1 --jobs 2 --quiet --out " +
                    dir.File("study"),
                out, &err),
        0)
        << err;
    EXPECT_EQ(out, "") << "--quiet";
    const auto alerts = ReadCsv(Read(dir.File("study/alerts.csv")));
    using Row = std::vector<std::string>;
    std::vector<Row> got;
    for (const auto& a : alerts)
        got.push_back({a.at("rate"), a.at("kind"), a.at("line"), a.at("alert_time"), a.at("price"),
                       a.at("move"), a.at("move_ratio"), a.at("later_price_1m"), a.at("forward_1m"),
                       a.at("adverse_1m"), a.at("later_price_5m"), a.at("forward_5m"),
                       a.at("adverse_5m"), a.at("event")});
    // 1 min: no later point of 1111 within it, so the later price is the alert's own, except
    // after 10:30, whose 5 minutes end after 10:34 (late). 5 min after 10:01: 1080, 1050, so
    // later 1050, −4.5455 %, adverse (1100 − 1050) / 1100. 5 min after the fall at 10:05:30:
    // 1065, 1045, so a forward move of −(1045 − 1050) / 1050 and an adverse one of
    // (1065 − 1050) / 1050.
    EXPECT_EQ(got,
              (std::vector<Row>{
                  {"2", "A", "3", "10:01:00", "1100", "100", "9.09", "1100", "0.0000", "0.0000",
                   "1050", "-4.5455", "4.5455", "10:01 1111.T:1100,(100),9.09% 1700[A,A]"},
                  {"2", "D", "7", "10:05:30", "1050", "-50", "-4.76", "1050", "0.0000", "0.0000",
                   "1045", "0.4762", "1.4286", "10:05 1111.T:1050,(-50),-4.76% 1700[D,A]"},
                  {"2", "A", "11", "10:30:00", "1200", "160", "13.33", "1200", "0.0000", "0.0000",
                   "", "", "", "10:30 1111.T:1200,(160),13.33% 1700[A,A]"},
                  {"10", "A", "11", "10:30:00", "1200", "160", "13.33", "1200", "0.0000", "0.0000",
                   "", "", "", "10:30 1111.T:1200,(160),13.33% 1700[A,A]"},
              }));

    const auto study = ReadCsv(Read(dir.File("study/study.csv")));
    ASSERT_EQ(study.size(), 4u);
    std::vector<Row> sums;
    for (const auto& s : study)
        sums.push_back({s.at("rate"), s.at("kind"), s.at("events"), s.at("issues"),
                        s.at("scored_1m"), s.at("late_1m"), s.at("hit_rate_1m"), s.at("scored_5m"),
                        s.at("late_5m"), s.at("hit_rate_5m"), s.at("mean_forward_5m"),
                        s.at("median_forward_5m"), s.at("mean_adverse_5m")});
    EXPECT_EQ(sums, (std::vector<Row>{
                        {"2", "A", "2", "1", "2", "0", "0.0000", "1", "1", "0.0000", "-4.5455",
                         "-4.5455", "4.5455"},
                        {"2", "D", "1", "1", "1", "0", "0.0000", "1", "0", "1.0000", "0.4762",
                         "0.4762", "1.4286"},
                        {"10", "A", "1", "1", "1", "0", "0.0000", "0", "1", "", "", "", ""},
                        {"10", "D", "0", "0", "0", "0", "", "0", "0", "", "", "", ""},
                    }));
    EXPECT_NE(err.find("12 lines read, 2 skipped (1 no watched issue, 1 bad time), 2 settings, "
                       "4 events"),
              std::string::npos)
        << err;
}

TEST(Study, BadCommandLinesAreSaidBeforeAnythingIsReplayed) {
    kestrel::test::TempDir dir;
    const std::string day = std::string(KESTREL_DEMO_DIR) + " --out " + dir.File("study") + " ";
    const std::pair<const char*, const char*> cases[] = {
        {"--sweep-rate 3.0:1.0:0.5", "runs backwards"},
        {"--sweep-rate 1:3:0", "must be above 0"},
        {"--sweep-rate ''", "takes a list of values"},
        {"--sweep-time 1,x", "is not a whole number of minutes"},
        {"--sweep-rate 1,2 --rate 2", "give one"},
        {"--sweep-time 1,2 --time 2", "give one"},
        {"--horizon 1,5", "belong to a sweep"},
        {"--jobs 0 --sweep-rate 2", "--jobs takes"},
        {"--sweep-rate 2 --sweep-time", "needs a value"},
        {"--sweep-rate 2 --bogus", "unknown option --bogus"},
        {"--sweep-rate 2 /nowhere/at/all", "no such folder"},
    };
    for (const auto& [args, said] : cases) {
        std::string out, err;
        EXPECT_EQ(RunTool(day + args, out, &err), 2) << args;
        EXPECT_NE(err.find(said), std::string::npos) << args << "\n" << err;
    }
    std::string out, err;
    EXPECT_EQ(RunTool("--sweep-rate 2", out, &err), 2);
    EXPECT_NE(err.find("at least one folder"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("study/study.csv")));
}

// Runs share no state: spread over threads (the demo twice, as two days), the study is byte
// for byte the one of a single thread. Built with ThreadSanitizer, this also checks that two
// controllers at once touch nothing in common.
TEST(Study, ParallelRunsGiveTheStudyOfOneThread) {
    kestrel::test::TempDir dir;
    std::string files[4][3];
    // The demo twice, as two days of the same name: one folder given twice is refused.
    std::filesystem::create_directory(dir.File("copy"));
    std::filesystem::copy(KESTREL_DEMO_DIR, dir.File("copy/demo"),
                          std::filesystem::copy_options::recursive);
    // The third study holds no rows of a run ahead of its turn: they wait in its part file.
    // The fourth has two threads for each day, which replays its settings in two halves.
    for (int k = 0; k < 4; ++k) {
        const int jobs = k == 0 ? 1 : k == 3 ? 4 : 3;
        CStudyHooks hooks;
        hooks.HeldRows = k == 2 ? 1 : 0;
        CStudyOptions o;
        o.Days = {KESTREL_DEMO_DIR, dir.File("copy/demo")};
        o.Rates = {1.5, 2.5};
        o.Spans = {1, 3};
        o.Jobs = jobs;
        o.FixedDate = true;
        o.Date = {2026, 12, 8};
        o.OutDir = dir.File("study" + std::to_string(k));
        std::string messages, summary;
        double last = -1;
        bool rising = true;
        ASSERT_EQ(RunStudy(
                      o, messages, summary,
                      [&](double share) {
                          rising = rising && share >= last;
                          last = share;
                      },
                      hooks),
                  0)
            << messages;
        EXPECT_TRUE(rising);
        EXPECT_EQ(last, 1.0);
        EXPECT_TRUE(
            std::filesystem::exists(o.OutDir + "/lists/demo-2/rate2.5_time3/20261208_Asc.txt"));
        files[k][0] = Read(o.OutDir + "/study.csv");
        files[k][1] = Read(o.OutDir + "/alerts.csv");
        files[k][2] = Read(o.OutDir + "/report.html");
    }
    for (int k = 1; k < 4; ++k) {
        EXPECT_EQ(files[0][0].size(), files[k][0].size());
        EXPECT_TRUE(files[0][0] == files[k][0]) << "study.csv";
        EXPECT_TRUE(files[0][1] == files[k][1]) << "alerts.csv";
        EXPECT_TRUE(files[0][2] == files[k][2]) << "report.html";
    }
    EXPECT_GT(files[0][1].size(), 1000u);
}

namespace {
namespace fs = std::filesystem;

// The scoring as it was first written, one forward scan over the issue's points for each
// alert: the oracle the one-pass scoring must match bit for bit.
void ScanAlert(const std::vector<CQuotePoint>& points, size_t at, char kind, int32_t endMs,
               const std::vector<int>& horizons, std::vector<CScore>& out) {
    out.assign(horizons.size(), CScore{});
    const CQuotePoint& alert = points[at];
    if (alert.Price <= 0) return;
    const int64_t p0 = alert.Price;
    auto limit = [&](size_t h) {
        return int64_t{alert.TimeMs} + int64_t{horizons[h]} * kestrel::kMsPerMinute;
    };
    int64_t last = p0, against = 0;
    size_t h = 0;
    auto close = [&] {
        if (limit(h) <= endMs) {
            const int64_t gain = kind == 'A' ? last - p0 : p0 - last;
            out[h] = {true, static_cast<int32_t>(last),
                      static_cast<double>(gain) / static_cast<double>(p0) * 100,
                      static_cast<double>(against) / static_cast<double>(p0) * 100};
        }
        ++h;
    };
    for (size_t i = at + 1; i < points.size() && h < horizons.size(); ++i) {
        const CQuotePoint& p = points[i];
        while (h < horizons.size() && p.TimeMs > limit(h)) close();
        if (h == horizons.size()) break;
        last = p.Price;
        against = std::max(against, kind == 'A' ? p0 - p.Price : p.Price - p0);
    }
    while (h < horizons.size()) close();
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

// Random days of every shape the recording can have: clocks that stand still, clocks that go
// back, prices of 0 and below, alerts on the last point, two alerts on one point, horizons
// that end after the day. The one pass, and the day's table of every point's paths where the
// clock never goes back, give what a scan per alert gives, to the bit.
TEST(Study, ScoringInOnePassIsTheScanPerAlert) {
    std::mt19937 random(20261208);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    int forwardDays = 0, backwardDays = 0, tableDays = 0;
    const int kHorizons[] = {1, 2, 3, 5, 15};
    for (int round = 0; round < 3000; ++round) {
        const int shape = round % 3;  // 0 clock forward, 1 back now and then, 2 any order
        const size_t n = static_cast<size_t>(round % 50 == 0 ? pick(500, 2000) : pick(1, 60));
        std::vector<CQuotePoint> points;
        int32_t t = 9 * 3600 * 1000;
        for (size_t i = 0; i < n; ++i) {
            if (shape == 2)
                t = 9 * 3600 * 1000 + pick(0, 20) * 30'000;
            else if (shape == 1 && pick(0, 9) == 0)
                t -= pick(1, 6) * 30'000;
            else
                t += pick(0, 3) * 30'000 * pick(0, 1);  // many equal times
            const int price = pick(0, 19) == 0 ? pick(-3, 0) : 1000 + pick(-40, 40) * 5;
            points.push_back({static_cast<int32_t>(i * 2), t, price});
        }
        std::vector<int> horizons;
        for (int h : kHorizons)
            if (pick(0, 1)) horizons.push_back(h);
        if (horizons.empty()) horizons.push_back(kHorizons[pick(0, 4)]);
        std::vector<CAlertAt> alerts;
        for (size_t i = 0; i < n; ++i) {
            if (pick(0, 3) == 0 || (i + 1 == n && pick(0, 1)))
                alerts.push_back({static_cast<uint32_t>(i), pick(0, 1) ? 'A' : 'D'});
            if (!alerts.empty() && alerts.back().Point == i && pick(0, 9) == 0)
                alerts.push_back({static_cast<uint32_t>(i), alerts.back().Kind == 'A' ? 'D' : 'A'});
        }
        int32_t endMs = INT32_MIN;
        for (const CQuotePoint& p : points) endMs = std::max(endMs, p.TimeMs);
        endMs += pick(-10, 4) * 30'000;  // late horizons, and a day whose other issues go on

        bool forward = true;
        for (size_t k = 1; k < alerts.size(); ++k)
            forward =
                forward && points[alerts[k].Point].TimeMs >= points[alerts[k - 1].Point].TimeMs;
        ++(forward ? forwardDays : backwardDays);

        std::vector<CPathEnd> paths(alerts.size() * horizons.size());
        FollowAlerts(points, alerts, horizons, paths.data());
        // The day's paths of every point, where the issue's clock never goes back.
        std::vector<CPointPaths> table(points.size() * horizons.size());
        if (!PointPaths(points, horizons, table.data())) table.clear();
        if (!table.empty()) ++tableDays;
        std::vector<CScore> expected;
        for (size_t k = 0; k < alerts.size(); ++k) {
            const CAlertAt& a = alerts[k];
            ScanAlert(points, a.Point, a.Kind, endMs, horizons, expected);
            for (size_t h = 0; h < horizons.size(); ++h) {
                const CScore& want = expected[h];
                std::vector<CScore> ways = {ScoreOf(points[a.Point], a.Kind, horizons[h], endMs,
                                                    paths[k * horizons.size() + h])};
                if (!table.empty())
                    ways.push_back(ScoreOf(points[a.Point], a.Kind, horizons[h], endMs,
                                           table[a.Point * horizons.size() + h].Of(a.Kind)));
                for (const CScore& got : ways)
                    ASSERT_TRUE(got.Scored == want.Scored && got.Later == want.Later &&
                                SameBits(got.Forward, want.Forward) &&
                                SameBits(got.Adverse, want.Adverse))
                        << (&got == &ways[0] ? "alerts followed" : "day's table") << ": round "
                        << round << " shape " << shape << " alert " << k << " at point " << a.Point
                        << " of " << n << " kind " << a.Kind << " horizon " << horizons[h]
                        << ": scored " << got.Scored << "/" << want.Scored << " later " << got.Later
                        << "/" << want.Later << " forward " << got.Forward << "/" << want.Forward
                        << " adverse " << got.Adverse << "/" << want.Adverse;
            }
        }
    }
    // Both ways of following the alerts were taken, many times each.
    EXPECT_GT(forwardDays, 1000);
    EXPECT_GT(backwardDays, 500);
    EXPECT_GT(tableDays, 500);
}

namespace {

// Every entry under `root` with what it holds: a file's bytes, a link's target, a folder.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> all;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        const fs::file_status st = e.symlink_status();
        if (fs::is_symlink(st))
            all[rel] = "link to " + fs::read_symlink(e.path()).string();
        else if (fs::is_directory(st))
            all[rel] = "folder";
        else if (fs::is_regular_file(st))
            all[rel] = Read(e.path().string());
        else
            all[rel] = "something else";
    }
    return all;
}

// The entries of two snapshots that differ, by name; empty when they are the same.
std::string Differences(const std::map<std::string, std::string>& a,
                        const std::map<std::string, std::string>& b) {
    std::string names;
    for (const auto& [name, what] : a)
        if (!b.count(name) || b.at(name) != what) names += name + " ";
    for (const auto& [name, what] : b)
        if (!a.count(name)) names += name + " (gone) ";
    return names;
}

bool HasWorkFolder(const std::string& out) {
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().filename().string().rfind(".study-", 0) == 0) return true;
    return false;
}

CStudyOptions DemoStudy(const std::string& out) {
    CStudyOptions o;
    o.Days = {KESTREL_DEMO_DIR};
    o.Rates = {2};
    o.Spans = {1, 2};
    o.FixedDate = true;
    o.Date = {2026, 12, 8};
    o.Jobs = 2;
    o.Quiet = true;
    o.OutDir = out;
    return o;
}

// The save steps of a machine in trouble: a disk that fills up after so many bytes, a rename to
// one name that fails once, files that cannot be made under one folder, writes taken only in
// part, a file system that refuses the first write of whole blocks.
class CTroubledOps : public kestrel::FileSaveOps {
public:
    std::atomic<int64_t> Room{INT64_MAX};
    size_t MostPerWrite = SIZE_MAX;
    bool RefuseBlocks = false;
    std::string FailRenameTo, FailCreateIn, CountIn;
    std::atomic<int> Counted{0};            // files made under a path holding CountIn
    std::atomic<bool> RenameFailed{false};  // the first rename to FailRenameTo only
    std::error_code CreateNew(const std::string& path, const std::string& modeOf,
                              int& fd) override {
        if (!CountIn.empty() && path.find(CountIn) != std::string::npos) ++Counted;
        if (!FailCreateIn.empty() && path.find(FailCreateIn) != std::string::npos)
            return {EACCES, std::generic_category()};
        return FileSaveOps::CreateNew(path, modeOf, fd);
    }
    std::error_code Write(int fd, const char* data, size_t size, size_t& written) override {
        if (RefuseBlocks && size % 4096 == 0) {
            RefuseBlocks = false;
            return {EINVAL, std::generic_category()};
        }
        if (Room.fetch_sub(static_cast<int64_t>(size)) < static_cast<int64_t>(size))
            return {ENOSPC, std::generic_category()};
        return FileSaveOps::Write(fd, data, std::min(size, MostPerWrite), written);
    }
    std::error_code Rename(const std::string& from, const std::string& to) override {
        if (to == FailRenameTo && !RenameFailed.exchange(true))
            return {EIO, std::generic_category()};
        return FileSaveOps::Rename(from, to);
    }
};

}  // namespace

// Anything planted in the output folder under one of the study's names is moved aside as what
// it is and never opened: a link is not followed, a pipe is not waited on. A pipe in place of
// the day's recording is named as one.
TEST(Study, PlantedLinksAndPipesAreNeitherFollowedNorWaitedOn) {
    kestrel::test::TempDir dir;
    const std::string out = dir.File("study");
    fs::create_directory(out);
    const std::string outside = dir.WriteBytes("outside.txt", "not the study's\n");
    fs::create_directory(dir.File("elsewhere"));
    dir.WriteBytes("elsewhere/keep.txt", "keep\n");
    fs::create_symlink(outside, out + "/study.csv");
    fs::create_directory_symlink(dir.File("elsewhere"), out + "/lists");
    ASSERT_EQ(mkfifo((out + "/alerts.csv").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((out + "/.alerts-0.part").c_str(), 0600), 0);
    const std::string args = std::string(KESTREL_DEMO_DIR) +
                             " --sweep-rate 2,2.5 --time 2 --date 20261208 --quiet --out " + out;

    std::string stdoutText, err;
    EXPECT_EQ(RunTool(args, stdoutText, &err), 3) << err;
    for (const char* name : {"study.csv", "alerts.csv", "lists"})
        EXPECT_NE(err.find(out + "/" + name), std::string::npos) << name << "\n" << err;
    EXPECT_TRUE(fs::is_symlink(out + "/study.csv"));
    EXPECT_TRUE(fs::is_fifo(out + "/alerts.csv"));

    EXPECT_EQ(RunTool(args + " --force", stdoutText, &err), 0) << err;
    EXPECT_EQ(Read(outside), "not the study's\n");
    EXPECT_EQ(Snapshot(dir.File("elsewhere")),
              (std::map<std::string, std::string>{{"keep.txt", "keep\n"}}));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out + "/study.csv")));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out + "/alerts.csv")));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(out + "/lists")));
    EXPECT_TRUE(fs::exists(out + "/lists/demo/rate2.5_time2/20261208_Asc.txt"));
    EXPECT_EQ(ReadCsv(Read(out + "/study.csv")).size(), 4u);
    EXPECT_TRUE(fs::is_fifo(out + "/.alerts-0.part")) << "not the study's own: left alone";
    EXPECT_FALSE(HasWorkFolder(out));

    fs::copy(KESTREL_DEMO_DIR, dir.File("day"), fs::copy_options::recursive);
    fs::remove(dir.File("day/kabu.txt"));
    ASSERT_EQ(mkfifo(dir.File("day/kabu.txt").c_str(), 0600), 0);
    EXPECT_EQ(
        RunTool(dir.File("day") + " --sweep-rate 2 --out " + dir.File("other"), stdoutText, &err),
        2);
    EXPECT_NE(err.find(dir.File("day/kabu.txt") + ": a named pipe (FIFO)"), std::string::npos)
        << err;
}

// alerts.csv goes to the disk in whole blocks around the system's cache: pieces of any size,
// the file's head handed in before, arrive as they were handed in; so they do when the system
// takes a write only in part or refuses one (the rest goes through the cache), and a full disk
// is said.
TEST(Study, AFileWrittenAroundTheCacheHoldsWhatWasHandedIn) {
    kestrel::test::TempDir dir;
    std::mt19937 random(31);
    std::string bytes =
        "\xEF\xBB\xBF"
        "day,rate\r\n";
    while (bytes.size() < (size_t{20} << 20))
        bytes += std::string(std::uniform_int_distribution<size_t>(1, 3 << 20)(random),
                             static_cast<char>('a' + bytes.size() % 26));
    const size_t head = 15;
    auto write = [&](const std::string& name) {
        kestrel::study::COutFile f(dir.File(name), name);
        f.Buffer = bytes.substr(0, head);
        const bool around = f.WriteAroundCache();
        for (size_t at = head; at < bytes.size();) {
            const size_t n = std::min(bytes.size() - at, size_t{at % 7 == 0 ? 9000u : 1u << 20});
            f.Buffer.append(bytes, at, n);
            at += n;
            f.FlushWhenFull();
        }
        f.Close(true);
        return around;
    };
    SCOPED_TRACE(write("plain") ? "around the cache" : "the system writes only through its cache");
    EXPECT_TRUE(Read(dir.File("plain")) == bytes);
    {
        CTroubledOps ops;
        ops.MostPerWrite = 5000;
        kestrel::ScopedSaveOps scoped(ops);
        write("in-part");
    }
    EXPECT_TRUE(Read(dir.File("in-part")) == bytes);
    {
        CTroubledOps ops;
        ops.RefuseBlocks = true;
        kestrel::ScopedSaveOps scoped(ops);
        write("refused");
    }
    EXPECT_TRUE(Read(dir.File("refused")) == bytes);
    CTroubledOps ops;
    ops.Room = 10 << 20;
    kestrel::ScopedSaveOps scoped(ops);
    try {
        write("full");
        ADD_FAILURE() << "a full disk was not said";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "full: could not be written: " + std::string(std::strerror(ENOSPC)));
    }
}

// A --force study that fails, whatever fails (the disk, putting the files in place, one
// setting's lists), leaves the previous study byte for byte; one that succeeds leaves nothing of
// the previous one it did not write again.
TEST(Study, AForcedStudyThatFailsLeavesThePreviousOneAsItWas) {
    kestrel::test::TempDir dir;
    const std::string out = dir.File("study");
    CStudyOptions o = DemoStudy(out);
    std::string messages, summary;
    ASSERT_EQ(RunStudy(o, messages, summary), 0) << messages;
    const auto before = Snapshot(out);
    ASSERT_EQ(before.count("lists/demo/rate2_time1/20261208_Asc.txt"), 1u);
    ASSERT_EQ(before.count("alerts.csv"), 1u);

    CStudyOptions again = o;
    again.Rates = {1.5, 2.5};
    again.Force = true;
    {
        CTroubledOps ops;
        ops.Room = 300'000;
        kestrel::ScopedSaveOps scoped(ops);
        messages.clear();
        EXPECT_EQ(RunStudy(again, messages, summary), 1);
        EXPECT_NE(messages.find(std::strerror(ENOSPC)), std::string::npos) << messages;
        EXPECT_NE(messages.find("left as it was"), std::string::npos) << messages;
    }
    EXPECT_EQ(Differences(Snapshot(out), before), "") << "a full disk";
    {
        CTroubledOps ops;
        ops.FailRenameTo = out + "/report.html";  // the last: the others are in place by then
        kestrel::ScopedSaveOps scoped(ops);
        messages.clear();
        EXPECT_EQ(RunStudy(again, messages, summary), 1);
        EXPECT_NE(
            messages.find(out + "/report.html: could not be put in place: " + std::strerror(EIO)),
            std::string::npos)
            << messages;
    }
    EXPECT_EQ(Differences(Snapshot(out), before), "") << "a rename that fails";
    {
        // Two days, one at a time, each day's runs in one replay (1.5/1, 1.5/2, 2.5/1, 2.5/2):
        // the first day's second run fails, and the second day is not started.
        fs::create_directories(dir.File("second"));
        fs::copy(KESTREL_DEMO_DIR, dir.File("second/demo"), fs::copy_options::recursive);
        CTroubledOps ops;
        ops.FailCreateIn = "/rate1.5_time2/";
        ops.CountIn = "/demo-2/";
        kestrel::ScopedSaveOps scoped(ops);
        CStudyOptions twoDays = again;
        twoDays.Days.push_back(dir.File("second/demo"));
        twoDays.Jobs = 1;
        messages.clear();
        EXPECT_EQ(RunStudy(twoDays, messages, summary), 1);
        EXPECT_NE(messages.find(std::string(KESTREL_DEMO_DIR) +
                                ", rate1.5_time2: the lists could not be written: "),
                  std::string::npos)
            << messages;
        EXPECT_NE(messages.find(std::strerror(EACCES)), std::string::npos) << messages;
        EXPECT_NE(messages.find("4 of 8 runs were not started"), std::string::npos) << messages;
        EXPECT_EQ(ops.Counted.load(), 0) << "a day after the failure was started";
    }
    EXPECT_EQ(Differences(Snapshot(out), before), "") << "lists that cannot be written";

    // Another day and other settings: the old day's lists and settings are gone.
    fs::create_directory(dir.File("other"));
    fs::copy(KESTREL_DEMO_DIR, dir.File("other/day"), fs::copy_options::recursive);
    again.Days = {dir.File("other/day")};
    again.Jobs = 2;
    messages.clear();
    ASSERT_EQ(RunStudy(again, messages, summary), 0) << messages;
    std::vector<std::string> lists;
    for (const auto& e : fs::recursive_directory_iterator(out + "/lists"))
        if (e.is_directory()) lists.push_back(fs::relative(e.path(), out + "/lists").string());
    std::sort(lists.begin(), lists.end());
    EXPECT_EQ(lists, (std::vector<std::string>{"day", "day/rate1.5_time1", "day/rate1.5_time2",
                                               "day/rate2.5_time1", "day/rate2.5_time2"}));
    EXPECT_NE(Read(out + "/study.csv"), before.at("study.csv"));
    EXPECT_FALSE(HasWorkFolder(out));
}

// What cannot be done is said before anything runs: one folder under two names, and a study
// whose certain files alone would pass its limit, with the size. A study that runs holds the
// limit while it writes: it stops where it would pass it and puts nothing in place; with room
// for its worst case it writes no more than it planned, on a day where every line raises an
// alert.
TEST(Study, SameFolderTwiceAndOversizedStudiesAreRefusedOrStoppedAtTheLimit) {
    kestrel::test::TempDir dir;
    const std::string out = dir.File("study");
    const std::string demo = KESTREL_DEMO_DIR;
    fs::create_directory_symlink(demo, dir.File("link"));
    std::string messages, summary;
    for (const std::string& second :
         {demo + "/", demo + "/./", dir.File("link"), demo + "/../demo"}) {
        CStudyOptions o = DemoStudy(out);
        o.Days = {demo, second};
        messages.clear();
        EXPECT_EQ(RunStudy(o, messages, summary), 2) << second;
        EXPECT_NE(messages.find("the same folder is given twice, as " + demo + " and as " + second),
                  std::string::npos)
            << messages;
        EXPECT_FALSE(fs::exists(out)) << "nothing is made";
    }

    CStudyOptions o = DemoStudy(out);
    o.Rates.clear();
    o.Spans.clear();
    for (int i = 1; i <= 100; ++i) o.Rates.push_back(i / 10.0), o.Spans.push_back(i);
    messages.clear();
    o.MaxOutput = 1 << 20;
    EXPECT_EQ(RunStudy(o, messages, summary), 2);
    const size_t at = messages.find("the study would write at least ");
    ASSERT_NE(at, std::string::npos) << messages;
    const size_t open = messages.find('(', at);
    const uint64_t certain = std::stoull(messages.substr(open + 1));
    EXPECT_GT(certain, o.MaxOutput);
    EXPECT_NE(messages.find(" bytes: 10000 runs"), std::string::npos) << messages;
    EXPECT_NE(messages.find("above the limit of 1.0 MiB"), std::string::npos) << messages;
    EXPECT_FALSE(fs::exists(out)) << "nothing is made";

    // Two issues that swing 10 % at every quote: nearly every line raises a rise or a fall.
    std::string kabu;
    for (int i = 0; i < 400; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "%02d:%02d:%02d,%s,%d,%d\r\n", 10 + i / 360, i / 6 % 60,
                      i % 6 * 10, i % 2 ? "1111" : "2222", i / 2 % 2 ? 1100 : 1000, i + 1);
        kabu += line;
    }
    fs::create_directory(dir.File("day"));
    dir.WriteCp932("day/株式売買値幅.txt", "0,100,30\r\n100,10000,700\r\n");
    dir.WriteCp932("day/監視銘柄.txt", "1111.T\r\n2222.T\r\n");
    dir.WriteCp932("day/std.csv", "1111,貸借,1000,1000,,1,1100\r\n2222,貸借,1000,1000,,1,1100\r\n");
    dir.WriteBytes("day/kabu.txt", kabu);
    o = DemoStudy(dir.File("dense"));
    o.Days = {dir.File("day")};
    o.Rates = {2, 5};
    o.Spans = {1, 2};
    o.MaxOutput = 1000;
    messages.clear();
    ASSERT_EQ(RunStudy(o, messages, summary), 2) << messages;
    EXPECT_NE(messages.find("the study would write at least "), std::string::npos) << messages;
    EXPECT_FALSE(fs::exists(o.OutDir)) << "nothing is made";

    // Room for the certain files and a little more: the alerts pass the limit mid-study.
    const size_t openCertain = messages.find('(', messages.find("would write at least "));
    o.MaxOutput = std::stoull(messages.substr(openCertain + 1)) + 20000;
    messages.clear();
    EXPECT_EQ(RunStudy(o, messages, summary), 1) << messages;
    EXPECT_NE(messages.find("would pass the limit of " + std::to_string(o.MaxOutput) +
                            " bytes (--max-output)"),
              std::string::npos)
        << messages;
    EXPECT_NE(messages.find("where the study would stop"), std::string::npos) << messages;
    EXPECT_FALSE(fs::exists(o.OutDir + "/alerts.csv")) << "nothing is put in place";
    EXPECT_FALSE(HasWorkFolder(o.OutDir));

    // Room for the worst case: the study runs whole, within what it planned.
    const size_t openPlan = messages.find('(', messages.find("planned output: at most "));
    o.MaxOutput = std::stoull(messages.substr(openPlan + 1));
    messages.clear();
    ASSERT_EQ(RunStudy(o, messages, summary), 0) << messages;
    EXPECT_NE(messages.find("planned output: at most"), std::string::npos) << messages;
    EXPECT_EQ(messages.find("where the study would stop"), std::string::npos) << messages;
    uint64_t written = 0;
    for (const auto& e : fs::recursive_directory_iterator(o.OutDir))
        if (e.is_regular_file()) written += e.file_size();
    const auto alerts = ReadCsv(Read(o.OutDir + "/alerts.csv"));
    EXPECT_GT(alerts.size(), 4u * 300) << "a dense day";
    EXPECT_LE(written, o.MaxOutput);
}

// However many jobs are asked for, no more days are replayed at once than fit in the memory
// there is, and the study says so once. A thread the system will not make is said; with some
// made the study goes on with those.
TEST(Study, JobsBeyondMemoryWaitAndThreadsNotMadeAreSaid) {
    kestrel::test::TempDir dir;
    std::string messages, summary;
    int made = 0, allowed = 0;
    CStudyHooks hooks;
    hooks.MakeThread = [&](std::function<void()> body) {
        if (made >= allowed)
            throw std::system_error(std::error_code(EAGAIN, std::generic_category()), "thread");
        ++made;
        return std::thread(std::move(body));
    };
    // Three days of three settings each: 9 runs in 3 replays.
    for (const char* copy : {"a/demo", "b/demo"}) {
        fs::create_directories(dir.File(copy));
        fs::copy(KESTREL_DEMO_DIR, dir.File(copy), fs::copy_options::recursive);
    }
    auto study = [&](const std::string& name, uint64_t memory, int threads) {
        CStudyOptions o = DemoStudy(dir.File(name));
        o.Days = {KESTREL_DEMO_DIR, dir.File("a/demo"), dir.File("b/demo")};
        o.Rates = {1.5, 2, 2.5};
        o.Spans = {2};
        o.Jobs = 256;
        hooks.AvailableMemory = memory;
        made = 0;
        allowed = threads;
        messages.clear();
        return RunStudy(o, messages, summary, {}, hooks);
    };
    auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = messages.find(text); at != std::string::npos;
             at = messages.find(text, at + 1))
            ++n;
        return n;
    };

    ASSERT_EQ(study("plenty", UINT64_MAX / 2, 256), 0) << messages;
    EXPECT_EQ(made, 3) << "one thread a day, no more";
    EXPECT_EQ(count("fit in memory"), 0u) << messages;

    ASSERT_EQ(study("none", 1, 256), 0) << messages;
    EXPECT_EQ(made, 1);
    EXPECT_EQ(count("--jobs 256: not even one day's replay surely fits in memory"), 1u) << messages;
    EXPECT_NE(messages.find("(9 runs, 1 day at a time)"), std::string::npos) << messages;

    // Room for two and a half days of the size the study says.
    const size_t at = messages.find("available, up to ");
    ASSERT_NE(at, std::string::npos) << messages;
    const double mib = std::stod(messages.substr(at + 17));
    ASSERT_NE(messages.find(" MiB a day", at), std::string::npos) << messages;
    ASSERT_EQ(study("two", static_cast<uint64_t>(mib * 2.5 * (1 << 20)), 256), 0) << messages;
    EXPECT_EQ(made, 2);
    EXPECT_EQ(count("--jobs 256: 2 days at a time fit in memory"), 1u) << messages;
    EXPECT_EQ(Read(dir.File("two/study.csv")), Read(dir.File("plenty/study.csv")));
    EXPECT_EQ(Read(dir.File("two/alerts.csv")), Read(dir.File("plenty/alerts.csv")));
    EXPECT_EQ(Read(dir.File("none/alerts.csv")), Read(dir.File("plenty/alerts.csv")));

    ASSERT_EQ(study("one-thread", UINT64_MAX / 2, 1), 0) << messages;
    EXPECT_NE(messages.find("only 1 of 3 threads could be started for the runs (thread: " +
                            std::string(std::strerror(EAGAIN)) + "); the days go 1 at a time"),
              std::string::npos)
        << messages;
    EXPECT_EQ(Read(dir.File("one-thread/alerts.csv")), Read(dir.File("plenty/alerts.csv")));

    EXPECT_EQ(study("no-thread", UINT64_MAX / 2, 0), 4);
    EXPECT_NE(messages.find("no thread could be started for the runs: thread: " +
                            std::string(std::strerror(EAGAIN))),
              std::string::npos)
        << messages;
    EXPECT_TRUE(fs::is_empty(dir.File("no-thread")));
}

// A day whose every alert is placed by hand, with a one-minute window and a 5-minute horizon:
// each issue's price only steps up by far more than 2 % at an alert and moves by less between
// them, so the rises, their forward moves and their parts of the day are
//   09:10:00 1111  +2.0000 (1100 to 1122)   寄り付き  hit
//   09:20:00 2222   0      (1100 again)     寄り付き  flat
//   10:00:00 1111  -1.0000 (1200 to 1188)   前場      miss
//   12:00:00 2222  -0.9091 (1210 to 1199)   その他    miss
//   13:00:00 1111   0      (no later point) 後場      flat
//   15:10:00 2222  +1.0000 (1300 to 1313)   大引け前  hit
//   15:17:00 2222  late: the day ends at 15:20:00, before its horizon
// so 6 scored, 2 hits, 2 flat, 2 misses; 1111.T gives 1.0 of the summed 1.0909 (91.67 %).
// The intervals were worked out apart from the code: Wilson for 2 of 6 is 0.0968–0.7000, and
// the mean 0.1818 ± 1.96 · 1.1317 / √6 is −0.7395 to 1.1031.
TEST(Study, IntervalsFlatAlertsSharesAndPartsOfTheDayOfAHandMadeDayAreExact) {
    kestrel::test::TempDir dir;
    dir.WriteCp932("株式売買値幅.txt", "0,100,30\r\n100,10000,700\r\n");
    dir.WriteCp932("監視銘柄.txt", "1111.T\r\n2222.T\r\n");
    dir.WriteCp932("銘柄情報.txt",
                   "1111,\"東洋化学\",100,,信用,,東証\r\n"
                   "2222,\"大和鉄鋼\",100,,信用,,東証\r\n");
    dir.WriteCp932("std.csv", "1111,貸借,1000,1000,,1,1100\r\n2222,貸借,1000,1000,,1,1100\r\n");
    dir.WriteCp932("kabu.txt",
                   "09:05:00,1111,1000,1\r\n09:10:00,1111,1100,2\r\n09:12:00,1111,1122,3\r\n"
                   "09:15:00,2222,1000,1\r\n09:20:00,2222,1100,2\r\n09:22:00,2222,1100,3\r\n"
                   "10:00:00,1111,1200,4\r\n10:02:00,1111,1188,5\r\n12:00:00,2222,1210,4\r\n"
                   "12:02:00,2222,1199,5\r\n13:00:00,1111,1320,6\r\n15:10:00,2222,1300,6\r\n"
                   "15:12:00,2222,1313,7\r\n15:17:00,2222,1450,8\r\n15:20:00,1111,1320,7\r\n");
    std::string out, err;
    ASSERT_EQ(RunTool(dir.Path() + " --sweep-rate 2 --time 1 --horizon 5 --quiet --out " +
                          dir.File("study"),
                      out, &err),
              0)
        << err;
    const std::string studyBytes = Read(dir.File("study/study.csv"));
    const std::string alertBytes = Read(dir.File("study/alerts.csv"));
    EXPECT_EQ(studyBytes.substr(0, 3), "\xEF\xBB\xBF") << "Excel needs the mark";
    EXPECT_EQ(alertBytes.substr(0, 3), "\xEF\xBB\xBF");

    const auto study = ReadCsv(studyBytes);
    ASSERT_EQ(study.size(), 2u);
    const auto& rise = study[0];
    using Row = std::vector<std::string>;
    const Row names = {"kind",
                       "events",
                       "issues",
                       "scored_5m",
                       "late_5m",
                       "hit_rate_5m",
                       "mean_forward_5m",
                       "median_forward_5m",
                       "mean_adverse_5m",
                       "hit_low_5m",
                       "hit_high_5m",
                       "mean_forward_low_5m",
                       "mean_forward_high_5m",
                       "flat_5m",
                       "top_issue_share_5m",
                       "top_issue_5m"};
    Row got;
    for (const std::string& n : names) got.push_back(rise.at(n));
    EXPECT_EQ(got, (Row{"A", "7", "2", "6", "1", "0.3333", "0.1818", "0.0000", "0.3182", "0.0968",
                        "0.7000", "-0.7395", "1.1031", "2", "0.9167", "1111.T"}));
    got.clear();
    for (const std::string& n : names) got.push_back(study[1].at(n));
    EXPECT_EQ(got, (Row{"D", "0", "0", "0", "0", "", "", "", "", "", "", "", "", "0", "", ""}))
        << "a kind without alerts has no intervals and no top issue";

    // The new columns come after every old one, so the old ones keep their places.
    const std::string header = studyBytes.substr(3, studyBytes.find("\r\n") - 3);
    EXPECT_EQ(header,
              "day,rate,time,kind,events,issues,scored_5m,late_5m,hit_rate_5m,mean_forward_5m,"
              "median_forward_5m,mean_adverse_5m,hit_low_5m,hit_high_5m,mean_forward_low_5m,"
              "mean_forward_high_5m,flat_5m,top_issue_share_5m,top_issue_5m");
    const auto alerts = ReadCsv(alertBytes);
    ASSERT_EQ(alerts.size(), 7u);
    EXPECT_EQ(alerts[0].at("name"), "東洋化学");
    EXPECT_EQ(alerts[1].at("name"), "大和鉄鋼");
    EXPECT_EQ(alerts[1].at("forward_5m"), "0.0000");
    EXPECT_EQ(alerts[3].at("forward_5m"), "-0.9091");
    EXPECT_EQ(alerts[6].at("forward_5m"), "") << "late";

    // The report: in Japanese, the concentrated setting not named best and said so, and the
    // scores by part of the day, the trader's own setting (the day's defaults: 2 %, here with
    // --time 1) marked.
    const std::string report = Read(dir.File("study/report.html"));
    EXPECT_NE(report.find("<html lang=\"ja\">"), std::string::npos);
    EXPECT_NE(
        report.find(
            "1 銘柄が前進幅の合計の半分を超える設定 1 件: 2 %/1 分(あなたの設定)(1111.T 92 %)"),
        std::string::npos);
    EXPECT_NE(report.find("<td colspan=\"9\" class=\"l\">該当なし"), std::string::npos)
        << "no best setting for rises";
    EXPECT_NE(report.find("<tr class=\"own\"><td>2 %/1 分(あなたの設定)</td>"
                          "<td class=\"few\">2 件、50.0 % [9.5–90.5]、+1.000 %</td>"
                          "<td class=\"few\">1 件、0.0 % [0.0–79.3]、-1.000 %</td>"
                          "<td class=\"few\">1 件、0.0 % [0.0–79.3]、+0.000 %</td>"
                          "<td class=\"few\">1 件、100.0 % [20.7–100.0]、+1.000 %</td>"
                          "<td class=\"few\">1 件、0.0 % [0.0–79.3]、-0.909 %</td></tr>"),
              std::string::npos)
        << "寄り付き, 前場, 後場, 大引け前, その他";
    EXPECT_NE(report.find("1 日分のデータなので、検証外の成績は出せません"), std::string::npos);

    // Without the mark the files are the same bytes otherwise.
    ASSERT_EQ(RunTool(dir.Path() +
                          " --sweep-rate 2 --time 1 --horizon 5 --quiet --csv-bom=no "
                          "--force --out " +
                          dir.File("study"),
                      out, &err),
              0)
        << err;
    EXPECT_EQ(Read(dir.File("study/study.csv")), studyBytes.substr(3));
    EXPECT_EQ(Read(dir.File("study/alerts.csv")), alertBytes.substr(3));

    // A second day (the same prices in a folder of its own): the walk forward can choose
    // nothing on the first, where every setting's gain is mostly 1111.T's, and says so.
    std::filesystem::create_directory(dir.File("day2"));
    for (const char* f :
         {"株式売買値幅.txt", "監視銘柄.txt", "銘柄情報.txt", "std.csv", "kabu.txt"})
        std::filesystem::copy_file(dir.File(f), dir.File(std::string("day2/") + f));
    ASSERT_EQ(RunTool(dir.Path() + " " + dir.File("day2") +
                          " --sweep-rate 2,8 --time 1 --horizon 5 --quiet --force --out " +
                          dir.File("study"),
                      out, &err),
              0)
        << err;
    const std::string two = Read(dir.File("study/report.html"));
    EXPECT_EQ(two.find("1 日分のデータなので"), std::string::npos);
    EXPECT_NE(two.find("<td>0 件</td><td>–</td><td>–</td><td class=\"l\">" + dir.File("day2") +
                       ": 選べる設定なし</td>"),
              std::string::npos);
}

namespace {
// The issue charts of a report: each one's title, points and alert marks, as the page's data
// gives them.
struct CChartSeen {
    std::string Title;
    std::vector<std::pair<int64_t, int64_t>> Points;
    std::vector<std::tuple<int64_t, int64_t, char>> Marks;
};
std::vector<CChartSeen> ChartsOf(const std::string& report) {
    std::vector<CChartSeen> charts;
    size_t at = report.find("\"issues\":[");
    if (at == std::string::npos) return charts;
    auto number = [&](size_t& i) {
        size_t used = 0;
        const int64_t v = std::stoll(report.substr(i, 24), &used);
        i += used;
        return v;
    };
    while ((at = report.find("{\"title\":\"", at)) != std::string::npos) {
        CChartSeen c;
        size_t i = at + 10;
        for (; report[i] != '"'; ++i) {
            if (report[i] == '\\') ++i;  // the days' and topics' names here need no other escape
            c.Title += report[i];
        }
        i = report.find("\"points\":[", i) + 10;
        while (report[i] == '[' || report[i] == ',') {
            if (report[i] == ',') ++i;
            ++i;
            const int64_t ms = number(i);
            ++i;
            c.Points.push_back({ms, number(i)});
            ++i;  // ]
        }
        i = report.find("\"alerts\":[", i) + 10;
        while (report[i] == '[' || report[i] == ',') {
            if (report[i] == ',') ++i;
            ++i;
            const int64_t ms = number(i);
            ++i;
            const int64_t price = number(i);
            c.Marks.emplace_back(ms, price, report[i + 2]);
            i += 5;  // ,"K"]
        }
        charts.push_back(std::move(c));
        at = i;
    }
    return charts;
}

int64_t ClockMs(const std::string& t) {
    const int64_t ms = std::stoll(t.substr(0, 2)) * 3600000 + std::stoll(t.substr(3, 2)) * 60000 +
                       std::stoll(t.substr(6, 2)) * 1000;
    return t.size() > 8 ? ms + std::stoll(t.substr(9)) : ms;
}
}  // namespace

// A study keeps only the issues it may still chart as its days finish; the charts are still
// those of the issues with the most alerts at the charted setting over every day, each with
// all of that issue's alerts at it marked on its own day's points. Three days, four settings,
// one job and two.
TEST(Study, ChartedIssuesAreTheTopOnesOfEveryDayWithTheirOwnPoints) {
    kestrel::test::TempDir dir;
    const std::string kabu = Read(std::string(KESTREL_DEMO_DIR) + "/kabu.txt");
    std::vector<std::string> lines;
    for (size_t at = 0; at < kabu.size();) {
        const size_t end = kabu.find('\n', at);
        lines.push_back(kabu.substr(at, end - at + 1));
        at = end + 1;
    }
    // The whole demo, its afternoon, and the whole demo again: the last day's issues tie with
    // the first's, and the first day's come first.
    const std::vector<std::pair<size_t, size_t>> parts = {
        {0, lines.size()}, {lines.size() / 2, lines.size()}, {0, lines.size()}};
    std::vector<std::string> days;
    for (size_t d = 0; d < parts.size(); ++d) {
        const std::string day = dir.File("day" + std::to_string(d));
        fs::copy(KESTREL_DEMO_DIR, day, fs::copy_options::recursive);
        std::string part;
        for (size_t l = parts[d].first; l < parts[d].second; ++l) part += lines[l];
        dir.WriteBytes("day" + std::to_string(d) + "/kabu.txt", part);
        days.push_back(day);
    }
    std::string first;
    for (int jobs : {1, 2}) {
        CStudyOptions o = DemoStudy(dir.File("out" + std::to_string(jobs)));
        o.Days = days;
        o.Rates = {1.5, 2.5};
        o.Spans = {1, 3};
        o.Jobs = jobs;
        std::string messages, summary;
        ASSERT_EQ(RunStudy(o, messages, summary), 0) << messages;
        const std::string report = Read(o.OutDir + "/report.html");
        const size_t h = report.find("警告の多い銘柄(率 ");
        ASSERT_NE(h, std::string::npos);
        const size_t r = h + std::string("警告の多い銘柄(率 ").size();
        const std::string rate = report.substr(r, report.find(' ', r) - r);
        const size_t s = report.find("時間 ", r) + std::string("時間 ").size();
        const std::string span = report.substr(s, report.find(' ', s) - s);

        // The alerts of the charted setting, issue by issue on each day.
        struct CIssue {
            size_t Day;
            std::string Title;
            std::vector<std::tuple<int64_t, int64_t, char>> Marks;
        };
        std::map<std::pair<size_t, std::string>, CIssue> issues;
        for (const auto& row : ReadCsv(Read(o.OutDir + "/alerts.csv"))) {
            if (row.at("rate") != rate || row.at("time") != span) continue;
            const size_t d = std::find(days.begin(), days.end(), row.at("day")) - days.begin();
            ASSERT_LT(d, days.size());
            CIssue& issue = issues[{d, row.at("topic")}];
            issue.Day = d;
            issue.Title = row.at("topic") + " " + row.at("name") + " (" + row.at("day") + ")";
            issue.Marks.emplace_back(ClockMs(row.at("alert_time")), std::stoll(row.at("price")),
                                     row.at("kind")[0]);
        }
        ASSERT_GT(issues.size(), 6u) << rate << "/" << span;

        const auto charts = ChartsOf(report);
        ASSERT_EQ(charts.size(), 6u);
        std::set<std::string> charted;
        size_t previousDay = 0;
        for (size_t c = 0; c < charts.size(); ++c) {
            const CIssue* found = nullptr;
            for (const auto& [key, issue] : issues)
                if (issue.Title == charts[c].Title) found = &issue;
            ASSERT_TRUE(found) << charts[c].Title;
            charted.insert(found->Title);
            EXPECT_EQ(charts[c].Marks, found->Marks) << found->Title;
            if (c > 0) {
                EXPECT_LE(charts[c].Marks.size(), charts[c - 1].Marks.size());
                if (charts[c].Marks.size() == charts[c - 1].Marks.size()) {
                    EXPECT_GE(found->Day, previousDay) << "an earlier day's issue first";
                }
            }
            previousDay = found->Day;
            // Every alert stands on one of the issue's points of its own day.
            EXPECT_GE(charts[c].Points.size(), found->Marks.size());
            for (const auto& [ms, price, kind] : found->Marks)
                EXPECT_NE(std::find(charts[c].Points.begin(), charts[c].Points.end(),
                                    std::make_pair(ms, price)),
                          charts[c].Points.end())
                    << found->Title << " " << ms;
        }
        // No issue left out has more alerts than the last charted; one with as many is of a day
        // no earlier than that one's (an earlier day's comes first).
        const CChartSeen& last = charts.back();
        size_t lastDay = 0;
        for (const auto& [key, issue] : issues)
            if (issue.Title == last.Title) lastDay = issue.Day;
        for (const auto& [key, issue] : issues) {
            if (charted.count(issue.Title)) continue;
            EXPECT_LE(issue.Marks.size(), last.Marks.size()) << issue.Title;
            if (issue.Marks.size() == last.Marks.size()) {
                EXPECT_GE(issue.Day, lastDay);
            }
        }
        if (jobs == 1)
            first = report;
        else
            EXPECT_TRUE(report == first) << "the same report whatever the jobs";
    }
}
