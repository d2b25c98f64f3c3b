#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "common/Codec.h"
#include "common/FileSaveOps.h"
#include "common/IniFile.h"
#include "settings/Ini.h"
#include "support/TempDir.h"

using namespace kestrel;

TEST(IniFile, ReadingIgnoresCaseTrimsBlanksAndOnePairOfQuotes) {
    test::TempDir dir;
    auto path = dir.WriteCp932("k.ini",
                               "; comment\r\n[Para]\r\n  Rate = 1.5 \r\nname=\"  quoted  \"\r\n"
                               "single='x'\r\ntwice=\"\"a\"\"\r\n漢字=値\r\nbad=12x\r\n"
                               "hex=$10\r\n[other]\r\nrate=9\r\n[PARA]\r\nlater=1\r\n");
    IniFile ini(path);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("PARA", "RATE", 2.0), 1.5);
    EXPECT_EQ(ini.ReadString("para", "name", "-"), "  quoted  ");
    EXPECT_EQ(ini.ReadString("para", "single", "-"), "x");
    EXPECT_EQ(ini.ReadString("para", "twice", "-"), "\"a\"");
    EXPECT_EQ(ini.ReadString("para", "漢字", "-"), "値");
    EXPECT_EQ(ini.ReadInteger("para", "bad", 7), 7);
    EXPECT_EQ(ini.ReadInteger("para", "hex", 7), 16);
    EXPECT_EQ(ini.ReadInteger("para", "missing", 7), 7);
    EXPECT_EQ(ini.ReadInteger("nosection", "rate", 7), 7);
    EXPECT_EQ(ini.ReadString("other", "rate", "-"), "9");
    IniFile none(dir.File("absent.ini"));
    EXPECT_EQ(none.ReadString("a", "b", "def"), "def");
}

TEST(IniFile, WritingChangesOneLineAndKeepsEveryOtherByte) {
    test::TempDir dir;
    const std::string before =
        "; 設定ファイル\r\n[DEBUG]\nflg=0\r\n\r\n[Grid]\r\nWIDTH01 = "
        "10\r\nother=x\r\n\r\n[PARA]\r\nrate=1";
    auto path = dir.WriteCp932("k.ini", before);
    IniFile ini(path);
    ASSERT_TRUE(ini.WriteInteger("GRID", "width01", 99));
    EXPECT_EQ(Cp932ToUtf8(dir.ReadBytes("k.ini")),
              "; 設定ファイル\r\n[DEBUG]\nflg=0\r\n\r\n[Grid]\r\nWIDTH01 "
              "=99\r\nother=x\r\n\r\n[PARA]\r\nrate=1");
    // A new key goes after the last line of its section, before the blank line.
    ASSERT_TRUE(ini.WriteInteger("grid", "width02", 5));
    EXPECT_EQ(Cp932ToUtf8(dir.ReadBytes("k.ini")),
              "; 設定ファイル\r\n[DEBUG]\nflg=0\r\n\r\n[Grid]\r\nWIDTH01 "
              "=99\r\nother=x\r\nwidth02=5\r\n\r\n[PARA]\r\nrate=1");
    // A key in the last section of a file whose last line has no end mark.
    ASSERT_TRUE(ini.WriteString("PARA", "time", "3"));
    EXPECT_EQ(ini.ReadInteger("PARA", "rate", 0), 1);
    EXPECT_EQ(ini.ReadInteger("PARA", "time", 0), 3);
    // A new section at the end.
    ASSERT_TRUE(ini.WriteString("新", "キー", "値"));
    EXPECT_EQ(ini.ReadString("新", "キー", ""), "値");
    EXPECT_EQ(ini.ReadInteger("DEBUG", "flg", 1), 0);
}

TEST(IniFile, WritingCreatesTheFileAndFailsWhereItCannotWrite) {
    test::TempDir dir;
    IniFile ini(dir.File("new.ini"));
    ASSERT_TRUE(ini.WriteInteger("GRID", "width01", 64));
    EXPECT_EQ(dir.ReadBytes("new.ini"), "[GRID]\r\nwidth01=64\r\n");
    IniFile nofolder(dir.File("missing/new.ini"));
    EXPECT_FALSE(nofolder.WriteInteger("GRID", "width01", 64));
    IniFile folder(dir.Path());
    EXPECT_FALSE(folder.WriteInteger("GRID", "width01", 64));
}

TEST(IniFile, AWriteThatFailsLeavesTheFileWholeNoTemporaryAndSaysWhy) {
    test::TempDir dir;
    const std::string before = "[PARA]\r\nrate=1.5\r\n[GRID]\r\nwidth01=10\r\n";
    auto path = dir.WriteBytes("KESTREL.INI", before);
    struct DiskFull : FileSaveOps {
        std::error_code Write(int, const char*, size_t, size_t&) override {
            return std::make_error_code(std::errc::no_space_on_device);
        }
    } full;
    IniFile ini(path);
    {
        ScopedSaveOps scope(full);
        EXPECT_FALSE(ini.WriteInteger("GRID", "width01", 99));
        EXPECT_EQ(ini.LastWriteError(), path + ": " + std::strerror(ENOSPC));
        CIni settings(path);
        settings.Load();
        settings.SetWidth(0, 99);
        EXPECT_THROW(settings.SaveWidths(), std::runtime_error);
    }
    EXPECT_EQ(dir.ReadBytes("KESTREL.INI"), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
    // With room on the disk again the same write goes through and the reason is gone.
    EXPECT_TRUE(ini.WriteInteger("GRID", "width01", 99));
    EXPECT_EQ(ini.LastWriteError(), "");
    EXPECT_EQ(ini.ReadInteger("GRID", "width01", 0), 99);
}

TEST(Settings, DefaultsWithoutAFile) {
    test::TempDir dir;
    CIni ini(dir.File("KESTREL.INI"));
    ini.Load();
    EXPECT_TRUE(ini.IsDebug());
    EXPECT_DOUBLE_EQ(ini.GetRate(), 2.0);
    EXPECT_EQ(ini.GetSpan(), 2);
    EXPECT_EQ(ini.DataSource, "DDE");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ini.GetWidth(i), 64);
}

TEST(Settings, ValuesMalformedValuesAndTheDebugSwitch) {
    test::TempDir dir;
    auto path =
        dir.WriteCp932("KESTREL.INI",
                       "[debug]\r\nFLG=-3\r\n[PARA]\r\nrate=abc\r\ntime=0x3\r\n"
                       "DataSource= 'RSS' \r\n[GRID]\r\nwidth01=53\r\nwidth10=56\r\nwidth05=x\r\n");
    CIni ini(path);
    ini.Load();
    EXPECT_TRUE(ini.IsDebug());
    EXPECT_DOUBLE_EQ(ini.GetRate(), 2.0);
    EXPECT_EQ(ini.GetSpan(), 3);
    EXPECT_EQ(ini.DataSource, "RSS");
    EXPECT_EQ(ini.GetWidth(0), 53);
    EXPECT_EQ(ini.GetWidth(9), 56);
    EXPECT_EQ(ini.GetWidth(4), 64);

    dir.WriteCp932("KESTREL.INI", "[DEBUG]\r\nflg=0\r\n[PARA]\r\nrate=1.5\r\n");
    CIni off(path);
    off.Load();
    EXPECT_FALSE(off.IsDebug());
    EXPECT_DOUBLE_EQ(off.GetRate(), 1.5);
}

TEST(Settings, SaveWidthsWritesOnlyTheTenGridKeys) {
    test::TempDir dir;
    auto path = dir.WriteCp932("KESTREL.INI", "[PARA]\r\nrate=1.5\r\n");
    CIni ini(path);
    ini.Load();
    for (int i = 0; i < 10; ++i) ini.SetWidth(i, 50 + i);
    EXPECT_EQ(ini.GetWidth(3), 53);
    ini.SaveWidths();
    std::string text = dir.ReadBytes("KESTREL.INI");
    EXPECT_EQ(text,
              "[PARA]\r\nrate=1.5\r\n\r\n[GRID]\r\nwidth01=50\r\nwidth02=51\r\nwidth03=52\r\n"
              "width04=53\r\nwidth05=54\r\nwidth06=55\r\nwidth07=56\r\nwidth08=57\r\n"
              "width09=58\r\nwidth10=59\r\n");
    CIni again(path);
    again.Load();
    EXPECT_EQ(again.GetWidth(9), 59);
    EXPECT_EQ(text.find("flg"), std::string::npos);

    CIni broken(dir.File("missing/KESTREL.INI"));
    try {
        broken.SaveWidths();
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), dir.File("missing/KESTREL.INI") + " に書き込めません");
    }
}

// Every alert is off without the section (a look-alike name is not it); with it the stale
// watch is on at 120 s unless stale=0; the keys are only read, a save of the widths keeps them.
TEST(Settings, TheAlertSectionTurnsTheAlertsOnAndIsNeverWritten) {
    test::TempDir dir;
    auto path = dir.WriteCp932("KESTREL.INI", "[PARA]\r\nrate=1.5\r\n[ALERTS]\r\nsound=1\r\n");
    CIni absent(path);
    absent.Load();
    EXPECT_FALSE(absent.SoundOn());
    EXPECT_EQ(absent.StaleSeconds(), 0);

    const std::string alert =
        "[alert]\r\nSOUND=1\r\nfile= 'チャイム.wav' \r\ncooldown=30\r\nkinds=D\r\n";
    dir.WriteCp932("KESTREL.INI", alert);
    CIni on(path);
    on.Load();
    EXPECT_TRUE(on.SoundOn());
    EXPECT_EQ(on.AlertFile, "チャイム.wav");
    EXPECT_EQ(on.AlertCooldown, 30);
    EXPECT_EQ(on.AlertKinds, "D");
    EXPECT_EQ(on.StaleSeconds(), 120);
    on.SaveWidths();
    EXPECT_EQ(Cp932ToUtf8(dir.ReadBytes("KESTREL.INI")).rfind(alert, 0), 0u);

    dir.WriteCp932("KESTREL.INI", "[ALERT]\r\nstale=0\r\n");
    CIni staleOff(path);
    staleOff.Load();
    EXPECT_FALSE(staleOff.SoundOn());
    EXPECT_EQ(staleOff.AlertCooldown, 60);
    EXPECT_EQ(staleOff.StaleSeconds(), 0);
    dir.WriteCp932("KESTREL.INI", "[ALERT]\r\nstale=45\r\n");
    CIni stale45(path);
    stale45.Load();
    EXPECT_EQ(stale45.StaleSeconds(), 45);
}
