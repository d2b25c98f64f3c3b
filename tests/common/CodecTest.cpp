#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "common/Codec.h"
#include "common/TextFile.h"
#include "support/TempDir.h"

using namespace kestrel;

TEST(Codec, KanjiAndHalfWidthKanaRoundTripThroughCp932) {
    const std::string utf8 = "銘柄情報 ｶﾀｶﾅ ①髙 ～ 貸借";
    std::string sjis = Utf8ToCp932(utf8);
    EXPECT_NE(sjis, utf8);
    // 銘 is 0x96 0xC1 in Shift-JIS; half-width katakana is a single byte.
    EXPECT_EQ(static_cast<unsigned char>(sjis[0]), 0x96);
    EXPECT_EQ(static_cast<unsigned char>(sjis[1]), 0xC1);
    EXPECT_EQ(Cp932ToUtf8(sjis), utf8);
}

TEST(Codec, UndecodableBytesAreReplacedAndTheRestSurvives) {
    // 0x81 followed by an invalid trail byte, then a lone lead byte at the end.
    std::string bad = std::string(
                          "ab\x81\x20"
                          "cd") +
                      "\x82";
    std::string out = Cp932ToUtf8(bad);
    EXPECT_NE(out.find("ab"), std::string::npos);
    EXPECT_NE(out.find("cd"), std::string::npos);
    EXPECT_NE(out.find("\xEF\xBF\xBD"), std::string::npos);
    // Characters CP932 has no code for become '?', not a stop.
    EXPECT_EQ(Utf8ToCp932("x\xF0\x9F\x98\x80y"), "x?y");
    // Broken UTF-8 does not crash either.
    EXPECT_EQ(Utf8ToCp932("a\xE3\x81"), "a?");
}

TEST(Codec, AsciiTestSeesAHighByteAnywhere) {
    std::string s(200, 'a');
    EXPECT_TRUE(IsAscii(s));
    EXPECT_TRUE(IsAscii(""));
    for (size_t at = 0; at < s.size(); ++at) {
        std::string t = s;
        t[at] = '\x80';
        ASSERT_FALSE(IsAscii(t)) << at;
        ASSERT_FALSE(IsAscii(std::string_view(t).substr(at > 70 ? at - 70 : 0))) << at;
    }
}

// The test that decides how the text after a byte-order mark is read: every malformed shape
// is caught, the whole range of characters passes.
TEST(Codec, ValidUtf8AcceptsEveryCharacterAndNoMalformedShape) {
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("ascii \x7F"));
    EXPECT_TRUE(IsValidUtf8("\xC2\x80\xDF\xBF"));                      // U+0080, U+07FF
    EXPECT_TRUE(IsValidUtf8("\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"));  // U+0800, U+D7FF, U+E000
    EXPECT_TRUE(IsValidUtf8("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));      // U+10000, U+10FFFF
    EXPECT_TRUE(IsValidUtf8("東証一部"));
    for (const char* bad : {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xC2", "\xC2\x41",
                            "\xE0\x9F\xBF", "\xED\xA0\x80", "\xE3\x81", "\xF0\x8F\xBF\xBF",
                            "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "a\xE3\x81\x41"})
        EXPECT_FALSE(IsValidUtf8(bad)) << bad;
    EXPECT_FALSE(IsValidUtf8(Utf8ToCp932("東証")));
}

TEST(Codec, FirstCharsCountsCharactersNotBytes) {
    EXPECT_EQ(FirstChars("1234.T", 4), "1234");
    EXPECT_EQ(FirstChars("12", 4), "12");
    EXPECT_EQ(FirstChars("東証一部上場", 4), "東証一部");
}

TEST(TextFile, LineEndsOfEveryKindAndAnUnmarkedLastLine) {
    test::TempDir dir;
    dir.WriteCp932("a.txt", "一\r\n二\n三\r四\r\n\r\n五");
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadLines(dir.File("a.txt"), lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"一", "二", "三", "四", "", "五"}));

    dir.WriteBytes("b.txt", "x\r\n");
    ASSERT_TRUE(ReadLines(dir.File("b.txt"), lines));
    EXPECT_EQ(lines, std::vector<std::string>{"x"});

    dir.WriteBytes("empty.txt", "");
    ASSERT_TRUE(ReadLines(dir.File("empty.txt"), lines));
    EXPECT_TRUE(lines.empty());

    EXPECT_FALSE(ReadLines(dir.File("missing.txt"), lines));
    EXPECT_FALSE(ReadLines(dir.Path(), lines));  // a folder is not a file

    // Bytes read whole, whatever the size the system gave beforehand.
    std::string big(300001, 'a');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>(i % 251);
    dir.WriteBytes("big.bin", big);
    std::string bytes = "stale";
    ASSERT_TRUE(ReadFileBytes(dir.File("big.bin"), bytes));
    EXPECT_EQ(bytes, big);
#ifdef __linux__
    ASSERT_TRUE(ReadFileBytes("/proc/self/status", bytes));  // stated as empty, yet has text
    EXPECT_NE(bytes.find("Name:"), std::string::npos);
#endif
}

TEST(TextFile, OneBufferLinesMatchSeparateLines) {
    test::TempDir dir;
    for (const char* text :
         {"一\r\n二\n三\r四\r\n\r\n五", "x\r\n", "", "\n", "\r\r\n\n", "a\n\n", "last"}) {
        dir.WriteCp932("a.txt", text);
        std::vector<std::string> expected;
        CTextLines lines;
        lines.push_back("left over from before");
        ASSERT_TRUE(ReadLines(dir.File("a.txt"), expected));
        ASSERT_TRUE(ReadLines(dir.File("a.txt"), lines));
        ASSERT_EQ(lines.size(), expected.size()) << text;
        EXPECT_EQ(lines.empty(), expected.empty());
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << text;
    }
    CTextLines lines;
    EXPECT_FALSE(ReadLines(dir.File("missing.txt"), lines));
    EXPECT_TRUE(lines.empty());
}

// The lines of one buffer are those SplitLines makes, the over-long ones passed over and
// counted, whatever mix of line ends and lengths: runs of eight bytes without an end are taken
// whole, so lengths and ends around multiples of eight matter.
TEST(TextFile, OneBufferSplitsAsSplitLinesAtAnyLengthAndEnd) {
    std::mt19937 rng(2026);
    const char* const pieces[] = {"a", "b", ",", "一", "\r", "\n", "\r\n", "aaaaaaa"};
    const size_t weights[] = {6, 6, 2, 1, 1, 1, 1, 2};
    std::discrete_distribution<size_t> pick(std::begin(weights), std::end(weights));
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (int n = static_cast<int>(rng() % 40); n > 0; --n) text += pieces[pick(rng)];
        const size_t maxLine = round % 3 == 0 ? SIZE_MAX : rng() % 24;
        std::vector<std::string> expected = SplitLines(text);
        const size_t before = expected.size();
        std::erase_if(expected, [&](const std::string& l) { return l.size() > maxLine; });
        CTextLines lines;
        lines.push_back("left over from before");
        ASSERT_EQ(lines.Assign(text, maxLine), before - expected.size()) << text;
        ASSERT_EQ(lines.size(), expected.size()) << text;
        for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(lines[i], expected[i]) << text;
    }
}

// A replay that never goes back gives the text of the lines behind it back to the system; the
// lines after stay whole, those released read empty, and reading the text anew starts afresh.
TEST(TextFile, ReleasedLinesGoWhileTheLaterOnesStayWhole) {
    test::TempDir dir;
    std::string text;
    for (int i = 0; i < 200000; ++i)
        text += "09:00:00," + std::to_string(1300 + i % 97) + ",1000," + std::to_string(i) + "\r\n";
    dir.WriteBytes("kabu.txt", text);
    CTextLines lines;
    ASSERT_TRUE(ReadLines(dir.File("kabu.txt"), lines));
    const std::vector<std::string> expected = SplitLines(text);
    ASSERT_EQ(lines.size(), expected.size());
    size_t released = 0;  // a release never takes back an earlier one
    for (size_t at : {0, 1, 4097, 150001, 150001, 10}) {
        lines.Release(at);
        released = std::max(released, at);
        for (size_t i = 0; i < expected.size(); i += 997) {
            if (i < released)
                EXPECT_EQ(lines[i], "") << i;
            else
                ASSERT_EQ(lines[i], expected[i]) << i << " after releasing before " << at;
        }
        EXPECT_EQ(lines[released], expected[released]);
    }
    lines.Release(SIZE_MAX);
    EXPECT_EQ(lines[expected.size() - 1], "");
    ASSERT_TRUE(ReadLines(dir.File("kabu.txt"), lines));
    EXPECT_EQ(lines[0], expected[0]);
    EXPECT_EQ(lines[123456], expected[123456]);
}

TEST(TextFile, WritesCp932WithCrLfAndReplacesTheFileWhole) {
    test::TempDir dir;
    dir.WriteBytes("out.txt", "old content that is longer than the new one\r\n");
    WriteLines(dir.File("out.txt"), {"コード", "", "a,b"});
    EXPECT_EQ(dir.ReadBytes("out.txt"), Utf8ToCp932("コード\r\n\r\na,b\r\n"));
    WriteLines(dir.File("out.txt"), {});
    EXPECT_EQ(dir.ReadBytes("out.txt"), "");
    // A missing folder is an error with the system's reason.
    try {
        WriteLines(dir.File("nofolder/x.txt"), {"a"});
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("nofolder/x.txt"), std::string::npos);
    }
    // The saves went through temporaries beside the file: none is left, only the file.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"out.txt"});
}
