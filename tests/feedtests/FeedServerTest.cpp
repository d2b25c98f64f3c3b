// kestrel-feed as a process, spoken to over its socket by a plain client.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Codec.h"
#include "FeedServerProcess.h"
#include "FeedSocket.h"
#include "Quotes.h"
#include "TempDir.h"

using namespace kestrel::feed;
using kestrel::test::FeedServerProcess;
using kestrel::test::TempDir;

namespace {

void WriteFolder(const TempDir& dir) {
    dir.WriteCp932("銘柄情報.txt", "1234,テスト電機,100,信用,信用,貸借,東証\r\n5678,サンプル,1\r\n"
                                   "1234,後の行,1\r\n");
    dir.WriteCp932("std.csv", "1234,貸借,1000,1010,0,1.25,1500\r\n1234,信用,1,1,0,1,1\r\n");
    dir.WriteCp932("kabu.txt",
                   "09:00:05,1234,1005,100\r\n"
                   "9:01,5678,abc,200\r\n"
                   "09:02:30,1234,1020,300\r\n"
                   "bad,1234,1030,400\r\n");
}

std::string Req(FeedControl& c, const std::string& topic, const std::string& item) {
    Message reply;
    if (!c.Call(Verb::Req, {topic, item}, reply, 2000)) return "<" + c.LastError + ">";
    return kestrel::Cp932ToUtf8(reply.Args[0]);
}

struct Rig {
    TempDir dir;
    std::string sock = dir.File("RSS.sock");
    std::unique_ptr<FeedServerProcess> server;
    bool Start(std::vector<std::string> options) {
        server = std::make_unique<FeedServerProcess>(sock, std::move(options), dir.File("feed.log"));
        return server->Start();
    }
    FeedControl Open() {
        FeedControl c;
        std::string err;
        EXPECT_TRUE(c.Open(sock, err)) << err;
        return c;
    }
};

// Everything the server answers on a raw connection, read until it has been quiet a while.
std::string Drain(int fd, int quietMs = 200) {
    std::string all;
    char buf[65536];
    while (WaitFd(fd, false, quietMs)) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        all.append(buf, static_cast<size_t>(n));
    }
    return all;
}

}  // namespace

TEST(FeedServer, ServesTheElevenItemsOfARecordedFolderLineByLine) {
    Rig rig;
    WriteFolder(rig.dir);
    ASSERT_TRUE(rig.Start({"--manual", "--folder", rig.dir.Path()}));
    FeedControl c = rig.Open();
    Message reply;
    ASSERT_TRUE(c.Call(Verb::Conn, {"1234.T"}, reply, 2000));
    ASSERT_TRUE(c.Call(Verb::Conn, {"5678"}, reply, 2000));
    EXPECT_EQ(Req(c, "1234.OS", "現在値"), "<topic not connected>");

    // Before the first trade: no time, no price, but the reference figures.
    EXPECT_EQ(Req(c, "1234.T", "現在値時刻"), "  :  ");
    EXPECT_EQ(Req(c, "1234.T", "現在値"), "");
    EXPECT_EQ(Req(c, "1234.T", "出来高"), "0");
    EXPECT_EQ(Req(c, "1234.T", "出来高加重平均"), "");
    EXPECT_EQ(Req(c, "1234.T", "前日比率"), "");
    EXPECT_EQ(Req(c, "1234.T", "銘柄名称"), "テスト電機");  // the first line of a code wins
    EXPECT_EQ(Req(c, "1234.T", "信用貸借区分"), "貸借");
    EXPECT_EQ(Req(c, "1234.T", "前日終値"), "1000");
    EXPECT_EQ(Req(c, "1234.T", "始値"), "1010");
    EXPECT_EQ(Req(c, "1234.T", "年初来高値"), "1500");
    EXPECT_EQ(Req(c, "1234.T", "貸借倍率"), "1.25");
    EXPECT_EQ(Req(c, "1234.T", "気配"), "<unknown item>");
    // All eleven at once, in the order of the item list.
    ASSERT_TRUE(c.Call(Verb::All, {"1234.T"}, reply, 2000));
    ASSERT_EQ(reply.Kind, Verb::Vals);
    EXPECT_EQ(reply.Args[2], "  :  ");
    EXPECT_EQ(kestrel::Cp932ToUtf8(reply.Args[5]), "テスト電機");
    EXPECT_FALSE(c.Call(Verb::All, {"9999"}, reply, 2000));

    int delivered = 0;
    ASSERT_TRUE(c.Step(1, delivered));
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(Req(c, "1234.T", "現在値時刻"), "09:00:05");
    EXPECT_EQ(Req(c, "1234.T", "現在値"), "1005");
    EXPECT_EQ(Req(c, "1234.T", "出来高"), "100");
    EXPECT_EQ(Req(c, "1234.T", "前日比率"), "0.5");
    EXPECT_EQ(Req(c, "1234.T", "出来高加重平均"), "1005.00");

    // An issue without reference figures; a price that is no integer counts as 0.
    ASSERT_TRUE(c.Step(1, delivered));
    EXPECT_EQ(Req(c, "5678", "現在値時刻"), "09:01");
    EXPECT_EQ(Req(c, "5678", "現在値"), "0");
    EXPECT_EQ(Req(c, "5678", "銘柄名称"), "サンプル");
    EXPECT_EQ(Req(c, "5678", "前日終値"), "");
    EXPECT_EQ(Req(c, "5678", "前日比率"), "0");

    ASSERT_TRUE(c.Step(1, delivered));
    EXPECT_EQ(Req(c, "1234.T", "現在値時刻"), "09:02:30");
    EXPECT_EQ(Req(c, "1234.T", "出来高加重平均"), "1015.00");  // (1005x100 + 1020x200) / 300
    // A time that is no time goes out as recorded, for the monitor to refuse.
    ASSERT_TRUE(c.Step(5, delivered));
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(Req(c, "1234.T", "現在値時刻"), "bad");
    ASSERT_TRUE(c.Step(5, delivered));
    EXPECT_EQ(delivered, 0);  // the end of the recording

    c.Close();
    EXPECT_EQ(rig.server->Stop(), 0);
    struct stat st {};
    EXPECT_NE(lstat(rig.sock.c_str(), &st), 0) << "socket left behind";
    std::string log = rig.server->Log();
    EXPECT_NE(log.find("client 1 connected"), std::string::npos) << log;
    EXPECT_NE(log.find("client 1 disconnected"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped"), std::string::npos) << log;
}

TEST(FeedServer, NoticesGoToAdvisersOfTheIssueOnly) {
    Rig rig;
    ASSERT_TRUE(rig.Start({"--manual", "--simulate", "3", "--seed", "5"}));
    FeedControl stepper = rig.Open(), a = rig.Open(), b = rig.Open();
    Message reply;
    for (const char* t : {"1000.T", "1001.T", "1002.T"}) ASSERT_TRUE(a.Call(Verb::Conn, {t}, reply, 2000));
    ASSERT_TRUE(b.Call(Verb::Conn, {"1000.OS"}, reply, 2000));
    for (const char* t : {"1000.T", "1001.T", "1002.T"}) ASSERT_TRUE(a.Call(Verb::Adv, {t, "出来高"}, reply, 2000));
    ASSERT_TRUE(b.Call(Verb::Adv, {"1000.OS", "現在値"}, reply, 2000));
    EXPECT_FALSE(b.Call(Verb::Adv, {"1000.OS", "気配"}, reply, 2000));
    EXPECT_FALSE(b.Call(Verb::Adv, {"1001.T", "出来高"}, reply, 2000));  // not connected

    int delivered = 0;
    ASSERT_TRUE(stepper.Step(300, delivered));
    EXPECT_EQ(delivered, 300);
    ASSERT_TRUE(a.Ping());
    ASSERT_TRUE(b.Ping());
    // Notices wait merged, one per item, so a busy feed never buries a client.
    EXPECT_GE(a.Notes.size(), 1u);
    EXPECT_LE(a.Notes.size(), 3u * 300);
    for (const auto& n : a.Notes) EXPECT_EQ(n.substr(6), "\t出来高") << n;
    ASSERT_FALSE(b.Notes.empty());
    for (const auto& n : b.Notes) EXPECT_EQ(n, "1000.OS\t現在値");
    // Simulated values look like quotes, and the same seed gives the same market.
    std::string t = Req(a, "1000.T", "現在値時刻"), p = Req(a, "1001.T", "現在値");
    EXPECT_EQ(t.substr(0, 3), "09:");
    EXPECT_GT(std::stoi(p), 0);
    EXPECT_EQ(Req(a, "1002.T", "銘柄名称"), "模擬1002");

    Rig twin;
    ASSERT_TRUE(twin.Start({"--manual", "--simulate", "3", "--seed", "5"}));
    FeedControl c = twin.Open();
    ASSERT_TRUE(c.Call(Verb::Conn, {"1001.T"}, reply, 2000));
    ASSERT_TRUE(c.Step(300, delivered));
    EXPECT_EQ(Req(c, "1001.T", "現在値"), p);

    // Unadvised, no more notices.
    b.Notes.clear();
    ASSERT_TRUE(b.Call(Verb::Unadv, {"1000.OS", "現在値"}, reply, 2000));
    ASSERT_TRUE(stepper.Step(100, delivered));
    ASSERT_TRUE(b.Ping());
    EXPECT_TRUE(b.Notes.empty());
}

TEST(FeedServer, SurvivesGarbageFloodsAndVanishingClients) {
    Rig rig;
    ASSERT_TRUE(rig.Start({"--manual", "--simulate", "2"}));
    std::string err;
    int fd = ConnectUnix(rig.sock, err);
    ASSERT_GE(fd, 0) << err;
    std::string junk = "garbage\n";
    junk += std::string("\0\1\2\xff\xfe\t\t\n", 8);
    junk += "\n";
    junk += "REQ\t9\t1000.T\t出来高\n";                   // not connected
    junk += "OK\t3\n";                                   // not the client's to send
    junk += "STEP\t4\t0\n";
    junk += std::string(200'000, 'A') + "\n";            // far beyond a line
    junk += "CONN\t5\t" + std::string(300, 'T') + "\n";  // topic too long
    junk += "PING\t6\n";
    ASSERT_TRUE(WriteAll(fd, junk, 5000));
    std::string answers = Drain(fd);
    EXPECT_NE(answers.find("ERR\t0\tunknown message\n"), std::string::npos) << answers;
    EXPECT_NE(answers.find("ERR\t0\tempty message\n"), std::string::npos) << answers;
    EXPECT_NE(answers.find("ERR\t9\ttopic not connected\n"), std::string::npos);
    EXPECT_NE(answers.find("ERR\t3\tnot a request\n"), std::string::npos);
    EXPECT_NE(answers.find("ERR\t4\tstep count"), std::string::npos);
    EXPECT_NE(answers.find("ERR\t0\tmessage too long\n"), std::string::npos);
    EXPECT_NE(answers.find("ERR\t5\ttopic or item name too long"), std::string::npos);
    EXPECT_NE(answers.find("OK\t6\n"), std::string::npos) << "the connection stays usable";
    close(fd);

    // Clients that vanish mid-line, mid-request or while advised leave the server serving.
    for (int i = 0; i < 20; ++i) {
        int v = ConnectUnix(rig.sock, err);
        ASSERT_GE(v, 0);
        std::string half = "CONN\t1\t1000.T\nADV\t2\t1000.T\t" + kestrel::Utf8ToCp932("出来高") +
                           "\nREQ\t3\t10";
        ASSERT_TRUE(WriteAll(v, half, 1000));
        if (i % 2) shutdown(v, SHUT_RDWR);
        close(v);
    }
    FeedControl c = rig.Open();
    int delivered = 0;
    ASSERT_TRUE(c.Step(50, delivered));  // notices for the vanished advisers go nowhere
    ASSERT_TRUE(c.Ping());
    EXPECT_EQ(rig.server->Stop(), 0);
    std::string log = rig.server->Log();
    EXPECT_NE(log.find("client 21 disconnected"), std::string::npos) << log;
}

TEST(FeedServer, OneServerPerSocketAndAStaleSocketIsReplaced) {
    Rig rig;
    ASSERT_TRUE(rig.Start({"--manual", "--simulate", "1"}));
    FeedServerProcess second(rig.sock, {"--manual", "--simulate", "1"}, rig.dir.File("second.log"));
    second.Start();  // finds the first one listening and gives up
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.Log().find("already listening"), std::string::npos) << second.Log();

    // A server killed hard leaves its socket file; the next one takes the place over.
    rig.server->Kill();
    struct stat st {};
    ASSERT_EQ(lstat(rig.sock.c_str(), &st), 0);
    FeedServerProcess third(rig.sock, {"--manual"}, rig.dir.File("third.log"));
    ASSERT_TRUE(third.Start());
    EXPECT_EQ(third.Stop(), 0);
    rig.dir.WriteBytes("not-a-socket", "x");
    FeedServerProcess fourth(rig.dir.File("not-a-socket"), {"--manual"}, rig.dir.File("4.log"));
    EXPECT_FALSE(fourth.Start());
    EXPECT_EQ(fourth.Stop(), 1);  // never deletes a file that is not a socket
    EXPECT_EQ(rig.dir.ReadBytes("not-a-socket"), "x");
}

// Figures at the very ends of their range, as a damaged recording may hold them, are served as
// the arithmetic gives them: no overflow (the sanitizer build stops on one).
TEST(QuoteBook, FiguresAtTheEndsOfTheirRangeAddUpWithoutOverflow) {
    QuoteBook book;
    ReplayOptions opt;
    ReplaySource source(opt, book,
                        {"09:00:00,1301,100,-2147483648", "09:00:01,1301,100,5",
                         "09:00:02,1302,-2147483648,10"},
                        {"1302,貸借,1000,1000,0,1,1000"}, {});
    std::string code, value;
    ASSERT_TRUE(source.Next(book, code));
    ASSERT_TRUE(source.Next(book, code));
    ASSERT_TRUE(ItemValue(book.Lookup("1301"), "出来高加重平均", value));
    EXPECT_EQ(value, "42949673060.00");  // 100 x 2147483653 shares over a volume of 5
    ASSERT_TRUE(source.Next(book, code));
    ASSERT_TRUE(ItemValue(book.Lookup("1302"), "前日比率", value));
    EXPECT_EQ(value, "-214748464.8");
}
