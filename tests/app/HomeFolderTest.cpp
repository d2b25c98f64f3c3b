// The trader's folder of a monitor started from a menu: made once from the demo folder, never
// written to again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "kestrel/HomeFolder.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using kestrel::MakeHomeFromDemo;

namespace {

void Write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int Entries(const fs::path& dir) {
    return static_cast<int>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

}  // namespace

TEST(HomeFolder, FirstStartCopiesTheDemoAndLaterStartsLeaveTheFolderAlone) {
    kestrel::test::TempDir tmp;
    const fs::path demo = fs::path(tmp.Path()) / "share" / "demo";
    Write(demo / "KESTREL.INI", "[DEBUG]\r\nflg=1\r\n");
    Write(demo / "\xE7\x9B\xA3\xE8\xA6\x96\xE9\x8A\x98\xE6\x9F\x84.txt", "1301.T\r\n");
    Write(demo / "log" / ".keep", "");
    const fs::path home = fs::path(tmp.Path()) / "docs" / "Kestrel";

    bool made = false;
    std::string error;
    ASSERT_TRUE(MakeHomeFromDemo(home, demo, made, error)) << error;
    EXPECT_TRUE(made);
    EXPECT_EQ(Read(home / "KESTREL.INI"), "[DEBUG]\r\nflg=1\r\n");
    EXPECT_EQ(Read(home / "\xE7\x9B\xA3\xE8\xA6\x96\xE9\x8A\x98\xE6\x9F\x84.txt"), "1301.T\r\n");
    ASSERT_TRUE(fs::is_directory(home / "log"));
    EXPECT_EQ(Entries(home / "log"), 0);
    // Nothing of the copy is left beside the folder.
    EXPECT_EQ(Entries(home.parent_path()), 1);

    // The trader's own settings survive every later start, even with a changed demo.
    Write(home / "KESTREL.INI", "[PARA]\r\nrate=3.0\r\n");
    fs::remove(home / "log");
    Write(demo / "KESTREL.INI", "[DEBUG]\r\nflg=0\r\n");
    ASSERT_TRUE(MakeHomeFromDemo(home, demo, made, error)) << error;
    EXPECT_FALSE(made);
    EXPECT_EQ(Read(home / "KESTREL.INI"), "[PARA]\r\nrate=3.0\r\n");
    EXPECT_FALSE(fs::exists(home / "log"));
}

TEST(HomeFolder, WhatIsThereAlreadyOrCannotBeMadeIsNeverTakenOver) {
    kestrel::test::TempDir tmp;
    const fs::path demo = fs::path(tmp.Path()) / "demo";
    Write(demo / "KESTREL.INI", "x");
    bool made = true;
    std::string error;

    // A link that leads nowhere is the trader's, not a folder to make.
    const fs::path linked = fs::path(tmp.Path()) / "linked";
    fs::create_symlink(fs::path(tmp.Path()) / "nowhere", linked);
    ASSERT_TRUE(MakeHomeFromDemo(linked, demo, made, error)) << error;
    EXPECT_FALSE(made);
    EXPECT_FALSE(fs::exists(fs::path(tmp.Path()) / "nowhere"));

    // No demo: an error naming it, and no half folder.
    const fs::path home = fs::path(tmp.Path()) / "home" / "Kestrel";
    EXPECT_FALSE(MakeHomeFromDemo(home, fs::path(tmp.Path()) / "missing", made, error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(home));

    // A parent that is a file: said, nothing made.
    Write(fs::path(tmp.Path()) / "file", "");
    error.clear();
    EXPECT_FALSE(MakeHomeFromDemo(fs::path(tmp.Path()) / "file" / "Kestrel", demo, made, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(made);
}

TEST(HomeFolder, TheFolderComesFromKestrelHomeElseTheHomeFolder) {
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    std::string error;
    setenv("KESTREL_HOME", "/srv/trader/kestrel", 1);
    EXPECT_EQ(kestrel::TraderHomeFolder(error), fs::path("/srv/trader/kestrel"));
    unsetenv("KESTREL_HOME");
    setenv("HOME", "/home/trader", 1);
    EXPECT_EQ(kestrel::TraderHomeFolder(error), fs::path("/home/trader/Kestrel"));
    unsetenv("HOME");
    EXPECT_TRUE(kestrel::TraderHomeFolder(error).empty());
    EXPECT_NE(error.find("HOME"), std::string::npos);
    if (oldHome) setenv("HOME", savedHome.c_str(), 1);
}
