#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "common/Format.h"

using namespace kestrel;

TEST(Format, Thousands) {
    EXPECT_EQ(FormatThousands(0, true), "");
    EXPECT_EQ(FormatThousands(0, false), "0");
    EXPECT_EQ(FormatThousands(999, true), "999");
    EXPECT_EQ(FormatThousands(1000, true), "1,000");
    EXPECT_EQ(FormatThousands(1234567, false), "1,234,567");
    EXPECT_EQ(FormatThousands(-1500, false), "-1,500");
    EXPECT_EQ(FormatThousands(-2147483648LL, true), "-2,147,483,648");
}

TEST(Format, FixedRoundsTheExactValueHalfAwayFromZero) {
    EXPECT_EQ(FormatFixed(2.125, 2), "2.13");  // exact tie: away from zero
    EXPECT_EQ(FormatFixed(-2.125, 2), "-2.13");
    EXPECT_EQ(FormatFixed(0.015, 2), "0.01");  // stored as 0.01499...
    EXPECT_EQ(FormatFixed(2.675, 2), "2.67");  // stored as 2.67499...
    EXPECT_EQ(FormatFixed(0.125, 2), "0.13");
    EXPECT_EQ(FormatFixed(9.995, 2), "9.99");
    EXPECT_EQ(FormatFixed(9.9951, 2), "10.00");
    EXPECT_EQ(FormatFixed(2.9126213592233, 2, 4), "2.91");
    EXPECT_EQ(FormatFixed(0.5, 2, 6), "  0.50");
    EXPECT_EQ(FormatFixed(-2.549019, 2, 4), "-2.55");
    EXPECT_EQ(FormatFixed(0.004, 2), "0.00");
    EXPECT_EQ(FormatFixed(-0.004, 2), "0.00");
    EXPECT_EQ(FormatPrintfReal("%4.2f", 1.5), "1.50");
    EXPECT_EQ(FormatPrintfReal("%.2f", -1.5), "-1.50");
}

// Off a tie, the C library's correctly rounded digits are the answer: random values of every
// size up to 10^15, ratios as the trackers make them, and values a hair off a tie. Appending
// gives what FormatFixed gives, on a tie too.
TEST(Format, FixedMatchesTheCLibraryOffATie) {
    std::mt19937_64 rng(11);
    auto expect = [](double v, int d) {
        char buf[400];
        std::snprintf(buf, sizeof buf, "%.*f", d, v);
        std::string s = buf;
        if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
        return s;
    };
    for (int i = 0; i < 200000; ++i) {
        const int d = static_cast<int>(rng() % 10);
        double v;
        switch (i % 3) {
            case 0:
                v = std::ldexp(static_cast<double>(rng() >> 11),
                               static_cast<int>(rng() % 100) - 100);
                break;
            case 1:
                v = static_cast<double>(static_cast<int>(rng() % 20001) - 10000) /
                    static_cast<double>(1 + rng() % 90000) * 100;
                break;
            default:
                v = std::nextafter((static_cast<double>(rng() % 100000) + 0.5) / 100,
                                   (rng() & 1) ? 1e9 : -1e9);
                break;
        }
        if (rng() & 1) v = -v;
        // Appended to a line, the same text, padded the same, ties included.
        std::string line = "x";
        AppendFixed(line, v, d, 6);
        ASSERT_EQ(line, std::string("x").append(FormatFixed(v, d, 6)))
            << std::hexfloat << v << " to " << d;
        char put[kFixedRoom];
        if (const char* end = PutFixed(put, v, d, 6)) {
            ASSERT_EQ(std::string_view(put, static_cast<size_t>(end - put)), FormatFixed(v, d, 6))
                << std::hexfloat << v;
        }
        // As the C library writes it, ties to even, where it is written at all.
        if (const char* end = PutFixedNearest(put, v, d)) {
            ASSERT_EQ(std::string_view(put, static_cast<size_t>(end - put)), expect(v, d))
                << std::hexfloat << v << " to " << d;
        }
        const double w = std::ldexp(std::fabs(v), d + 1);
        if (w == std::floor(w) && std::fmod(w, 2.0) == 1.0) continue;  // a tie goes away from zero
        ASSERT_EQ(FormatFixed(v, d), expect(v, d)) << std::hexfloat << v << " to " << d;
    }
}

// Fifteen significant digits, as the C library rounds them off a tie, for random values of
// every size, and values a hair off the half at the sixteenth digit.
TEST(Format, GeneralMatchesTheCLibraryOffATie) {
    std::mt19937_64 rng(13);
    for (int i = 0; i < 40000; ++i) {
        double v;
        if (i % 2 == 0) {
            v = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 150);
        } else {
            v = (static_cast<double>(rng() % 1000000000000000ull) + 0.5) *
                std::pow(10.0, static_cast<int>(rng() % 20) - 25);
            v = std::nextafter(v, (rng() & 1) ? 1e300 : 0.0);
        }
        if (rng() & 1) v = -v;
        char buf[800];
        std::snprintf(buf, sizeof buf, "%.700e", std::fabs(v));
        const std::string exact(buf, std::strchr(buf, 'e'));
        if (exact[16] == '5' && exact.find_first_not_of('0', 17) == std::string::npos)
            continue;  // a tie
        std::snprintf(buf, sizeof buf, "%.15g", v);
        ASSERT_EQ(std::stod(FormatGeneral(v)), std::stod(buf))
            << std::hexfloat << v << " " << FormatGeneral(v);
    }
}

TEST(Format, GeneralFormat) {
    EXPECT_EQ(FormatGeneral(0), "0");
    EXPECT_EQ(FormatGeneral(-0.0), "0");
    EXPECT_EQ(FormatGeneral(2.5), "2.5");
    EXPECT_EQ(FormatGeneral(-0.41), "-0.41");
    EXPECT_EQ(FormatGeneral(100), "100");
    EXPECT_EQ(FormatGeneral(0.1), "0.1");
    EXPECT_EQ(FormatGeneral(1.0 / 3), "0.333333333333333");
    EXPECT_EQ(FormatGeneral(2.0 / 3), "0.666666666666667");
    EXPECT_EQ(FormatGeneral(30.0 / 1030 * 100), "2.9126213592233");
    EXPECT_EQ(FormatGeneral(1.5e-6), "1.5E-6");
    EXPECT_EQ(FormatGeneral(0.00001), "0.00001");
    EXPECT_EQ(FormatGeneral(0.000009), "9E-6");
    EXPECT_EQ(FormatGeneral(999999999999999.0), "999999999999999");
    EXPECT_EQ(FormatGeneral(1e15), "1E15");
    EXPECT_EQ(FormatGeneral(-1.25e20), "-1.25E20");
    EXPECT_EQ(FormatGeneral(123456.789), "123456.789");
    // 16 significant digits: the 15-digit rounding carries into a new leading digit.
    EXPECT_EQ(FormatGeneral(std::nextafter(10.0, 0.0)), "10");
    EXPECT_EQ(FormatGeneral(1234567890123455.0), "1.23456789012346E15");
}

TEST(Format, NumberPatterns) {
    EXPECT_EQ(FormatFloatPattern("#,", 1234567), "1,234,567");
    EXPECT_EQ(FormatFloatPattern("#,", 0), "");
    EXPECT_EQ(FormatFloatPattern("#0,", 0), "0");
    EXPECT_EQ(FormatFloatPattern("#,", -1234.5), "-1,235");
    EXPECT_EQ(FormatFloatPattern("0.00", 2.125), "2.13");
    EXPECT_EQ(FormatFloatPattern("#,##0.0#", 1234.5), "1,234.5");
    EXPECT_EQ(FormatFloatPattern("#,##0.0#", 1234.567), "1,234.57");
    EXPECT_EQ(FormatFloatPattern("0.00;(0.00)", -1.5), "(1.50)");
    EXPECT_EQ(FormatFloatPattern("\"¥\"#,", 1500), "¥1,500");
}
