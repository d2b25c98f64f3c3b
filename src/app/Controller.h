#pragma once
// The controller's logic without a window toolkit: creation of the queues, lists and watchers,
// the start-up sequence, the replay tick, the midday reconnect and the shutdown. The monitor's
// TM_Global drives it from Qt timers; kestrel-backtest drives the same code without pacing.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tracking/DdeConv.h"
#include "settings/Ini.h"
#include "app/Interaction.h"
#include "refdata/LimitPriceRange.h"
#include "refdata/MeigaraInfo.h"
#include "tracking/Trkg.h"
#include "common/WaitableValue.h"
#include "ranking/Watch.h"

class CController {
public:
    // `dir` is the working folder ("" for the current one); `logDir` where the resume files go
    // ("" for dir/log).
    CController(IUserInterface& ui, IClock& clock, std::string dir = "", std::string logDir = "",
                DdeConvFactory convFactory = {});
    ~CController();
    CController(const CController&) = delete;
    CController& operator=(const CController&) = delete;

    void DataModuleCreate();
    // The settings, created and read by the main window's creation (or by StartUp when none).
    void CreateIni(const std::string& fileName = "");
    void InitTimerTimer();
    void StartUp();
    // What one replay tick did.
    enum class ReplayOutcome { Idle, Delivered, NoIssue, BadTime, Error, End };
    ReplayOutcome DebugTimerTimer();
    // Reads the replay lines ahead on a thread of their own, for a replay that goes line by
    // line from its start as fast as it can (the backtest). Without it each tick reads its
    // line itself; either way a line is read by the same code. Stops by itself when the
    // replay jumps, is loaded anew or the controller goes.
    void StartReplayReader();
    // For a driver that replays as fast as it can: the trackers' records are pushed to the
    // queues in batches of a few dozen lines' worth, not one by one. Switching it off pushes
    // what is held; so do the end of the data and DataModuleDestroy.
    void HoldRecords(bool on);
    void ReConnTimerTimer();
    void DataModuleDestroy();
    // The process is ending (a signal, the end of the session) before or while start-up asks
    // its questions: a question ended by it went unanswered, and today's lists stay as they are.
    void BeginEnding() { Ending = true; }

    // Today's resume file names, from the clock's date.
    std::string ResumeFileName(const char* suffix);
    std::string Path(const std::string& name) const;
    bool ReplayAtEnd() const;
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
    std::unique_ptr<CIni> Ini;
    CReplayData Replay;
    std::unique_ptr<CMeigaraInfoList> MasterList;
    std::unique_ptr<CLimitPriceRangeList> LimitList;
    std::vector<std::string> WatchLines;
    std::unique_ptr<CTrkgList> TrkgList;

    // Timer switches the driver follows after each handler.
    bool InitTimerEnabled = true;
    bool DebugTimerEnabled = false;
    bool ReConnTimerEnabled = true;

private:
    void LoadReplayData();
    const CReplayPoint& PointAt(int32_t pos);
    void StopReplayReader();
    void PushHeldRecords();
    void ReplayReader(std::stop_token stop);
    void OfferResumeFiles();
    // One message for lines of a file passed over as too long, when there were any.
    void ReportLongLines(const std::string& file, size_t count);
    // A copy of a file's bytes beside it, named name.bad (or .bad2, ...); its name, or "".
    std::string KeepBeside(const std::string& name, const std::string& bytes);

    IUserInterface& Ui;
    IClock& Clock;
    std::string Dir;
    std::string LogDir;
    DdeConvFactory ConvFactory;
    CTrkgContext Ctx;
    // Replay lines read ahead, by line number in a ring: the replay brings the trackers of the
    // coming lines into the cache. The reader thread, when there is one, may fill the slots of
    // lines up to ReaderLimit (exclusive) and publishes how far it got in ReaderEnd.
    static constexpr int32_t kRing = 8192, kReaderBlock = 512, kFar = 12, kNear = 6;
    std::vector<CReplayPoint> Ahead = std::vector<CReplayPoint>(kRing);
    std::jthread Reader;
    CWaitableValue ReaderEnd;
    CWaitableValue ReaderLimit;
    int32_t NextPos = 0;  // the line the reader expects the replay to take next
    static constexpr int kHeldLines = 64;
    int HeldLines = 0;  // lines delivered since held records were last pushed
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
