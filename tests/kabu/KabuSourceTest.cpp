// The kabu source against the simulated kabuステーション API, in one process: the simulator on
// the test's event loop, the broker client on its own thread as in kestrel-feed, and the test
// in the place of the server's loop (it takes the changes and the news as they come).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <poll.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>

#include "kestrel-feed/KabuSource.h"
#include "kestrel-feed/Quotes.h"
#include "support/KabuSim.h"

using namespace kestrel::feed;
using kestrel::test::KabuSim;
using kestrel::test::KabuSimOptions;
using Clock = std::chrono::steady_clock;

namespace {

// Far above the slowest run under a sanitizer on a loaded machine: only a guard against a hang.
constexpr int kHangMs = 30'000;

kabu::Config FastConfig(const KabuSim& sim) {
    kabu::Config c;
    c.Base = QUrl(sim.BaseUrl());
    c.Password = "kabu-sim-pass";
    c.FirstRetryMs = 20;
    c.MaxRetryMs = 200;
    c.PaceMs = 1;
    c.RateLimitPauseMs = 300;
    c.BatchMs = 20;
    c.PushFirstRetryMs = 20;
    c.RequestTimeoutMs = 10'000;
    return c;
}

KabuSimOptions Roomy() {
    KabuSimOptions o;
    o.RatePerSecond = 100'000;  // the rate limit has a test of its own
    return o;
}

struct Rig {
    explicit Rig(KabuSimOptions o = Roomy(),
                 const std::function<void(kabu::Config&)>& tweak = nullptr)
        : Sim(std::move(o)) {
        EXPECT_TRUE(Sim.Listen());
        kabu::Config c = FastConfig(Sim);
        if (tweak) tweak(c);
        Source = std::make_unique<KabuSource>(c);
    }
    // What the source said and the simulator was asked, to read when a test fails.
    ~Rig() {
        if (!::testing::Test::HasFailure()) return;
        for (const auto& l : Logs) std::fprintf(stderr, "log: %s\n", l.c_str());
        for (const auto& r : Sim.Requests) std::fprintf(stderr, "asked: %s\n", r.c_str());
    }

    // One turn of the test's loop: the simulator's events, then what the source has.
    void Turn() {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p{Source->WakeFd(), POLLIN, 0};
        if (poll(&p, 1, 2) > 0) Source->Woken();
        std::string code;
        while (Source->NextDueMs() == 0 && Source->Next(Book, code)) Changes.push_back(code);
        SourceNews n;
        while (Source->NextNews(n)) {
            Logs.push_back(n.Log);
            if (!n.Screen.empty()) Screens.push_back(n.Screen);
        }
    }
    bool Until(const std::function<bool()>& done, int ms = kHangMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (Clock::now() > deadline) return false;
            Turn();
        }
        return true;
    }
    // Runs the loop a while, for what must not happen meanwhile.
    void For(int ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) Turn();
    }
    void Open(const std::vector<std::string>& topics) {
        for (const auto& t : topics) Source->TopicOpened(t);
    }
    std::string Item(const std::string& topic, const std::string& item) const {
        std::string v;
        EXPECT_TRUE(ItemValue(Book.Lookup(topic), item, v)) << item;
        return v;
    }
    int Count(const std::string& code) const {
        return static_cast<int>(std::count(Changes.begin(), Changes.end(), code));
    }
    // How many screen texts contain `part`.
    int Said(const std::string& part) const {
        return static_cast<int>(std::count_if(Screens.begin(), Screens.end(), [&](const auto& s) {
            return s.find(part) != std::string::npos;
        }));
    }
    bool Standing(const std::string& part) const {
        for (const auto& s : Source->StandingNews())
            if (s.find(part) != std::string::npos) return true;
        return false;
    }
    size_t Requested(const std::string& what) const {
        return static_cast<size_t>(
            std::count_if(Sim.Requests.begin(), Sim.Requests.end(),
                          [&](const auto& r) { return r.rfind(what, 0) == 0; }));
    }
    // Registered, pushed to, and every issue's symbol information and board read.
    bool Settled(size_t issues) const {
        return Sim.Registered().size() == issues && Requested("GET /symbol/") >= issues &&
               Requested("GET /board/") >= issues && Sim.PushOpens >= 1;
    }

    KabuSim Sim;
    QuoteBook Book;
    std::unique_ptr<KabuSource> Source;
    std::vector<std::string> Changes, Logs, Screens;
};

}  // namespace

// The eleven items from the frames: nulls before the first trade leave them blank, the
// reversed best quotes are not taken for the price, the volume is cumulative, the time is
// Japan's whatever zone the app writes in, and only a change of volume is a change.
TEST(KabuSource, ServesTheItemsFromTheLatestFrame) {
    Rig rig;
    rig.Sim.AddIssue("7203", "トヨタ自動車", 2500, "貸借");
    rig.Sim.AddIssue("9433", "ＫＤＤＩ", 4500, "信用");
    rig.Sim.AddIssue("130A", "ﾜｲｴｽﾌｰﾄﾞ", 800, "");
    rig.Open({"7203.T", "9433.OS", "130A.Q"});
    ASSERT_TRUE(rig.Until([&] { return rig.Settled(3) && rig.Book.Find("130A"); }));
    rig.For(50);

    // Before the open the board is null but for the reference figures: nothing changed.
    EXPECT_TRUE(rig.Changes.empty());
    EXPECT_EQ(rig.Item("7203.T", "出来高"), "0");
    EXPECT_EQ(rig.Item("7203.T", "現在値"), "");
    EXPECT_EQ(rig.Item("7203.T", "現在値時刻"), "  :  ");
    EXPECT_EQ(rig.Item("7203.T", "出来高加重平均"), "");
    EXPECT_EQ(rig.Item("7203.T", "前日比率"), "");
    EXPECT_EQ(rig.Item("7203.T", "銘柄名称"), "トヨタ自動車");
    EXPECT_EQ(rig.Item("7203.T", "信用貸借区分"), "貸借");
    EXPECT_EQ(rig.Item("9433.OS", "信用貸借区分"), "信用");
    EXPECT_EQ(rig.Item("130A.Q", "信用貸借区分"), "");
    EXPECT_EQ(rig.Item("130A.Q", "銘柄名称"), "ﾜｲｴｽﾌｰﾄﾞ");
    EXPECT_EQ(rig.Item("7203.T", "前日終値"), "2500");
    EXPECT_EQ(rig.Item("7203.T", "始値"), "");
    EXPECT_EQ(rig.Item("7203.T", "年初来高値"), "");  // not in the API
    EXPECT_EQ(rig.Item("7203.T", "貸借倍率"), "");    // not in the API

    // A pre-open quote frame (nulls, quotes only) changes nothing either.
    const int frames = rig.Sim.Frames;
    rig.Sim.QuoteOnly("7203");
    ASSERT_TRUE(rig.Until([&] { return rig.Sim.Frames > frames; }));
    rig.For(50);
    EXPECT_TRUE(rig.Changes.empty());
    EXPECT_EQ(rig.Item("7203.T", "現在値"), "");

    // The first trade: the price is CurrentPrice floored, never the best offer the API calls
    // BidPrice (2511.5) nor the best bid it calls AskPrice (2509.5).
    rig.Sim.AdvanceMs(1000);
    rig.Sim.Trade("7203", 2510.5, 1000, "09:00:01");
    ASSERT_TRUE(rig.Until([&] { return rig.Count("7203") == 1; }));
    EXPECT_EQ(rig.Item("7203.T", "出来高"), "1000");
    EXPECT_EQ(rig.Item("7203.T", "現在値"), "2510");
    EXPECT_EQ(rig.Item("7203.T", "現在値時刻"), "09:00:01");
    EXPECT_EQ(rig.Item("7203.T", "出来高加重平均"), "2510.5");
    // The ratio of the price served (2510) to the previous close, as the replay of a recorded
    // day computes it; the API's 0.42 is of 2510.5, and with two decimals only.
    EXPECT_EQ(rig.Item("7203.T", "前日比率"), "0.4");
    EXPECT_EQ(rig.Item("7203.T", "始値"), "2510");

    // Two trades within the thinning interval come as one frame with the later figures; the
    // volume is the day's total, not the trade's.
    rig.Sim.AdvanceMs(100);
    rig.Sim.Trade("7203", 2520, 1500, "09:00:01");
    rig.Sim.AdvanceMs(100);
    rig.Sim.Trade("7203", 2530, 1700, "09:00:02");
    rig.For(50);
    EXPECT_EQ(rig.Count("7203"), 1) << "a frame came before the thinning interval was over";
    rig.Sim.AdvanceMs(200);
    ASSERT_TRUE(rig.Until([&] { return rig.Count("7203") == 2; }));
    EXPECT_EQ(rig.Item("7203.T", "出来高"), "1700");
    EXPECT_EQ(rig.Item("7203.T", "現在値"), "2530");
    EXPECT_EQ(rig.Item("7203.T", "現在値時刻"), "09:00:02");
    EXPECT_EQ(rig.Item("7203.T", "始値"), "2510");

    // The quotes move, the volume does not: the frame comes, but it is no change.
    rig.Sim.AdvanceMs(400);
    const int before = rig.Sim.Frames;
    rig.Sim.QuoteOnly("7203");
    ASSERT_TRUE(rig.Until([&] { return rig.Sim.Frames > before; }));
    rig.For(50);
    EXPECT_EQ(rig.Count("7203"), 2);

    // An app whose PC is on another zone writes 16:00:03-08:00 for 09:00:03 in Japan.
    rig.Sim.Options().OffsetMinutes = -8 * 60;
    rig.Sim.AdvanceMs(400);
    rig.Sim.Trade("9433", 4510, 300, "09:00:03");
    ASSERT_TRUE(rig.Until([&] { return rig.Count("9433") == 1; }));
    EXPECT_EQ(rig.Item("9433.OS", "現在値時刻"), "09:00:03");
    EXPECT_EQ(rig.Item("9433.OS", "前日比率"), "0.22222222222222221");
    rig.Sim.AdvanceMs(400);
    rig.Sim.Trade("9433", 4520, 400, "09:00:04");
    ASSERT_TRUE(rig.Until([&] { return rig.Count("9433") == 2; }));
    EXPECT_EQ(rig.Said("日本時間ではありません（-08:00）"), 1);
}

// The token no longer valid: a new one is taken and every issue registered again, and what
// was served stays served meanwhile. The same when the app restarts (its list and the PUSH
// connection are gone too).
TEST(KabuSource, ANewTokenAndTheIssuesAgainWhenTheTokenDies) {
    Rig rig;
    rig.Sim.AddIssue("7203", "トヨタ自動車", 2500);
    rig.Sim.AddIssue("6758", "ソニーＧ", 3000);
    rig.Sim.AddIssue("8306", "三菱ＵＦＪ", 1500);
    rig.Open({"7203.T"});
    ASSERT_TRUE(rig.Until([&] { return rig.Settled(1); }));
    rig.Sim.Trade("7203", 2510, 1000, "09:00:01");
    ASSERT_TRUE(rig.Until([&] { return rig.Count("7203") == 1; }));

    // Another program took a token: ours fails at the next request.
    rig.Sim.SupersedeToken();
    rig.Open({"6758.T"});
    ASSERT_TRUE(rig.Until([&] { return rig.Sim.Registered().size() == 2; }));
    EXPECT_EQ(rig.Sim.TokenCalls, 2);
    EXPECT_EQ(rig.Said("APIトークンが無効になりました"), 1);
    EXPECT_EQ(rig.Item("7203.T", "現在値"), "2510");
    EXPECT_EQ(rig.Item("7203.T", "出来高"), "1000");

    // The app restarts: the PUSH connection drops, the token and the list are gone.
    rig.Sim.Restart();
    EXPECT_TRUE(rig.Sim.Registered().empty());
    ASSERT_TRUE(
        rig.Until([&] { return rig.Sim.Registered().size() == 2 && rig.Sim.PushOpens == 2; }));
    EXPECT_EQ(rig.Sim.TokenCalls, 3);
    EXPECT_EQ(rig.Item("7203.T", "現在値"), "2510");
    rig.Sim.AdvanceMs(1000);
    rig.Sim.Trade("7203", 2520, 1200, "09:00:02");
    ASSERT_TRUE(rig.Until([&] { return rig.Count("7203") == 2; }));
    EXPECT_EQ(rig.Item("7203.T", "出来高"), "1200");
    EXPECT_EQ(rig.Said("PUSH配信の接続が切れました"), 1);
    EXPECT_EQ(rig.Said("PUSH配信の接続が戻りました"), 1);
}

// A dropped PUSH connection is opened again; said once each way.
TEST(KabuSource, ADroppedPushConnectionIsOpenedAgain) {
    Rig rig;
    rig.Sim.AddIssue("7203", "トヨタ自動車", 2500);
    rig.Open({"7203.T"});
    ASSERT_TRUE(rig.Until([&] { return rig.Settled(1); }));
    rig.Sim.DropPush();
    ASSERT_TRUE(rig.Until([&] {
        return rig.Sim.PushOpens == 2 && rig.Said("戻りました") == 1 && !rig.Standing("PUSH");
    }));
    EXPECT_EQ(rig.Said("PUSH配信の接続が切れました"), 1);
    rig.Sim.Trade("7203", 2510, 1000, "09:00:01");
    ASSERT_TRUE(rig.Until([&] { return rig.Count("7203") == 1; }));
    EXPECT_EQ(rig.Sim.TokenCalls, 1) << "the token was still good";
}

// Another program opens the PUSH connection, and the app closes ours: we say so and leave it
// there rather than take it back, which would close the other program's.
TEST(KabuSource, APushConnectionTakenByAnotherProgramIsLeftToIt) {
    Rig rig;
    rig.Sim.AddIssue("7203", "トヨタ自動車", 2500);
    rig.Open({"7203.T"});
    ASSERT_TRUE(rig.Until([&] { return rig.Settled(1); }));
    rig.Sim.OpenRival();
    ASSERT_TRUE(rig.Until([&] { return rig.Said("他のプログラム") == 1; }));
    rig.For(1000);  // many times the reconnection wait
    EXPECT_TRUE(rig.Standing("他のプログラム"));
    EXPECT_EQ(rig.Sim.PushOpens, 1);
    EXPECT_TRUE(rig.Sim.RivalConnected());
    EXPECT_EQ(rig.Said("他のプログラム"), 1);
}

// 51 topics at a cap of 50: the last is named and not served; closing one makes room.
TEST(KabuSource, TopicsPastTheCapAreNamedAndServedOnceThereIsRoom) {
    Rig rig;
    std::vector<std::string> topics;
    for (int i = 0; i < 51; ++i) {
        const std::string code = std::to_string(2000 + i);
        rig.Sim.AddIssue(code, "銘柄" + code, 1000);
        topics.push_back(code + ".T");
    }
    rig.Open(topics);
    ASSERT_TRUE(rig.Until([&] { return rig.Settled(50) && rig.Said("登録上限") >= 1; }));
    rig.For(100);
    EXPECT_EQ(rig.Said("登録上限（50銘柄）を超えたため配信しない銘柄: 2050.T"), 1);
    EXPECT_EQ(rig.Said("登録上限"), 1);
    EXPECT_TRUE(rig.Standing("2050.T"));
    EXPECT_EQ(rig.Sim.ListSize(), 50u) << "/board and /symbol must not go past the cap either";
    rig.Sim.Trade("2050", 1010, 100, "09:00:01");
    rig.For(100);
    EXPECT_EQ(rig.Count("2050"), 0);
    EXPECT_EQ(rig.Item("2050.T", "現在値"), "");

    // One topic closes: its issue leaves the list for the one that waited.
    rig.Source->TopicClosed("2003.T");
    ASSERT_TRUE(rig.Until([&] {
        auto r = rig.Sim.Registered();
        return std::find(r.begin(), r.end(), "2050") != r.end() && !rig.Standing("登録上限");
    }));
    auto r = rig.Sim.Registered();
    EXPECT_EQ(std::find(r.begin(), r.end(), "2003"), r.end());
    rig.Sim.AdvanceMs(1000);
    rig.Sim.Trade("2050", 1020, 200, "09:00:02");
    ASSERT_TRUE(rig.Until([&] { return rig.Count("2050") == 1; }));
    EXPECT_EQ(rig.Item("2050.T", "現在値"), "1020");
}

// A wrong password stops the client: said once, never asked again.
TEST(KabuSource, AWrongPasswordIsSaidOnceAndNotRetried) {
    Rig rig(Roomy(), [](kabu::Config& c) { c.Password = "wrong"; });
    rig.Open({"7203.T"});
    ASSERT_TRUE(rig.Until([&] { return rig.Said("APIパスワードが違います") == 1; }));
    rig.For(1000);  // many times the longest retry wait
    EXPECT_EQ(rig.Sim.TokenCalls, 1);
    EXPECT_EQ(rig.Said("APIパスワード"), 1);
    EXPECT_TRUE(rig.Standing("APIパスワードが違います"));
}

// The app absent, then running but logged out, then logged in: each said once while the
// client keeps trying, and then it serves.
TEST(KabuSource, AnAbsentOrLoggedOutAppIsWaitedFor) {
    Rig rig;
    rig.Sim.SetAbsent(true);
    rig.Sim.AddIssue("7203", "トヨタ自動車", 2500);
    rig.Open({"7203.T"});
    ASSERT_TRUE(rig.Until([&] { return rig.Said("接続できません") == 1; }));
    rig.For(600);  // several retries
    EXPECT_EQ(rig.Said("接続できません"), 1);
    EXPECT_TRUE(rig.Standing("接続できません"));

    rig.Sim.SetLoggedIn(false);
    rig.Sim.SetAbsent(false);
    ASSERT_TRUE(rig.Until([&] { return rig.Said("ログインしていない") == 1; }));
    const int tries = rig.Sim.TokenCalls;
    rig.For(600);
    EXPECT_GT(rig.Sim.TokenCalls, tries) << "no retry while logged out";
    EXPECT_EQ(rig.Said("ログインしていない"), 1);

    rig.Sim.SetLoggedIn(true);
    ASSERT_TRUE(rig.Until([&] { return rig.Settled(1); }));
    EXPECT_EQ(rig.Said("APIに接続しました"), 1);
    EXPECT_FALSE(rig.Standing("ログイン"));
    rig.Sim.Trade("7203", 2510, 1000, "09:00:01");
    ASSERT_TRUE(rig.Until([&] { return rig.Count("7203") == 1; }));
}

// Past the request rate the API answers 429 and counts every call within its penalty as
// another: the client pauses longer than that, and still gets everything read.
TEST(KabuSource, ARateLimitIsWaitedOut) {
    KabuSimOptions o;
    o.RatePerSecond = 4;
    o.PenaltyMs = 200;
    Rig rig(o);
    std::vector<std::string> topics;
    for (int i = 0; i < 8; ++i) {
        rig.Sim.AddIssue(std::to_string(3000 + i), "銘柄", 1000, "信用");
        topics.push_back(std::to_string(3000 + i) + ".T");
    }
    rig.Open(topics);
    ASSERT_TRUE(rig.Until([&] { return rig.Settled(8) && rig.Book.Find("3007"); }));
    rig.For(50);
    EXPECT_GT(rig.Sim.TooMany, 0);
    EXPECT_EQ(rig.Sim.TooManyInside, 0) << "called again within the penalty of a 429";
    for (const auto& t : topics) EXPECT_EQ(rig.Item(t, "信用貸借区分"), "信用") << t;
}

// Topics the API has no code for, and issues it does not know, are named and not served;
// the others are.
TEST(KabuSource, TopicsItCannotServeAreNamed) {
    Rig rig;
    rig.Sim.AddIssue("7203", "トヨタ自動車", 2500);
    rig.Sim.AddIssue("6758", "ソニーＧ", 3000);
    rig.Open({"7203.T", "1234", "5678.N", "9999.T", "6758.OJ"});
    ASSERT_TRUE(rig.Until([&] { return rig.Settled(2) && rig.Said("扱わない銘柄") == 1; }));
    EXPECT_EQ(rig.Said("配信しない銘柄: 1234, 5678.N"), 1);
    EXPECT_EQ(rig.Said("扱わない銘柄のため配信しません: 9999.T"), 1);
    EXPECT_EQ(rig.Sim.Registered(), (std::vector<std::string>{"6758", "7203"}));
}

// A request not addressed to localhost is refused by the app's HTTP server itself: said, and
// not tried again.
TEST(KabuSource, ARefusedHostIsSaid) {
    KabuSimOptions o = Roomy();
    o.Hosts = {"localhost"};  // our requests name 127.0.0.1
    Rig rig(o);
    rig.Open({"7203.T"});
    ASSERT_TRUE(rig.Until([&] { return rig.Said("localhost宛て") == 1; }));
    rig.For(500);
    EXPECT_EQ(rig.Sim.HostsRefused, 1);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
