#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/Format.h"
#include "common/IniFile.h"
#include "common/Numbers.h"
#include "common/TimeOfDay.h"
#include "support/TempDir.h"

using namespace kestrel;

namespace {

// Puts the process locale back as it was, whatever the test leaves behind.
class LocaleGuard {
public:
    LocaleGuard() : saved_(std::setlocale(LC_ALL, nullptr)) {}
    ~LocaleGuard() { std::setlocale(LC_ALL, saved_.c_str()); }
    LocaleGuard(const LocaleGuard&) = delete;
    LocaleGuard& operator=(const LocaleGuard&) = delete;

private:
    std::string saved_;
};

// A parsed real as its bit pattern, so that 2 for 2.5 or -0 for 0 cannot pass for equal.
std::string Bits(std::optional<double> v) {
    return v ? std::to_string(std::bit_cast<uint64_t>(*v)) : std::string("none");
}
std::string Show(std::optional<int32_t> v) { return v ? std::to_string(*v) : std::string("none"); }

using Results = std::vector<std::pair<std::string, std::string>>;

// Every number and time text the program reads or writes, once through.
Results RunAll(const test::TempDir& dir) {
    Results r;
    auto add = [&r](std::string what, std::string result) {
        r.emplace_back(std::move(what), std::move(result));
    };
    std::vector<double> values = {2.5,
                                  -0.41,
                                  1000000000000005.0,  // a tie at 15 digits: the exact path
                                  1e20,
                                  2.125,
                                  0.015,
                                  -0.004,
                                  1.5e-6,
                                  30.0 / 1030 * 100,
                                  1234567890123455.0,
                                  123456.789,
                                  4.9406564584124654e-324,
                                  1.7976931348623157e308};
    std::mt19937_64 rng(7);
    for (int i = 0; i < 300; ++i)
        values.push_back(
            std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 140) - 90) *
            ((rng() & 1) ? 1 : -1));
    for (size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        std::string at = "#";  // built up: "#" + std::string&& trips GCC 12's -Wrestrict at -O3
        at += std::to_string(i) + " ";
        add(at + "FormatGeneral", FormatGeneral(v));
        add(at + "ParseReal(FormatGeneral)", Bits(ParseReal(FormatGeneral(v))));
        for (int d : {0, 2, 9, 12, 30, 40})
            add(at + "FormatFixed " + std::to_string(d), FormatFixed(v, d, 4));
        add(at + "FormatPrintfReal", FormatPrintfReal("%4.2f", v));
        add(at + "FormatFloatPattern", FormatFloatPattern("#,##0.0#;(0.00)", v));
        add(at + "FormatFloatPattern #,", FormatFloatPattern("#,", v));
        if (std::fabs(v) < 9e18)
            add(at + "FormatThousands", FormatThousands(static_cast<int64_t>(v), true));
    }
    for (const char* text : {"2.5",
                             "-0.41",
                             " 1.5E-6 ",
                             ".5",
                             "5.",
                             "+7.25",
                             "1030.9",
                             "1,5",
                             "2,5",
                             "1e400",
                             "1e-400",
                             "-1e-400",
                             "4.9406564584124654e-324",
                             "123",
                             "-2147483648",
                             "$FFFFFFFF",
                             "0x10",
                             "inf",
                             "nan",
                             "1e",
                             ""}) {
        const std::string at = std::string("'") + text + "' ";
        add(at + "ParseReal", Bits(ParseReal(text)));
        add(at + "ParseRealOr0", Bits(ParseRealOr0(text)));
        add(at + "FloorYen", std::to_string(FloorYen(text)));
        add(at + "ParseInt", Show(ParseInt(text)));
        add(at + "ParseInt hex", Show(ParseInt(text, true)));
    }
    for (const char* text : {"09:01", "9:01:15", "23:59:59", "24:00", "12:5x"}) {
        const std::string at = std::string("'") + text + "' ";
        auto ms = ParseTimeMs(text);
        add(at + "ParseTimeMs", ms ? std::to_string(*ms) : std::string("none"));
        add(at + "TryParseTime", Bits(TryParseTime(text)));
        add(at + "FormatHhNn", ms ? FormatHhNn(MsToDays(*ms)) : std::string("-"));
    }
    add("FormatHhNnMs", FormatHhNnMs(37'537'000));

    // The settings file: reals and integers read back, an integer written.
    const std::string path =
        dir.WriteBytes("k.ini", "[PARA]\r\nrate=2.5\r\nspan=$10\r\nneg=-3\r\n");
    IniFile ini(path);
    add("ReadFloat", Bits(ini.ReadFloat("PARA", "rate", 9.0)));
    add("ReadInteger hex", std::to_string(ini.ReadInteger("PARA", "span", 9)));
    add("ReadInteger", std::to_string(ini.ReadInteger("PARA", "neg", 9)));
    add("WriteInteger",
        ini.WriteInteger("PARA", "width", -1234567) ? dir.ReadBytes("k.ini") : "failed");
    return r;
}

}  // namespace

// The GUI applies the environment's LC_NUMERIC, under which printf writes and strtod reads
// "," as the decimal point. Resume files, settings and event lines must come out and read back
// the same bytes on a German desktop as under "C".
TEST(Locale, NumberAndTimeTextsDoNotDependOnLcNumeric) {
    LocaleGuard guard;
    test::TempDir dir;
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    const Results plain = RunAll(dir);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed; scripts/setup-deps.sh generates it";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    const Results german = RunAll(dir);
    ASSERT_EQ(german.size(), plain.size());
    int differing = 0;
    for (size_t i = 0; i < plain.size() && differing < 20; ++i) {
        if (german[i].second != plain[i].second) ++differing;
        EXPECT_EQ(german[i].second, plain[i].second) << plain[i].first;
    }
}
