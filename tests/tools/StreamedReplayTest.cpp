// A backtest that reads kabu.txt a block at a time as it replays must see, say and save exactly
// what one that reads the file whole at start-up does: the same messages in the same order, the
// same event lines, the same lists, the same line count.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/Controller.h"
#include "common/Codec.h"
#include "common/TextFile.h"
#include "console/ConsoleTool.h"
#include "support/ScriptedUi.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using kestrel::test::ScriptedUi;
using kestrel::test::TempDir;

namespace {

constexpr CDate kDay{2026, 12, 8};

struct Outcome {
    std::vector<std::string> Messages, Events;
    std::string Asc, Dsc;
    long NoIssue = 0, BadTime = 0;
    size_t Lines = 0, Expected = 0;
    size_t LinesAtStart = 0;  // lines read before the replay began
};

// One backtest of `dir`, as kestrel-backtest runs it, with kabu.txt read whole (block 0) or
// in blocks of that many bytes.
Outcome Replay(const std::string& dir, size_t block, double rate, int span) {
    TempDir out;
    // Lists already there that day: the resume question comes after kabu.txt's messages.
    kestrel::WriteLines(out.File("20261208_Asc.txt"), {});
    ScriptedUi ui;
    ui.answers = {false};
    CConsoleClock clock;
    clock.date = kDay;
    clock.fixedDate = true;
    Outcome o;
    {
        CController c(ui, clock, dir, out.Path());
        c.DataModuleCreate();
        c.CreateIni();
        c.Ini->Flg = 1;
        c.Ini->Rate = rate;
        c.Ini->Span = span;
        if (block > 0) c.StreamReplayData(block);
        c.StartUp();
        EXPECT_FALSE(c.StartFailed);
        o.Expected = c.Replayer().ExpectedLineCount();
        o.LinesAtStart = c.Replayer().LineCount();
        const CReplayCounts counts = ReplayToEnd(c);
        o.NoIssue = counts.NoIssue;
        o.BadTime = counts.BadTime;
        o.Lines = c.Replayer().LineCount();
        c.WaitForWatchers();
        c.DataModuleDestroy();
    }
    o.Messages = ui.messages;
    o.Events = ui.events;
    o.Asc = out.ReadBytes("20261208_Asc.txt");
    o.Dsc = out.ReadBytes("20261208_Dsc.txt");
    return o;
}

void ExpectSame(const Outcome& whole, const Outcome& streamed, const std::string& what) {
    EXPECT_EQ(streamed.Messages, whole.Messages) << what;
    EXPECT_EQ(streamed.Events, whole.Events) << what;
    EXPECT_EQ(streamed.Asc, whole.Asc) << what;
    EXPECT_EQ(streamed.Dsc, whole.Dsc) << what;
    EXPECT_EQ(streamed.NoIssue, whole.NoIssue) << what;
    EXPECT_EQ(streamed.BadTime, whole.BadTime) << what;
    EXPECT_EQ(streamed.Lines, whole.Lines) << what;
    EXPECT_EQ(streamed.Expected, whole.Lines) << what;
}

// The demo folder with a kabu.txt of its own.
std::string DemoWith(const TempDir& tmp, const std::string& kabu) {
    const std::string dir = tmp.File("day");
    fs::copy(KESTREL_DEMO_DIR, dir, fs::copy_options::recursive);
    fs::remove_all(dir + "/log");
    tmp.WriteBytes("day/kabu.txt", kabu);
    return dir;
}

}  // namespace

// The demo's day, and the demo's day made rough: lines too long to read, line ends of every
// kind, lines of issues nobody watches, times that do not read, names in double-byte
// characters, a CR LF cut by a tiny block.
TEST(StreamedReplay, SeesSaysAndSavesWhatTheWholeReadDoes) {
    TempDir tmp;
    const std::string demo = KESTREL_DEMO_DIR;
    std::string kabu;
    ASSERT_TRUE(kestrel::ReadFileBytes(demo + "/kabu.txt", kabu));
    std::string rough;
    size_t n = 0;
    for (size_t at = 0; at < kabu.size(); ++n) {
        const size_t end = kabu.find("\r\n", at);
        std::string line = kabu.substr(at, end - at);
        at = end == std::string::npos ? kabu.size() : end + 2;
        rough += line;
        rough += n % 7 == 0 ? "\r" : n % 5 == 0 ? "\n" : "\r\n";
        if (n % 3000 == 1) rough += std::string(kestrel::kMaxTextLineBytes + n % 5, '9') + "\r\n";
        if (n % 2000 == 2) rough += kestrel::Utf8ToCp932("09:30:00,株価,1,1\r\n");
        if (n % 1500 == 3) rough += "9:7x:00" + line.substr(line.find(',')) + "\r\n";
    }
    rough += std::string(kestrel::kMaxTextLineBytes * 2, '8');  // the last, too long, no end
    const std::string dir = DemoWith(tmp, rough);
    const struct {
        double Rate;
        int Span;
    } settings[] = {{2.0, 2}, {0.5, 60}};
    bool listed = false;
    for (const auto& s : settings) {
        const Outcome whole = Replay(dir, 0, s.Rate, s.Span);
        // Something to agree on: events, a long-line message, lines that name nobody.
        EXPECT_GT(whole.Events.size(), 10u);
        EXPECT_GT(whole.NoIssue, 0);
        EXPECT_GT(whole.BadTime, 0);
        listed = listed || whole.Asc.size() > 100;
        EXPECT_EQ(whole.LinesAtStart, whole.Lines);
        for (size_t block : {size_t{7}, size_t{1000}, size_t{65536}, kestrel::kTextBlockBytes}) {
            const Outcome streamed = Replay(dir, block, s.Rate, s.Span);
            ExpectSame(whole, streamed,
                       "blocks of " + std::to_string(block) + " at " + std::to_string(s.Rate));
            EXPECT_EQ(streamed.LinesAtStart, 0u) << "read before the replay, blocks of " << block;
        }
    }
    EXPECT_TRUE(listed);
    const Outcome whole = Replay(dir, 0, 2.0, 2);
    bool saidLong = false;
    for (const auto& m : whole.Messages) saidLong |= m.find("長すぎる") != std::string::npos;
    EXPECT_TRUE(saidLong);
}

// A kabu.txt with nothing to replay, or none that can be read: the same words either way.
TEST(StreamedReplay, SaysOfAnEmptyOrUnreadableFileWhatTheWholeReadSays) {
    const std::string kinds[] = {"", "\xEF\xBB\xBF",
                                 std::string(kestrel::kMaxTextLineBytes + 1, 'x'),
                                 "\xEF\xBB\xBF"
                                 "09:00:00,4621,86,200\r\n"};
    for (const std::string& kabu : kinds) {
        TempDir tmp;
        const std::string dir = DemoWith(tmp, kabu);
        ExpectSame(Replay(dir, 0, 2.0, 2), Replay(dir, 5, 2.0, 2),
                   "kabu.txt of " + std::to_string(kabu.size()) + " bytes");
    }
    TempDir tmp;
    const std::string dir = DemoWith(tmp, "");
    fs::remove(dir + "/kabu.txt");
    fs::create_directory(dir + "/kabu.txt");
    const Outcome whole = Replay(dir, 0, 2.0, 2);
    ExpectSame(whole, Replay(dir, 5, 2.0, 2), "kabu.txt a folder");
    ASSERT_FALSE(whole.Messages.empty());
    EXPECT_NE(whole.Messages[0].find("is a folder"), std::string::npos) << whole.Messages[0];
}
