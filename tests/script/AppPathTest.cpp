#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "script/AppPath.h"
#include "support/TempDir.h"

using namespace kestrel::ruby;
using kestrel::test::TempDir;

namespace {

std::string MakeProgram(const TempDir& dir, const std::string& name, bool executable) {
    std::filesystem::create_directories(std::filesystem::path(dir.File(name)).parent_path());
    const std::string path = dir.WriteBytes(name, "#!/bin/sh\n");
    chmod(path.c_str(), executable ? 0755 : 0644);
    return path;
}

}  // namespace

TEST(AppPath, FindsTheFirstExecutableAlongTheSearchList) {
    TempDir dir;
    MakeProgram(dir, "a/ruby", false);  // not executable: skipped
    const std::string found = MakeProgram(dir, "b/ruby", true);
    MakeProgram(dir, "c/ruby", true);
    MakeProgram(dir, "d/ruby.exe", true);
    std::filesystem::create_directories(dir.File("e/ruby"));  // a folder, not a program
    const std::string list =
        "::" + dir.File("e") + ":" + dir.File("a") + "::" + dir.File("b") + ":" + dir.File("c");

    EXPECT_EQ(FindOnSearchPath("ruby", list), found);
    // Only the file-name part of the name counts.
    EXPECT_EQ(FindOnSearchPath("/somewhere/else/ruby", list), found);
    // No ".exe" is added here, and names are case-sensitive.
    EXPECT_EQ(FindOnSearchPath("ruby", dir.File("d")), "");
    EXPECT_EQ(FindOnSearchPath("RUBY", list), "");
    EXPECT_EQ(FindOnSearchPath("", list), "");
    EXPECT_EQ(FindOnSearchPath("ruby", ""), "");

    // A relative entry still gives a full path.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    EXPECT_EQ(FindOnSearchPath("ruby", "c"), dir.File("c/ruby"));
    std::filesystem::current_path(cwd);

    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (dir.File("c") + ":" + oldPath).c_str(), 1);
    EXPECT_EQ(GetAppPath("ruby"), dir.File("c/ruby"));
    setenv("PATH", oldPath.c_str(), 1);
}

TEST(AppPath, InstallDirectoryGoesLastOnTheSearchList) {
    EXPECT_EQ(InstallDirectory("/Opt/Ruby/Bin/ruby"), "/Opt/Ruby/Bin");  // case kept
    EXPECT_EQ(InstallDirectory("/ruby"), "/");
    EXPECT_EQ(InstallDirectory(""), "");

    EXPECT_EQ(AppendSearchDir("", "/Opt/Ruby/Bin"), "/Opt/Ruby/Bin");
    EXPECT_EQ(AppendSearchDir("/d/lib", "/Opt/Ruby/Bin"), "/d/lib:/Opt/Ruby/Bin");
    EXPECT_EQ(AppendSearchDir("/d/lib:/e/lib", "/usr/bin"), "/d/lib:/e/lib:/usr/bin");
}
