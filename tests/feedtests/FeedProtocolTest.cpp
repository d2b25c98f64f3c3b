// The wire format and the socket rules, without any server.
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "tracking/feed/FeedProtocol.h"
#include "tracking/feed/FeedSocket.h"

using namespace kestrel::feed;

TEST(FeedProtocol, ParsesEveryVerbAndRefusesMalformedLines) {
    Message m;
    std::string err;
    ASSERT_TRUE(ParseMessage("REQ\t7\t1234.T\titem\r", m, err));
    EXPECT_EQ(m.Kind, Verb::Req);
    EXPECT_EQ(m.Id, 7u);
    EXPECT_EQ(m.Args, (std::vector<std::string>{"1234.T", "item"}));
    // A value keeps its blanks, an empty value is a value.
    ASSERT_TRUE(ParseMessage("VAL\t4294967295\t  :  ", m, err));
    EXPECT_EQ(m.Id, 4294967295u);
    EXPECT_EQ(m.Args[0], "  :  ");
    ASSERT_TRUE(ParseMessage("VAL\t3\t", m, err));
    EXPECT_EQ(m.Args[0], "");
    ASSERT_TRUE(ParseMessage("NOTE\t1234.T\titem", m, err));
    EXPECT_EQ(m.Kind, Verb::Note);
    ASSERT_TRUE(ParseMessage("OK\t9", m, err));
    ASSERT_TRUE(ParseMessage("OK\t9\t12", m, err));
    EXPECT_EQ(m.Args[0], "12");
    // The server's news: no id, one text of any bytes but the framing's.
    ASSERT_TRUE(ParseMessage("INFO\t\x93\xfa\x96\x7b 1234", m, err));
    EXPECT_EQ(m.Kind, Verb::Info);
    EXPECT_EQ(m.Args, (std::vector<std::string>{"\x93\xfa\x96\x7b 1234"}));
    EXPECT_FALSE(ParseMessage("INFO", m, err));
    EXPECT_EQ(FormatMessage(Verb::Info, 0, {"a\tb"}), "INFO\ta b\n");

    EXPECT_FALSE(ParseMessage("", m, err));
    EXPECT_FALSE(ParseMessage("HELLO\t1", m, err));
    EXPECT_FALSE(ParseMessage("REQ\t1\t1234.T", m, err));              // item missing
    EXPECT_FALSE(ParseMessage("REQ\t1\t1234.T\ta\tb", m, err));        // one field too many
    EXPECT_FALSE(ParseMessage("REQ\tx\t1234.T\ta", m, err));           // id not a number
    EXPECT_FALSE(ParseMessage("REQ\t4294967296\t1234.T\ta", m, err));  // id beyond 32 bits
    EXPECT_FALSE(ParseMessage("REQ\t-1\t1234.T\ta", m, err));
    EXPECT_FALSE(ParseMessage(std::string("CONN\t1\t12\0"
                                          "34",
                                          11),
                              m, err));  // NUL in a name
    EXPECT_FALSE(ParseMessage("CONN\t1\t" + std::string(kMaxNameBytes + 1, 'a'), m, err));
    // The id of a refused message is still known, so the answer can name it.
    EXPECT_FALSE(ParseMessage("BOGUS\t42", m, err));
    EXPECT_EQ(m.Id, 42u);
    EXPECT_EQ(err, "unknown message");
}

TEST(FeedProtocol, FormattedMessagesReadBackAndNeverBreakTheFraming) {
    Message m, back;
    std::string err;
    m.Kind = Verb::Val;
    m.Id = 12;
    m.Args = {"a\tb\nc\rd"};
    std::string line = FormatMessage(m);
    ASSERT_EQ(line.back(), '\n');
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    ASSERT_TRUE(ParseMessage(line.substr(0, line.size() - 1), back, err)) << err;
    EXPECT_EQ(back.Args[0], "a b c d");
    // An oversized value is cut so the line stays within what a reader accepts.
    m.Args = {std::string(3 * kMaxLineBytes, 'x')};
    line = FormatMessage(m);
    EXPECT_EQ(line.size(), kMaxLineBytes + 1);
    EXPECT_EQ(FormatMessage(Verb::Note, 0, {"1234.T", "v"}), "NOTE\t1234.T\tv\n");
}

TEST(FeedProtocol, LineReaderSplitsJoinsAndDropsOverlongLines) {
    LineReader r;
    std::string line;
    r.Append("PI", 2);
    EXPECT_EQ(r.Next(line), LineReader::Result::None);
    r.Append("NG\t1\nOK", 7);
    ASSERT_EQ(r.Next(line), LineReader::Result::Line);
    EXPECT_EQ(line, "PING\t1");
    EXPECT_EQ(r.Next(line), LineReader::Result::None);
    r.Append("\t2\n", 3);
    ASSERT_EQ(r.Next(line), LineReader::Result::Line);
    EXPECT_EQ(line, "OK\t2");

    // An overlong line, fed in pieces, is reported once and never held whole.
    std::string chunk(1000, 'z');
    for (int i = 0; i < 100; ++i) r.Append(chunk.data(), chunk.size());
    EXPECT_EQ(r.Next(line), LineReader::Result::Overflow);
    EXPECT_EQ(r.Next(line), LineReader::Result::None);
    r.Append("still the long one\nPING\t3\n", 26);
    ASSERT_EQ(r.Next(line), LineReader::Result::Line);
    EXPECT_EQ(line, "PING\t3");
    // A line of exactly the limit passes, one byte more does not.
    std::string limit(kMaxLineBytes, 'y');
    r.Append((limit + "\n" + limit + "y\n").data(), 2 * kMaxLineBytes + 3);
    EXPECT_EQ(r.Next(line), LineReader::Result::Line);
    EXPECT_EQ(line.size(), kMaxLineBytes);
    EXPECT_EQ(r.Next(line), LineReader::Result::Overflow);
    EXPECT_EQ(r.Next(line), LineReader::Result::None);
}

TEST(FeedSocket, PathRuleAndAPrivateFolder) {
    kestrel::test::TempDir tmp;
    std::string saved = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    setenv("XDG_RUNTIME_DIR", tmp.Path().c_str(), 1);
    EXPECT_EQ(FeedSocketDir(), tmp.Path() + "/kestrel");
    EXPECT_EQ(FeedSocketPath("RSS"), tmp.Path() + "/kestrel/RSS.sock");
    // A service name can never walk out of the folder.
    EXPECT_EQ(FeedSocketPath("../x y"), tmp.Path() + "/kestrel/..%2Fx%20y.sock");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(FeedSocketDir(), "/tmp/kestrel-" + std::to_string(geteuid()));
    if (!saved.empty()) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);

    std::string err;
    std::string dir = tmp.Path() + "/kestrel";
    EXPECT_FALSE(CheckSocketDir(dir, err));  // not there yet
    ASSERT_TRUE(PrepareSocketDir(dir, err)) << err;
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A folder others can enter is closed by the server and refused by a client.
    chmod(dir.c_str(), 0755);
    EXPECT_FALSE(CheckSocketDir(dir, err));
    EXPECT_TRUE(PrepareSocketDir(dir, err));
    EXPECT_TRUE(CheckSocketDir(dir, err));
    // A symbolic link in its place could lead anywhere.
    std::string link = tmp.Path() + "/link";
    ASSERT_EQ(symlink(dir.c_str(), link.c_str()), 0);
    EXPECT_FALSE(PrepareSocketDir(link, err));
    EXPECT_FALSE(CheckSocketDir(link, err));
    // A plain file is no folder.
    tmp.WriteBytes("file", "x");
    EXPECT_FALSE(PrepareSocketDir(tmp.File("file"), err));
}
