#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "common/Numbers.h"
#include "kestrel-backtest/Csv.h"
#include "kestrel-backtest/Study.h"
#include "support/TempDir.h"

namespace {
int RunTool(const std::string& args, std::string& out, std::string* err = nullptr) {
    const std::string errFile = std::filesystem::temp_directory_path() /
                                ("kestrel-study-err-" + std::to_string(getpid()) + ".txt");
    FILE* p = popen((std::string(KESTREL_BACKTEST) + " " + args + " 2>" + errFile).c_str(), "r");
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
std::vector<std::map<std::string, std::string>> ReadCsv(const std::string& text) {
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
    w.Field("next").End();
    EXPECT_EQ(out,
              "plain,,\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",\"cr\rhere\", blanks ,ソニー,-12,"
              "1.2346,0.0000,\r\nnext\r\n");
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
    std::string files[2][3];
    for (int jobs : {1, 3}) {
        CStudyOptions o;
        o.Days = {KESTREL_DEMO_DIR, std::string(KESTREL_DEMO_DIR) + "/"};
        o.Rates = {1.5, 2.5};
        o.Spans = {1, 3};
        o.Jobs = jobs;
        o.FixedDate = true;
        o.Date = {2026, 12, 8};
        o.OutDir = dir.File("jobs" + std::to_string(jobs));
        std::string messages, summary;
        double last = -1;
        bool rising = true;
        ASSERT_EQ(RunStudy(o, messages, summary,
                           [&](double share) {
                               rising = rising && share >= last;
                               last = share;
                           }),
                  0)
            << messages;
        EXPECT_TRUE(rising);
        EXPECT_EQ(last, 1.0);
        EXPECT_TRUE(
            std::filesystem::exists(o.OutDir + "/lists/demo-2/rate2.5_time3/20261208_Asc.txt"));
        const int k = jobs == 1 ? 0 : 1;
        files[k][0] = Read(o.OutDir + "/study.csv");
        files[k][1] = Read(o.OutDir + "/alerts.csv");
        files[k][2] = Read(o.OutDir + "/report.html");
    }
    EXPECT_EQ(files[0][0].size(), files[1][0].size());
    EXPECT_TRUE(files[0][0] == files[1][0]) << "study.csv";
    EXPECT_TRUE(files[0][1] == files[1][1]) << "alerts.csv";
    EXPECT_TRUE(files[0][2] == files[1][2]) << "report.html";
    EXPECT_GT(files[0][1].size(), 1000u);
}
