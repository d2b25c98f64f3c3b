// kestrel-watch: the monitor without windows. Reads a working folder as the monitor does, opens
// one quote conversation per watched topic with the service "RSS" (over DDEML on Windows, over
// the local feed socket elsewhere), runs the same trackers, queues, watchers and lists, prints
// each event line as it happens and writes today's resume files when it ends (Ctrl+C, SIGTERM
// or the end of its input).
//
// Lines on its input: "reconnect" re-establishes every link, "reset" attaches every item
// again (the monitor's two menu commands); anything else is ignored.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Controller.h"
#include "common/Numbers.h"
#include "console/ConsoleTool.h"
#include "console/Options.h"
#include "kestrel-watch/WatchPlatform.h"

namespace {

#ifdef _WIN32
constexpr const char* kTransport = "DDE";
#else
constexpr const char* kTransport = "the local feed (kestrel-feed)";
#endif

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: kestrel-watch DIR [--out DIR] [--date yyyymmdd] [--fresh] [--request-timeout MS]\n"
        "                         [--advise-timeout MS] [--quiet]\n"
        "  Follows the watch list DIR/監視銘柄.txt live over %s (service RSS) with\n"
        "  DIR/KESTREL.INI, 銘柄情報.txt and 株式売買値幅.txt; prints each event line on stdout\n"
        "  and, at Ctrl+C or the end of input, writes yyyymmdd_Asc.txt and yyyymmdd_Dsc.txt to\n"
        "  --out (default DIR/log). Today's lists already there are loaded first and go on, as\n"
        "  the monitor does when its resume question is answered yes; --fresh starts with empty\n"
        "  lists instead (and so replaces them at the end). Input lines \"reconnect\" and\n"
        "  \"reset\" recover the links.\n",
        kTransport);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words = CommandWords(argc, argv);
    if (AsksForHelp(words)) {
        Usage(stdout);
        return 0;
    }
    std::string outDir;
    CConsoleClock clock;
    CConsoleUi ui("kestrel-watch");
    ui.flushEach = true;  // as it happens
    ui.answer = true;     // a restart on the same day goes on with the day's lists
    bool fresh = false;
    int requestTimeout = TDdeClientConv::kRequestTimeoutMs;
    int adviseTimeout = TDdeClientConv::kAdviseTimeoutMs;
    auto millis = [](int& to) {
        return [&to](const std::string& t, std::string& why) {
            auto v = kestrel::ParseInt(t);
            if (!v || *v < 1) return why = "takes a number of milliseconds", false;
            to = *v;
            return true;
        };
    };
    COptionParser options;
    options.Text("--out", [&](const std::string& t, std::string& why) {
        outDir = t;
        return !t.empty() || (why = "takes a folder", false);
    });
    options.Text("--date", [&](const std::string& t, std::string& why) {
        return clock.fixedDate = ReadDate(t, clock.date, why);
    });
    options.Number("--request-timeout", millis(requestTimeout));
    options.Number("--advise-timeout", millis(adviseTimeout));
    options.Switch("--quiet", ui.quiet);
    options.Switch("--fresh", fresh);
    std::vector<std::string> folders;
    std::string error;
    if (!options.Parse(words, folders, error)) {
        std::fprintf(stderr, "kestrel-watch: %s\n", error.c_str());
        if (error.rfind("unknown option", 0) == 0) Usage(stderr);
        return 2;
    }
    if (folders.size() != 1) {
        if (folders.size() > 1)
            std::fprintf(stderr, "kestrel-watch: one folder, not %zu\n", folders.size());
        Usage(stderr);
        return 2;
    }
    const std::string& dir = folders[0];
    if (fresh) ui.answer = false;
    if (!IsDir(dir)) {
        std::fprintf(stderr, "kestrel-watch: %s: no such folder\n", dir.c_str());
        return 2;
    }
    if (outDir.empty()) outDir = dir + "/log";
    if (!IsDir(outDir)) {
        std::fprintf(stderr, "kestrel-watch: %s: no such folder for the resume files\n",
                     outDir.c_str());
        return 2;
    }

    CWatchPlatform platform(argc, argv);
    ui.OnQuit = [&platform] { platform.Quit(); };

    auto t0 = std::chrono::steady_clock::now();
    CController c(ui, clock, dir, outDir, platform.ConvFactory(requestTimeout, adviseTimeout));
    c.DataModuleCreate();
    c.CreateIni();
    c.Ini->Flg = 0;  // always live
    c.StartUp();
    int connected = 0;
    for (int i = 0; c.TrkgList && i < c.TrkgList->Count(); ++i)
        if (c.TrkgList->Items(i)->Conv && c.TrkgList->Items(i)->Conv->Connected()) ++connected;
    std::fprintf(stderr, "kestrel-watch: %d of %d links open\n", connected,
                 c.TrkgList ? c.TrkgList->Count() : 0);
    std::fflush(stderr);

    platform.Run(
        [&c](const std::string& cmd) {
            if (cmd == "reconnect" && c.TrkgList) c.TrkgList->ReconnectAll();
            if (cmd == "reset" && c.TrkgList) c.TrkgList->ResetItemAll();
        },
        [&c] {
            if (c.ReConnTimerEnabled) c.ReConnTimerTimer();
        });
    int listedA = c.ChannelA().List.Count();
    c.DataModuleDestroy();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(stderr, "kestrel-watch: %ld events, %d rising issues listed%s, %.2f s\n",
                 ui.events, listedA, platform.Counts().c_str(), secs);
    platform.Exit(0);
}
