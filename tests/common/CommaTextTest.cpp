#include <gtest/gtest.h>

#include "common/CommaText.h"

using kestrel::JoinCommaText;
using kestrel::QuoteCommaColumn;
using kestrel::SplitCommaText;
using V = std::vector<std::string>;

TEST(CommaText, BlanksSeparateLikeCommasUnlessQuoted) {
    EXPECT_EQ(SplitCommaText("ab cd,e"), (V{"ab", "cd", "e"}));
    EXPECT_EQ(SplitCommaText("1234,ABC Corp,100"), (V{"1234", "ABC", "Corp", "100"}));
    EXPECT_EQ(SplitCommaText("1234,\"ABC Corp\",100"), (V{"1234", "ABC Corp", "100"}));
    EXPECT_EQ(SplitCommaText("a\tb"), (V{"a", "b"}));
    EXPECT_EQ(SplitCommaText("  \t lead, trail  "), (V{"lead", "trail"}));
}

TEST(CommaText, EmptyColumnsAndTheTrailingComma) {
    EXPECT_EQ(SplitCommaText(""), V{});
    EXPECT_EQ(SplitCommaText("   "), V{});
    EXPECT_EQ(SplitCommaText(","), (V{"", ""}));
    EXPECT_EQ(SplitCommaText("a,,b"), (V{"a", "", "b"}));
    EXPECT_EQ(SplitCommaText("a,"), (V{"a", ""}));
    // Only a comma that is the very last character adds the empty column.
    EXPECT_EQ(SplitCommaText("a, "), V{"a"});
    EXPECT_EQ(SplitCommaText(",a"), (V{"", "a"}));
    // Blanks after a comma are skipped, so they do not make an empty column.
    EXPECT_EQ(SplitCommaText("a,  ,b"), (V{"a", "", "b"}));
    EXPECT_EQ(SplitCommaText("a , b"), (V{"a", "b"}));
}

TEST(CommaText, QuotedColumns) {
    EXPECT_EQ(SplitCommaText("\"a\"\"b\",c"), (V{"a\"b", "c"}));
    EXPECT_EQ(SplitCommaText("\"\",x"), (V{"", "x"}));
    EXPECT_EQ(SplitCommaText("\"a, b\""), V{"a, b"});
    // Text right after the closing quote begins the next column.
    EXPECT_EQ(SplitCommaText("\"ab\"cd,e"), (V{"ab", "cd", "e"}));
    // A quote inside an unquoted column is an ordinary character.
    EXPECT_EQ(SplitCommaText("ab\"cd,e"), (V{"ab\"cd", "e"}));
    // An unterminated quote runs to the end of the line and loses nothing.
    EXPECT_EQ(SplitCommaText("x,\"abc"), (V{"x", "abc"}));
    EXPECT_EQ(SplitCommaText("a\0b,c"), V{"a"});
}

TEST(CommaText, ViewsOfUndoneQuotesStayValidWhileTheLineIsSplit) {
    // Each doubled quote is undone into the scratch text; earlier views into it must survive
    // the later ones, and a scratch text already in use must not leak into the next line.
    std::vector<std::string_view> cols;
    std::string scratch = "stale";
    SplitCommaText("\"a\"\"b\",\"c\"\"\"\"d\",plain,\"q\"\"\"", cols, scratch);
    ASSERT_EQ(cols.size(), 4u);
    EXPECT_EQ(cols[0], "a\"b");
    EXPECT_EQ(cols[1], "c\"\"d");
    EXPECT_EQ(cols[2], "plain");
    EXPECT_EQ(cols[3], "q\"");
    SplitCommaText("x,\"y\"", cols, scratch);
    EXPECT_EQ(cols, (std::vector<std::string_view>{"x", "y"}));
}

TEST(CommaText, MultiByteCharactersAreSteppedOverWhole) {
    EXPECT_EQ(SplitCommaText("1234,ソニー,100,信用,信用,貸借,東証,大証,名証"),
              (V{"1234", "ソニー", "100", "信用", "信用", "貸借", "東証", "大証", "名証"}));
    // Ideographic space (U+3000) is not a blank of the rule.
    EXPECT_EQ(SplitCommaText("東　京,x"), (V{"東　京", "x"}));
}

TEST(CommaText, QuotingIsTheInverseOfSplitting) {
    EXPECT_EQ(QuoteCommaColumn("plain"), "plain");
    EXPECT_EQ(QuoteCommaColumn(""), "");
    EXPECT_EQ(QuoteCommaColumn(" "), "\" \"");
    EXPECT_EQ(QuoteCommaColumn("a\"b"), "\"a\"\"b\"");
    EXPECT_EQ(QuoteCommaColumn("a,b"), "\"a,b\"");
    EXPECT_EQ(QuoteCommaColumn("日本 ハム"), "\"日本 ハム\"");
    V cols{"1234.T", " ", "日本\"ハム\", 株", "", "x\ty", "2.5"};
    EXPECT_EQ(SplitCommaText(JoinCommaText(cols)), cols);
}
