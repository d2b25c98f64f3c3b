#pragma once
// The controller's logic without a window toolkit: creation of the queues, lists and watchers,
// the start-up sequence, the replay tick, the midday reconnect and the shutdown. The monitor's
// TM_Global drives it from Qt timers; kestrel-backtest drives the same code without pacing.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Interaction.h"
#include "ranking/Watch.h"
#include "refdata/LimitPriceRange.h"
#include "refdata/MeigaraInfo.h"
#include "settings/Ini.h"
#include "tracking/DdeConv.h"
#include "tracking/Replay.h"
#include "tracking/Trkg.h"

class CController {
public:
    // Whether a controller is the process's one, reachable through the globals below. One made
    // Local leaves them alone, so several can run at once, one per thread (a study of settings).
    enum class Reach { Global, Local };
    // `dir` is the working folder ("" for the current one); `logDir` where the resume files go
    // ("" for dir/log).
    CController(IUserInterface& ui, IClock& clock, std::string dir = "", std::string logDir = "",
                DdeConvFactory convFactory = {}, Reach reach = Reach::Global);
    ~CController();
    CController(const CController&) = delete;
    CController& operator=(const CController&) = delete;

    void DataModuleCreate();
    // The settings, created and read by the main window's creation (or by StartUp when none).
    void CreateIni(const std::string& fileName = "");
    void InitTimerTimer();
    void StartUp();
    // A further setting judged in `main`'s replay beside main's own rule (a study of several
    // settings in one pass), in place of this controller's StartUp, after main's and before
    // the replay. This one makes no trackers and reads none of the day's files: main's
    // trackers judge by this one's rule too, its user hears the moves of that rule, and what
    // the shared files gave was said to main's user. It offers its own resume files, and its
    // queues get its records when main's replay ends; its DataModuleDestroy then saves its
    // lists. Main must not replay again after that.
    void StartUpBeside(CController& main);
    // What one replay tick did.
    enum class ReplayOutcome { Idle, Delivered, NoIssue, BadTime, Error, End };
    ReplayOutcome DebugTimerTimer();
    // The replay of the recorded lines the tick delivers, for a driver that replays as fast as
    // it can (the backtest): its position, its reader thread and its record batches. It
    // pushes what it holds at the end of the data and at DataModuleDestroy.
    CReplayDriver& Replayer() { return Driver; }
    // For a run that replays once to its end and never goes back (the backtest): kabu.txt is
    // read `blockBytes` at a time as the replay moves on (CReplayDriver::StreamFrom), not whole
    // at start-up; 0 reads it whole, as the monitor must to jump about in it. What the user is
    // told of the file is the same either way. Set before StartUp.
    void StreamReplayData(size_t blockBytes = kestrel::kTextBlockBytes) {
        StreamBlockBytes = blockBytes;
    }
    void ReConnTimerTimer();
    void DataModuleDestroy();
    // The process is ending (a signal, the end of the session) before or while start-up asks
    // its questions: a question ended by it went unanswered, and today's lists stay as they are.
    void BeginEnding() { Ending = true; }
    // Both resume files written now, from the lists with every record pushed so far merged,
    // nothing stopped: for an end that may not leave time for the normal one. The normal end
    // writes them again. Nothing is written while the resume question is unsettled.
    void SaveListsNow();
    // Waits until the watchers have taken every record pushed so far, or until `limit` has
    // passed (zero: no limit). A watcher empties its queue inside the hold of its list, so
    // whatever takes that hold next sees those records merged.
    void WaitForWatchers(std::chrono::milliseconds limit = std::chrono::milliseconds::zero());

    // A watch list saved while the monitor runs, put in place at once: a topic kept keeps its
    // tracker as it was, a new topic gets one (linked in live mode; in debug mode the replay
    // feeds it from the line it has reached), and a topic no longer listed loses its tracker
    // and link, and its entries leave both ranking lists. Before start-up has made the
    // trackers nothing is done: start-up reads the file itself. What changed is returned;
    // Applied is false when nothing could change (the trackers' memory refused, said).
    struct WatchListChange {
        bool Applied = false;
        std::vector<std::string> Added, Removed;  // topics, each once, in list order
    };
    WatchListChange ApplyWatchList(std::vector<std::string> lines);

    // Today's resume file names, from the clock's date.
    std::string ResumeFileName(const char* suffix);
    std::string Path(const std::string& name) const;
    bool ReplayAtEnd() const { return Driver.AtEnd(); }
    // Quote points stored from the live feed since the start (none in debug mode).
    int64_t LiveQuotes() const { return Ctx.LiveQuotes; }
    CRankingChannel& ChannelA() { return *A; }
    CRankingChannel& ChannelD() { return *D; }

    bool ReConnDone = false;
    bool MorningSeen = false;
    bool InitDone = false;
    // Today's resume files may be written at shutdown: start-up found none, or the user loaded
    // or declined them. A run that ends before that leaves them as they were.
    bool ResumeSettled = false;
    bool Ending = false;
    // The last start-up could not make the trackers (the system refused the memory): nothing is
    // watched, the quit is requested, and the process should end with a failure.
    bool StartFailed = false;
    // Why each save of a resume file failed since the start (the system's reason with the
    // file's name), for a driver that must not take the run for a success; each is also said.
    std::vector<std::string> ResumeSaveErrors;
    std::unique_ptr<CIni> Ini;
    std::unique_ptr<CMeigaraInfoList> MasterList;
    std::unique_ptr<CLimitPriceRangeList> LimitList;
    std::vector<std::string> WatchLines;
    std::unique_ptr<CTrkgList> TrkgList;

    // Timer switches the driver follows after each handler.
    bool InitTimerEnabled = true;
    bool DebugTimerEnabled = false;
    bool ReConnTimerEnabled = true;

private:
    // Both resume files from the lists as they stand; what fails goes to `report`.
    void SaveResumeFiles(const std::function<void(const std::string&)>& report);
    void LoadReplayData();
    void OfferResumeFiles();
    // What reading a file found that the user should hear: a file that is there but refused
    // (said with the reason), a byte-order mark.
    void ReportRead(const std::string& file, const kestrel::TextFileReport& report);
    // One message for lines of a file passed over as too long, when there were any.
    void ReportLongLines(const std::string& file, size_t count,
                         size_t limit = kestrel::kMaxTextLineBytes);
    // A copy of a file's bytes beside it, named name.bad (or .bad2, ...); its name, or "".
    std::string KeepBeside(const std::string& name, const std::string& bytes);

    IUserInterface& Ui;
    IClock& Clock;
    const bool Global;
    std::string Dir;
    std::string LogDir;
    DdeConvFactory ConvFactory;
    CTrkgContext Ctx;
    CReplayData Replay;
    CReplayDriver Driver{Replay, Ctx};
    size_t StreamBlockBytes = 0;
    std::unique_ptr<CRankingChannel> A;
    std::unique_ptr<CRankingChannel> D;
};

// The one controller of the process and the objects it makes, reachable from everywhere as
// the monitor's units expect; null when no controller runs.
extern CController* M_GlobalCore;
extern CMeigaraQueue* MeigaraQueueA;
extern CMeigaraQueue* MeigaraQueueD;
extern CMeigaraList* MeigaraListA;
extern CMeigaraList* MeigaraListD;
extern TWatch* WatchA;
extern TWatch* WatchD;
extern CTrkgList* TrkgList;
