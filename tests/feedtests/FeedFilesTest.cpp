// The files of the folder kestrel-feed replays: only regular files of a size no real one
// reaches are read, what is not read is named as what it is, and a byte-order mark costs no
// issue. Through the replay's own loader and through the server process itself.
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/Codec.h"
#include "feedtests/FeedServerProcess.h"
#include "kestrel-feed/Quotes.h"
#include "support/TempDir.h"
#include "tracking/feed/FeedSocket.h"

using namespace kestrel::feed;
using kestrel::test::TempDir;
namespace fs = std::filesystem;

namespace {

// kabu.txt a FIFO with no writer, std.csv the endless /dev/zero, 銘柄情報.txt saved as UTF-8
// with a mark.
void WriteHostileFolder(const TempDir& dir) {
    ASSERT_EQ(mkfifo(dir.File("kabu.txt").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir.File("std.csv"));
    dir.WriteBytes("銘柄情報.txt",
                   "\xEF\xBB\xBF"
                   "1234,テスト電機\r\n5678,サンプル\r\n");
}

}  // namespace

TEST(FeedFiles, NoFilesAreNamedAsWhatTheyAreAndAMarkCostsNoIssue) {
    TempDir dir;
    WriteHostileFolder(dir);
    QuoteBook book;
    ReplayOptions opt;
    opt.Folder = dir.Path();
    std::vector<std::string> log;
    ReplaySource source(opt, book, log);
    EXPECT_EQ(source.LineCount(), 0u);
    EXPECT_EQ(log, (std::vector<std::string>{
                       dir.File("kabu.txt") + ": is a FIFO, not a file",
                       dir.File("std.csv") + ": is a device, not a file",
                       dir.File("銘柄情報.txt") +
                           ": starts with a UTF-8 byte-order mark where Shift-JIS is expected: "
                           "read as UTF-8"}));
    EXPECT_EQ(book.Lookup("1234.T").Ref.Name, "テスト電機") << "the first issue is kept";
    EXPECT_EQ(book.Lookup("5678.T").Ref.Name, "サンプル");

    // A folder in a file's place, a file larger than any replay, a mark before Shift-JIS.
    TempDir other;
    fs::create_directory(other.File("kabu.txt"));
    other.WriteBytes("std.csv", "");
    fs::resize_file(other.File("std.csv"), (uint64_t{8} << 30) + 1);  // sparse
    other.WriteBytes("銘柄情報.txt", "\xEF\xBB\xBF" + kestrel::Utf8ToCp932("1234,テスト電機\r\n"));
    opt.Folder = other.Path();
    log.clear();
    QuoteBook book2;
    ReplaySource source2(opt, book2, log);
    EXPECT_EQ(log, (std::vector<std::string>{
                       other.File("kabu.txt") + ": is a folder, not a file",
                       other.File("std.csv") +
                           ": is 8589934593 bytes, more than the 8 GiB such a file may be",
                       other.File("銘柄情報.txt") +
                           ": starts with a UTF-8 byte-order mark where Shift-JIS is expected, "
                           "but the rest is not UTF-8: read as Shift-JIS"}));
    EXPECT_EQ(book2.Lookup("1234.T").Ref.Name, "テスト電機");
}

// The server itself starts on such a folder (a wait on the FIFO would keep its socket shut),
// says each file in its log and serves the names it has.
TEST(FeedFiles, TheServerStartsOnAFolderOfNoFilesAndSaysWhy) {
    TempDir dir;
    WriteHostileFolder(dir);
    const std::string sock = dir.File("RSS.sock");
    kestrel::test::FeedServerProcess server(sock, {"--folder", dir.Path(), "--manual"},
                                            dir.File("feed.log"));
    ASSERT_TRUE(server.Start()) << server.Log();
    FeedControl c;
    std::string err;
    ASSERT_TRUE(c.Open(sock, err)) << err;
    Message reply;
    ASSERT_TRUE(c.Call(Verb::Conn, {"1234.T"}, reply, 2000));
    ASSERT_TRUE(c.Call(Verb::Req, {"1234.T", "銘柄名称"}, reply, 2000));
    EXPECT_EQ(kestrel::Cp932ToUtf8(reply.Args[0]), "テスト電機");
    EXPECT_EQ(server.Stop(), 0);
    const std::string log = server.Log();
    for (const std::string& said :
         {dir.File("kabu.txt") + ": is a FIFO, not a file",
          dir.File("std.csv") + ": is a device, not a file", std::string("byte-order mark")})
        EXPECT_NE(log.find(said), std::string::npos) << said << "\n" << log;
}
