// The recording of a served day on its own: the files a day's folder gets and their exact bytes,
// a restart that appends after cutting a torn line, a full disk, a new day, and links or other
// things planted where the recording writes.
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/Codec.h"
#include "common/FileSaveOps.h"
#include "common/IniFile.h"
#include "kestrel-feed/Recorder.h"
#include "support/TempDir.h"

using kestrel::feed::Issue;
using kestrel::feed::Recorder;
using kestrel::feed::RecorderOptions;
using kestrel::test::TempDir;
namespace fs = std::filesystem;

namespace {

Issue Trade(const std::string& code, int price, int volume, const std::string& time,
            bool figures = true) {
    Issue s;
    s.Code = code;
    s.Traded = true;
    s.Price = price;
    s.Volume = volume;
    s.TimeText = time;
    if (figures) {
        s.Ref.HasBase = true;
        s.Ref.MarginClass = "貸借";
        s.Ref.PrevClose = "990";
        s.Ref.OpenPrice = "995";
        s.Ref.LoanRatio = "1.5";
        s.Ref.YearHigh = "1200";
    }
    return s;
}

struct Rig {
    TempDir lists, out;
    std::string day = "20261207";
    std::vector<std::string> log;
    RecorderOptions Options(kestrel::FileSaveOps* ops = nullptr) {
        RecorderOptions o;
        o.Dir = out.File("days");
        o.ListsFrom = lists.Path();
        o.Today = [this] { return day; };
        o.Ops = ops;
        return o;
    }
    std::unique_ptr<Recorder> Make(kestrel::FileSaveOps* ops = nullptr) {
        return std::make_unique<Recorder>(Options(ops),
                                          [this](const std::string& l) { log.push_back(l); });
    }
    std::string Read(const std::string& name) const {
        return out.ReadBytes("days/" + day + "/" + name);
    }
    int Said(const std::string& part) const {
        int n = 0;
        for (const auto& l : log) n += l.find(part) != std::string::npos;
        return n;
    }
};

// Writes what it is given until its budget is spent, then says the disk is full: the last
// write that fits only in part goes in part, as on a real disk.
class FullDiskOps : public kestrel::FileSaveOps {
public:
    explicit FullDiskOps(size_t budget) : Budget(budget) {}
    std::error_code Write(int fd, const char* data, size_t size, size_t& written) override {
        if (Budget == 0) return std::make_error_code(std::errc::no_space_on_device);
        std::error_code ec = FileSaveOps::Write(fd, data, std::min(size, Budget), written);
        if (!ec) Budget -= written;
        return ec;
    }
    size_t Budget;
};

}  // namespace

TEST(Recorder, WritesTheDayAsTheReplayReadsIt) {
    Rig rig;
    rig.lists.WriteCp932("監視銘柄.txt", "1234.T\r\n5678.T\r\n");
    rig.lists.WriteCp932("株式売買値幅.txt", "0,100,30,0\r\n");
    rig.lists.WriteCp932("KESTREL.INI", "[DEBUG]\r\nflg=0\r\n\r\n[PARA]\r\nrate=1.5\r\ntime=3\r\n");
    auto rec = rig.Make();
    ASSERT_TRUE(rec->Start());
    EXPECT_TRUE(rec->Recording());
    EXPECT_EQ(rec->DayFolder(), rig.out.File("days/20261207"));

    Issue blank = Trade("9999", 0, 0, "  :  ");
    blank.Traded = false;
    rec->Record(blank);  // nothing traded yet: nothing to replay
    rec->Record(Trade("1234", 1000, 100, "09:00:01"));
    rec->Record(Trade("5678", 50, 2000, "09:00", false));  // no figures known: no std.csv line
    Issue odd = Trade("2222", 1001, 300, "09:00:02");
    odd.Ref.MarginClass = "貸\r\n借";  // a line break inside a value must not split the line
    rec->Record(odd);
    rec->Record(Trade("4321", 7, 400, "not a time"));

    EXPECT_EQ(rig.Read("kabu.txt"),
              "09:00:01,1234,1000,100\r\n09:00,5678,50,2000\r\n09:00:02,2222,1001,300\r\n"
              "\"not a time\",4321,7,400\r\n");
    EXPECT_EQ(rig.Read("std.csv"), kestrel::Utf8ToCp932("1234,貸借,990,995,0,1.5,1200\r\n"
                                                        "2222,\"貸  借\",990,995,0,1.5,1200\r\n"
                                                        "4321,貸借,990,995,0,1.5,1200\r\n"));
    // The lists come as they are; the settings switched to the replay, the rest kept.
    EXPECT_EQ(rig.Read("監視銘柄.txt"), rig.lists.ReadBytes("監視銘柄.txt"));
    EXPECT_EQ(rig.Read("株式売買値幅.txt"), rig.lists.ReadBytes("株式売買値幅.txt"));
    kestrel::IniFile ini(rig.out.File("days/20261207/KESTREL.INI"));
    EXPECT_EQ(ini.ReadInteger("DEBUG", "flg", -1), 1);
    EXPECT_EQ(ini.ReadString("PARA", "rate", ""), "1.5");
    EXPECT_TRUE(fs::is_directory(rig.out.File("days/20261207/log")));
    // The master list is missing: said once, and the day has none.
    EXPECT_EQ(rig.Said("銘柄情報.txt: cannot be read"), 1) << ::testing::PrintToString(rig.log);
    EXPECT_FALSE(fs::exists(rig.out.File("days/20261207/銘柄情報.txt")));
}

TEST(Recorder, RestartOnTheSameDayAppendsAfterCuttingTornLines) {
    Rig rig;
    {
        auto rec = rig.Make();
        ASSERT_TRUE(rec->Start());
        rec->Record(Trade("1234", 1000, 100, "09:00:01"));
        rec->Record(Trade("5678", 2000, 100, "09:00:02"));
        // A second feed recording the same day meanwhile would mix its lines into these.
        auto twin = rig.Make();
        EXPECT_FALSE(twin->Start());
        EXPECT_EQ(rig.Said("kabu.txt: another feed records into it"), 1);
        twin->Record(Trade("9999", 1, 1, "09:00:03"));
    }
    // A feed killed in the middle of a line of each file.
    const std::string dayDir = "days/20261207/";
    rig.out.WriteBytes(dayDir + "kabu.txt", rig.Read("kabu.txt") + "09:00:0");
    rig.out.WriteBytes(dayDir + "std.csv", rig.Read("std.csv") + "12\r");

    auto rec = rig.Make();
    ASSERT_TRUE(rec->Start());
    EXPECT_EQ(rig.Said("kabu.txt: cut 7 bytes of a torn last line"), 1);
    EXPECT_EQ(rig.Said("std.csv: cut 3 bytes of a torn last line"), 1);
    rec->Record(Trade("1234", 1010, 200, "09:00:03"));  // its figures are there already
    rec->Record(Trade("1111", 5, 1, "09:00:04"));
    EXPECT_EQ(rig.Read("kabu.txt"),
              "09:00:01,1234,1000,100\r\n09:00:02,5678,2000,100\r\n09:00:03,1234,1010,200\r\n"
              "09:00:04,1111,5,1\r\n");
    EXPECT_EQ(rig.Read("std.csv"), kestrel::Utf8ToCp932("1234,貸借,990,995,0,1.5,1200\r\n"
                                                        "5678,貸借,990,995,0,1.5,1200\r\n"
                                                        "1111,貸借,990,995,0,1.5,1200\r\n"));
}

// The broker's margin class comes after the issue's first trade: std.csv ends with the figures
// the monitor read last, one line per issue in its first place, also across a restart; what is
// unchanged is not written again.
TEST(Recorder, FiguresThatComeLaterReplaceTheIssuesLine) {
    Rig rig;
    {
        auto rec = rig.Make();
        ASSERT_TRUE(rec->Start());
        Issue early = Trade("1234", 1000, 100, "09:00:01");
        early.Ref.MarginClass.clear();
        rec->Record(early);
        rec->Record(Trade("5678", 2000, 100, "09:00:02"));
        EXPECT_EQ(rig.Read("std.csv"), kestrel::Utf8ToCp932("1234,,990,995,0,1.5,1200\r\n"
                                                            "5678,貸借,990,995,0,1.5,1200\r\n"));
        rec->Record(Trade("1234", 1010, 200, "09:00:03"));
        EXPECT_EQ(rig.Read("std.csv"), kestrel::Utf8ToCp932("1234,貸借,990,995,0,1.5,1200\r\n"
                                                            "5678,貸借,990,995,0,1.5,1200\r\n"));
        // The file rewritten is still the one appended to, and still kept from a second feed.
        rec->Record(Trade("1111", 5, 1, "09:00:04"));
        auto twin = rig.Make();
        EXPECT_FALSE(twin->Start());
    }
    auto rec = rig.Make();
    ASSERT_TRUE(rec->Start());
    const fs::file_time_type before = fs::last_write_time(rig.out.File("days/20261207/std.csv"));
    rec->Record(Trade("5678", 2010, 300, "09:00:05"));
    EXPECT_EQ(fs::last_write_time(rig.out.File("days/20261207/std.csv")), before);
    Issue later = Trade("5678", 2020, 400, "09:00:06");
    later.Ref.OpenPrice = "1000";
    rec->Record(later);
    EXPECT_EQ(rig.Read("std.csv"), kestrel::Utf8ToCp932("1234,貸借,990,995,0,1.5,1200\r\n"
                                                        "5678,貸借,990,1000,0,1.5,1200\r\n"
                                                        "1111,貸借,990,995,0,1.5,1200\r\n"));
    EXPECT_EQ(rig.Read("kabu.txt"),
              "09:00:01,1234,1000,100\r\n09:00:02,5678,2000,100\r\n09:00:03,1234,1010,200\r\n"
              "09:00:04,1111,5,1\r\n09:00:05,5678,2010,300\r\n09:00:06,5678,2020,400\r\n");
}

TEST(Recorder, CutTornLineFindsTheLastLineEndAcrossBlocks) {
    TempDir dir;
    auto cut = [&](const std::string& bytes) {
        dir.WriteBytes("f", bytes);
        int fd = open(dir.File("f").c_str(), O_RDWR);
        long long n = kestrel::feed::CutTornLine(fd);
        close(fd);
        return std::make_pair(n, dir.ReadBytes("f"));
    };
    // The last line end lies further back than one block of reading.
    const std::string tail(150'000, 'x');
    EXPECT_EQ(cut("a\r\n" + tail), std::make_pair(150'000LL, std::string("a\r\n")));
    EXPECT_EQ(cut(tail), std::make_pair(150'000LL, std::string()));
    EXPECT_EQ(cut("a\r\nb\r\n"), std::make_pair(0LL, std::string("a\r\nb\r\n")));
    EXPECT_EQ(cut(""), std::make_pair(0LL, std::string()));
}

TEST(Recorder, AFullDiskStopsTheRecordingOnceWithTheFileEndingInAWholeLine) {
    Rig rig;
    FullDiskOps ops(1000);
    auto rec = rig.Make(&ops);
    ASSERT_TRUE(rec->Start());
    const size_t saidAtStart = rig.log.size();
    std::string all;
    for (int i = 0; i < 200; ++i) {
        Issue s = Trade(std::to_string(1000 + i % 30), 100 + i, 100 * i, "09:00:00");
        all += "09:00:00," + s.Code + "," + std::to_string(s.Price) + "," +
               std::to_string(s.Volume) + "\r\n";
        rec->Record(s);
    }
    EXPECT_FALSE(rec->Recording());
    EXPECT_EQ(rig.Said("No space left on device: the recording stops"), 1)
        << ::testing::PrintToString(rig.log);
    EXPECT_EQ(rig.log.size(), saidAtStart + 1) << "one word, nothing per change";
    // Whole lines only, the first ones served.
    const std::string kabu = rig.Read("kabu.txt");
    ASSERT_GE(kabu.size(), 2u);
    EXPECT_EQ(kabu.substr(kabu.size() - 2), "\r\n");
    EXPECT_EQ(all.compare(0, kabu.size(), kabu), 0);
    const std::string base = rig.Read("std.csv");
    EXPECT_TRUE(base.empty() || base.substr(base.size() - 2) == "\r\n");

    // Once stopped, nothing more is tried.
    ops.Budget = 1 << 20;
    rec->Record(Trade("1000", 1, 1, "09:00:01"));
    EXPECT_EQ(rig.Read("kabu.txt"), kabu);
}

TEST(Recorder, ANewDayGetsAFolderOfItsOwn) {
    Rig rig;
    rig.lists.WriteCp932("監視銘柄.txt", "1234.T\r\n");
    auto rec = rig.Make();
    ASSERT_TRUE(rec->Start());
    rec->Record(Trade("1234", 1000, 100, "15:00:00"));
    rig.day = "20261208";
    rec->Record(Trade("1234", 1005, 50, "09:00:00"));
    EXPECT_EQ(rig.out.ReadBytes("days/20261207/kabu.txt"), "15:00:00,1234,1000,100\r\n");
    EXPECT_EQ(rig.Read("kabu.txt"), "09:00:00,1234,1005,50\r\n");
    EXPECT_EQ(rig.Read("std.csv"), kestrel::Utf8ToCp932("1234,貸借,990,995,0,1.5,1200\r\n"));
    EXPECT_EQ(rig.Read("監視銘柄.txt"), rig.lists.ReadBytes("監視銘柄.txt"));
    EXPECT_EQ(rig.Said("recording into " + rig.out.File("days/20261208")), 1);
}

TEST(Recorder, NeverWritesThroughALinkOrIntoAFileTakenForAFolder) {
    Rig rig;
    fs::create_directories(rig.out.File("days/20261207"));
    rig.out.WriteBytes("victim", "keep\r\n");
    fs::create_symlink(rig.out.File("victim"), rig.out.File("days/20261207/kabu.txt"));
    auto rec = rig.Make();
    EXPECT_FALSE(rec->Start());
    EXPECT_FALSE(rec->Recording());
    EXPECT_EQ(rig.Said("days/20261207/kabu.txt: "), 1) << ::testing::PrintToString(rig.log);
    rec->Record(Trade("1234", 1000, 100, "09:00:01"));
    EXPECT_EQ(rig.out.ReadBytes("victim"), "keep\r\n");

    Rig second;
    fs::create_directories(second.out.File("days"));
    second.out.WriteBytes("days/20261207", "a file");
    auto other = second.Make();
    EXPECT_FALSE(other->Start());
    EXPECT_EQ(second.Said("exists and is no folder"), 1) << ::testing::PrintToString(second.log);
}
