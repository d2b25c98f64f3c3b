// Input files looked at before they are read: what is not a regular file, or is larger than any
// real file of its kind, is refused and named as what it is, and nothing waits on a FIFO or
// reads a device to its end. A UTF-8 byte-order mark in a file read as Shift-JIS is said and
// costs no line. The settings file is the first reader of them all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>

#include "common/Codec.h"
#include "common/InputFile.h"
#include "common/TextFile.h"
#include "settings/Ini.h"
#include "support/TempDir.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

std::string MakeFifo(const test::TempDir& dir, const std::string& name) {
    const std::string path = dir.File(name);
    if (mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << path << ": " << std::strerror(errno);
    return path;
}

// Runs `read` and fails, instead of hanging, when it waits on the FIFO at `fifo`: a writer
// opened after a minute lets it go. The minute only guards against a hang.
template <typename F>
auto NeverWaitingOn(const std::string& fifo, F read) {
    auto done = std::async(std::launch::async, read);
    if (done.wait_for(std::chrono::seconds(60)) == std::future_status::timeout) {
        ADD_FAILURE() << "the read waits on the FIFO " << fifo;
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    }
    return done.get();
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(InputFile, OnlyARegularFileWithinItsLimitIsReadAndTheRestIsNamedAsWhatItIs) {
    test::TempDir dir;
    const std::string file = dir.WriteBytes("a.txt", "12345678");
    std::string bytes;
    InputRefusal why;
    EXPECT_FALSE(CheckRegularFile(file, 8));
    EXPECT_TRUE(ReadFileBytes(file, bytes, 8, &why));
    EXPECT_EQ(bytes, "12345678");
    // One byte over, as the system states the size.
    ASSERT_FALSE(ReadFileBytes(file, bytes, 7, &why));
    EXPECT_EQ(why.Text, file + ": is 8 bytes, more than the 7 bytes such a file may be");
    EXPECT_FALSE(why.Missing);
    EXPECT_TRUE(bytes.empty());
    // A file stated as empty that has more (the system's own files) is held to the limit as it
    // is read.
#ifdef __linux__
    ASSERT_FALSE(ReadFileBytes("/proc/self/status", bytes, 16, &why));
    EXPECT_EQ(why.Text, "/proc/self/status: is more than the 16 bytes such a file may be");
#endif

    const std::string fifo = MakeFifo(dir, "fifo");
    fs::create_directory(dir.File("folder"));
    fs::create_symlink(file, dir.File("link-to-file"));
    fs::create_symlink(fifo, dir.File("link-to-fifo"));
    fs::create_symlink("/dev/zero", dir.File("link-to-zero"));
    struct Case {
        std::string path, said;
    };
    for (const Case& c : {Case{fifo, ": is a FIFO, not a file"},
                          Case{dir.File("link-to-fifo"), ": is a FIFO, not a file"},
                          Case{dir.File("folder"), ": is a folder, not a file"},
                          Case{"/dev/zero", ": is a device, not a file"},
                          Case{dir.File("link-to-zero"), ": is a device, not a file"},
                          Case{dir.File("missing"), std::string(": ") + std::strerror(ENOENT)}}) {
        const auto looked = CheckRegularFile(c.path, kMaxReplayFileBytes);
        ASSERT_TRUE(looked) << c.path;
        EXPECT_EQ(looked->Text, c.path + c.said);
        InputRefusal refused;
        const bool read = NeverWaitingOn(
            fifo, [&] { return ReadFileBytes(c.path, bytes, kMaxReplayFileBytes, &refused); });
        EXPECT_FALSE(read) << c.path;
        EXPECT_EQ(refused.Text, c.path + c.said);
        EXPECT_EQ(refused.Missing, c.path == dir.File("missing")) << c.path;
    }
    // A link to a regular file is that file.
    EXPECT_TRUE(ReadFileBytes(dir.File("link-to-file"), bytes, 8));
    EXPECT_EQ(bytes, "12345678");
    // The text reader refuses the same, and its old form too.
    std::vector<std::string> lines;
    TextFileReport report;
    EXPECT_FALSE(
        NeverWaitingOn(fifo, [&] { return ReadLines(fifo, lines, kMaxListFileBytes, report); }));
    EXPECT_EQ(report.Refusal.Text, fifo + ": is a FIFO, not a file");
    EXPECT_FALSE(NeverWaitingOn(fifo, [&] { return ReadLines(fifo, lines); }));

    EXPECT_EQ(SizeText(kMaxSettingsFileBytes), "1 MiB");
    EXPECT_EQ(SizeText(kMaxReplayFileBytes), "8 GiB");
    EXPECT_EQ(SizeText(1536), "1536 bytes");
}

TEST(TextFile, AByteOrderMarkIsNoPartOfTheFirstLineAndTheRestReadsAsItIs) {
    test::TempDir dir;
    const std::string mark = "\xEF\xBB\xBF";
    const std::string utf8 = "1234.T\r\n東証\r\n";
    struct Case {
        std::string bytes;
        ByteOrderMark said;
    };
    for (const Case& c : {Case{mark + utf8, ByteOrderMark::ReadAsUtf8},
                          Case{mark + Utf8ToCp932(utf8), ByteOrderMark::ReadAsCp932},
                          Case{Utf8ToCp932(utf8), ByteOrderMark::None}}) {
        dir.WriteBytes("監視銘柄.txt", c.bytes);
        std::vector<std::string> lines;
        TextFileReport report;
        ASSERT_TRUE(ReadLines(dir.File("監視銘柄.txt"), lines, kMaxListFileBytes, report));
        EXPECT_EQ(lines, (std::vector<std::string>{"1234.T", "東証"}));
        EXPECT_EQ(report.Mark, c.said);
        CTextLines one;
        TextFileReport oneReport;
        ASSERT_TRUE(ReadLines(dir.File("監視銘柄.txt"), one, kMaxReplayFileBytes, oneReport));
        ASSERT_EQ(one.size(), 2u);
        EXPECT_EQ(one[0], "1234.T");
        EXPECT_EQ(one[1], "東証");
        EXPECT_EQ(oneReport.Mark, c.said);
    }
    // A mark alone is an empty UTF-8 file; a mark further on is text.
    dir.WriteBytes("m.txt", mark);
    std::vector<std::string> lines;
    TextFileReport report;
    ASSERT_TRUE(ReadLines(dir.File("m.txt"), lines, kMaxListFileBytes, report));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(report.Mark, ByteOrderMark::ReadAsUtf8);
    dir.WriteBytes("m.txt", "a" + mark);
    ASSERT_TRUE(ReadLines(dir.File("m.txt"), lines, kMaxListFileBytes, report));
    EXPECT_EQ(report.Mark, ByteOrderMark::None);

    EXPECT_EQ(ByteOrderMarkNote("監視銘柄.txt", ByteOrderMark::None), "");
    EXPECT_NE(ByteOrderMarkNote("監視銘柄.txt", ByteOrderMark::ReadAsUtf8)
                  .find("【監視銘柄.txt】は Shift-JIS のはずですが、先頭に UTF-8 のバイト順マーク"),
              std::string::npos);
    EXPECT_TRUE(
        EndsWith(ByteOrderMarkNote("x", ByteOrderMark::ReadAsUtf8), "UTF-8 として読みました。"));
    EXPECT_TRUE(EndsWith(ByteOrderMarkNote("x", ByteOrderMark::ReadAsCp932),
                         "Shift-JIS として読みました。"));
}

// KESTREL.INI as /dev/zero (endless), a FIFO (no writer), a folder or a 2 GiB file: the settings
// are the defaults, one note names the file and what it is, and the saving of the widths
// leaves whatever is there as it was.
TEST(Settings, ASettingsFileThatIsNoFileIsSaidAndNeverReadOrReplaced) {
    test::TempDir dir;
    const std::string path = dir.File("KESTREL.INI");
    const auto check = [&](const std::string& said) {
        CIni ini(path);
        NeverWaitingOn(path, [&] {
            ini.Load();
            return 0;
        });
        EXPECT_TRUE(ini.IsDebug());
        EXPECT_DOUBLE_EQ(ini.GetRate(), 2.0);
        EXPECT_EQ(ini.GetWidth(0), 64);
        EXPECT_EQ(ini.TakeNotes(),
                  std::vector<std::string>{
                      "設定ファイルを読めないため、既定の設定で動きます: " + path + said});
        EXPECT_TRUE(ini.TakeNotes().empty()) << "said once";
        ini.SetWidth(0, 99);
        EXPECT_THROW(NeverWaitingOn(path,
                                    [&] {
                                        ini.SaveWidths();
                                        return 0;
                                    }),
                     std::runtime_error);
    };

    fs::create_symlink("/dev/zero", path);
    check(": is a device, not a file");
    EXPECT_TRUE(fs::is_symlink(path));
    fs::remove(path);

    MakeFifo(dir, "KESTREL.INI");
    check(": is a FIFO, not a file");
    EXPECT_TRUE(fs::is_fifo(path)) << "not replaced by a file";
    fs::remove(path);

    fs::create_directory(path);
    check(": is a folder, not a file");
    EXPECT_TRUE(fs::is_directory(path));
    fs::remove(path);

    dir.WriteBytes("KESTREL.INI", "[DEBUG]\r\nflg=0\r\n");
    fs::resize_file(path, uint64_t{2} << 30);  // sparse: costs no disk
    check(": is 2147483648 bytes, more than the 1 MiB such a file may be");
    EXPECT_EQ(fs::file_size(path), uint64_t{2} << 30);
    fs::remove(path);

    // A missing file is no fault: the defaults, and nothing to say.
    CIni missing(path);
    missing.Load();
    EXPECT_TRUE(missing.TakeNotes().empty());
}

// An editor that saved the settings as UTF-8 put a mark before the first section: the section
// is still found, a value in UTF-8 reads as written, the mark is said, and a save of the widths
// keeps the mark and writes UTF-8.
TEST(Settings, AByteOrderMarkCostsNotTheFirstSection) {
    test::TempDir dir;
    const std::string path = dir.WriteBytes(
        "KESTREL.INI", "\xEF\xBB\xBF[DEBUG]\r\nflg=0\r\n[ALERT]\r\nfile=チャイム.wav\r\n");
    CIni ini(path);
    ini.Load();
    EXPECT_FALSE(ini.IsDebug());
    EXPECT_EQ(ini.AlertFile, "チャイム.wav");
    const auto notes = ini.TakeNotes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(
        notes[0].find("【" + path + "】は Shift-JIS のはずですが、先頭に UTF-8 のバイト順マーク"),
        std::string::npos)
        << notes[0];
    ini.SetWidth(0, 70);
    ini.SaveWidths();
    const std::string saved = dir.ReadBytes("KESTREL.INI");
    EXPECT_EQ(saved.rfind("\xEF\xBB\xBF[DEBUG]\r\nflg=0\r\n[ALERT]\r\nfile=チャイム.wav\r\n", 0),
              0u);
    EXPECT_EQ(saved.find("[DEBUG]", 4), std::string::npos) << "no second section";
    CIni again(path);
    again.Load();
    EXPECT_EQ(again.GetWidth(0), 70);
    EXPECT_FALSE(again.IsDebug());
}

// Values of [ALERT] that cannot be used are replaced as they always were, and said: one note,
// a line for each key with its value and what is used instead. Good values say nothing.
TEST(Settings, BadAlertValuesAreSaidOnceWithWhatIsUsedInstead) {
    test::TempDir dir;
    const std::string path = dir.File("KESTREL.INI");
    dir.WriteBytes("chime.wav", "RIFF");
    dir.WriteCp932("KESTREL.INI",
                   "[ALERT]\r\nsound=1\r\nfile=chime.wav\r\ncooldown=0\r\nkinds=ad\r\nstale=0\r\n");
    CIni good(path);
    good.Load();
    EXPECT_TRUE(good.TakeNotes().empty());
    EXPECT_EQ(good.AlertKinds, "ad");

    dir.WriteCp932(
        "KESTREL.INI",
        "[ALERT]\r\nsound=2\r\nfile=none.wav\r\ncooldown=-5\r\nkinds=AX\r\nstale=abc\r\n");
    CIni bad(path);
    bad.Load();
    EXPECT_TRUE(bad.SoundOn());
    EXPECT_EQ(bad.AlertCooldown, 0);
    EXPECT_EQ(bad.AlertKinds, "A");
    EXPECT_EQ(bad.StaleSeconds(), 120);
    EXPECT_EQ(bad.AlertFile, "none.wav");
    EXPECT_EQ(bad.TakeNotes(), std::vector<std::string>{
                                   "【" + path +
                                   "】の [ALERT] に使えない値があります。代わりの値で動きます:\n"
                                   "sound=2 → 1（0 か 1 のはずです）\n"
                                   "cooldown=-5 → 0（0 以上の秒数のはずです）\n"
                                   "kinds=AX → A（A、D、AD のいずれかのはずです）\n"
                                   "stale=abc → 120（0 以上の秒数のはずです。0 で見張りません）\n"
                                   "file=none.wav → 警告ごとにビープ音（" +
                                   dir.File("none.wav") + ": " + std::strerror(ENOENT) + "）"});

    // What each replacement has always been; a file that does not matter without the sound is
    // not looked at.
    dir.WriteCp932("KESTREL.INI",
                   "[ALERT]\r\nsound=yes\r\nfile=none.wav\r\ncooldown=x\r\nkinds=\r\nstale=-1\r\n");
    CIni other(path);
    other.Load();
    EXPECT_FALSE(other.SoundOn());
    EXPECT_EQ(other.AlertCooldown, 60);
    EXPECT_EQ(other.AlertKinds, "AD");
    EXPECT_EQ(other.StaleSeconds(), 0);
    const auto notes = other.TakeNotes();
    ASSERT_EQ(notes.size(), 1u);
    for (const char* line :
         {"\nsound=yes → 0（", "\ncooldown=x → 60（", "\nkinds= → AD（", "\nstale=-1 → 0（"})
        EXPECT_NE(notes[0].find(line), std::string::npos) << line << "\n" << notes[0];
    EXPECT_EQ(notes[0].find("file="), std::string::npos);
}
