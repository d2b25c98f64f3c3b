#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <filesystem>

#include "app/Global.h"
#include "support/TempDir.h"

namespace {
struct QuietUi : IUserInterface {
    std::vector<std::string> messages, events;
    void ShowMessage(const std::string& t) override { messages.push_back(t); }
    bool Confirm(const std::string&) override { return false; }
    void SetStatusText(const std::string&) override {}
    void SetBusy(bool) override {}
    void RequestQuit() override {}
    void AppendEventLine(const std::string& l) override { events.push_back(l); }
};
struct NoWaitClock : CSystemClock {
    void SleepMs(int) override {}
};
}  // namespace

// The Qt timers drive start-up one second after creation and then the replay at 100 ms a line.
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
        QuietUi ui;
        NoWaitClock clock;
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
        QElapsedTimer t;
        t.start();
        while (!(global.InitDone() && global.Core().ReplayAtEnd()) && t.elapsed() < 10000)
            app.processEvents(QEventLoop::AllEvents, 20);
        EXPECT_TRUE(global.InitDone());
        EXPECT_TRUE(global.Core().ReplayAtEnd());
        EXPECT_GE(t.elapsed(), 1000 + 2 * 100);  // one second to start, then 100 ms per line
        EXPECT_EQ(ui.events, (std::vector<std::string>{"10:01 1234.T:1100,(100),9.09% 1700[A,A]",
                                                       "10:02 1234.T:1100,(100),9.09% 1700[A,A]"}));
        EXPECT_TRUE(ui.messages.empty());
    }
    // The controller's end saved the rising list of the run.
    CDate d = CSystemClock().Today();
    char asc[32];
    std::snprintf(asc, sizeof asc, "log/%04d%02d%02d_Asc.txt", d.Year, d.Month, d.Day);
    EXPECT_EQ(dir.ReadBytes(asc).rfind("1234.T,A,", 0), 0u) << dir.ReadBytes(asc);
    std::filesystem::current_path(old);
}
