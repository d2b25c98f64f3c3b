#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Codec.h"
#include "ui/CellKind.h"
#include "ui/ComponentStream.h"
#include "ui/StoredForms.h"

using kestrel::StreamError;
using kestrel::StreamReader;
using kestrel::StreamWriter;

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s += static_cast<char>(v);
    return s;
}

const std::string kDefaultColumn = Bytes(
    {0x02, 0x00, 0x02, 0x11, 0x02, 0x11, 0x02, 0x00, 0x02, 0x00, 0x02, 0x02, 0x02, 0x00, 0x09});

}  // namespace

TEST(ComponentStream, DocumentedByteExamples) {
    TCellKind defaults;
    EXPECT_EQ(WriteCellKindProperty({&defaults}), "\x01" + kDefaultColumn + std::string(1, '\0'));
    EXPECT_EQ(WriteCellKindProperty({}), Bytes({0x01, 0x00}));

    std::string gridA(kestrel::StoredGridProperty("GridA", "CellKind"));
    std::string column0 =
        Bytes({0x02, 0x00, 0x02, 0x12, 0x02, 0x11, 0x02, 0x02, 0x12, 0x00, 0x00, 0x00, 0x00,
               0x12, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x02, 0x02, 0x00, 0x09});
    EXPECT_EQ(gridA.substr(0, 1 + column0.size()), "\x01" + column0);
    EXPECT_EQ(gridA.back(), '\0');

    std::string data(kestrel::StoredGridProperty("GridA", "CellData"));
    std::string header = Bytes({0x01, 0x02, 0x00, 0x02, 0x00, 0x12, 0x03, 0x00, 0x00, 0x00, 0xB3,
                                0x30, 0xFC, 0x30, 0xC9, 0x30});
    EXPECT_EQ(data.substr(0, header.size()), header);
}

TEST(ComponentStream, IntegerTakesTheShortestTag) {
    struct Case {
        int32_t value;
        char tag;
        size_t size;
    };
    for (Case c : {Case{0, 0x02, 2},
                   {127, 0x02, 2},
                   {-128, 0x02, 2},
                   {128, 0x03, 3},
                   {-129, 0x03, 3},
                   {32767, 0x03, 3},
                   {-32768, 0x03, 3},
                   {32768, 0x04, 5},
                   {-32769, 0x04, 5},
                   {INT32_MAX, 0x04, 5},
                   {INT32_MIN, 0x04, 5}}) {
        StreamWriter w;
        w.WriteInteger(c.value);
        ASSERT_EQ(w.Bytes().size(), c.size) << c.value;
        EXPECT_EQ(w.Bytes()[0], c.tag) << c.value;
        StreamReader r(w.Bytes());
        EXPECT_EQ(r.ReadInteger(), c.value);
        EXPECT_TRUE(r.AtEnd());
    }
    // The reader takes a wider tag than needed, as older descriptions have them.
    StreamReader wide(Bytes({0x04, 0x05, 0x00, 0x00, 0x00, 0x03, 0xFF, 0xFF}));
    EXPECT_EQ(wide.ReadInteger(), 5);
    EXPECT_EQ(wide.ReadInteger(), -1);
}

TEST(ComponentStream, StringTagChoiceAndEveryReadableKind) {
    auto tagOf = [](const std::string& s) {
        StreamWriter w;
        w.WriteString(s);
        return static_cast<uint8_t>(w.Bytes()[0]);
    };
    EXPECT_EQ(tagOf(""), 0x06);
    EXPECT_EQ(tagOf(std::string(255, 'a')), 0x06);
    EXPECT_EQ(tagOf(std::string(256, 'a')), 0x0C);
    EXPECT_EQ(tagOf("JASDAQ"), 0x06);
    EXPECT_EQ(tagOf("東証"), 0x14);
    for (std::string s :
         {std::string(""), std::string(300, 'x'), std::string("銘柄名"), std::string("𠮷野家")}) {
        StreamWriter w;
        w.WriteString(s);
        StreamReader r(w.Bytes());
        EXPECT_EQ(r.ReadString(), s);
    }

    std::string sjis = kestrel::Utf8ToCp932("市場");
    std::string shortSjis = "\x06" + std::string(1, static_cast<char>(sjis.size())) + sjis;
    std::string longSjis = Bytes({0x0C, static_cast<int>(sjis.size()), 0, 0, 0}) + sjis;
    // U+20BB7 as a surrogate pair, then an unpaired low surrogate.
    std::string utf16 = Bytes({0x12, 0x03, 0, 0, 0, 0x42, 0xD8, 0xB7, 0xDF, 0x00, 0xDC});
    std::string badUtf8 = Bytes({0x14, 0x02, 0, 0, 0, 0xE6, 0x41});
    std::string all = shortSjis + longSjis + utf16 + badUtf8;
    StreamReader r(all);
    EXPECT_EQ(r.ReadString(), "市場");
    EXPECT_EQ(r.ReadString(), "市場");
    EXPECT_EQ(r.ReadString(), "𠮷\uFFFD");
    EXPECT_EQ(r.ReadString(), "\uFFFDA");
    EXPECT_TRUE(r.AtEnd());
}

TEST(ComponentStream, StoredGridsReadBackAndRoundTrip) {
    std::vector<TCellKind> a =
        ReadCellKindProperty(kestrel::StoredGridProperty("GridA", "CellKind"));
    ASSERT_EQ(a.size(), 10u);
    for (size_t c = 0; c < a.size(); ++c) {
        EXPECT_EQ(a[c].CellType, ctText);
        EXPECT_EQ(a[c].TitleAlign, 18);
        EXPECT_EQ(a[c].CellAlign, c < 2 ? 17 : c < 9 ? 20 : 18) << c;
        EXPECT_EQ(a[c].ItemList, (TCellItemList{{"", 0}, {"", 0}}));
        EXPECT_EQ(a[c].Margin, 2);
        EXPECT_TRUE(a[c].Editable);
        EXPECT_EQ(a[c].Grid, nullptr);
    }
    std::vector<TCellKind> combo =
        ReadCellKindProperty(kestrel::StoredGridProperty("ComboGrid1", "CellKind"));
    ASSERT_EQ(combo.size(), 3u);
    EXPECT_EQ(combo[1].CellType, ctList);
    EXPECT_EQ(combo[1].DropDownWidth, 185);
    EXPECT_EQ(combo[1].ItemList,
              (TCellItemList{{"東証", 0}, {"大証", 0}, {"JASDAQ", 0}, {"HC", 0}}));
    EXPECT_TRUE(combo[0].ItemList.empty());

    std::vector<TStoredCell> cells =
        ReadCellDataProperty(kestrel::StoredGridProperty("GridA", "CellData"));
    ASSERT_EQ(cells.size(), 10u);
    EXPECT_EQ(cells[0], (TStoredCell{0, 0, "コード"}));
    EXPECT_EQ(cells[9], (TStoredCell{9, 0, "時刻"}));

    for (const char* grid : {"GridA", "ComboGrid1"}) {
        auto kinds = ReadCellKindProperty(kestrel::StoredGridProperty(grid, "CellKind"));
        std::vector<const TCellKind*> ptrs;
        for (const TCellKind& k : kinds) ptrs.push_back(&k);
        std::string written = WriteCellKindProperty(ptrs);
        auto again = ReadCellKindProperty(written);
        ASSERT_EQ(again.size(), kinds.size());
        for (size_t i = 0; i < kinds.size(); ++i) EXPECT_TRUE(again[i].SameSettings(kinds[i]));

        auto data = ReadCellDataProperty(kestrel::StoredGridProperty(grid, "CellData"));
        EXPECT_EQ(ReadCellDataProperty(WriteCellDataProperty(data)), data);
    }
}

TEST(ComponentStream, CheckStatesCarryTheirNumbers) {
    TCellKind check;
    check.CellType = ctCheck;
    check.ItemList = {{"済", 0}, {"未", 1}, {"保留", 7}};
    check.Margin = -3;
    check.EditLimit = 100000;
    check.Editable = false;
    auto back = ReadCellKindProperty(WriteCellKindProperty({&check}));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_TRUE(back[0].SameSettings(check));

    // 0 draws a cross, 1 is where a click on a crossed box goes; unknown texts go to entry 0.
    EXPECT_EQ(ToggleCheck("未", check), "済");
    EXPECT_EQ(ToggleCheck("済", check), "未");
    EXPECT_EQ(ToggleCheck("保留", check), "未");
    EXPECT_EQ(ToggleCheck("何か", check), "済");
    TCellKind noOne;
    noOne.ItemList = {{"a", 0}, {"b", 2}};
    EXPECT_EQ(ToggleCheck("b", noOne), "b");
    TCellKind empty;
    EXPECT_EQ(ToggleCheck("x", empty), "x");
}

TEST(ComponentStream, BadOrTruncatedDataFailsClearly) {
    for (const char* grid : {"GridA", "ComboGrid1"}) {
        for (const char* prop : {"CellKind", "CellData"}) {
            std::string_view full = kestrel::StoredGridProperty(grid, prop);
            for (size_t n = 0; n < full.size(); ++n) {
                std::string cut(full.substr(0, n));  // own copy: out-of-bounds reads show in ASan
                if (std::string(prop) == "CellKind")
                    EXPECT_THROW(ReadCellKindProperty(cut), StreamError) << grid << " " << n;
                else
                    EXPECT_THROW(ReadCellDataProperty(cut), StreamError) << grid << " " << n;
            }
        }
    }
    auto message = [](const std::string& bytes) {
        try {
            ReadCellKindProperty(bytes);
        } catch (const StreamError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message(Bytes({0x02})), "list expected, found integer at byte 0");
    EXPECT_EQ(message(Bytes({0x01, 0x06, 0x00})), "integer expected, found string at byte 1");
    EXPECT_EQ(message(Bytes({0x01, 0x02, 0x09})), "unknown cell type 9 at byte 1");
    EXPECT_NE(message(Bytes({0x01, 0x02, 0, 0x02, 0, 0x02, 0, 0x02, 0xFF})).find("negative"),
              std::string::npos);
    // A huge length must fail on the length, not try to allocate or read it.
    std::string huge =
        Bytes({0x01, 0x02, 0, 0x02, 0, 0x02, 0, 0x02, 1, 0x0C, 0xFF, 0xFF, 0xFF, 0x7F});
    EXPECT_NE(message(huge).find("truncated string"), std::string::npos);
    huge[9] = 0x12;
    EXPECT_NE(message(huge).find("truncated string"), std::string::npos);
    EXPECT_THROW(ReadCellDataProperty(Bytes({0x01, 0x02, 0xFF, 0x02, 0x00, 0x06, 0x00, 0x00})),
                 StreamError);
    StreamReader r(Bytes({0x07}));
    EXPECT_THROW(r.ReadBoolean(), StreamError);
}
