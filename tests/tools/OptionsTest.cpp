// The console tools' command lines: one strict reading for all of them, and the alert settings
// held to one range whichever option gives them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "console/Options.h"
#include "kestrel-backtest/Study.h"
#include "support/TempDir.h"

namespace {

// ParseStudyOptions on `words` as the tool's argv after its name.
int ParseStudy(std::vector<std::string> words, CStudyOptions& o, std::string& error) {
    words.insert(words.begin(), "kestrel-backtest");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return ParseStudyOptions(static_cast<int>(words.size()), argv.data(), o, error);
}

bool IsStudy(std::vector<std::string> words) {
    words.insert(words.begin(), "kestrel-backtest");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    return IsStudyCommand(static_cast<int>(argv.size()), argv.data());
}

// Runs a shell command line; its exit status, with stdout and stderr together in `said`.
int RunShell(const std::string& command, std::string& said) {
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    char buf[4096];
    said.clear();
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) said.append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// What makes a command line ambiguous is refused, whatever the option: a value that is another
// option, an option given twice, an option nobody declared. Operands keep their order.
TEST(Options, AmbiguousCommandLinesAreRefused) {
    struct Case {
        std::vector<std::string> words;
        const char* error;  // nullptr: reads
    };
    const Case cases[] = {
        {{"--out", "--force"}, "--out needs a value"},
        {{"--out"}, "--out needs a value"},
        {{"--out", "-5"}, "--out needs a value"},
        {{"--out", "-"}, "--out needs a value"},
        {{"--n", "--force"}, "--n needs a value"},
        {{"--n", "-x"}, "--n needs a value"},
        {{"--n", "-5"}, "--n -5 is below 1"},
        {{"--n", "-.5"}, "--n -.5 is below 1"},
        {{"--force", "--force"}, "--force given twice"},
        {{"--n", "3", "a", "--n", "3"}, "--n given twice"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"a", "-"}, "unknown option -"},
        {{"--n=-5"}, "--n -5 is below 1"},  // after "=" the value is the rest of the word
        {{"--n="}, "--n needs a value"},
        {{"--force=1"}, "--force takes no value"},
        {{"--n=3", "--n", "3"}, "--n given twice"},
        {{"--n=3", "--out=a=b"}, nullptr},
        {{"a", "--out", "b", "c", "--force", "--n", "7"}, nullptr},
        {{"--out", ""}, nullptr},
    };
    for (const Case& c : cases) {
        bool force = false;
        std::string out = "unset";
        int n = 0;
        COptionParser p;
        p.Switch("--force", force);
        p.Text("--out", [&](const std::string& v, std::string&) { return out = v, true; });
        p.Number("--n", [&](const std::string& v, std::string& why) {
            if (std::stod(v) < 1) return why = v + " is below 1", false;
            return n = std::stoi(v), true;
        });
        std::vector<std::string> operands;
        std::string error;
        const bool read = p.Parse(c.words, operands, error);
        const std::string line = ::testing::PrintToString(c.words);
        if (!c.error) {
            EXPECT_TRUE(read) << line << ": " << error;
            continue;
        }
        EXPECT_FALSE(read) << line;
        EXPECT_EQ(error, c.error) << line;
    }

    bool force = false;
    std::string out;
    COptionParser p;
    p.Switch("--force", force);
    p.Text("--out", [&](const std::string& v, std::string&) { return out = v, true; });
    std::vector<std::string> operands;
    std::string error;
    ASSERT_TRUE(p.Parse({"a", "--out", "b", "c", "--force"}, operands, error)) << error;
    EXPECT_EQ(operands, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(out, "b");
    EXPECT_TRUE(force);
    EXPECT_TRUE(p.Given("--out"));
    // A second reading starts afresh: what the first met is neither given nor twice.
    operands.clear();
    ASSERT_TRUE(p.Parse({"--force"}, operands, error)) << error;
    EXPECT_FALSE(p.Given("--out"));

    // A launcher's topic may begin with "-" where only "--" starts an option.
    p.LongOptionsOnly = true;
    operands.clear();
    ASSERT_TRUE(p.Parse({"-7203", "--force", "-x"}, operands, error)) << error;
    EXPECT_EQ(operands, (std::vector<std::string>{"-7203", "-x"}));
    EXPECT_FALSE(p.Parse({"--out", "-x"}, operands, error)) << "still no value";
    EXPECT_FALSE(p.Parse({"--bogus"}, operands, error));
}

// A rate or a window is taken or refused alike by --rate/--time, by each item of a sweep and
// by each end of a sweep's range, and the refusal names the value as it was given.
TEST(Options, RatesAndWindowsHaveOneRangeEverywhere) {
    const std::pair<const char*, bool> rates[] = {
        {"2", true},
        {"0.000000001", true},
        {"100", true},
        {"99.999999999", true},
        {"1e-9", true},
        {"0.3", true},
        {"1e-10", false},
        {"0", false},
        {"-1", false},
        {"100.000000001", false},
        {"1e300", false},
        {"1.5e-9", false},
        {"2.0000000001", false},
    };
    for (const auto& [text, fits] : rates) {
        double rate = 0;
        std::vector<double> swept;
        std::string why, sweepWhy;
        EXPECT_EQ(ReadRate(text, rate, why), fits) << text << ": " << why;
        EXPECT_EQ(ParseSweepValues(text, SweepKind::Rate, swept, sweepWhy), fits)
            << text << ": " << sweepWhy;
        const std::string range = std::string(text) + ":100:10";
        EXPECT_EQ(ParseSweepValues(range, SweepKind::Rate, swept, sweepWhy), fits)
            << range << ": " << sweepWhy;
        if (fits) continue;
        EXPECT_EQ(why.rfind(text, 0), 0u) << "named as given: " << why;
        EXPECT_EQ(sweepWhy.rfind(text, 0), 0u) << "named as given: " << sweepWhy;
    }
    const std::pair<const char*, bool> windows[] = {
        {"1", true},   {"1440", true},         {"2", true},    {"0", false}, {"1441", false},
        {"-3", false}, {"99999999999", false}, {"1.5", false}, {"x", false},
    };
    for (const auto& [text, fits] : windows) {
        int minutes = 0;
        std::vector<double> swept;
        std::string why, sweepWhy;
        EXPECT_EQ(ReadMinutes(text, minutes, why), fits) << text << ": " << why;
        EXPECT_EQ(ParseSweepValues(text, SweepKind::Minutes, swept, sweepWhy), fits) << text;
        if (!fits && text[0] != 'x' && std::string(text) != "1.5") {
            EXPECT_NE(why.find(std::string(text) + " is outside 1 to 1440 minutes"),
                      std::string::npos)
                << why;
            EXPECT_NE(sweepWhy.find(std::string(text) + " is outside 1 to 1440 minutes"),
                      std::string::npos)
                << sweepWhy;
        }
    }

    // The study's own command line says which option broke the range, with the range.
    CStudyOptions o;
    std::string error;
    EXPECT_EQ(ParseStudy({"day", "--sweep-rate", "1e-10"}, o, error), 2);
    EXPECT_EQ(error, "--sweep-rate 1e-10: 1e-10 is outside the rates 0.000000001 to 100");
    EXPECT_EQ(ParseStudy({"day", "--sweep-rate", "2", "--time", "0"}, o, error), 2);
    EXPECT_EQ(error, "--time 0 is outside 1 to 1440 minutes");
    EXPECT_EQ(ParseStudy({"day", "--sweep-time", "2", "--rate", "-2"}, o, error), 2);
    EXPECT_EQ(error, "--rate -2 is outside the rates 0.000000001 to 100");
    EXPECT_EQ(ParseStudy({"day", "--sweep-rate", "2", "--horizon", "5,2000"}, o, error), 2);
    EXPECT_EQ(error, "--horizon 5,2000: 2000 is outside 1 to 1440 minutes");
}

// A range's values are the ones their texts read as, on the grid of nine decimals, and never
// pass the range's end.
TEST(Options, SweepRangesStayOnTheirGrid) {
    std::vector<double> v;
    std::string error;
    ASSERT_TRUE(ParseSweepValues("99.999999997:100:0.000000001", SweepKind::Rate, v, error))
        << error;
    EXPECT_EQ(v, (std::vector<double>{99.999999997, 99.999999998, 99.999999999, 100}));
    ASSERT_TRUE(ParseSweepValues("0.000000001:0.000000003:0.000000001", SweepKind::Rate, v, error))
        << error;
    EXPECT_EQ(v, (std::vector<double>{1e-9, 2e-9, 3e-9}));
    EXPECT_FALSE(ParseSweepValues("1:2:0.0000000001", SweepKind::Rate, v, error));
    EXPECT_NE(error.find("the step of '1:2:0.0000000001' has more than nine decimals"),
              std::string::npos)
        << error;
}

TEST(Options, DatesAreDaysOfTheCalendar) {
    const std::pair<const char*, bool> dates[] = {
        {"20261207", true},  {"20240229", true},  {"20000229", true},   {"20261231", true},
        {"20250229", false}, {"21000229", false}, {"20260431", false},  {"20261301", false},
        {"20260100", false}, {"20260001", false}, {"00000101", false},  {"2026-1-1", false},
        {"+2026010", false}, {" 2026010", false}, {"202612071", false}, {"", false},
    };
    for (const auto& [text, fits] : dates) {
        CDate date;
        std::string why;
        EXPECT_EQ(ReadDate(text, date, why), fits) << text << ": " << why;
    }
    CDate date;
    std::string why;
    ASSERT_TRUE(ReadDate("20240229", date, why));
    EXPECT_EQ(date.Year, 2024);
    EXPECT_EQ(date.Month, 2);
    EXPECT_EQ(date.Day, 29);
    EXPECT_FALSE(ReadDate("20250229", date, why));
    EXPECT_EQ(why, "20250229 is no day of the calendar (yyyymmdd)");
}

// The study's command line, read into its options: everything it holds, and each thing that
// it refuses before anything runs.
TEST(Options, StudyCommandLinesAreReadStrictly) {
    CStudyOptions o;
    std::string error;
    ASSERT_EQ(ParseStudy({"d1", "--sweep-rate", "1:2:0.5", "d2", "--jobs", "256", "--max-output",
                          "512M", "--date", "20240229", "--out", "s", "--force"},
                         o, error),
              0)
        << error;
    EXPECT_EQ(o.Days, (std::vector<std::string>{"d1", "d2"}));
    EXPECT_EQ(o.Rates, (std::vector<double>{1, 1.5, 2}));
    EXPECT_EQ(o.Jobs, 256);
    EXPECT_EQ(o.MaxOutput, uint64_t{512} << 20);
    EXPECT_TRUE(o.FixedDate);
    EXPECT_EQ(o.Date.Day, 29);
    EXPECT_EQ(o.OutDir, "s");
    EXPECT_TRUE(o.Force);
    EXPECT_TRUE(o.CsvBom) << "the mark is there unless told otherwise";

    // "--name=value" is the same option as "--name value", read as strictly.
    {
        CStudyOptions b;
        ASSERT_EQ(ParseStudy({"d", "--sweep-rate=1,2", "--csv-bom=no", "--out=-x"}, b, error), 0)
            << error;
        EXPECT_FALSE(b.CsvBom);
        EXPECT_EQ(b.Rates, (std::vector<double>{1, 2}));
        EXPECT_EQ(b.OutDir, "-x") << "after '=' the value is whatever follows";
        ASSERT_EQ(ParseStudy({"d", "--sweep-rate", "2", "--csv-bom", "yes"}, b, error), 0);
        EXPECT_TRUE(b.CsvBom);
    }

    const std::pair<const char*, uint64_t> sizes[] = {
        {"1", 1},
        {"10K", 10240},
        {"4G", uint64_t{4} << 30},
        {"3m", 3u << 20},
        {"17179869183G", uint64_t{17179869183} << 30},
    };
    for (const auto& [text, bytes] : sizes) {
        CStudyOptions s;
        ASSERT_EQ(ParseStudy({"d", "--sweep-rate", "2", "--max-output", text}, s, error), 0)
            << text << ": " << error;
        EXPECT_EQ(s.MaxOutput, bytes) << text;
    }

    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"d", "--sweep-rate", "2", "--out", "--force"}, "--out needs a value"},
        {{"d", "--sweep-rate", "2", "--sweep-rate", "3"}, "--sweep-rate given twice"},
        {{"d", "--sweep-rate", "2", "--force", "--force"}, "--force given twice"},
        {{"d", "--sweep-rate", "2", "--date", "20250229"}, "20250229 is no day"},
        {{"d", "--sweep-rate", "2", "--jobs", "257"}, "--jobs takes a whole number from 1 to"},
        {{"d", "--sweep-rate", "2", "--jobs", "-1"}, "--jobs takes a whole number from 1 to"},
        {{"d", "--sweep-rate", "2", "--out", ""}, "--out takes a folder"},
        {{"d", "--max-output", "1G"}, "belong to a sweep"},
        {{"d", "--sweep-rate", "2", "--max-output", "-1"}, "--max-output takes a size"},
        {{"d", "--sweep-rate", "-1"}, "--sweep-rate -1: -1 is outside the rates"},
        {{"d", "--sweep-rate", "2", "--sweep-time", "--jobs", "2"}, "--sweep-time needs a value"},
        {{"d", "--sweep-rate", "2", "--csv-bom=maybe"}, "--csv-bom takes yes or no"},
        {{"d", "--sweep-rate", "2", "--csv-bom="}, "--csv-bom needs a value"},
        {{"d", "--sweep-rate", "2", "--csv-bom"}, "--csv-bom needs a value"},
        {{"d", "--sweep-rate", "2", "--force=yes"}, "--force takes no value"},
        {{"d", "--sweep-rate=2", "--sweep-rate", "3"}, "--sweep-rate given twice"},
        {{"d", "--sweep-rate", "2", "--bogus=1"}, "unknown option --bogus"},
    };
    for (const auto& [words, said] : refused) {
        CStudyOptions r;
        EXPECT_EQ(ParseStudy(words, r, error), 2) << ::testing::PrintToString(words);
        EXPECT_NE(error.find(said), std::string::npos)
            << ::testing::PrintToString(words) << ": " << error;
    }
    for (const char* size :
         {"0", "0G", "", "G", "1.5G", "1T", "1GB", "18446744073709551616", "17179869184G"}) {
        CStudyOptions r;
        EXPECT_EQ(ParseStudy({"d", "--sweep-rate", "2", "--max-output", size}, r, error), 2)
            << size;
    }

    // A study's option anywhere makes the command a study's, even where it stands as a value
    // would: there it is refused as the missing value it is, not read as a folder.
    EXPECT_TRUE(IsStudy({"d", "--out", "--sweep-rate", "2"}));
    EXPECT_TRUE(IsStudy({"d", "--max-output", "1G"}));
    EXPECT_FALSE(IsStudy({"d", "--rate", "2", "--out", "x"}));
}

// The built tools: bad command lines end with exit code 2 and the reason before anything is
// read or served; --help prints the usage on stdout and ends with 0 whatever else is there.
TEST(Options, ToolsRefuseBadCommandLinesWithExitCodeTwo) {
    kestrel::test::TempDir dir;
    const std::string backtest = std::string(KESTREL_BACKTEST) + " " + dir.Path() + " ";
    const std::string feed =
        std::string(KESTREL_FEED) + " --socket " + dir.File("no/feed.sock") + " ";
    const std::pair<std::string, const char*> cases[] = {
        {backtest + "--out --force", "kestrel-backtest: --out needs a value"},
        {backtest + "--rate 2 --rate 3", "kestrel-backtest: --rate given twice"},
        {backtest + "--rate 1e-10", "kestrel-backtest: --rate 1e-10 is outside the rates"},
        {backtest + "--time 1441", "kestrel-backtest: --time 1441 is outside 1 to 1440 minutes"},
        {backtest + "--date 20260230", "kestrel-backtest: --date 20260230 is no day"},
        {backtest + "--sweep-rate 1e-10",
         "kestrel-backtest: --sweep-rate 1e-10: 1e-10 is outside the rates 0.000000001 to 100 "
         "(see --help)"},
        {backtest + "--sweep-rate 2 --max-output 0", "kestrel-backtest: --max-output takes"},
        {backtest + "--bogus", "kestrel-backtest: unknown option --bogus\nusage:"},
        {feed + "--speed --manual", "kestrel-feed: --speed needs a value"},
        {feed + "--simulate 2 --simulate 3", "kestrel-feed: --simulate given twice"},
        {feed + "--simulate -5", "kestrel-feed: --simulate needs 1 to 9000 issues"},
        {"KESTREL_FEED_OPTIONS='--step-ms 5 --step-ms 6' " + feed + "--simulate 1",
         "kestrel-feed: KESTREL_FEED_OPTIONS: --step-ms given twice"},
    };
    for (const auto& [command, said] : cases) {
        std::string out;
        EXPECT_EQ(RunShell(command, out), 2) << command << "\n" << out;
        EXPECT_NE(out.find(said), std::string::npos) << command << "\n" << out;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("backtest"))) << "nothing made";

    // The command line may set again what the environment set, and a topic may begin with "-":
    // past the options, the server goes on to its socket, whose folder is not there.
    std::string out;
    const std::string again = feed + "-topic --simulate 1 --step-ms 6";
    EXPECT_EQ(RunShell("KESTREL_FEED_OPTIONS='--step-ms 5' " + again, out), 1) << out;
    EXPECT_EQ(out.find("given twice"), std::string::npos) << out;

    for (const std::string& help :
         {backtest + "--rate --help", backtest + "--sweep-rate x -h", feed + "--bogus --help"}) {
        FILE* p = popen((help + " 2>/dev/null").c_str(), "r");
        char buf[256] = {};
        const size_t n = fread(buf, 1, sizeof buf - 1, p);
        const int status = pclose(p);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << help;
        EXPECT_EQ(std::string(buf, n).rfind("usage: ", 0), 0u) << help;
    }
}
