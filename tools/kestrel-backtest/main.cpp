// kestrel-backtest: replays a working folder's kabu.txt through the monitor's own trackers,
// queues, watchers and lists without pacing, prints every event line and writes the two resume
// files. With a sweep of settings it runs a study of them (Study.h).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Controller.h"
#include "common/TextFile.h"
#include "common/TimeOfDay.h"
#include "console/ConsoleTool.h"
#include "console/Options.h"
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
        "  made when missing), never to the monitor's DIR/log unless named. --rate (in %, from\n"
        "  0.000000001 to 100) and --time (in minutes, 1 to 1440) replace KESTREL.INI's. Resume\n"
        "  files of that date already in the output folder are replaced only with --force;\n"
        "  without it the run ends with exit code 3 before replaying anything. Exit code 4: the\n"
        "  trackers of the watch list could not be made (the system refused the memory).\n",
        out);
    // The study's lines come with --help; a mistyped plain command gets the usage it always got.
    if (out == stdout) std::fputs(kStudyUsage, out);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words = CommandWords(argc, argv);
    if (AsksForHelp(words)) {
        Usage(stdout);
        return 0;
    }
    if (IsStudyCommand(argc, argv)) return StudyMain(argc, argv);
    std::string outDir;
    CConsoleClock clock;
    CConsoleUi ui("kestrel-backtest");
    bool force = false;
    double rate = 0;
    int span = 0;
    COptionParser options;
    options.Number("--rate",
                   [&](const std::string& t, std::string& why) { return ReadRate(t, rate, why); });
    options.Number("--time", [&](const std::string& t, std::string& why) {
        return ReadMinutes(t, span, why);
    });
    options.Text("--date", [&](const std::string& t, std::string& why) {
        return clock.fixedDate = ReadDate(t, clock.date, why);
    });
    options.Text("--out", [&](const std::string& t, std::string& why) {
        outDir = t;
        return !t.empty() || (why = "takes a folder", false);
    });
    options.Switch("--force", force);
    options.Switch("--quiet", ui.quiet);
    std::vector<std::string> folders;
    std::string error;
    if (!options.Parse(words, folders, error)) {
        std::fprintf(stderr, "kestrel-backtest: %s\n", error.c_str());
        if (error.rfind("unknown option", 0) == 0) Usage(stderr);
        return 2;
    }
    if (folders.size() != 1) {
        if (folders.size() > 1)
            std::fprintf(stderr, "kestrel-backtest: one folder, not %zu (a study takes more)\n",
                         folders.size());
        Usage(stderr);
        return 2;
    }
    const std::string& dir = folders[0];
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
    if (options.Given("--rate")) c.Ini->Rate = rate;
    if (options.Given("--time")) c.Ini->Span = span;
    // Replayed once to its end: kabu.txt is read as the replay goes, never whole.
    c.StreamReplayData();
    c.StartUp();
    if (c.StartFailed) return 4;  // said by the start-up; the resume files are left alone
    const double readSecs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    const size_t total = c.Replayer().ExpectedLineCount();
    const bool progress = isatty(2) && total > 200'000;
    CProgressBar bar;
    const CReplayCounts counts = ReplayToEnd(c, {}, [&](int32_t position) {
        if (progress) bar.Show(static_cast<int>(100.0 * position / total));
    });
    const long noIssue = counts.NoIssue, badTime = counts.BadTime;
    const size_t linesRead = c.Replayer().LineCount();
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
        linesRead, noIssue + badTime, noIssue, badTime, ui.events, listedA, secs, readSecs);
    return 0;
}
