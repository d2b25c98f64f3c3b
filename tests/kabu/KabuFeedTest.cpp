// kestrel-feed --source kabu as a process, between the simulated kabuステーション API (on a
// thread of this test) and the feed's clients: the plain wire client and the monitor's own
// conversations.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>

#include "common/Codec.h"
#include "feedtests/FeedServerProcess.h"
#include "support/KabuSim.h"
#include "support/TempDir.h"
#include "tracking/feed/FeedSocket.h"
#include "tracking/feed/SocketDdeConv.h"

using namespace kestrel::feed;
using kestrel::test::FeedServerProcess;
using kestrel::test::KabuSim;
using kestrel::test::KabuSimOptions;
using kestrel::test::KabuSimThread;
using kestrel::test::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kHangMs = 30'000;
const char* kPassword = "kabu-sim-pass";

bool Until(const std::function<bool()>& done, int ms = kHangMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool Has(const std::vector<std::string>& texts, const std::string& part) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](const auto& t) { return t.find(part) != std::string::npos; });
}

std::vector<std::string> Values(FeedControl& c, const std::string& topic) {
    Message reply;
    if (!c.Call(Verb::All, {topic}, reply, 5000)) return {"<" + c.LastError + ">"};
    std::vector<std::string> v;
    for (const auto& a : reply.Args) v.push_back(kestrel::Cp932ToUtf8(a));
    return v;
}

}  // namespace

// The whole way: topics the monitor links are registered (one past the cap, one no market
// can be found for), a trade on the API becomes a notice and the eleven values, and what the
// feed has to say reaches its clients, late ones included, and the monitor's user.
TEST(KabuFeed, ServesTheApiThroughTheSocket) {
    TempDir dir;
    KabuSimThread sim;
    ASSERT_TRUE(sim.Listening());
    sim.Run([](KabuSim& s) {
        s.AddIssue("1000", "テスト電機", 1200, "貸借");
        s.AddIssue("1001", "サンプル", 800, "信用");
        s.AddIssue("1002", "三番目", 500);
    });
    setenv("KABU_API_PASSWORD", kPassword, 1);
    const std::string sock = dir.File("RSS.sock");
    FeedServerProcess feed(sock, {"--source", "kabu", "--kabu-url", sim.Url(), "--kabu-cap", "2"},
                           dir.File("feed.log"));
    ASSERT_TRUE(feed.Start()) << feed.Log();
    unsetenv("KABU_API_PASSWORD");

    FeedControl c;
    std::string err;
    ASSERT_TRUE(c.Open(sock, err)) << err;
    Message reply;
    for (const char* topic : {"1000.T", "1001.T", "1002.T", "1234"}) {
        ASSERT_TRUE(c.Call(Verb::Conn, {topic}, reply, 5000)) << topic;
        ASSERT_TRUE(c.Call(Verb::Adv, {topic, "出来高"}, reply, 5000)) << topic;
    }
    auto boards = [](KabuSim& s) {
        return static_cast<int>(std::count_if(s.Requests.begin(), s.Requests.end(), [](auto& r) {
            return r.rfind("GET /board/", 0) == 0;
        }));
    };
    ASSERT_TRUE(Until([&] {
        return sim.Get<int>(boards) == 2 &&
               sim.Get<int>([](KabuSim& s) { return s.PushOpens; }) == 1;
    })) << feed.Log();

    sim.Run([](KabuSim& s) { s.Trade("1000", 1236.5, 500, "09:00:05"); });
    ASSERT_TRUE(Until([&] {
        c.Ping();
        return std::find(c.Notes.begin(), c.Notes.end(), "1000.T\t出来高") != c.Notes.end();
    })) << feed.Log();
    // The change ratio of the floored price, as a replay of the recorded day works it out, not
    // the API's 3.04 of 1236.5.
    EXPECT_EQ(Values(c, "1000.T"),
              (std::vector<std::string>{"500", "1236", "09:00:05", "1236.5", "3", "テスト電機",
                                        "貸借", "1200", "1236", "", ""}));
    EXPECT_EQ(Values(c, "1001.T")[6], "信用");
    EXPECT_EQ(Values(c, "1002.T"),
              (std::vector<std::string>{"0", "", "  :  ", "", "", "", "", "", "", "", ""}));
    ASSERT_TRUE(Until([&] {
        c.Ping();
        return Has(c.Infos, "1002.T") && Has(c.Infos, ": 1234");
    }));
    EXPECT_TRUE(Has(c.Infos, "登録上限（2銘柄）を超えたため配信しない銘柄: 1002.T"));

    // A client that comes later hears what still holds at once, and only that.
    FeedControl late;
    ASSERT_TRUE(late.Open(sock, err)) << err;
    ASSERT_TRUE(late.Ping());
    EXPECT_TRUE(Has(late.Infos, "1002.T"));
    EXPECT_TRUE(Has(late.Infos, ": 1234"));
    EXPECT_FALSE(Has(late.Infos, "接続しました"));

    // The monitor's own conversation says it to the user.
    std::vector<std::string> warnings;
    SetFeedWarningHandler([&](const std::string& w) { warnings.push_back(w); });
    auto make = MakeSocketConvFactory(sock);
    auto conv = make();
    conv->SetLink("RSS", "5678.N");
    ASSERT_TRUE(conv->OpenLink());
    EXPECT_TRUE(Until([&] { return Has(warnings, "5678.N"); })) << feed.Log();
    EXPECT_TRUE(Has(warnings, "1002.T"));  // what held when it connected
    SetFeedWarningHandler(nullptr);
    conv.reset();

    // The feed's log says each thing once, and never the password.
    ASSERT_EQ(feed.Stop(), 0) << feed.Log();
    const std::string log = feed.Log();
    EXPECT_EQ(log.find(kPassword), std::string::npos) << log;
    EXPECT_NE(log.find("past the registration cap of 2 are not served: 1002.T"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("cap of 2", log.find("cap of 2") + 1), std::string::npos) << log;
}

// The password never comes from the command line, and a file others may read is refused
// without a word of what is in it.
TEST(KabuFeed, ThePasswordComesFromTheEnvironmentOrAPrivateFile) {
    TempDir dir;
    const std::string sock = dir.File("RSS.sock");
    unsetenv("KABU_API_PASSWORD");
    const std::string secret = "s3cret-of-the-test";
    const std::string file = dir.WriteBytes("password", secret + "\n");
    chmod(file.c_str(), 0644);
    {
        FeedServerProcess feed(sock, {"--source", "kabu", "--kabu-password-file", file},
                               dir.File("a.log"));
        EXPECT_FALSE(feed.Start());
        EXPECT_EQ(feed.Wait(), 2);
        const std::string log = feed.Log();
        EXPECT_NE(log.find(file + ": others may read or change it (mode 0644)"), std::string::npos)
            << log;
        EXPECT_EQ(log.find(secret), std::string::npos);
    }
    {
        FeedServerProcess feed(sock, {"--source", "kabu"}, dir.File("b.log"));
        EXPECT_FALSE(feed.Start());
        EXPECT_EQ(feed.Wait(), 2);
        EXPECT_NE(feed.Log().find("needs the API password"), std::string::npos) << feed.Log();
    }
    {
        // Options of a replay make no sense with a live source.
        setenv("KABU_API_PASSWORD", secret.c_str(), 1);
        FeedServerProcess feed(sock, {"--source", "kabu", "--manual"}, dir.File("c.log"));
        EXPECT_FALSE(feed.Start());
        EXPECT_EQ(feed.Wait(), 2);
        unsetenv("KABU_API_PASSWORD");
    }
    // A private file is taken; with no app listening the feed serves all the same, and says
    // why nothing comes.
    KabuSimThread sim;
    ASSERT_TRUE(sim.Listening());
    sim.Run([](KabuSim& s) { s.SetAbsent(true); });
    chmod(file.c_str(), 0600);
    FeedServerProcess feed(
        sock, {"--source", "kabu", "--kabu-password-file", file, "--kabu-url", sim.Url()},
        dir.File("d.log"));
    ASSERT_TRUE(feed.Start()) << feed.Log();
    FeedControl c;
    std::string err;
    ASSERT_TRUE(c.Open(sock, err)) << err;
    ASSERT_TRUE(Until([&] {
        c.Ping();
        return Has(c.Infos, "接続できません");
    }));
    EXPECT_TRUE(c.Ping());
    ASSERT_EQ(feed.Stop(), 0) << feed.Log();
    EXPECT_EQ(feed.Log().find(secret), std::string::npos);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    setenv("PATH", "/nonexistent-kestrel-path", 1);  // no test may start a launcher by accident
    return RUN_ALL_TESTS();
}
