// A replay run to its end folds its records into the trackers and hands the watchers only each
// issue's last alert and last record. The lists must end byte for byte as when every record of
// every line goes through the watchers, on every kind of day: the demo, a messy generated one,
// and one that starts from lists already saved that day.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "app/Controller.h"
#include "console/ConsoleTool.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using kestrel::test::TempDir;

namespace {

constexpr CDate kDay{2026, 12, 8};

std::string ReadAll(const std::string& path) {
    std::string bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
        std::fclose(f);
    }
    return bytes;
}

// One backtest of `dir` into `out`, as kestrel-backtest runs it; the event lines are counted.
long Replay(const std::string& dir, const std::string& out, double rate, int span, bool fold) {
    CConsoleUi ui("fold-test");
    ui.quiet = true;
    ui.answer = true;  // resume files there are loaded
    CConsoleClock clock;
    clock.date = kDay;
    clock.fixedDate = true;
    CController c(ui, clock, dir, out);
    c.DataModuleCreate();
    c.CreateIni();
    c.Ini->Flg = 1;
    c.Ini->Rate = rate;
    c.Ini->Span = span;
    c.StartUp();
    EXPECT_FALSE(c.StartFailed);
    ReplayToEnd(c, {}, {}, fold);
    c.WaitForWatchers();
    c.DataModuleDestroy();
    return ui.events;
}

// The demo's reference files with a day of its own: random walks with jumps over the watched
// issues, lines of issues nobody watches, times that do not read and clocks that go back.
void WriteMessyDay(const std::string& dir, unsigned seed) {
    fs::copy(KESTREL_DEMO_DIR, dir, fs::copy_options::recursive);
    fs::remove_all(dir + "/log");
    std::vector<std::string> codes;
    {
        const std::string std = ReadAll(dir + "/std.csv");
        for (size_t at = 0; at < std.size();) {
            const size_t end = std.find('\n', at);
            codes.push_back(std.substr(at, std.find(',', at) - at));
            at = end == std::string::npos ? std.size() : end + 1;
        }
    }
    std::mt19937 rng(seed);
    std::vector<int> price(codes.size(), 1000), volume(codes.size(), 0);
    std::string lines;
    int ms = 9 * 3600 * 1000;
    char buf[96];
    for (int i = 0; i < 40'000; ++i) {
        ms += static_cast<int>(rng() % 400);
        if (rng() % 997 == 0) ms -= 90'000;  // the clock goes back
        const size_t k = rng() % codes.size();
        const int step = static_cast<int>(rng() % 21) - 10;
        price[k] = std::max(1, price[k] + step * (rng() % 50 == 0 ? 40 : 1));
        volume[k] += 100 * static_cast<int>(1 + rng() % 5);
        const int s = ms / 1000;
        if (rng() % 500 == 0)
            std::snprintf(buf, sizeof buf, "9:7x:00,%s,%d,%d\r\n", codes[k].c_str(), price[k],
                          volume[k]);
        else if (rng() % 300 == 0)
            std::snprintf(buf, sizeof buf, "%02d:%02d:%02d,9999,%d,%d\r\n", s / 3600, s / 60 % 60,
                          s % 60, price[k], volume[k]);
        else
            std::snprintf(buf, sizeof buf, "%02d:%02d:%02d,%s,%d,%d\r\n", s / 3600, s / 60 % 60,
                          s % 60, codes[k].c_str(), price[k], volume[k]);
        lines += buf;
    }
    FILE* f = std::fopen((dir + "/kabu.txt").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(lines.data(), 1, lines.size(), f);
    std::fclose(f);
}

// Both ways over `dir` at several settings; `seed`, when given, is a folder of resume files
// both runs start from.
void ExpectSameLists(const std::string& dir, const std::string& seed = {}) {
    const struct {
        double Rate;
        int Span;
    } settings[] = {{2.0, 2}, {1.0, 1}, {3.5, 5}, {0.5, 60}};
    int listed = 0;
    for (const auto& s : settings) {
        TempDir full, folded;
        if (!seed.empty())
            for (const auto& e : fs::directory_iterator(seed)) {
                fs::copy(e.path(), full.Path());
                fs::copy(e.path(), folded.Path());
            }
        const long eventsFull = Replay(dir, full.Path(), s.Rate, s.Span, false);
        const long eventsFolded = Replay(dir, folded.Path(), s.Rate, s.Span, true);
        EXPECT_EQ(eventsFull, eventsFolded);
        for (const char* side : {"Asc", "Dsc"}) {
            const std::string name = "20261208_" + std::string(side) + ".txt";
            const std::string a = ReadAll(full.File(name)), b = ReadAll(folded.File(name));
            EXPECT_EQ(a, b) << dir << " at " << s.Rate << " % in " << s.Span << " min, " << side;
            for (char ch : a) listed += ch == '\n';
        }
    }
    // Lists with nothing in them would agree whatever the fold did.
    EXPECT_GT(listed, 20) << dir;
}

}  // namespace

TEST(FoldedRecords, ListsEndAsWithEveryRecordMerged) {
    ExpectSameLists(KESTREL_DEMO_DIR);
    for (unsigned seed : {1u, 2u, 3u}) {
        TempDir day;
        WriteMessyDay(day.File("day"), seed);
        ExpectSameLists(day.File("day"));
    }
}

// Lists saved earlier that day are where a replay starts: an issue already listed takes its
// updates from the first record on, alert or not.
TEST(FoldedRecords, ListsLoadedAtStartTakeTheLastUpdates) {
    TempDir day, morning;
    WriteMessyDay(day.File("day"), 7);
    // The morning's lists: a replay of another day at a loose rule, so many issues are listed.
    TempDir other;
    WriteMessyDay(other.File("day"), 8);
    Replay(other.File("day"), morning.Path(), 0.5, 5, false);
    ASSERT_TRUE(fs::exists(morning.File("20261208_Asc.txt")));
    ExpectSameLists(day.File("day"), morning.Path());
}
