#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "common/Numbers.h"
#include "common/TimeOfDay.h"

using namespace kestrel;

TEST(Numbers, IntegersDecimalAndHex) {
    EXPECT_EQ(ParseInt("123"), 123);
    EXPECT_EQ(ParseInt("-45"), -45);
    EXPECT_EQ(ParseInt("+7"), 7);
    EXPECT_EQ(ParseInt("2147483647"), 2147483647);
    EXPECT_EQ(ParseInt("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(ParseInt("2147483648"), std::nullopt);
    EXPECT_EQ(ParseInt(""), std::nullopt);
    EXPECT_EQ(ParseInt("12a"), std::nullopt);
    EXPECT_EQ(ParseInt("1.5"), std::nullopt);
    EXPECT_EQ(ParseInt("-"), std::nullopt);
    // Hexadecimal only where asked for.
    EXPECT_EQ(ParseInt("$1F"), std::nullopt);
    EXPECT_EQ(ParseInt("$1F", true), 31);
    EXPECT_EQ(ParseInt("0x10", true), 16);
    EXPECT_EQ(ParseInt("0X10", true), 16);
    EXPECT_EQ(ParseInt("$FFFFFFFF", true), -1);
    EXPECT_EQ(ParseInt("0x", true), std::nullopt);
    EXPECT_EQ(ParseIntOr0("Corp"), 0);
}

TEST(Numbers, RealsAndFlooringToYen) {
    EXPECT_DOUBLE_EQ(*ParseReal("2.5"), 2.5);
    EXPECT_DOUBLE_EQ(*ParseReal("-0.41"), -0.41);
    EXPECT_DOUBLE_EQ(*ParseReal("1.5E-6"), 1.5e-6);
    EXPECT_DOUBLE_EQ(*ParseReal(" 3 "), 3.0);
    EXPECT_DOUBLE_EQ(*ParseReal(".5"), 0.5);
    EXPECT_EQ(ParseReal("1,5"), std::nullopt);
    EXPECT_EQ(ParseReal("inf"), std::nullopt);
    EXPECT_EQ(ParseReal("nan"), std::nullopt);
    EXPECT_EQ(ParseReal("0x10"), std::nullopt);
    EXPECT_EQ(ParseReal("1e"), std::nullopt);
    EXPECT_EQ(ParseReal(""), std::nullopt);
    EXPECT_EQ(ParseReal("2.5x"), std::nullopt);
    EXPECT_DOUBLE_EQ(*ParseReal("+7.25"), 7.25);
    EXPECT_DOUBLE_EQ(*ParseReal("5."), 5.0);
    // Out of range: too large does not convert, too small is a zero of its sign, also where
    // leading zeros and the exponent pull in opposite directions.
    EXPECT_EQ(ParseReal("1e400"), std::nullopt);
    EXPECT_EQ(ParseReal("-1e999999999999999999"), std::nullopt);
    EXPECT_EQ(ParseReal("0.00001e314"), std::nullopt);
    EXPECT_EQ(ParseReal("0.0001e312"), 1e308);
    EXPECT_EQ(ParseReal("100000000000e-330"), 1e-319);
    ASSERT_TRUE(ParseReal("1e-400"));
    EXPECT_EQ(*ParseReal("1e-400"), 0.0);
    EXPECT_FALSE(std::signbit(*ParseReal("1e-400")));
    ASSERT_TRUE(ParseReal("-1000e-999999999999"));
    EXPECT_TRUE(std::signbit(*ParseReal("-1000e-999999999999")));
    EXPECT_EQ(ParseReal("4.9406564584124654e-324"), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(FloorYen("1030.9"), 1030);
    EXPECT_EQ(FloorYen("-0.5"), -1);
    EXPECT_EQ(FloorYen("abc"), 0);
    EXPECT_EQ(FloorYen("1e20"), 0);
}

TEST(TimeOfDay, ParsingAcceptsClockTextsOnly) {
    EXPECT_EQ(ParseTimeMs("09:01"), 9 * 3600000 + 60000);
    EXPECT_EQ(ParseTimeMs("9:01:15"), 9 * 3600000 + 60000 + 15000);
    EXPECT_EQ(ParseTimeMs("23:59:59"), 86399000);
    EXPECT_EQ(ParseTimeMs("00:00"), 0);
    for (const char* bad : {"  :  ", "", "24:00", "12:60", "12:00:60", "ab", "12", "12:", ":30",
                            "1:2:3:4", "123:00", "12:5x"})
        EXPECT_EQ(ParseTimeMs(bad), std::nullopt) << bad;
    EXPECT_THROW(ParseTime("25:00"), TimeFormatError);
    EXPECT_DOUBLE_EQ(ParseTime("12:00"), 0.5);
}

TEST(TimeOfDay, FormattingDropsSecondsAndEqualClockTimesCompareEqual) {
    EXPECT_EQ(FormatHhNn(ParseTime("10:05:37")), "10:05");
    EXPECT_EQ(FormatHhNn(0), "00:00");
    EXPECT_EQ(FormatHhNn(ParseTime("23:59:59")), "23:59");
    // A value a hair below a minute (floating-point noise) still shows that minute.
    EXPECT_EQ(FormatHhNn(ParseTime("10:05") - 1e-12), "10:05");
    // Window start arithmetic in milliseconds: cut to the minute, minus N minutes, equals the
    // parsed clock time exactly.
    int64_t latest = DaysToMs(ParseTime("10:05:37"));
    int64_t start = CutToMinuteMs(latest) - 2 * kMsPerMinute;
    EXPECT_EQ(start, DaysToMs(ParseTime("10:03")));
    EXPECT_EQ(DaysToMs(MsToDays(start)), start);
}

// Days to milliseconds rounds as llround does: halves away from zero, on both sides of zero,
// a hair off the halves and far beyond a day.
TEST(TimeOfDay, DaysToMsRoundsLikeLlround) {
    std::mt19937_64 rng(3);
    const double day = static_cast<double>(kMsPerDay);
    for (int i = 0; i < 200000; ++i) {
        double ms;
        switch (i % 3) {
            case 0:
                ms = static_cast<double>(static_cast<int64_t>(rng() % 200000000) - 100000000) + 0.5;
                break;
            case 1:
                ms =
                    std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 70) - 53);
                break;
            default:
                ms = static_cast<double>(rng() % 100000000) / 7.0;
                break;
        }
        if (rng() & 1) ms = std::nextafter(ms, (rng() & 1) ? 1e300 : -1e300);
        if (rng() & 1) ms = -ms;
        const double days = ms / day;
        ASSERT_EQ(DaysToMs(days), std::llround(days * day)) << std::hexfloat << days;
    }
    EXPECT_EQ(DaysToMs(std::nan("")), 0);
}
