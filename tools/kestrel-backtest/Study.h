#pragma once
// A study of alert settings: each recorded day is replayed once for each setting of a sweep
// (rate × window), every run by a controller of its own exactly as the plain backtest replays,
// the runs spread over threads. Each alert is scored against the same day's later prices, and
// the summary (study.csv), the alerts (alerts.csv) and a report (report.html) go to one folder.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/Interaction.h"

// What the values of an option are: rates in percent or whole minutes, in the ranges of the
// plain --rate and --time (console/Options.h).
enum class SweepKind { Rate, Minutes };
constexpr size_t kMaxSweepValues = 200;
// The values of a sweep or horizon option: a comma list whose items are numbers or ranges
// first:last:step, the last value included when a step lands on it. Sorted, each value once.
// Each value is the one the plain option (--rate, --time) reads from its shortest text, so a
// swept setting is exactly that plain run's. False, with `error` saying why, for an empty
// item, a text that is not a number (or not a whole one in minutes), a range that runs
// backwards, a step of 0 or less, a value (or a range's end) that the plain option refuses,
// named as given, or more than kMaxSweepValues values.
bool ParseSweepValues(std::string_view text, SweepKind kind, std::vector<double>& values,
                      std::string& error);

struct CStudyOptions {
    std::vector<std::string> Days;  // working folders, one recorded day each
    std::vector<double> Rates;      // empty: --rate, or each day's own setting
    std::vector<int> Spans;         // empty: --time, or each day's own setting
    std::vector<int> Horizons{1, 5, 15};
    bool HaveRate = false, HaveSpan = false;
    double Rate = 0;
    int Span = 0;
    std::string OutDir = "study";
    bool Force = false;
    bool Quiet = false;  // nothing on stdout, no progress bar
    bool CsvBom = true;  // study.csv and alerts.csv start with UTF-8's byte-order mark
    int Jobs = 0;        // 0: one per core
    // The most the study may write, in bytes, planned before anything runs.
    uint64_t MaxOutput = uint64_t{4} << 30;
    bool FixedDate = false;
    CDate Date;
};

// Whether one of the study's options (--sweep-rate, --sweep-time, --horizon, --jobs,
// --max-output) is on the command line.
bool IsStudyCommand(int argc, char** argv);
// 0 when the command line reads; otherwise 2, with `error` saying why.
int ParseStudyOptions(int argc, char** argv, CStudyOptions& options, std::string& error);

// What the system would say, given by a test instead.
struct CStudyHooks {
    // Bytes of memory the runs may take together; 0: what the system says is available.
    uint64_t AvailableMemory = 0;
    // Bytes of alerts.csv's rows that runs scored ahead of their turn may hold in memory;
    // 0: an eighth of the memory available, from 64 MiB to 1 GiB.
    uint64_t HeldRows = 0;
    // Starts one of the threads the runs go on; empty: std::thread. It may throw
    // std::system_error as the system's thread creation does.
    std::function<std::thread(std::function<void()>)> MakeThread;
    // Each message as soon as it is said (it goes to `messages` too): the plan and the jobs
    // are said before the runs start.
    std::function<void(const std::string&)> Said;
};

// Runs the study and writes its files. `messages` gets what the study and the runs said (the
// runs' own once per day) and the closing line, for stderr; `summary` the best settings, for
// stdout. `progress` is called on this thread now and then with the share done.
// Every file is written into a private folder inside the output folder and moved into place
// only when the whole study has succeeded; with --force the previous study's files are then
// moved aside and removed, and a study that fails leaves them as they were.
// Exit codes: 0; 2 a folder lacks its files, a folder is given twice, or the planned output is
// above options.MaxOutput (nothing is replayed); 3 the study's files are already in the output
// folder and --force was not given (nothing is replayed); 4 the trackers of a day, or any
// thread for the runs, could not be made; 1 a file or folder could not be made or written (a
// run's lists included). A run that fails stops the study: no run starts after it.
int RunStudy(const CStudyOptions& options, std::string& messages, std::string& summary,
             const std::function<void(double)>& progress = {}, const CStudyHooks& hooks = {});

// The study's lines of the tool's usage.
extern const char* const kStudyUsage;
// The tool's study command: options, progress bar on stderr when it is a terminal, the run.
int StudyMain(int argc, char** argv);
