#pragma once
// The controller's logic without a window toolkit: creation of the queues, lists and watchers,
// the start-up sequence, the replay tick, the midday reconnect and the shutdown. The monitor's
// TM_Global drives it from Qt timers; kestrel-backtest drives the same code without pacing.
#include <memory>
#include <string>
#include <vector>

#include "DdeConv.h"
#include "Ini.h"
#include "Interaction.h"
#include "LimitPriceRange.h"
#include "MeigaraInfo.h"
#include "Trkg.h"
#include "Watch.h"

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
    void ReConnTimerTimer();
    void DataModuleDestroy();

    // Today's resume file names, from the clock's date.
    std::string ResumeFileName(const char* suffix);
    std::string Path(const std::string& name) const;
    bool ReplayAtEnd() const;
    CRankingChannel& ChannelA() { return *A; }
    CRankingChannel& ChannelD() { return *D; }

    bool ReConnDone = false;
    bool MorningSeen = false;
    bool InitDone = false;
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
    // Longest wait at shutdown for the watchers to merge what is still queued.
    int DrainWaitMs = 10'000;

private:
    void LoadReplayData();
    void ReadAhead(int32_t pos);
    void OfferResumeFiles();

    IUserInterface& Ui;
    IClock& Clock;
    std::string Dir;
    std::string LogDir;
    DdeConvFactory ConvFactory;
    CTrkgContext Ctx;
    // The replay reads a few lines ahead to bring their trackers into the cache: the tracker
    // of each line read ahead, by line number, in a small ring.
    struct CAhead {
        static constexpr int32_t kNotRead = -2;  // not a plain line: looked up in its turn
        int32_t Line = -1;
        int32_t Tracker = kNotRead;  // or -1: no watched issue
    };
    static constexpr int kAheadRing = 32;
    CAhead Ahead[kAheadRing];
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
