#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <vector>

#include "common/FileSaveOps.h"
#include "common/TextFile.h"
#include "support/TempDir.h"

using namespace kestrel;
using kestrel::test::TempDir;

namespace {

std::set<std::string> Names(const TempDir& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        names.insert(e.path().filename().string());
    return names;
}

bool IsLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

// The system's own steps, with the one named failing with `err`.
struct FailingOps : FileSaveOps {
    FailingOps(std::string step, int err)
        : Step(std::move(step)), Err(err, std::generic_category()) {}
    std::error_code CreateNew(const std::string& path, const std::string& modeOf,
                              int& fd) override {
        return Step == "create" ? Err : FileSaveOps::CreateNew(path, modeOf, fd);
    }
    std::error_code Write(int fd, const char* data, size_t size, size_t& written) override {
        // "short": the disk fills up half way, as it does: one short write, then the error.
        if (Step == "write" || (Step == "short" && Writes++ > 0)) return Err;
        if (Step == "short") size /= 2;
        return FileSaveOps::Write(fd, data, std::min(size, Piece), written);
    }
    std::error_code Sync(int fd) override { return Step == "sync" ? Err : FileSaveOps::Sync(fd); }
    std::error_code Close(int fd) override {
        std::error_code ec = FileSaveOps::Close(fd);
        return Step == "close" ? Err : ec;
    }
    std::error_code Rename(const std::string& from, const std::string& to) override {
        return Step == "rename" ? Err : FileSaveOps::Rename(from, to);
    }
    std::string Step;
    std::error_code Err;
    size_t Piece = SIZE_MAX;
    int Writes = 0;
};

}  // namespace

TEST(SaveFile, PlantedLinksAreNeverFollowedAndTheSaveStillSucceeds) {
    TempDir dir, elsewhere;
    std::string victim = elsewhere.WriteBytes("victim", "precious");
    std::string target = dir.WriteBytes("a.txt", "old");
    // The name earlier builds wrote to, guessable from the process id.
    std::string predictable = target + ".tmp" + std::to_string(getpid());
    ASSERT_EQ(symlink(victim.c_str(), predictable.c_str()), 0);
    // And a link laid at exactly the name the save picks, as if that had been guessed too.
    struct Planting : FileSaveOps {
        std::error_code CreateNew(const std::string& path, const std::string& modeOf,
                                  int& fd) override {
            Tried.push_back(path);
            if (Tried.size() == 1 && symlink(Victim.c_str(), path.c_str()) != 0)
                return {errno, std::generic_category()};
            return FileSaveOps::CreateNew(path, modeOf, fd);
        }
        std::string Victim;
        std::vector<std::string> Tried;
    } planting;
    planting.Victim = victim;

    WriteFileBytes(target, "new", planting);
    EXPECT_EQ(elsewhere.ReadBytes("victim"), "precious");
    EXPECT_EQ(dir.ReadBytes("a.txt"), "new");
    EXPECT_FALSE(IsLink(target));
    ASSERT_EQ(planting.Tried.size(), 2u);  // gave up the taken name for another
    EXPECT_EQ(planting.Tried[0].rfind(target + ".tmp", 0), 0u);
    EXPECT_NE(planting.Tried[0], planting.Tried[1]);
    EXPECT_FALSE(IsLink(predictable));       // a link of our old naming goes, as a link
    EXPECT_TRUE(IsLink(planting.Tried[0]));  // ours by name, but of a process still running
    EXPECT_EQ(elsewhere.ReadBytes("victim"), "precious");
}

TEST(SaveFile, TemporariesAKilledSaveLeftGoAtTheNextSaveAndNothingElseDoes) {
    TempDir dir, elsewhere;
    std::string victim = elsewhere.WriteBytes("victim", "precious");
    std::string target = dir.WriteBytes("a.txt", "old");
    // Ours, stale: the old naming, and the current one of a process long gone (an id no
    // system hands out), as a file and as a link.
    dir.WriteBytes("a.txt.tmp9789", "half");
    dir.WriteBytes("a.txt.tmp99999999-0123456789ab", "half");
    ASSERT_EQ(symlink(victim.c_str(), dir.File("a.txt.tmp99999998-00000000ffff").c_str()), 0);
    // Not to be touched: a save of ours still running, names that only look like ours,
    // another file's temporary, and what is not a regular file.
    std::string running = "a.txt.tmp" + std::to_string(getpid()) + "-0123456789ab";
    std::set<std::string> kept = {"a.txt",       running,          "a.txt.tmp",
                                  "a.txt.tmpx1", "a.txt.tmp1-abc", "a.txt.tmp1-0123456789AB",
                                  "xa.txt.tmp1", "b.txt.tmp1",     "a.txt.tmp55",
                                  "a.txt.tmp56"};
    for (const auto& name : kept)
        if (name != "a.txt" && name != "a.txt.tmp55" && name != "a.txt.tmp56")
            dir.WriteBytes(name, "x");
    ASSERT_EQ(mkdir(dir.File("a.txt.tmp55").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.File("a.txt.tmp56").c_str(), 0644), 0);

    WriteFileBytes(target, "new");
    EXPECT_EQ(Names(dir), kept);
    EXPECT_EQ(dir.ReadBytes("a.txt"), "new");
    EXPECT_EQ(elsewhere.ReadBytes("victim"), "precious");
}

TEST(SaveFile, AFailingStepKeepsTheOldFileWholeLeavesNoTemporaryAndSaysWhy) {
    std::string before, after;
    for (int i = 0; i < 20000; ++i) before += "1234.T,A,old," + std::to_string(i) + "\r\n";
    for (int i = 0; i < 20000; ++i) after += "7203,U,new," + std::to_string(i) + "\r\n";
    const std::pair<const char*, int> cases[] = {{"create", EACCES}, {"write", ENOSPC},
                                                 {"short", ENOSPC},  {"sync", EIO},
                                                 {"close", EIO},     {"rename", EXDEV}};
    for (auto [step, err] : cases) {
        for (bool existed : {true, false}) {
            SCOPED_TRACE(std::string(step) + (existed ? " replacing" : " new"));
            TempDir dir;
            std::string target = existed ? dir.WriteBytes("a.txt", before) : dir.File("a.txt");
            FailingOps ops(step, err);
            try {
                WriteFileBytes(target, after, ops);
                ADD_FAILURE() << "saved";
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), target + ": " + std::strerror(err));
            }
            EXPECT_EQ(Names(dir),
                      existed ? std::set<std::string>{"a.txt"} : std::set<std::string>{});
            if (existed) {
                EXPECT_TRUE(dir.ReadBytes("a.txt") == before) << "the old file changed";
            }
        }
    }
    // Writes that take a few bytes at a time are no failure: every byte still arrives.
    TempDir dir;
    FailingOps trickle("", 0);
    trickle.Piece = 7;
    WriteFileBytes(dir.File("a.txt"), after, trickle);
    EXPECT_TRUE(dir.ReadBytes("a.txt") == after) << "bytes lost";
    EXPECT_EQ(Names(dir), std::set<std::string>{"a.txt"});
}

TEST(SaveFile, ANewFileIs0644LessTheUmaskAndAReplacedOneKeepsItsMode) {
    TempDir dir;
    mode_t umaskBefore = umask(027);
    WriteFileBytes(dir.File("new.txt"), "x");
    EXPECT_EQ(Mode(dir.File("new.txt")), 0640u);
    for (unsigned mode : {0600u, 0664u}) {
        std::string path = dir.WriteBytes("old.txt", "old");
        chmod(path.c_str(), mode);
        WriteFileBytes(path, "new");
        EXPECT_EQ(Mode(path), mode);
    }
    umask(umaskBefore);
}
