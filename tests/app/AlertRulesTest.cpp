// The alert rules on the fake clock: which event lines sound, and when a silent live feed is
// said in the status bar.
#include <gtest/gtest.h>

#include <string>

#include "app/AlertRules.h"
#include "support/FakeClock.h"
#include "tracking/EventLine.h"

using kestrel::test::CFakeClock;

namespace {
constexpr int64_t kSecond = 1000;
constexpr int64_t At(int h, int m, int s = 0) { return ((h * 60LL + m) * 60 + s) * kSecond; }

MoveEvent Move(std::string_view topic, char kind, char action = 'A') {
    MoveEvent e;
    e.Topic = topic;
    e.TimeMs = 10 * 3'600'000 + 60'000;
    e.Price = 1100;
    e.Move = kind == 'A' ? 100 : -100;
    e.MoveRatio = e.Move / 11.0;
    e.LimitHigh = 1700;
    e.Kind = kind;
    e.Action = action;
    return e;
}
}  // namespace

TEST(SoundAlertRule, OncePerTopicAndKindWithinTheCooldownAndOnlyTheKindsAsked) {
    // The one text of a move, as the event viewer, stdout and the study show it.
    EXPECT_EQ(EventLineText(Move("1234.T", 'D')), "10:01 1234.T:1100,(-100),-9.09% 1700[D,A]");
    EXPECT_EQ(EventLineText(Move("a:b", 'A', 'U')), "10:01 a:b:1100,(100),9.09% 1700[A,U]");

    CFakeClock clock(At(10, 0));
    CSoundAlertRule rule(clock, 60, "AD");
    EXPECT_TRUE(rule.ShouldSound(Move("1234.T", 'A')));
    EXPECT_FALSE(rule.ShouldSound(Move("5678.T", 'A', 'U'))) << "figures only";
    EXPECT_FALSE(rule.ShouldSound(Move("", 'D', 'U')));
    clock.Advance(59'999);
    EXPECT_FALSE(rule.ShouldSound(Move("1234.T", 'A')));
    EXPECT_TRUE(rule.ShouldSound(Move("1234.T", 'D'))) << "the other kind has its own cooldown";
    EXPECT_TRUE(rule.ShouldSound(Move("1234.OS", 'A'))) << "another market's topic";
    clock.Advance(1);
    EXPECT_TRUE(rule.ShouldSound(Move("1234.T", 'A'))) << "the cooldown is over at 60 s";
    clock.Advance(30 * kSecond);
    EXPECT_FALSE(rule.ShouldSound(Move("1234.T", 'A'))) << "counted from the last sound";
    clock.Date.Day += 1;
    clock.NowMs = At(9, 0);
    EXPECT_TRUE(rule.ShouldSound(Move("1234.T", 'A'))) << "a new day, earlier on the clock";

    CSoundAlertRule fallsOnly(clock, 0, "d");
    EXPECT_FALSE(fallsOnly.ShouldSound(Move("1234.T", 'A')));
    EXPECT_TRUE(fallsOnly.ShouldSound(Move("1234.T", 'D')));
    EXPECT_TRUE(fallsOnly.ShouldSound(Move("1234.T", 'D'))) << "no cooldown";
    CSoundAlertRule unreadable(clock, 60, "x");
    EXPECT_TRUE(unreadable.Sounds('A') && unreadable.Sounds('D'));
}

// Silence counts inside 9:00-11:30 and 12:30-15:30 only, from the session's start at the
// earliest; the text names the last change, or where the count began when none came.
TEST(StaleFeedRule, SilenceInTheSessionsOnlyUntilTheNextChange) {
    CFakeClock clock(At(8, 0));
    CStaleFeedRule rule(clock, 120);
    int64_t quotes = 0;
    auto lookAt = [&](int64_t ms) {
        clock.NowMs = ms;
        return rule.Look(quotes);
    };
    EXPECT_EQ(lookAt(At(8, 0)), "");
    EXPECT_EQ(lookAt(At(8, 59, 59)), "") << "before the session";
    EXPECT_EQ(lookAt(At(9, 0)), "") << "silent for an hour, but the session has just begun";
    EXPECT_EQ(lookAt(At(9, 2) - 1), "");
    EXPECT_EQ(lookAt(At(9, 2)), "配信停止? 09:00 以降の更新なし");
    quotes = 7;
    EXPECT_EQ(lookAt(At(9, 5, 30)), "") << "a change clears it";
    EXPECT_EQ(lookAt(At(9, 7, 29)), "");
    EXPECT_EQ(lookAt(At(9, 7, 30)), "配信停止? 09:05 以降の更新なし");
    EXPECT_EQ(lookAt(At(11, 29, 59)), "配信停止? 09:05 以降の更新なし");
    EXPECT_EQ(lookAt(At(11, 30)), "") << "the midday break";
    EXPECT_EQ(lookAt(At(12, 30)), "");
    EXPECT_EQ(lookAt(At(12, 32) - 1), "") << "counted from the afternoon's start";
    EXPECT_EQ(lookAt(At(12, 32)), "配信停止? 09:05 以降の更新なし");
    quotes = 8;
    EXPECT_EQ(lookAt(At(15, 0)), "");
    EXPECT_EQ(lookAt(At(15, 29, 59)), "配信停止? 15:00 以降の更新なし");
    EXPECT_EQ(lookAt(At(15, 30)), "") << "after the close";
    // The next day starts without yesterday's changes.
    clock.Date.Day += 1;
    EXPECT_EQ(lookAt(At(9, 2)), "配信停止? 09:00 以降の更新なし");

    // A monitor started within the session counts from its start.
    CStaleFeedRule late(clock, 120);
    clock.NowMs = At(10, 0);
    EXPECT_EQ(late.Look(8), "") << "the first look takes the count as it finds it";
    clock.NowMs = At(10, 2);
    EXPECT_EQ(late.Look(8), "配信停止? 10:00 以降の更新なし");
}
