// The monitor as a trader starts it, on a copy of the demo folder, offscreen: the same entry as
// the kestrel executable, with scripted answers. The replay runs, the grid fills, the exit
// command ends the run, and today's resume files hold what the grid showed.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include "CommaText.h"
#include "Dialogs.h"
#include "Entry.h"
#include "Global.h"
#include "Ini.h"
#include "IniFile.h"
#include "TempDir.h"
#include "TextFile.h"
#include "debug.h"
#include "main.h"

namespace fs = std::filesystem;

namespace {
std::string Today() {
    CSystemClock clock;
    CDate d = clock.Today();
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", d.Year, d.Month, d.Day);
    return buf;
}
}  // namespace

TEST(Kestrel, DemoRunEndedByTheExitCommandSavesWhatTheGridShowed) {
    kestrel::test::TempDir work, runtime;
    fs::copy(KESTREL_DEMO_DIR, work.Path(), fs::copy_options::recursive);
    chmod(runtime.Path().c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);

    CScriptedDialogs dialogs;
    dialogs.DefaultAnswer = true;  // the exit command's question
    CSystemClock clock;
    std::vector<std::string> gridCodes;
    size_t eventLines = 0;
    bool wasDisabled = false;
    QElapsedTimer running;

    TKestrelHooks hooks;
    hooks.Dialogs = &dialogs;
    hooks.Clock = &clock;
    hooks.BeforeLoop = [&] {
        wasDisabled = !F_Main->isEnabled();
        running.start();
        auto* poll = new QTimer(F_Main);
        QObject::connect(poll, &QTimer::timeout, [&, poll] {
            if (!M_Global->InitDone()) return;
            // The replay at full speed: a few seconds cover the demo's first minutes.
            if (M_Global->DebugTimer.interval() != 1) M_Global->DebugTimer.setInterval(1);
            if (F_DEBUG->Lines().size() < 40 && running.elapsed() < 20000) return;
            poll->stop();
            eventLines = F_DEBUG->Lines().size();
            F_Main->DispTimerTimer();
            for (int r = 1; r < F_Main->GridA->RowCount(); ++r)
                gridCodes.push_back(F_Main->GridA->Cells(0, r));
            F_Main->GridA->SetColWidths(1, 150);
            F_Main->X1Click();
        });
        poll->start(50);
    };

    std::string self = "kestrel", opt = "--workdir", dir = work.Path();
    char* argv[] = {self.data(), opt.data(), dir.data(), nullptr};
    int argc = 3;
    const auto cwd = fs::current_path();
    EXPECT_EQ(RunKestrel(argc, argv, hooks), 0);
    fs::current_path(cwd);

    EXPECT_TRUE(wasDisabled) << "no input before start-up has ended";
    EXPECT_GE(eventLines, 40u);
    EXPECT_EQ(dialogs.Questions, std::vector<std::string>{"終了します。よろしいですか？"});
    EXPECT_TRUE(dialogs.Messages.empty()) << dialogs.Messages.front();
    ASSERT_GE(gridCodes.size(), 2u);

    // Every issue the grid showed is in today's rising list, and the falling one exists too.
    std::vector<std::string> asc;
    ASSERT_TRUE(kestrel::ReadLines(work.File("log/" + Today() + "_Asc.txt"), asc));
    std::set<std::string> saved;
    for (const auto& line : asc) saved.insert(kestrel::SplitCommaText(line).at(0));
    for (const auto& code : gridCodes) EXPECT_TRUE(saved.count(code)) << code;
    EXPECT_EQ(saved.size(), gridCodes.size());
    EXPECT_TRUE(fs::exists(work.File("log/" + Today() + "_Dsc.txt")));

    // The widths went to the settings file, the one changed by the user among them.
    CIni ini(work.File("KESTREL.INI"));
    ini.Load();
    EXPECT_EQ(ini.GetWidth(1), 150);
}
