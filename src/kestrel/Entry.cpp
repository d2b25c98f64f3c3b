#include "kestrel/Entry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#ifdef _WIN32
#include <direct.h>
#define chdir _chdir
#else
#include <unistd.h>
#endif

#include <QApplication>
#include <QGuiApplication>
#include <QStatusBar>

#include "app/Global.h"
#include "app/SignalQuit.h"
#include "app/SingleInstance.h"
#include "kestrel/HomeFolder.h"
#include "settings/Ini.h"
#include "ui/Alerts.h"
#include "ui/D_init.h"
#include "ui/Dialogs.h"
#include "ui/MeigaraListEdit.h"
#include "ui/QtUserInterface.h"
#include "ui/StaleFeedWatch.h"
#ifdef _WIN32
#include "tracking/dde/DdemlConv.h"
#else
#include "tracking/feed/SocketDdeConv.h"
#endif
#include "ui/MainWindow.h"
#include "ui/debug.h"

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "0.0.0"
#endif

TF_Main* F_Main = nullptr;
TF_DEBUG* F_DEBUG = nullptr;
TF_Kestrel2005_Init* F_Kestrel2005_Init = nullptr;

namespace {

constexpr char kUsage[] =
    "usage: kestrel [--workdir DIR | --home] [--show-events]\n"
    "\n"
    "The Kestrel monitor. It works in the current folder (or DIR): KESTREL.INI, 銘柄情報.txt,\n"
    "株式売買値幅.txt, 監視銘柄.txt, and in debug mode kabu.txt and std.csv; the ranking lists\n"
    "are saved to log/ when it ends. Only one monitor runs per user: a second start brings the\n"
    "first one to the front.\n"
    "\n"
    "  --workdir DIR   change into DIR first\n"
    "  --home          work in the trader's own folder: KESTREL_HOME, else Kestrel in the\n"
    "                  documents folder (Windows) or the home folder; the first start makes\n"
    "                  it a copy of the demo folder installed with the program\n"
    "  --show-events   open the event viewer at start\n"
    "  --help          this text\n"
    "  --version       the program's version\n";

// What this build leaves out, said after the usage: the Windows builds made here have neither a
// Ruby for the script host nor Qt Multimedia for the alert sound.
constexpr char kBuildNotes[] =
#ifndef KESTREL_HAVE_RUBY
    "\nThis build has no Ruby script host.\n"
#endif
#ifndef KESTREL_HAVE_SOUND
    "This build has no alert sound ([ALERT] sound=1 plays nothing).\n"
#endif
    "";

struct Options {
    std::string WorkDir;
    bool Home = false;
    bool ShowEvents = false;
};

// 0: run; otherwise the exit code (after --help, --version or a bad option).
int ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kBuildNotes, stdout);
            return -1;
        }
        if (a == "--version") {
            std::printf("kestrel %s\n", KESTREL_VERSION);
            return -1;
        }
        if (a == "--show-events") {
            o.ShowEvents = true;
        } else if (a == "--home") {
            o.Home = true;
        } else if (a == "--workdir" && i + 1 < argc) {
            o.WorkDir = argv[++i];
        } else if (a.rfind("--workdir=", 0) == 0) {
            o.WorkDir = a.substr(10);
        } else {
            std::fprintf(stderr, "kestrel: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (o.Home && !o.WorkDir.empty()) {
        std::fprintf(stderr, "kestrel: --home and --workdir name two folders; give one\n%s",
                     kUsage);
        return 2;
    }
    return 0;
}

// --home: into the trader's folder, made from the installed demo folder on the first start.
bool EnterTraderHome() {
    std::string error;
    const std::filesystem::path home = kestrel::TraderHomeFolder(error);
    if (home.empty()) {
        std::fprintf(stderr, "kestrel: %s\n", error.c_str());
        return false;
    }
    bool made = false;
    if (!std::filesystem::exists(home)) {
        const std::filesystem::path demo = kestrel::InstalledDemoFolder(error);
        if (demo.empty() || !kestrel::MakeHomeFromDemo(home, demo, made, error)) {
            std::fprintf(stderr, "kestrel: %s\n", error.c_str());
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::current_path(home, ec);
    const std::u8string name = home.u8string();
    const std::string shown(name.begin(), name.end());
    if (ec) {
        std::fprintf(stderr, "kestrel: %s: %s\n", shown.c_str(), ec.message().c_str());
        return false;
    }
    if (made) std::fprintf(stderr, "kestrel: made %s, a copy of the demo folder\n", shown.c_str());
    return true;
}

// A later start asked for the window: forward, and out of the task bar when minimised.
void BringToFront(QWidget* w) {
    if (!w) return;
    const bool minimised = w->isMinimized();
    if (minimised) w->setWindowState((w->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    w->show();
    w->raise();
    w->activateWindow();
    std::fprintf(stderr, "kestrel: a second start brought the window to the front%s\n",
                 minimised ? " (restored)" : "");
}

// The close box's saving of the widths, for a shutdown that no user confirmed (a signal).
void SaveWidthsQuietly() {
    if (!F_Main || !F_Main->Ini() || !F_Main->GridA) return;
    try {
        F_Main->SaveColumnWidths();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrel: %s\n", e.what());
    }
}

}  // namespace

int RunKestrel(int argc, char** argv, const TKestrelHooks& hooks) {
    Options opt;
    if (int rc = ParseOptions(argc, argv, opt)) return rc < 0 ? 0 : rc;
    if (opt.Home && !EnterTraderHome()) return 2;
    if (!opt.WorkDir.empty() && chdir(opt.WorkDir.c_str()) != 0) {
        std::fprintf(stderr, "kestrel: %s: %s\n", opt.WorkDir.c_str(), std::strerror(errno));
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrel"));
    QApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    QApplication::setFont(kestrel::WindowFont(12));

    CQtDialogs qtDialogs;
    CSystemClock systemClock;
    IDialogs& dialogs = hooks.Dialogs ? *hooks.Dialogs : qtDialogs;

    CSingleInstance guard(QStringLiteral("Kestrel2005"));
    switch (guard.Acquire()) {
        case CSingleInstance::Result::Second:
            return 0;  // the running monitor has been asked to come forward
        case CSingleInstance::Result::Error: {
            // Without the guard a second monitor could overwrite the first one's lists: refuse,
            // and say so where a desktop user looks, not only on stderr.
            const std::string why = guard.ErrorText().toStdString();
            std::fprintf(stderr, "kestrel: %s\n", why.c_str());
            dialogs.ShowMessage("起動できません: " + why);
            return 1;
        }
        case CSingleInstance::Result::First:
            break;
    }

    IClock& clock = hooks.Clock ? *hooks.Clock : systemClock;
    CQtUserInterface ui(dialogs);

    // The controller first (its Ruby host starts the interpreter), then the windows in order.
    // Live quotes: the market-data application's DDE service on Windows, the local feed here.
#ifdef _WIN32
    auto global = std::make_unique<TM_Global>(ui, clock, MakeDdemlConvFactory());
    void (*atSignal)() = nullptr;
#else
    auto global = std::make_unique<TM_Global>(ui, clock, MakeSocketConvFactory());
    // A feed of another user, or one that went silent, is said where the trader looks; a
    // signal ends any wait for the feed at once, so the lists are saved within moments.
    SetFeedWarningHandler([&ui](const std::string& text) { ui.ShowMessage(text); });
    AllowFeedWaits();
    void (*atSignal)() = &AbandonFeedWaits;
#endif
    // The settings are made once, here, and handed to both the controller and the window.
    CController& core = global->Core();
    core.CreateIni();
    TF_MainDeps deps;
    deps.Dialogs = &dialogs;
    deps.Clock = &clock;
    deps.List = &core.ChannelA().List;
    deps.ListD = &core.ChannelD().List;
    deps.Started = [&core] { return core.InitDone; };
    deps.LiveQuotes = [&core] { return core.LiveQuotes(); };
    deps.Ini = core.Ini.get();
    deps.Trackers = [&core] { return core.TrkgList.get(); };
    std::unique_ptr<TF_DEBUG> eventViewer;
    std::unique_ptr<TF_MeigaraListEdit> listEdit;
    deps.ShowEventViewer = [&eventViewer] {
        if (eventViewer) eventViewer->ShowViewer();
    };
    deps.EditWatchList = [&listEdit] {
        if (listEdit) listEdit->exec();
    };
    auto mainWindow = std::make_unique<TF_Main>(deps);
    eventViewer = std::make_unique<TF_DEBUG>(dialogs, clock);
    // Beside the main window, or where the trader last put it.
    eventViewer->SetPlacement(core.Ini.get(), mainWindow.get());
    auto splash = std::make_unique<TF_Kestrel2005_Init>(mainWindow.get());
    TF_MeigaraListEditDeps editDeps;
    editDeps.Dialogs = &dialogs;
    editDeps.MasterList = [&core] { return core.MasterList.get(); };
    // A saved watch list takes effect at once, without a restart.
    editDeps.Apply = [&core](const std::vector<std::string>& lines) { core.ApplyWatchList(lines); };
    listEdit = std::make_unique<TF_MeigaraListEdit>(std::move(editDeps), mainWindow.get());
    // Each window reaches the others through what it is given here, never through a global.
    ui.Attach({mainWindow.get(), eventViewer.get(), splash.get()});
    F_Main = mainWindow.get();
    F_DEBUG = eventViewer.get();
    F_Kestrel2005_Init = splash.get();
    SetDialogMainWindow(mainWindow.get());

    // The alerts the settings ask for; without [ALERT] neither exists and the windows are as
    // they always were.
    std::unique_ptr<QObject> alertSound;
    std::unique_ptr<TStaleFeedWatch> staleWatch;
    const CIni& ini = *core.Ini;
    if (ini.SoundOn()) {
        // The word on a sound that cannot play is held a while, over the replayed lines and
        // every other status text, then makes room: the stale-feed text waits for an empty
        // status bar.
        TF_Main* window = mainWindow.get();
        alertSound = MakeAlertSound(
            CSoundAlertRule(clock, ini.AlertCooldown, ini.AlertKinds), ini.AlertFile, dialogs,
            [window](const std::string& text) {
                window->HoldStatusText(text, TF_Main::kHeldStatusMs);
            },
            *mainWindow, ui.OnMove);
    }
    if (!ini.IsDebug() && ini.StaleSeconds() > 0) {
        staleWatch = std::make_unique<TStaleFeedWatch>(
            CStaleFeedRule(clock, ini.StaleSeconds()), [&core] { return core.InitDone; },
            [&core] { return core.LiveQuotes(); }, *mainWindow->StatusBar1);
        staleWatch->Start();
    }

    // Said where the one who started it from a terminal (or a script waiting on it) looks: from
    // here on the monitor watches, and an end by a signal saves today's lists.
    global->OnStartUpDone = [&core] {
        if (core.Ending || core.StartFailed) return;
        std::fprintf(stderr, "kestrel: started, %d issues watched\n",
                     core.TrkgList ? core.TrkgList->Count() : 0);
    };
    guard.OnActivate = [] { BringToFront(F_Main); };
    InstallQuitSignals(
        [](int signo) {
            if (signo == kEndSession)
                std::fprintf(stderr, "kestrel: the session ends: saving the lists and ending\n");
            else
                std::fprintf(stderr, "kestrel: signal %d: saving the lists and ending\n", signo);
            // A question still open is ended by this, not answered.
            if (M_Global) M_Global->Core().BeginEnding();
            SaveWidthsQuietly();
            // The session's end may not wait for the event loop: the lists are written now, and
            // once more by the normal end if there is time for it.
            if (signo == kEndSession && M_Global) M_Global->Core().SaveListsNow();
            QCoreApplication::exit(0);
        },
        atSignal);

    mainWindow->show();
    if (opt.ShowEvents) eventViewer->ShowViewer();
    if (hooks.BeforeLoop) hooks.BeforeLoop();
    int rc = app.exec();
    if (global->Core().StartFailed) rc = 1;  // said in a message box already

    // Windows go in the reverse order of their making, the controller last: its destruction
    // stops the watchers and writes both resume files.
    RemoveQuitSignals();
#ifndef _WIN32
    SetFeedWarningHandler(nullptr);
#endif
    ui.Attach({});
    ui.OnMove = nullptr;
    staleWatch.reset();
    alertSound.reset();
    SetDialogMainWindow(nullptr);
    F_Main = nullptr;
    F_DEBUG = nullptr;
    F_Kestrel2005_Init = nullptr;
    listEdit.reset();
    splash.reset();
    eventViewer.reset();
    mainWindow.reset();
    global.reset();
    guard.Release();
    return rc;
}
