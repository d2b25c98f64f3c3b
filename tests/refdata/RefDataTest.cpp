#include <gtest/gtest.h>

#include "refdata/LimitPriceRange.h"
#include "refdata/MeigaraInfo.h"
#include "support/TempDir.h"

using kestrel::test::TempDir;

TEST(MeigaraInfo, ColumnsFlagsAndSuffixes) {
    TempDir dir;
    auto path = dir.WriteCp932("銘柄情報.txt",
                               "1234,NAME,100,信用,信用,貸借,東証,大証,名証\r\n"
                               "1235,ABC Corp,100\n"
                               "1236,\"ABC Corp\",100,無期限信用,x,y,JASDAQ,HC,福証,extra\r"
                               "\r\n"
                               "1237,日本\"ハム\",abc,,,,jasdaq,ロンドン\r\n"
                               "1234,SECOND");
    CMeigaraInfoList list(path);
    ASSERT_EQ(list.Count(), 6u);
    const auto& a = list[0];
    EXPECT_EQ(a.Code, "1234");
    EXPECT_EQ(a.GetName(), "NAME");
    EXPECT_EQ(a.Number, 100);
    EXPECT_FALSE(a.IsIndefiniteMargin);
    EXPECT_TRUE(a.IsMargin);
    EXPECT_TRUE(a.IsLending);
    EXPECT_EQ(a.Suffix1, ".T");
    EXPECT_EQ(a.Suffix2, ".OS");
    EXPECT_EQ(a.Suffix3, "");
    // Unquoted blanks split: Corp lands in the number column.
    EXPECT_EQ(list[1].Name, "ABC");
    EXPECT_EQ(list[1].Number, 0);
    EXPECT_FALSE(list[1].IsIndefiniteMargin);
    EXPECT_EQ(list[2].Name, "ABC Corp");
    EXPECT_EQ(list[2].Number, 100);
    EXPECT_TRUE(list[2].IsIndefiniteMargin);
    EXPECT_EQ(list[2].Suffix1, ".Q");
    EXPECT_EQ(list[2].Suffix2, ".OJ");
    EXPECT_EQ(list[2].Suffix3, "");
    EXPECT_EQ(list[3].Code, "");  // an empty line is a record too
    EXPECT_EQ(list[4].Name, "日本\"ハム\"");
    EXPECT_EQ(list[4].Suffix1, "");  // lower-case jasdaq is not in the table
}

TEST(MeigaraInfo, LookupByTheFirstFourCharacters) {
    TempDir dir;
    auto path =
        dir.WriteCp932("m.txt", "\r\n123,short\r\n1234,FIRST\r\n01234,FIVE\r\n1234,SECOND\r\n");
    CMeigaraInfoList list(path);
    ASSERT_NE(list.FindByCode("1234.T"), nullptr);
    EXPECT_EQ(list.FindByCode("1234.T")->Name, "FIRST");
    EXPECT_EQ(list.FindByCode("1234"), list.FindByCode("1234.T"));
    EXPECT_EQ(list.FindByCode("123")->Name, "short");
    EXPECT_EQ(list.FindByCode("")->Name, "");
    EXPECT_EQ(list.FindByCode("01234"), nullptr);  // looks for 0123
    EXPECT_EQ(list.FindByCode("9999"), nullptr);
}

TEST(MeigaraInfo, MissingFileGivesAnEmptyList) {
    TempDir dir;
    CMeigaraInfoList list(dir.File("none.txt"));
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(list.FindByCode("1234"), nullptr);
    EXPECT_EQ(MarketToSuffix("東証"), ".T");
    EXPECT_EQ(MarketToSuffix("名証"), "");
    EXPECT_EQ(MarketToSuffix("NYSE"), "");
}

TEST(LimitPriceRange, BandsInFileOrder) {
    TempDir dir;
    auto path =
        dir.WriteCp932("w.txt", "0,100,30,0\r\n100,200,50,0\r\n150,300,99\r\n500,400,1\r\n");
    CLimitPriceRangeList t(path);
    ASSERT_EQ(t.Count(), 4u);
    EXPECT_EQ(t.GetLimitWidth(99), 30);
    EXPECT_EQ(t.GetLimitHigh(99), 129);
    EXPECT_EQ(t.GetLimitWidth(100), 50);
    EXPECT_EQ(t.GetLimitHigh(100), 150);
    EXPECT_EQ(t.GetLimitWidth(160), 50);  // overlapping: the earlier line wins
    EXPECT_EQ(t.GetLimitWidth(250), 99);
    EXPECT_EQ(t.GetLimitWidth(450), 10'000'000);  // the inverted band never matches
    EXPECT_EQ(t.GetLimitWidth(-1), 10'000'000);
    EXPECT_EQ(t[2].Extra, 0);  // a short line gets 0 for its missing column
    EXPECT_EQ(t.GetLimitHigh(2147483000), 2147483647);  // saturates instead of wrapping
}

TEST(LimitPriceRange, EmptyOrShortLinesAndAMissingFile) {
    TempDir dir;
    CLimitPriceRangeList none(dir.File("none.txt"));
    EXPECT_EQ(none.Count(), 0u);
    EXPECT_EQ(none.GetLimitWidth(1000), 0);
    EXPECT_EQ(none.GetLimitHigh(1000), 1000);
    // Short lines do not borrow values from the line before.
    auto path = dir.WriteCp932("w.txt", "0,100,30,7\r\n\r\n200\r\n");
    CLimitPriceRangeList t(path);
    ASSERT_EQ(t.Count(), 3u);
    EXPECT_EQ(t[1].LowerPrice, 0);
    EXPECT_EQ(t[1].Width, 0);
    EXPECT_EQ(t[2].LowerPrice, 200);
    EXPECT_EQ(t[2].UpperPrice, 0);
    EXPECT_EQ(t.GetLimitWidth(50), 30);
    EXPECT_EQ(t.GetLimitWidth(300), 10'000'000);
}
