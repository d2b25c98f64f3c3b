// A replay run to its end folds its records into the trackers and hands the watchers only each
// issue's last alert and last record. The lists must end byte for byte as when every record of
// every line goes through the watchers, on every kind of day: the demo, a messy generated one,
// and one that starts from lists already saved that day. The same goes for rules judged beside
// the replay's own in one pass (a study's settings): each ends as its own replay would.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/Controller.h"
#include "console/ConsoleTool.h"
#include "support/TempDir.h"
#include "tracking/EventLine.h"

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

// A console user that keeps its event lines.
struct CKeptUi : CConsoleUi {
    CKeptUi() : CConsoleUi("fold-test") {
        quiet = true;
        answer = true;  // resume files there are loaded
    }
    void AppendMove(const MoveEvent& e) override {
        WriteEventLine(Lines, e);
        Lines += '\n';
        ++events;
    }
    std::string Lines;
};

struct CSetting {
    double Rate;
    int Span;
};

CConsoleClock DayClock() {
    CConsoleClock clock;
    clock.date = kDay;
    clock.fixedDate = true;
    return clock;
}

std::unique_ptr<CController> Controller(IUserInterface& ui, IClock& clock, const std::string& dir,
                                        const std::string& out, CSetting s) {
    auto c = std::make_unique<CController>(ui, clock, dir, out, DdeConvFactory{},
                                           CController::Reach::Local);
    c->DataModuleCreate();
    c->CreateIni();
    c->Ini->Flg = 1;
    c->Ini->Rate = s.Rate;
    c->Ini->Span = s.Span;
    return c;
}

// One backtest of `dir` into `out`, as kestrel-backtest runs it; the event lines are counted.
long Replay(const std::string& dir, const std::string& out, double rate, int span, bool fold,
            std::string* lines = nullptr) {
    CKeptUi ui;
    CConsoleClock clock = DayClock();
    auto c = Controller(ui, clock, dir, out, {rate, span});
    c->StartUp();
    EXPECT_FALSE(c->StartFailed);
    ReplayToEnd(*c, {}, {}, fold);
    c->WaitForWatchers();
    c->DataModuleDestroy();
    if (lines) *lines = ui.Lines;
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

namespace {

// Every setting alone, then all in one replay (the first replaying, the others beside it), each
// into a folder of its own, seeded from `seed` when given: the event lines and both lists agree.
void ExpectSidesAsAlone(const std::string& dir, const std::string& seed = {}) {
    const std::vector<CSetting> settings = {{2.0, 2}, {1.0, 1}, {3.5, 5}, {1.5, 2}, {0.5, 60}};
    std::vector<std::unique_ptr<TempDir>> alone, together;
    auto seeded = [&] {
        auto d = std::make_unique<TempDir>();
        if (!seed.empty())
            for (const auto& e : fs::directory_iterator(seed)) fs::copy(e.path(), d->Path());
        return d;
    };
    std::vector<std::string> aloneLines(settings.size());
    for (size_t i = 0; i < settings.size(); ++i) {
        alone.push_back(seeded());
        Replay(dir, alone[i]->Path(), settings[i].Rate, settings[i].Span, true, &aloneLines[i]);
    }
    std::vector<CKeptUi> uis(settings.size());
    {
        CConsoleClock clock = DayClock();
        for (size_t i = 0; i < settings.size(); ++i) together.push_back(seeded());
        auto c = Controller(uis[0], clock, dir, together[0]->Path(), settings[0]);
        c->StartUp();
        ASSERT_FALSE(c->StartFailed);
        std::vector<std::unique_ptr<CController>> beside;
        for (size_t i = 1; i < settings.size(); ++i) {
            beside.push_back(Controller(uis[i], clock, dir, together[i]->Path(), settings[i]));
            beside.back()->StartUpBeside(*c);
        }
        ReplayToEnd(*c);
        c->DataModuleDestroy();
        for (auto& b : beside) b->DataModuleDestroy();
    }
    long alerts = 0, listed = 0;
    for (size_t i = 0; i < settings.size(); ++i) {
        const std::string shown = dir + " at " + std::to_string(settings[i].Rate) + " % in " +
                                  std::to_string(settings[i].Span) + " min";
        EXPECT_EQ(uis[i].Lines, aloneLines[i]) << shown;
        alerts += uis[i].events;
        for (const char* side : {"Asc", "Dsc"}) {
            const std::string name = "20261208_" + std::string(side) + ".txt";
            const std::string a = ReadAll(alone[i]->File(name));
            EXPECT_EQ(ReadAll(together[i]->File(name)), a) << shown << ", " << side;
            for (char ch : a) listed += ch == '\n';
        }
    }
    // Empty days would agree whatever the one pass did.
    EXPECT_GT(alerts, 50) << dir;
    EXPECT_GT(listed, 20) << dir;
}

}  // namespace

TEST(SideRules, EachEndsAsItsOwnReplay) {
    ExpectSidesAsAlone(KESTREL_DEMO_DIR);
    for (unsigned seed : {4u, 5u}) {
        TempDir day;
        WriteMessyDay(day.File("day"), seed);
        ExpectSidesAsAlone(day.File("day"));
    }
}

TEST(SideRules, ListsLoadedAtStartAreEachSettingsOwn) {
    TempDir day, morning, other;
    WriteMessyDay(day.File("day"), 9);
    WriteMessyDay(other.File("day"), 10);
    Replay(other.File("day"), morning.Path(), 0.5, 5, false);
    ASSERT_TRUE(fs::exists(morning.File("20261208_Asc.txt")));
    ExpectSidesAsAlone(day.File("day"), morning.Path());
}
