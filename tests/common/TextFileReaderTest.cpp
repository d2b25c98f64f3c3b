// A file read a block at a time must give exactly the lines, long-line count and byte-order
// mark that reading it whole gives, wherever the blocks happen to cut it.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/Codec.h"
#include "common/TextFile.h"
#include "support/TempDir.h"

using namespace kestrel;

namespace {

struct Streamed {
    bool Opened = false;
    TextFileReport Report;
    size_t Counted = 0;  // the lines the look through the file announced
    std::vector<std::string> Lines;
    std::string Failure;
};

Streamed ReadInBlocks(const std::string& path, size_t block, uint64_t limit = kMaxReplayFileBytes) {
    Streamed s;
    CTextFileReader reader(block);
    s.Opened = reader.Open(path, limit, s.Report);
    if (!s.Opened) return s;
    s.Counted = reader.LineCount();
    CTextLines lines;
    lines.BeginParts(reader.MaxParts());
    while (reader.ReadBlock(lines)) {
    }
    for (size_t i = 0; i < lines.size(); ++i) s.Lines.emplace_back(lines[i]);
    s.Failure = reader.Failure();
    return s;
}

// Every block size from one byte up, against ReadLines over the same bytes.
void ExpectSameAsWhole(const test::TempDir& dir, const std::string& bytes, const char* what) {
    const std::string path = dir.WriteBytes("kabu.txt", bytes);
    std::vector<std::string> whole;
    TextFileReport wholeReport;
    ASSERT_TRUE(ReadLines(path, whole, kMaxReplayFileBytes, wholeReport)) << what;
    for (size_t block : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{8}, size_t{13},
                         size_t{64}, size_t{4096}, kMaxTextLineBytes + 7, kTextBlockBytes}) {
        const Streamed s = ReadInBlocks(path, block);
        ASSERT_TRUE(s.Opened) << what << ", blocks of " << block;
        EXPECT_EQ(s.Lines, whole) << what << ", blocks of " << block;
        EXPECT_EQ(s.Counted, whole.size()) << what << ", blocks of " << block;
        EXPECT_EQ(s.Report.LongLines, wholeReport.LongLines) << what << ", blocks of " << block;
        EXPECT_EQ(s.Report.Mark, wholeReport.Mark) << what << ", blocks of " << block;
        EXPECT_EQ(s.Failure, "");
    }
}

}  // namespace

TEST(TextFileReader, GivesTheLinesOfTheWholeReadAtEveryBlockSize) {
    test::TempDir dir;
    const std::string longAscii(kMaxTextLineBytes + 1, 'x');
    const std::string longest(kMaxTextLineBytes, 'y');
    // 30,000 double-byte characters: 60,000 bytes on disk, 90,000 once decoded, so too long.
    std::string wide;
    for (int i = 0; i < 30000; ++i) wide += "株";
    // 21,000: 63,000 decoded, which is kept.
    std::string wideKept;
    for (int i = 0; i < 21000; ++i) wideKept += "株";
    const struct {
        std::string Bytes;
        const char* What;
    } cases[] = {
        {"", "an empty file"},
        {"\r\n", "one empty line"},
        {"09:00,1301,100,1\r\n09:01,1301,101,2\r\n", "CR LF lines"},
        {"a\rb\nc\r\n\r\nd\r\r\n\n", "every line end mixed"},
        {"09:00,1301,100,1\r\n09:01,1301,101,2", "no line end after the last line"},
        {Utf8ToCp932("銘柄,ソニー,ｶﾅ\r\n株価,一二三\r\n\r\n漢字だけの行"),
         "double-byte characters"},
        {"a\r\n" + longAscii + "\r\nb\r\n" + longAscii + "\rc\n" + longest + "\n" + longAscii,
         "long lines passed over, the last without an end"},
        {Utf8ToCp932("a\r\n" + wide + "\r\n" + wideKept + "\r\nb"),
         "a line long only once decoded"},
        // A lead byte right before a line end, and one at the very end: each is one bad
        // character, and the line end stays a line end.
        {"ok\r\n\x82\r\nx\x82\n\x82", "broken double-byte characters"},
        {"\xEF\xBB\xBF" + std::string("a,\xE6\xA0\xAA\r\nb\r\n"), "a UTF-8 mark before UTF-8"},
        {"\xEF\xBB\xBF" + Utf8ToCp932("a,株\r\nb\r\n"), "a UTF-8 mark before CP932"},
        {"\xEF\xBB\xBF", "a UTF-8 mark alone"},
        {"\xEF\xBB", "two bytes of a mark"},
    };
    for (const auto& c : cases) ExpectSameAsWhole(dir, c.Bytes, c.What);
}

// Random texts of short lines, ends and double-byte characters around the block sizes.
TEST(TextFileReader, RandomTextsSplitAsWhole) {
    test::TempDir dir;
    std::mt19937 rng(1208);
    const std::string parts[] = {"a",  "9",    ",",    Utf8ToCp932("株"), Utf8ToCp932("ｶ"), "\r",
                                 "\n", "\r\n", "\x82", "aaaaaaa"};
    for (int round = 0; round < 60; ++round) {
        std::string text;
        for (int n = static_cast<int>(rng() % 200); n > 0; --n) text += parts[rng() % 10];
        ExpectSameAsWhole(dir, text, ("round " + std::to_string(round)).c_str());
    }
}

// What the reader refuses, it refuses as reading whole does, in the same words.
TEST(TextFileReader, RefusesAsReadingWhole) {
    test::TempDir dir;
    const std::string path = dir.WriteBytes("big.txt", std::string(100, 'a') + "\r\n");
    std::vector<std::string> whole;
    TextFileReport wholeReport;
    EXPECT_FALSE(ReadLines(path, whole, 50, wholeReport));
    const Streamed s = ReadInBlocks(path, 16, 50);
    EXPECT_FALSE(s.Opened);
    EXPECT_EQ(s.Report.Refusal.Text, wholeReport.Refusal.Text);
    EXPECT_FALSE(s.Report.Refusal.Text.empty());

    const Streamed missing = ReadInBlocks(dir.File("missing.txt"), 16);
    EXPECT_FALSE(missing.Opened);
    EXPECT_TRUE(missing.Report.Refusal.Missing);
}

// Lines read by one thread while another appends the blocks and gives back those passed: what
// is there is whole, and a part given back is never read again.
TEST(TextFileReader, LinesReadWhileTheNextBlocksComeIn) {
    constexpr size_t kParts = 400, kPerPart = 50;
    CTextLines lines;
    lines.BeginParts(kParts);
    const auto lineText = [](size_t i) { return "09:00:00,1301," + std::to_string(i) + ",1"; };
    std::atomic<size_t> readTo{0};
    std::atomic<bool> wrong{false};
    std::thread reader([&] {
        size_t at = 0;
        while (at < kParts * kPerPart) {
            if (at >= lines.size()) {
                std::this_thread::yield();
                continue;
            }
            if (lines[at] != lineText(at)) wrong = true;
            readTo.store(++at, std::memory_order_release);
        }
    });
    for (size_t p = 0; p < kParts; ++p) {
        std::string text;
        for (size_t i = 0; i < kPerPart; ++i) text += lineText(p * kPerPart + i) + "\r\n";
        EXPECT_EQ(lines.AppendPart(std::move(text)), 0u);
        // Released as a replay releases: only what the reader is past.
        lines.Release(readTo.load(std::memory_order_acquire));
    }
    reader.join();
    EXPECT_FALSE(wrong);
    EXPECT_EQ(lines.size(), kParts * kPerPart);
    lines.Release(kParts * kPerPart - 1);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[kParts * kPerPart - 2], "");
    EXPECT_EQ(lines[kParts * kPerPart - 1], lineText(kParts * kPerPart - 1));
    // A part of only long lines adds nothing, and more parts than announced are refused.
    EXPECT_EQ(lines.AppendPart("xxxx\r\nyyyy", 3), 2u);
    EXPECT_EQ(lines.size(), kParts * kPerPart);
    EXPECT_THROW(lines.AppendPart("one more\r\n"), std::length_error);
}
