// A watch list changed while the monitor runs: kept topics keep their trackers, new ones are
// linked or replayed, removed ones go with their links and leave both ranking lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/Controller.h"
#include "support/FakeDde.h"
#include "support/ScriptedUi.h"
#include "support/TempDir.h"

using kestrel::test::CFakeClock;
using kestrel::test::ScriptedUi;

namespace {
bool Listed(CMeigaraList& list, const std::string& topic) {
    return list.IndexOfCode(CMeigara(topic, 'A')) >= 0;
}

size_t CountWith(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(part) != std::string::npos;
    }));
}

void WriteReferenceFiles(const kestrel::test::TempDir& dir) {
    dir.WriteCp932("銘柄情報.txt", "1234,ソニー\r\n5678,トヨタ\r\n9012,ホンダ\r\n");
    dir.WriteCp932("株式売買値幅.txt", "0,10000,700\r\n");
    dir.WriteCp932("監視銘柄.txt", "1234.T\r\n5678.T\r\n");
    std::filesystem::create_directory(dir.File("log"));
}
}  // namespace

// Debug mode, with the replay read line by line and with a reader thread ahead of it: the lines
// of the new issue are delivered from the change on, those of the removed one no longer.
TEST(WatchListApply, ReplayFeedsTheNewIssueAndDropsTheRemovedOne) {
    kestrel::test::TempDir dir;
    WriteReferenceFiles(dir);
    dir.WriteCp932("std.csv",
                   "1234,貸借,1000,1000,,1,1100\r\n5678,貸借,500,500,,1,600\r\n"
                   "9012,貸借,300,300,,1,400\r\n");
    dir.WriteCp932("kabu.txt",
                   "10:00,1234,1000,1\r\n10:00,5678,500,1\r\n10:00,9012,300,1\r\n"
                   "10:01,1234,1100,2\r\n10:01,5678,600,2\r\n"
                   // the list changes here
                   "10:02,1234,1000,3\r\n10:02,9012,300,3\r\n10:03,9012,330,4\r\n"
                   "10:03,5678,700,3\r\n");
    CFakeClock clock;
    auto run = [&](bool reader) {
        ScriptedUi ui;
        CController c(ui, clock, dir.Path());
        c.DataModuleCreate();
        c.StartUp();
        if (reader) {
            c.Replayer().StartReader();
            c.Replayer().HoldRecords(true);
        }
        for (int i = 0; i < 5; ++i) c.DebugTimerTimer();
        c.Replayer().PushHeld();
        c.WaitForWatchers();
        EXPECT_TRUE(Listed(c.ChannelA().List, "5678.T"));
        const CTrkg* kept = c.TrkgList->Items(0);

        const auto change = c.ApplyWatchList({"1234.T", "9012.T"});
        EXPECT_TRUE(change.Applied);
        EXPECT_EQ(change.Added, std::vector<std::string>{"9012.T"});
        EXPECT_EQ(change.Removed, std::vector<std::string>{"5678.T"});
        EXPECT_EQ(c.WatchLines, (std::vector<std::string>{"1234.T", "9012.T"}));
        EXPECT_EQ(TrkgList, c.TrkgList.get());
        // The kept issue's tracker goes on with its points; the removed one's entries are gone
        // from both lists at once, the kept one's stay.
        EXPECT_EQ(c.TrkgList->Items(0), kept);
        EXPECT_EQ(kept->Detector.PointCount, 2);
        EXPECT_EQ(c.TrkgList->IndexOfIssue("5678"), -1);
        EXPECT_EQ(c.TrkgList->IndexOfIssue("9012"), 1);
        EXPECT_FALSE(Listed(c.ChannelA().List, "5678.T"));
        EXPECT_FALSE(Listed(c.ChannelD().List, "5678.T"));
        EXPECT_TRUE(Listed(c.ChannelA().List, "1234.T"));

        std::vector<CController::ReplayOutcome> rest;
        while (!c.ReplayAtEnd()) rest.push_back(c.DebugTimerTimer());
        c.Replayer().PushHeld();
        c.WaitForWatchers();
        EXPECT_EQ(rest.back(), CController::ReplayOutcome::NoIssue);  // 5678 is not watched
        EXPECT_TRUE(Listed(c.ChannelA().List, "9012.T"));
        EXPECT_FALSE(Listed(c.ChannelA().List, "5678.T"));
        // The fall of 1234 at 10:02 is seen only by a tracker that kept its 10:01 point.
        EXPECT_EQ(CountWith(ui.events, "1234.T:1000,(-100)"), 1u);
        EXPECT_EQ(CountWith(ui.events, "9012.T:330"), 1u);
        EXPECT_EQ(CountWith(ui.events, "5678.T:700"), 0u);
        c.DataModuleDestroy();
        return ui.events;
    };
    const auto alone = run(false);
    const auto ahead = run(true);
    EXPECT_EQ(alone, ahead);
    EXPECT_EQ(alone.size(), 4u);
}

TEST(WatchListApply, LiveLinksTheNewTopicAndUnlinksTheRemovedOne) {
    kestrel::test::TempDir dir;
    WriteReferenceFiles(dir);
    dir.WriteCp932("KESTREL.INI", "[DEBUG]\r\nflg=0\r\n");
    CFakeDdeServer server;
    for (const char* topic : {"1234.T", "5678.T", "9012.T"})
        server.Topics[topic] = {{"銘柄名称", topic}, {"前日終値", "1000"}, {"始値", "1000"},
                                {"現在値", "1000"},  {"出来高", "1"},      {"現在値時刻", "  :  "},
                                {"前日比率", "0"}};
    auto quote = [&](const std::string& topic, const std::string& price, const std::string& time,
                     const std::string& volume) {
        server.Set(topic, "現在値", price, false);
        server.Set(topic, "現在値時刻", time, false);
        server.Set(topic, "出来高", volume);
    };
    ScriptedUi ui;
    CFakeClock clock;
    CController c(ui, clock, dir.Path(), "", server.Factory());
    c.DataModuleCreate();
    c.StartUp();
    ASSERT_FALSE(c.Ini->IsDebug());
    for (const char* topic : {"1234.T", "5678.T"}) {
        quote(topic, "1000", "10:00:00", "2");
        quote(topic, "1100", "10:01:00", "3");
    }
    c.WaitForWatchers();
    ASSERT_EQ(ui.events.size(), 2u);
    ASSERT_TRUE(Listed(c.ChannelA().List, "5678.T"));
    const CTrkg* kept = c.TrkgList->Items(0);

    // Nothing before start-up has made the trackers; after it, the change.
    const auto change = c.ApplyWatchList({"9012.T", "1234.T"});
    ASSERT_TRUE(change.Applied);
    EXPECT_EQ(c.TrkgList->Count(), 2);
    EXPECT_EQ(c.TrkgList->Items(1), kept);
    const CTrkg* added = c.TrkgList->Items(0);
    EXPECT_EQ(added->GetTopic(), "9012.T");
    ASSERT_TRUE(added->Conv);
    EXPECT_TRUE(added->Conv->Connected());
    EXPECT_EQ(added->Name, "9012.T");  // the figures of the open link came in
    EXPECT_EQ(c.TrkgList->LinkedCount(), 2);
    EXPECT_FALSE(Listed(c.ChannelA().List, "5678.T"));
    EXPECT_FALSE(Listed(c.ChannelD().List, "5678.T"));

    // The removed topic's changes reach nobody; the kept one still knows its 10:01 point; the
    // new one is followed.
    quote("5678.T", "2000", "10:02:00", "4");
    quote("1234.T", "1000", "10:02:00", "4");
    quote("9012.T", "1000", "10:02:00", "2");
    quote("9012.T", "1100", "10:02:30", "3");
    c.WaitForWatchers();
    EXPECT_EQ(CountWith(ui.events, "5678.T"), 1u);
    EXPECT_EQ(CountWith(ui.events, "1234.T:1000,(-100)"), 1u);
    EXPECT_EQ(CountWith(ui.events, "9012.T:1100"), 1u);
    EXPECT_TRUE(Listed(c.ChannelA().List, "9012.T"));
    EXPECT_FALSE(Listed(c.ChannelA().List, "5678.T"));
    EXPECT_TRUE(ui.messages.empty());
    c.DataModuleDestroy();
}

TEST(WatchListApply, BeforeStartUpNothingChanges) {
    kestrel::test::TempDir dir;
    WriteReferenceFiles(dir);
    ScriptedUi ui;
    CFakeClock clock;
    CController c(ui, clock, dir.Path());
    c.DataModuleCreate();
    EXPECT_FALSE(c.ApplyWatchList({"1234.T"}).Applied);
    EXPECT_EQ(c.TrkgList, nullptr);
    c.StartUp();  // reads the file itself
    EXPECT_EQ(c.TrkgList->Count(), 2);
}

// The same topic twice: each line keeps one tracker of its own, in order; the list left behind
// holds only the trackers no line took, and finds them by their code.
TEST(WatchListApply, EachTrackerIsTakenOverByOneLineAtMost) {
    kestrel::test::TempDir dir;
    CIni ini(dir.File("KESTREL.INI"));
    ini.Load();
    bool initDone = true;
    CTrkgContext ctx;
    ctx.Replaying = ini.IsDebug();
    ctx.InitDone = &initDone;
    ASSERT_TRUE(ini.IsDebug());  // no links: the trackers alone
    auto old = std::make_unique<CTrkgList>(
        std::vector<std::string>{"1234.T", "1234.T", "5678.T", "9012.T"}, ctx);
    CTrkg* const first = old->Items(0);
    CTrkg* const second = old->Items(1);
    CTrkgList next({"1234.T", "3456.T", "1234.T", "1234.T"}, ctx, *old);
    ASSERT_EQ(next.Count(), 4);
    EXPECT_EQ(next.Items(0), first);
    EXPECT_EQ(next.Items(2), second);
    EXPECT_NE(next.Items(3), first);
    EXPECT_NE(next.Items(3), second);
    EXPECT_EQ(next.Items(1)->GetTopic(), "3456.T");
    EXPECT_EQ(next.IndexOfIssue("1234"), 0);
    EXPECT_EQ(next.IndexOfIssue("3456"), 1);
    EXPECT_EQ(next.IndexOfIssue("5678"), -1);
    ASSERT_EQ(old->Count(), 2);
    EXPECT_EQ(old->Items(0)->GetTopic(), "5678.T");
    EXPECT_EQ(old->IndexOfIssue("9012"), 1);
    EXPECT_EQ(old->IndexOfIssue("1234"), -1);
    // The new list outlives the old one, whose block holds two of its trackers.
    old.reset();
    for (int i : {0, 2}) {
        next.Items(i)->AddTick(1000 + i, 1, 0.4);
        EXPECT_EQ(next.Items(i)->Detector.Entry(0).Price, 1000 + i);
    }
}
