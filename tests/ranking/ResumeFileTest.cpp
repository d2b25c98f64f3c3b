#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "common/Codec.h"
#include "common/CommaText.h"
#include "common/FileSaveOps.h"
#include "common/TimeOfDay.h"
#include "ranking/Meigara.h"
#include "support/TempDir.h"

using kestrel::ParseTime;
using kestrel::test::TempDir;

namespace {
CMeigara Full() {
    CMeigara m("1234.T", 'A');
    m.Name = "日本\"ハム\", 株式会社";
    m.MarginClass = "貸借";
    m.LoanRatio = 2.5;
    m.YearHigh = 5800;
    m.PrevClose = 5100;
    m.LimitHigh = 5800;
    m.OpenPrice = 5200;
    m.Gap = -100;
    m.LimitGap = 570;
    m.Time = ParseTime("10:05:37");
    m.Price = 5230;
    m.Volume = 1234567;
    m.DayRatio = 2.549019607843137;
    m.OpenRatio = 0.576923076923077;
    m.MoveRatio = 1.5e-6;
    return m;
}
}  // namespace

TEST(ResumeFile, LineFormat) {
    EXPECT_EQ(
        Full().SaveToLine(),
        "1234.T,A,\"日本\"\"ハム\"\", 株式会社\",貸借,2.5,5800,5100,5800,5200,-100,0,570,10:05,"
        "5230,1234567,2.54901960784314,0.576923076923077,1.5E-6");
    EXPECT_EQ(CMeigara().SaveToLine(), ",\" \",,,0,0,0,0,0,0,0,0,00:00,0,0,0,0,0");
}

TEST(ResumeFile, RoundTripKeepsEverythingButSeconds) {
    TempDir dir;
    CMeigaraList list('A');
    list.Add(std::make_unique<CMeigara>(Full()));
    auto second = std::make_unique<CMeigara>("7203", 'U');
    second->Name = "トヨタ 自動車";
    second->MoveRatio = -0.41;
    list.Add(std::move(second));
    list.Add(std::make_unique<CMeigara>());
    list.SaveToFile(dir.File("a.txt"));
    std::string bytes = dir.ReadBytes("a.txt");
    EXPECT_NE(bytes.find(kestrel::Utf8ToCp932("貸借")), std::string::npos);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");

    CMeigaraList back('A');
    auto r = back.LoadFromFile(dir.File("a.txt"));
    EXPECT_TRUE(r.FileRead);
    EXPECT_EQ(r.Lines, 3);
    EXPECT_EQ(r.Skipped, 0);
    auto g = back.Lock();
    ASSERT_EQ(g->size(), 3u);
    const CMeigara& e = *(*g)[0];
    EXPECT_EQ(e.Name, "日本\"ハム\", 株式会社");
    EXPECT_EQ(e.Time, ParseTime("10:05"));
    EXPECT_EQ(e.Gap, -100);
    EXPECT_EQ(e.DayRatio, 2.54901960784314);
    EXPECT_EQ(e.MoveRatio, 1.5e-6);
    EXPECT_EQ((*g)[1]->Name, "トヨタ 自動車");
    EXPECT_EQ((*g)[2]->Action, ' ');
    // Saving what was loaded gives the same bytes.
    back.SaveToFile(dir.File("b.txt"));
    EXPECT_EQ(dir.ReadBytes("b.txt"), bytes);
}

TEST(ResumeFile, ShortLongEmptyAndBadLines) {
    TempDir dir;
    std::string good = Full().SaveToLine();
    std::string bad = "9999,A,x,y,abc,1,1,1,1,1,0,1,10:00,1,1,0,0,0";    // real column not a number
    std::string badTime = "9998,A,x,y,1,1,1,1,1,1,0,1,25:00,1,1,0,0,0";  // time out of range
    std::string badSpare = "9997,A,x,y,1,1,1,1,1,1,0.5,1,10:00,1,1,0,0,0";  // spare is an integer
    dir.WriteCp932("r.txt", good + "\r\n1,2,3\r\n\r\n" + bad + "\n" + good + ",extra\r" + badTime +
                                "\r\n" + badSpare + "\r\n7203,U,t,,0,0,0,0,0,0,0,0,9:00,0,0,0,0,0");
    CMeigaraList list('D');
    list.Add(std::make_unique<CMeigara>("old", 'A'));
    auto r = list.LoadFromFile(dir.File("r.txt"));
    EXPECT_EQ(r.Lines, 8);
    EXPECT_EQ(r.Skipped, 3);
    std::vector<std::string> codes;
    {
        auto g = list.Lock();
        for (auto& e : *g) codes.push_back(e->Code);
    }
    // 17 columns, an empty line and 19 columns each give a blank entry; bad numbers are skipped
    // and the lines after them still load.
    EXPECT_EQ(codes, (std::vector<std::string>{"1234.T", "", "", "", "7203"}));

    auto missing = list.LoadFromFile(dir.File("none.txt"));
    EXPECT_FALSE(missing.FileRead);
    EXPECT_EQ(list.Count(), 0);
}

TEST(ResumeFile, SavingIntoAMissingFolderFailsAndKeepsTheList) {
    TempDir dir;
    CMeigaraList list('A');
    list.Add(std::make_unique<CMeigara>(Full()));
    EXPECT_THROW(list.SaveToFile(dir.File("log/20261207_Asc.txt")), std::runtime_error);
    EXPECT_EQ(list.Count(), 1);
}

TEST(ResumeFile, ASaveThatCannotReachTheDiskKeepsTheLastFileWhole) {
    TempDir dir;
    std::string path = dir.File("20261207_Asc.txt");
    CMeigaraList list('A');
    list.Add(std::make_unique<CMeigara>(Full()));
    list.SaveToFile(path);
    const std::string saved = dir.ReadBytes("20261207_Asc.txt");
    list.Add(std::make_unique<CMeigara>("7203", 'U'));
    struct SyncFails : kestrel::FileSaveOps {
        std::error_code Sync(int) override { return std::make_error_code(std::errc::io_error); }
    } syncFails;
    kestrel::ScopedSaveOps scope(syncFails);
    try {
        list.SaveToFile(path);
        ADD_FAILURE() << "saved";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), path + ": " + std::strerror(EIO));
    }
    EXPECT_EQ(dir.ReadBytes("20261207_Asc.txt"), saved);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

// A line that is not what a save writes (a line cut short, two run together, a block of NULs a
// crash left) is counted, and loads as it always did: a blank entry when the columns are not
// 18, the columns before a NUL otherwise. An empty or blank line holds nothing to lose.
TEST(ResumeFile, LinesOfTheWrongShapeAreCountedAndLoadAsBefore) {
    TempDir dir;
    const std::string good = Full().SaveToLine();
    const std::string cut = good.substr(0, good.rfind(','));  // 17 columns
    ASSERT_EQ(kestrel::SplitCommaText(cut).size(), 17u);
    const std::string nulBlock(512, '\0');
    dir.WriteCp932("r.txt", good + "\r\n" + cut + "\r\n" + good + ",7203\r\n" + nulBlock + "\r\n" +
                                good + std::string(1, '\0') + "lost\r\n\r\n   \r\n");
    CMeigaraList list('A');
    auto r = list.LoadFromFile(dir.File("r.txt"));
    EXPECT_EQ(r.OddLines, 4);
    EXPECT_EQ(r.Skipped, 0);
    EXPECT_EQ(r.Lines, 7);
    std::vector<std::string> codes;
    {
        auto g = list.Lock();
        for (auto& e : *g) codes.push_back(e->Code);
    }
    EXPECT_EQ(codes, (std::vector<std::string>{"1234.T", "", "", "", "1234.T", "", ""}));

    list.SaveToFile(dir.File("saved.txt"));
    CMeigaraList back('A');
    EXPECT_EQ(back.LoadFromFile(dir.File("saved.txt")).OddLines, 0) << "a save writes 18 always";
}
