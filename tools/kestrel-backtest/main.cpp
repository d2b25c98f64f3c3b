// kestrel-backtest: replays a working folder's kabu.txt through the monitor's own trackers,
// queues, watchers and lists without pacing, prints every event line and writes the two resume
// files. With a sweep of settings it runs a study of them (Study.h).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Controller.h"
#include "common/Numbers.h"
#include "common/TextFile.h"
#include "common/TimeOfDay.h"
#include "console/ConsoleTool.h"
#include "kestrel-backtest/Study.h"

namespace {

void Usage(FILE* out) {
    std::fputs(
        "usage: kestrel-backtest DIR [--rate R] [--time N] [--date yyyymmdd] [--out DIR] "
        "[--force]\n"
        "                        [--quiet]\n"
        "  Replays DIR/kabu.txt with DIR/std.csv over the watch list DIR/監視銘柄.txt using\n"
        "  DIR/KESTREL.INI, 銘柄情報.txt and 株式売買値幅.txt; prints each event line on stdout\n"
        "  and writes yyyymmdd_Asc.txt and yyyymmdd_Dsc.txt to --out (default DIR/backtest,\n"
        "  made when missing), never to the monitor's DIR/log unless named. Resume files of\n"
        "  that date already in the output folder are replaced only with --force; without it\n"
        "  the run ends with exit code 3 before replaying anything. Exit code 4: the trackers\n"
        "  of the watch list could not be made (the system refused the memory).\n",
        out);
    // The study's lines come with --help; a mistyped plain command gets the usage it always got.
    if (out == stdout) std::fputs(kStudyUsage, out);
}

}  // namespace

int main(int argc, char** argv) {
    if (IsStudyCommand(argc, argv)) {
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
                Usage(stdout);
                return 0;
            }
        }
        return StudyMain(argc, argv);
    }
    std::string dir, outDir;
    CConsoleClock clock;
    CConsoleUi ui("kestrel-backtest");
    bool haveRate = false, haveTime = false, force = false;
    double rate = 0;
    int span = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestrel-backtest: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--rate") {
            auto v = kestrel::ParseReal(value());
            if (!v) return std::fputs("kestrel-backtest: --rate takes a number\n", stderr), 2;
            rate = *v, haveRate = true;
        } else if (a == "--time") {
            auto v = kestrel::ParseInt(value());
            if (!v)
                return std::fputs("kestrel-backtest: --time takes a whole number of minutes\n",
                                  stderr),
                       2;
            span = *v, haveTime = true;
        } else if (a == "--date") {
            if (!ParseDateOption(value(), clock.date))
                return std::fputs("kestrel-backtest: --date takes yyyymmdd\n", stderr), 2;
            clock.fixedDate = true;
        } else if (a == "--out") {
            outDir = value();
        } else if (a == "--force") {
            force = true;
        } else if (a == "--quiet") {
            ui.quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "kestrel-backtest: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
        } else if (dir.empty()) {
            dir = a;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    if (dir.empty()) {
        Usage(stderr);
        return 2;
    }
    if (!IsDir(dir)) {
        std::fprintf(stderr, "kestrel-backtest: %s: no such folder\n", dir.c_str());
        return 2;
    }
    for (const char* need : {"kabu.txt", "監視銘柄.txt"}) {
        if (!kestrel::FileExists(dir + "/" + need)) {
            std::fprintf(stderr, "kestrel-backtest: %s/%s: no such file\n", dir.c_str(), need);
            return 2;
        }
    }
    if (outDir.empty()) {
        // Beside the monitor's own log/, never in it: a backtest must not replace the day's lists.
        outDir = dir + "/backtest";
        MakeDir(outDir);
    }
    if (!IsDir(outDir)) {
        std::fprintf(stderr, "kestrel-backtest: %s: no such folder for the resume files\n",
                     outDir.c_str());
        return 2;
    }

    auto t0 = std::chrono::steady_clock::now();
    CController c(ui, clock, dir, outDir);
    std::string present;
    for (const char* suffix : {"Asc.txt", "Dsc.txt"}) {
        std::string f = c.ResumeFileName(suffix);
        if (kestrel::FileExists(f) || IsDir(f)) present += (present.empty() ? "" : ", ") + f;
    }
    if (!present.empty() && !force) {
        std::fprintf(
            stderr,
            "kestrel-backtest: resume files already there, not replaced without --force: %s\n",
            present.c_str());
        return 3;
    }
    c.DataModuleCreate();
    c.CreateIni();
    c.Ini->Flg = 1;  // a backtest always replays
    if (haveRate) c.Ini->Rate = rate;
    if (haveTime) c.Ini->Span = span;
    c.StartUp();
    if (c.StartFailed) return 4;  // said by the start-up; the resume files are left alone
    const double readSecs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    const size_t total = c.Replayer().LineCount();
    const bool progress = isatty(2) && total > 200'000;
    CProgressBar bar;
    const CReplayCounts counts = ReplayToEnd(c, {}, [&](int32_t position) {
        if (progress) bar.Show(static_cast<int>(100.0 * position / total));
    });
    const long noIssue = counts.NoIssue, badTime = counts.BadTime;
    if (progress) std::fputc('\n', stderr);
    ui.Flush();
    std::fflush(stdout);
    // Count the rising list once everything is merged: the list's hold waits for the end of
    // the burst that took the last records.
    c.WaitForWatchers();
    int listedA = c.ChannelA().List.Count();
    c.DataModuleDestroy();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(
        stderr,
        "kestrel-backtest: %zu lines read, %ld skipped (%ld no watched issue, %ld bad time), "
        "%ld events, %d rising issues listed, %.2f s (%.2f s start-up and reading)\n",
        total, noIssue + badTime, noIssue, badTime, ui.events, listedA, secs, readSecs);
    return 0;
}
