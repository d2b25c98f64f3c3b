#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "Codec.h"
#include "TempDir.h"

namespace {
int RunBacktest(const std::string& args, std::string& out) {
    std::string cmd = std::string(KESTREL_BACKTEST) + " " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    out.clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

TEST(Backtest, ReplaysAFolderAndWritesBothResumeFiles) {
    kestrel::test::TempDir dir;
    dir.WriteCp932("銘柄情報.txt", "1234,ソニー\r\n");
    dir.WriteCp932("株式売買値幅.txt", "0,100,30\r\n100,10000,700\r\n");
    dir.WriteCp932("監視銘柄.txt", "1234.T\r\n5555\r\n");
    dir.WriteCp932("std.csv", "1234,貸借,1000,1000,,1,1100\r\n5555,信用,98,98,,1,120\r\n");
    dir.WriteCp932("kabu.txt",
                   "10:02:50,1234,1000,1\r\n10:03:10,1234,1005,2\r\n10:05:37,1234,1030,3\r\n"
                   "10:06,7777,1,1\r\nxx,1234,1,1\r\n10:06,5555,98,1\r\n10:06,5555,96,2\r\n");
    std::filesystem::create_directory(dir.File("out"));
    std::string out;
    ASSERT_EQ(RunBacktest(dir.Path() + " --date 20261207 --out " + dir.File("out"), out), 0);
    EXPECT_EQ(out,
              "10:05 1234.T:1030,(30),2.91% 1700[A,A]\n"
              "10:06 5555:96,(-2),-2.08% 128[D,A]\n");
    std::string asc = kestrel::Cp932ToUtf8(dir.ReadBytes("out/20261207_Asc.txt"));
    std::string dsc = kestrel::Cp932ToUtf8(dir.ReadBytes("out/20261207_Dsc.txt"));
    EXPECT_EQ(asc.rfind("1234.T,A,ソニー,貸借,1,1100,1000,1700,1000,0,0,670,10:05,1030,3,3,3,", 0), 0u) << asc;
    EXPECT_EQ(dsc.rfind("5555,A,$5555$,信用,1,120,98,128,98,0,0,32,10:06,96,2,", 0), 0u) << dsc;
    // A stricter rate gives no events.
    ASSERT_EQ(RunBacktest(dir.Path() + " --rate 5 --out " + dir.File("out"), out), 0);
    EXPECT_EQ(out, "");
}

TEST(Backtest, ClearErrorsForMissingInput) {
    kestrel::test::TempDir dir;
    std::string out;
    EXPECT_EQ(RunBacktest(dir.File("nowhere"), out), 2);
    EXPECT_EQ(RunBacktest(dir.Path(), out), 2);  // no kabu.txt
    EXPECT_EQ(RunBacktest(dir.Path() + " --rate abc", out), 2);
    EXPECT_EQ(RunBacktest("", out), 2);
}

// A backtest on the trader's own folder never touches the day's lists in log/: it writes to
// DIR/backtest, and lists already in its output folder stay unless --force is given.
TEST(Backtest, NeverReplacesResumeFilesItWasNotToldTo) {
    kestrel::test::TempDir dir;
    dir.WriteCp932("監視銘柄.txt", "1234.T\r\n");
    dir.WriteCp932("std.csv", "1234,貸借,1000,1000,,1,1100\r\n");
    dir.WriteCp932("kabu.txt", "10:02:50,1234,1000,1\r\n10:05:37,1234,1030,3\r\n");
    std::filesystem::create_directory(dir.File("log"));
    const std::string live = "9999,A,live,,0,0,0,0,0,0,0,0,09:00,0,0,0,0,0\r\n";
    dir.WriteCp932("log/20261207_Asc.txt", live);
    dir.WriteCp932("log/20261207_Dsc.txt", live);
    std::string out;
    ASSERT_EQ(RunBacktest(dir.Path() + " --date 20261207", out), 0);
    EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt"), live);
    EXPECT_EQ(dir.ReadBytes("log/20261207_Dsc.txt"), live);
    const std::string first = dir.ReadBytes("backtest/20261207_Asc.txt");
    EXPECT_NE(first.find("1234.T"), std::string::npos);

    // Named as the output folder, log/ is refused before any replay, and so is a second run
    // into backtest/; --force replaces.
    EXPECT_EQ(RunBacktest(dir.Path() + " --date 20261207 --out " + dir.File("log"), out), 3);
    EXPECT_EQ(out, "") << "nothing replayed";
    EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt"), live);
    EXPECT_EQ(dir.ReadBytes("log/20261207_Dsc.txt"), live);
    std::filesystem::remove(dir.File("backtest/20261207_Asc.txt"));
    EXPECT_EQ(RunBacktest(dir.Path() + " --date 20261207", out), 3) << "the falling list alone is kept too";
    EXPECT_EQ(RunBacktest(dir.Path() + " --date 20261207 --force --out " + dir.File("log"), out), 0);
    EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt"), first);
}
