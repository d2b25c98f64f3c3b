#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tracking/NoticePump.h"

// The notice rules both transports share, with a loop of our own: a turn is run when the test
// says, as the event loop would run a posted one.
TEST(NoticePump, OneWaitingPerKeyAFewHundredPerTurnAndNeverInsideARequestOrADelivery) {
    int posted = 0;
    kestrel::TNoticePump<std::string> pump([&] { return ++posted, true; });
    std::vector<std::string> got;
    auto turn = [&] { pump.Turn([&](const std::string& n) { got.push_back(n); }); };

    pump.Add("a");
    pump.Add("a");  // the same waits already
    pump.Add("b");
    EXPECT_EQ(posted, 1) << "one turn asked for, however many notices";
    turn();
    EXPECT_EQ(got, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(pump.Idle());
    pump.Add("a");  // delivered, so it may wait again
    turn();
    EXPECT_EQ(got.size(), 3u);

    // Inside a request nothing is asked for; its end asks once.
    got.clear();
    posted = 0;
    pump.BeginRequest();
    pump.Add("x");
    turn();  // a turn posted earlier that comes in during the request delivers nothing
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(posted, 0);
    pump.EndRequest();
    EXPECT_EQ(posted, 1);
    turn();
    EXPECT_EQ(got, std::vector<std::string>{"x"});

    // A turn takes at most its share; the rest waits for the next one, which it asks for.
    got.clear();
    posted = 0;
    for (int i = 0; i < 300; ++i) pump.Add(std::string("n").append(std::to_string(i)));
    turn();
    EXPECT_EQ(got.size(), 256u);
    EXPECT_EQ(posted, 2);
    turn();
    EXPECT_EQ(got.size(), 300u);
    EXPECT_EQ(got.back(), "n299");

    // A delivery that runs a loop of its own (a dialog) meets a turn there: it delivers nothing,
    // and the outer turn goes on in order.
    got.clear();
    pump.Add("p");
    pump.Add("q");
    pump.Turn([&](const std::string& n) {
        got.push_back(n);
        if (n == "p") turn();
    });
    EXPECT_EQ(got, (std::vector<std::string>{"p", "q"}));

    // Dropped with their conversation, and cleared with a lost connection.
    pump.Add("gone-1");
    pump.Add("kept");
    pump.Add("gone-2");
    pump.RemoveIf([](const std::string& n) { return n.rfind("gone", 0) == 0; });
    pump.Add("gone-1");  // no longer waiting: queued anew
    got.clear();
    turn();
    EXPECT_EQ(got, (std::vector<std::string>{"kept", "gone-1"}));
    pump.Add("z");
    pump.Clear();
    got.clear();
    turn();
    EXPECT_TRUE(got.empty());
}
