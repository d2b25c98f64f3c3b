#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "app/Controller.h"
#include "common/Codec.h"
#include "common/TimeOfDay.h"
#include "support/ScriptedUi.h"
#include "support/TempDir.h"

using kestrel::test::CFakeClock;
using kestrel::test::ScriptedUi;

TEST(Controller, MissingFilesShowTheirMessagesInOrder) {
    kestrel::test::TempDir dir;
    ScriptedUi ui;
    CFakeClock clock;
    CController c(ui, clock, dir.Path());
    c.DataModuleCreate();
    c.StartUp();
    EXPECT_EQ(ui.messages,
              (std::vector<std::string>{"銘柄情報リストの取得に失敗しました。【銘柄情報.txt】",
                                        "株式売買値幅の取得に失敗しました。【株式売買値幅.txt】",
                                        "監視銘柄リストの取得に失敗しました。【監視銘柄.txt】",
                                        "作業フォルダを再確認してください → 終了します",
                                        "デバッグ用データ\"kabu.txt\"の読込エラー",
                                        "デバッグ用データ\"std.csv\"の読込エラー"}));
    EXPECT_EQ(ui.quits, 1);
    EXPECT_TRUE(c.InitDone);
    EXPECT_EQ(c.TrkgList->Count(), 0);
    c.DebugTimerTimer();  // nothing to deliver: the replay stops
    EXPECT_FALSE(c.DebugTimerEnabled);
}

TEST(Controller, ReplayResumeFilesAndShutdown) {
    kestrel::test::TempDir dir;
    dir.WriteCp932("銘柄情報.txt", "1234,ソニー\r\n");
    dir.WriteCp932("株式売買値幅.txt", "0,10000,700\r\n");
    dir.WriteCp932("監視銘柄.txt", "1234.T\r\n5678.T\r\n");
    dir.WriteCp932("std.csv", "1234,貸借,1000,1000,,1,1100\r\n");
    dir.WriteCp932("kabu.txt",
                   "10:00,1234,1000,1\r\n10:01,9999,5,5\r\nbad,1234,1,1\r\n10:02,1234,1100,2\r\n"
                   "10:03,9999,5,5," +
                       std::string(1000, 'z') + "\r\n");
    std::filesystem::create_directory(dir.File("log"));
    ScriptedUi ui;
    CFakeClock clock;
    std::string early;
    {
        CController c(ui, clock, dir.Path());
        c.DataModuleCreate();
        c.DebugTimerTimer();  // before start-up: nothing
        c.StartUp();
        EXPECT_TRUE(ui.messages.empty());
        EXPECT_EQ(ui.confirms, 0);  // no resume file yet
        for (int i = 0; i < 6; ++i) c.DebugTimerTimer();
        EXPECT_TRUE(c.ReplayAtEnd());
        EXPECT_EQ(ui.events, std::vector<std::string>{"10:02 1234.T:1100,(100),9.09% 1700[A,A]"});
        EXPECT_EQ(ui.status[0], "【10:00,1234,1000,1】");
        EXPECT_NE(ui.status[3].find("飛ばしました"), std::string::npos);
        // A long line shows as much of it as the status bar can hold.
        EXPECT_EQ(ui.status[5], "【10:03,9999,5,5," + std::string(200 - 15, 'z') + "…】");
        // The session's end writes both files at once, with the last record pushed merged and
        // the controller still running; its own end writes the same again.
        c.SaveListsNow();
        early = dir.ReadBytes("log/20261207_Asc.txt");
        EXPECT_EQ(kestrel::Cp932ToUtf8(early).rfind("1234.T,A,ソニー,貸借", 0), 0u);
        c.DataModuleDestroy();
    }
    std::string asc = dir.ReadBytes("log/20261207_Asc.txt");
    EXPECT_EQ(asc, early);
    EXPECT_EQ(dir.ReadBytes("log/20261207_Dsc.txt"), "");
    // The next start on the same day offers the files; はい loads both.
    ScriptedUi ui2;
    ui2.answers = {true};
    CController c2(ui2, clock, dir.Path());
    c2.DataModuleCreate();
    c2.StartUp();
    EXPECT_EQ(ui2.confirms, 1);
    EXPECT_EQ(MeigaraListA->Count(), 1);
    // Another day: not offered.
    clock.Date = {2026, 12, 8};
    ScriptedUi ui3;
    CController c3(ui3, clock, dir.Path(), dir.File("nolog"));
    c3.DataModuleCreate();
    c3.StartUp();
    EXPECT_EQ(ui3.confirms, 0);
    c3.DataModuleDestroy();  // both files fail, each reported
    EXPECT_EQ(ui3.messages.size(), 2u);
}

// Lines read ahead on a thread of their own, with records pushed in batches, give what each
// tick reading its own line and pushing its own records gives, over more lines than the ring
// holds, with unknown codes, bad times and quoted columns, and when the replay jumps back to
// its start part way.
TEST(Controller, ReaderThreadReplaysWhatTheTicksReplay) {
    kestrel::test::TempDir dir;
    dir.WriteCp932("銘柄情報.txt", "1234,ソニー\r\n5678,トヨタ\r\n");
    dir.WriteCp932("株式売買値幅.txt", "0,10000,700\r\n");
    dir.WriteCp932("監視銘柄.txt", "1234.T\r\n5678.T\r\n42.T\r\n");
    dir.WriteCp932("std.csv", "1234,貸借,1000,1000,,1,1100\r\n5678,貸借,500,500,,1,600\r\n");
    std::string kabu;
    uint32_t seed = 5;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) % 1000; };
    const char* codes[] = {"1234", "5678", "42", "9999", "\"1234\""};
    int price[5] = {1000, 500, 80, 5, 1000};
    for (int i = 0; i < 20000; ++i) {
        const int c = static_cast<int>(next() % 5);
        price[c] = std::max(1, price[c] + static_cast<int>(next() % 41) - 20);
        const std::string time =
            next() == 0 ? "9:6O" : kestrel::FormatHhNnMs(9 * 3600000 + int64_t{i} * 900);
        kabu += time + "," + codes[c] + "," + std::to_string(price[c]) + "," + std::to_string(i) +
                "\r\n";
    }
    dir.WriteCp932("kabu.txt", kabu);
    std::filesystem::create_directory(dir.File("log"));
    CFakeClock clock;
    auto run = [&](bool reader) {
        ScriptedUi ui;
        std::vector<int> outcomes;
        CController c(ui, clock, dir.Path());
        c.DataModuleCreate();
        c.StartUp();
        if (reader) {
            c.Replayer().StartReader();
            c.Replayer().HoldRecords(true);
        }
        for (int tick = 0; !c.ReplayAtEnd(); ++tick) {
            if (tick == 15000) c.Replayer().JumpTo(0);  // from the start again
            outcomes.push_back(static_cast<int>(c.DebugTimerTimer()));
        }
        c.DataModuleDestroy();  // what is still held is merged and saved too
        ui.events.push_back(dir.ReadBytes("log/20261207_Asc.txt"));
        ui.events.push_back(dir.ReadBytes("log/20261207_Dsc.txt"));
        return std::make_pair(outcomes, ui.events);
    };
    const auto alone = run(false);
    const auto ahead = run(true);
    EXPECT_EQ(alone.first.size(), 35000u);
    EXPECT_NE(alone.second.back(), "");  // the falling list
    EXPECT_GT(alone.second.size(), 100u);
    EXPECT_GT(std::count(alone.first.begin(), alone.first.end(),
                         static_cast<int>(CController::ReplayOutcome::BadTime)),
              0);
    EXPECT_TRUE(alone.first == ahead.first);
    EXPECT_TRUE(alone.second == ahead.second);
}

TEST(Controller, MiddayReconnectOnceAndOnlyAfterAMorningTick) {
    kestrel::test::TempDir dir;
    ScriptedUi ui;
    CFakeClock clock;
    CController c(ui, clock, dir.Path());
    c.DataModuleCreate();
    clock.NowMs = (12 * 60 + 24) * 60000 + 59000;
    c.ReConnTimerTimer();
    EXPECT_TRUE(c.MorningSeen);
    clock.NowMs = (12 * 60 + 25) * 60000;
    c.ReConnTimerTimer();  // start-up not finished: waits
    EXPECT_FALSE(c.ReConnDone);
    c.StartUp();
    c.ReConnTimerTimer();
    EXPECT_TRUE(c.ReConnDone);
    EXPECT_FALSE(c.ReConnTimerEnabled);
    EXPECT_EQ(ui.status.back(), "");

    CController late(ui, clock, dir.Path());
    late.DataModuleCreate();
    late.StartUp();
    late.ReConnTimerTimer();
    EXPECT_FALSE(late.ReConnDone);  // started after 12:25: never by itself
}

// Lines of a resume file that do not read are gone from the list, and so from the next save:
// the file as it was is kept beside it first, under a name that never replaces an earlier copy.
TEST(Controller, ResumeLinesThatDoNotReadAreKeptBesideBeforeTheNextSave) {
    kestrel::test::TempDir dir;
    dir.WriteCp932("監視銘柄.txt", "1234.T\r\n");
    std::filesystem::create_directory(dir.File("log"));
    const std::string good = "1234.T,A,x,y,1,1,1,1,1,1,0,1,10:00,1,1,0,0,0";
    const std::string bad = "9999,A,x,y,abc,1,1,1,1,1,0,1,10:00,1,1,0,0,0";
    dir.WriteCp932("log/20261207_Asc.txt",
                   good + "\r\n" + bad + "\r\n" + std::string(70'000, 'L') + "\r\n");
    dir.WriteCp932("log/20261207_Dsc.txt", good + "\r\n");
    dir.WriteCp932("log/20261207_Asc.txt.bad", "an earlier day's copy\r\n");
    const std::string original = dir.ReadBytes("log/20261207_Asc.txt");
    ScriptedUi ui;
    ui.answers = {true};
    CFakeClock clock;
    {
        CController c(ui, clock, dir.Path());
        c.DataModuleCreate();
        c.StartUp();
        EXPECT_EQ(MeigaraListA->Count(), 1);
        ASSERT_FALSE(ui.messages.empty());
        const std::string& told = ui.messages.back();  // after those of the missing files
        EXPECT_NE(told.find("1 行は数値が読めない"), std::string::npos) << told;
        EXPECT_NE(told.find("1 行は長すぎる"), std::string::npos) << told;
        EXPECT_NE(told.find("20261207_Asc.txt.bad2 に残しました"), std::string::npos) << told;
        c.DataModuleDestroy();
    }
    EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt.bad2"), original);
    EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt.bad"), "an earlier day's copy\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("log/20261207_Dsc.txt.bad"))) << "read whole";
    EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt").find("9999"), std::string::npos)
        << "saved without it";
}

// A resume line of the wrong shape (17 or 19 columns, NULs) loads as it always did, a blank
// entry, but what it held would be gone with the next save: the file as it was is kept beside
// before then, and said. Lines that hold nothing (empty) are no cause for a copy.
TEST(Controller, ResumeLinesOfTheWrongShapeAreKeptBesideBeforeTheNextSave) {
    kestrel::test::TempDir dir;
    dir.WriteCp932("監視銘柄.txt", "1234.T\r\n");
    std::filesystem::create_directory(dir.File("log"));
    const std::string good = "1234.T,A,x,y,1,1,1,1,1,1,0,1,10:00,1,1,0,0,0";
    const std::string cut = "5678.T,A,x,y,1,1,1,1,1,1,0,1,10:00,1,1,0,0";         // 17
    const std::string joined = "9999.T,D,x,y,1,1,1,1,1,1,0,1,10:00,1,1,0,0,0,5";  // 19
    dir.WriteCp932("log/20261207_Asc.txt",
                   good + "\r\n" + cut + "\r\n" + joined + "\r\n" + std::string(64, '\0') + "\r\n");
    dir.WriteCp932("log/20261207_Dsc.txt", good + "\r\n\r\n");
    const std::string original = dir.ReadBytes("log/20261207_Asc.txt");
    ScriptedUi ui;
    ui.answers = {true};
    CFakeClock clock;
    {
        CController c(ui, clock, dir.Path());
        c.DataModuleCreate();
        c.StartUp();
        EXPECT_EQ(MeigaraListA->Count(), 4) << "the good entry and three blank ones, as before";
        EXPECT_EQ(MeigaraListD->Count(), 2);
        ASSERT_FALSE(ui.messages.empty());
        const std::string& told = ui.messages.back();
        EXPECT_NE(told.find("レジュームファイルの 3 行は壊れているため（列の数が 18 でないか NUL "
                            "を含む）"),
                  std::string::npos)
            << told;
        EXPECT_NE(told.find("20261207_Asc.txt.bad に残しました"), std::string::npos) << told;
        EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt.bad"), original) << "before the save";
        c.DataModuleDestroy();
    }
    EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt.bad"), original);
    EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt").find("9999.T"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.File("log/20261207_Dsc.txt.bad")));
}

// Files of the working folder that are no files, or begin with a UTF-8 byte-order mark, and a
// settings file with values it cannot use: each is said once, in the order of start-up, and a
// mark costs no watched issue.
TEST(Controller, WhatTheFilesOfTheFolderCouldNotGiveIsSaidOnce) {
    kestrel::test::TempDir dir;
    const std::string mark = "\xEF\xBB\xBF";
    dir.WriteCp932("KESTREL.INI", "[DEBUG]\r\nflg=1\r\n[ALERT]\r\ncooldown=-1\r\n");
    dir.WriteBytes("銘柄情報.txt", mark + kestrel::Utf8ToCp932("1234,ソニー\r\n"));
    dir.WriteCp932("株式売買値幅.txt", "0,10000,700\r\n");
    dir.WriteBytes("監視銘柄.txt", mark + "1234.T\r\n5678.T\r\n");
    std::filesystem::create_directory(dir.File("kabu.txt"));
    ASSERT_EQ(mkfifo(dir.File("std.csv").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.File("log"));
    std::filesystem::create_symlink("/dev/zero", dir.File("log/20261207_Asc.txt"));
    ScriptedUi ui;
    CFakeClock clock;
    CController c(ui, clock, dir.Path());
    c.DataModuleCreate();
    c.StartUp();
    ASSERT_EQ(c.TrkgList->Count(), 2);
    EXPECT_EQ(c.TrkgList->Items(0)->GetTopic(), "1234.T") << "the first issue is kept";
    const CMeigaraInfo* first = c.MasterList->FindByCode("1234");
    ASSERT_NE(first, nullptr) << "the first line of the master list is kept";
    EXPECT_EQ(first->GetName(), "ソニー");
    EXPECT_EQ(ui.confirms, 0) << "no resume file to offer";
    const std::vector<std::string> expected = {
        "【" + dir.File("KESTREL.INI") +
            "】の [ALERT] に使えない値があります。代わりの値で動きます:\ncooldown=-1 → 0（0 "
            "以上の秒数のはずです）",
        kestrel::ByteOrderMarkNote("銘柄情報.txt", kestrel::ByteOrderMark::ReadAsCp932),
        kestrel::ByteOrderMarkNote("監視銘柄.txt", kestrel::ByteOrderMark::ReadAsUtf8),
        "【kabu.txt】を読み込めません: " + dir.File("kabu.txt") + ": is a folder, not a file",
        "デバッグ用データ\"kabu.txt\"の読込エラー",
        "【std.csv】を読み込めません: " + dir.File("std.csv") + ": is a FIFO, not a file",
        "デバッグ用データ\"std.csv\"の読込エラー",
        "レジュームファイルを読み込めません: " + dir.File("log/20261207_Asc.txt") +
            ": is a device, not a file"};
    EXPECT_EQ(ui.messages, expected);
    // A second start-up of the same controller says only what the files say again.
    ui.messages.clear();
    c.StartUp();
    EXPECT_EQ(ui.messages.size(), expected.size() - 1);
    EXPECT_EQ(ui.messages.front(), expected[1]);
}
