#include <gtest/gtest.h>

#include <QCoreApplication>

#include <filesystem>

#include "app/Global.h"
#include "support/FakeClock.h"
#include "support/ScriptedUi.h"
#include "support/TempDir.h"

// The timers drive start-up one second after creation and then the replay at 100 ms a line.
TEST(Global, TimersRunStartUpAndTheReplayOnTheEventLoop) {
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name};
    QCoreApplication app(argc, argv);
    kestrel::test::TempDir dir;
    dir.WriteCp932("銘柄情報.txt", "1234,ソニー\r\n");
    dir.WriteCp932("株式売買値幅.txt", "0,10000,700\r\n");
    dir.WriteCp932("監視銘柄.txt", "1234.T\r\n");
    dir.WriteCp932("std.csv", "1234,貸借,1000,1000,,1,1100\r\n");
    dir.WriteCp932("kabu.txt", "10:00,1234,1000,1\r\n10:01,1234,1100,2\r\n10:02,1234,1100,3\r\n");
    std::filesystem::create_directory(dir.File("log"));
    auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    {
        kestrel::test::ScriptedUi ui;
        kestrel::test::CFakeClock clock;
        TM_Global global(ui, clock);
        EXPECT_FALSE(global.InitDone());
#ifdef KESTREL_HAVE_RUBY
        // The controller's Ruby host started the interpreter as the controller was made.
        ASSERT_NE(global.RubyHost1, nullptr);
        std::vector<std::string> out;
        global.RubyHost1->SetScript({"puts 6 * 7"});
        global.RubyHost1->Execute(&out);
        EXPECT_EQ(out, std::vector<std::string>{"42"});
#endif
        clock.Advance(TM_Global::kInitMs - 1);
        EXPECT_FALSE(global.InitDone());
        clock.Advance(1);
        ASSERT_TRUE(global.InitDone());
        EXPECT_FALSE(global.Core().ReplayAtEnd());
        // One line a tick, the last one ending the replay.
        for (size_t tick = 0; tick < 3; ++tick) {
            EXPECT_FALSE(global.Core().ReplayAtEnd()) << tick;
            clock.Advance(TM_Global::kDebugMs - 1);
            EXPECT_EQ(ui.events.size(), tick == 0 ? 0 : tick - 1) << tick;
            clock.Advance(1);
            EXPECT_EQ(ui.events.size(), tick) << tick;
        }
        EXPECT_TRUE(global.Core().ReplayAtEnd());
        EXPECT_EQ(ui.events, (std::vector<std::string>{"10:01 1234.T:1100,(100),9.09% 1700[A,A]",
                                                       "10:02 1234.T:1100,(100),9.09% 1700[A,A]"}));
        EXPECT_TRUE(ui.messages.empty());
    }
    // The controller's end saved the rising list of the run.
    const std::string asc = dir.ReadBytes("log/20261207_Asc.txt");
    EXPECT_EQ(asc.rfind("1234.T,A,", 0), 0u) << asc;
    std::filesystem::current_path(old);
}
