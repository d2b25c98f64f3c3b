#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "common/Codec.h"
#include "support/TempDir.h"

namespace {
int RunBacktest(const std::string& args, std::string& out, const std::string& errFile = "/dev/null",
                const std::string& shellPrefix = "") {
    std::string cmd = shellPrefix + std::string(KESTREL_BACKTEST) + " " + args + " 2>" + errFile;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    out.clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
// Runs the backtest alone, for its own peak resident size (KiB); its exit status.
int RunBacktestMeasured(const std::vector<std::string>& args, long& peakKiB) {
    std::vector<std::string> all{KESTREL_BACKTEST};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return -1;
    peakKiB = usage.ru_maxrss;
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
    EXPECT_EQ(asc.rfind("1234.T,A,ソニー,貸借,1,1100,1000,1700,1000,0,0,670,10:05,1030,3,3,3,", 0),
              0u)
        << asc;
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
    EXPECT_EQ(RunBacktest(dir.Path() + " --date 20261207", out), 3)
        << "the falling list alone is kept too";
    EXPECT_EQ(RunBacktest(dir.Path() + " --date 20261207 --force --out " + dir.File("log"), out),
              0);
    EXPECT_EQ(dir.ReadBytes("log/20261207_Asc.txt"), first);
}

// Lines far longer than any record, in every file the replay reads, cost what a line of the
// limit costs: they are passed over and named, the rest of the day replays, and a name or a
// margin class that fits the line but not a field is cut, not copied into every record.
// The run is held to 1 GiB of address space (not under AddressSanitizer, whose shadow takes more).
TEST(Backtest, HugeLinesArePassedOverAndCountedInBoundedMemory) {
    kestrel::test::TempDir dir;
    const std::string huge(50u << 20, 'x');
    const std::string longName(60'000, 'n');
    dir.WriteBytes("銘柄情報.txt", "1234," + huge + "\r\n5555," + longName + "\r\n" +
                                       kestrel::Utf8ToCp932("1234,ソニー\r\n"));
    dir.WriteBytes("監視銘柄.txt",
                   huge + "\r\n1234.T\r\n5555\r\n" + std::string(300, 't') + "\r\n");
    dir.WriteCp932("株式売買値幅.txt", "0,100,30\r\n100,10000,700\r\n");
    dir.WriteCp932("std.csv",
                   "1234,貸借,1000,1000,,1,1100\r\n5555," + longName + ",1000,1000,,1,1100\r\n");
    std::string kabu =
        "10:02:50,1234,1000,1\r\n" + huge + "\r\n" + std::string(20u << 20, ',') + "\r\n";
    for (int i = 0; i < 2000; ++i) {
        kabu += "10:03:" + std::to_string(10 + i % 40) + ",5555," + std::to_string(1000 + i % 2) +
                "," + std::to_string(i + 2) + "\r\n";
    }
    kabu += "10:04:00,5555,950,3000\r\n10:05:37,1234,1030,3\r\n";
    dir.WriteBytes("kabu.txt", kabu);
    std::filesystem::create_directory(dir.File("out"));
#if defined(__SANITIZE_ADDRESS__)
    const std::string limit;
#else
    const std::string limit = "ulimit -v 1048576; ";
#endif
    std::string out;
    ASSERT_EQ(RunBacktest(dir.Path() + " --date 20261207 --out " + dir.File("out"), out,
                          dir.File("err.txt"), limit),
              0)
        << dir.ReadBytes("err.txt");
    EXPECT_EQ(out,
              "10:04 5555:950,(-51),-5.37% 1700[D,A]\n10:05 1234.T:1030,(30),2.91% 1700[A,A]\n");
    const std::string err = dir.ReadBytes("err.txt");
    for (const char* said :
         {"【銘柄情報.txt】の 1 行は長すぎる",
          "【監視銘柄.txt】の 1 行は長すぎるため読み込みませんでした（1 行 256 バイトまで）",
          "【監視銘柄.txt】の 1 行は長すぎるため読み込みませんでした（1 行 65536 バイトまで）",
          "【kabu.txt】の 2 行は長すぎる", "2003 lines read"})
        EXPECT_NE(err.find(said), std::string::npos) << said << "\n" << err;
    const std::string dsc = kestrel::Cp932ToUtf8(dir.ReadBytes("out/20261207_Dsc.txt"));
    EXPECT_NE(dsc.find("5555,A," + std::string(256, 'n') + "," + std::string(256, 'n') + ","),
              std::string::npos)
        << dsc.substr(0, 700);
}

// A watch list of 20,000 topics costs what its points cost, not a few hundred KB a tracker,
// and a list the system cannot hold is said and ends with its own exit code, never a crash.
TEST(Backtest, LongWatchListsCostTheirPointsAndARefusedOneIsSaid) {
    kestrel::test::TempDir dir;
    std::string watch, kabu;
    for (int i = 0; i < 20'000; ++i)
        watch += std::to_string(1000 + i % 9000) + ".T" + std::to_string(i) + "\r\n";
    for (int i = 0; i < 9000; ++i) kabu += "09:00:00," + std::to_string(1000 + i) + ",100,1\r\n";
    dir.WriteCp932("監視銘柄.txt", watch);
    dir.WriteCp932("kabu.txt", kabu);
    long peak = 0;
    ASSERT_EQ(RunBacktestMeasured({dir.Path(), "--date", "20261207", "--force"}, peak), 0);
    EXPECT_LT(peak, 400L * 1024) << "KiB at the peak";
    EXPECT_TRUE(std::filesystem::exists(dir.File("backtest/20261207_Asc.txt")));
#if !defined(__SANITIZE_ADDRESS__)
    std::string out;
    std::filesystem::remove_all(dir.File("backtest"));
    std::filesystem::create_directory(dir.File("backtest"));
    EXPECT_EQ(RunBacktest(dir.Path() + " --date 20261207", out, dir.File("err.txt"),
                          "ulimit -v 2000000; "),
              4);
    EXPECT_NE(dir.ReadBytes("err.txt").find("監視銘柄 20000 件を監視するメモリを確保できません"),
              std::string::npos)
        << dir.ReadBytes("err.txt");
    EXPECT_FALSE(std::filesystem::exists(dir.File("backtest/20261207_Asc.txt")))
        << "nothing written";
#endif
}
