#include "app/Controller.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <thread>
#include <unordered_set>
#include <utility>

#include "common/Codec.h"
#include "common/CommaText.h"
#include "common/LocalTime.h"
#include "common/TextFile.h"
#include "common/TimeOfDay.h"

CController* M_GlobalCore = nullptr;
CMeigaraQueue* MeigaraQueueA = nullptr;
CMeigaraQueue* MeigaraQueueD = nullptr;
CMeigaraList* MeigaraListA = nullptr;
CMeigaraList* MeigaraListD = nullptr;
TWatch* WatchA = nullptr;
TWatch* WatchD = nullptr;
CTrkgList* TrkgList = nullptr;

namespace {
constexpr int64_t kMiddayReconnectMs = (12 * 60 + 25) * kestrel::kMsPerMinute;
// The status bar shows this much of a replayed line at most.
constexpr size_t kStatusLineBytes = 200;

std::string StatusLine(std::string_view line) {
    const std::string_view shown = kestrel::CutUtf8(line, kStatusLineBytes);
    std::string text = "【";
    text.append(shown);
    if (shown.size() < line.size()) text += "…";
    return text += "】";
}
}  // namespace

void CController::ReportRead(const std::string& file, const kestrel::TextFileReport& report) {
    if (!report.Refusal.Missing && !report.Refusal.Text.empty())
        Ui.ShowMessage("【" + file + "】を読み込めません: " + report.Refusal.Text);
    if (report.Mark != kestrel::ByteOrderMark::None)
        Ui.ShowMessage(kestrel::ByteOrderMarkNote(file, report.Mark));
}

void CController::ReportLongLines(const std::string& file, size_t count, size_t limit) {
    if (count == 0) return;
    Ui.ShowMessage("【" + file + "】の " + std::to_string(count) +
                   " 行は長すぎるため読み込みませんでした（1 行 " + std::to_string(limit) +
                   " バイトまで）。");
}

CDate CSystemClock::Today() {
    const kestrel::CLocalNow now = kestrel::LocalNow();
    return {now.Year, now.Month, now.Day};
}

int64_t CSystemClock::TimeOfDayMs() { return kestrel::LocalNow().TimeOfDayMs; }

void CSystemClock::SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

CController::CController(IUserInterface& ui, IClock& clock, std::string dir, std::string logDir,
                         DdeConvFactory convFactory, Reach reach)
    : Ui(ui),
      Clock(clock),
      Global(reach == Reach::Global),
      Dir(std::move(dir)),
      LogDir(std::move(logDir)),
      ConvFactory(std::move(convFactory)) {
    if (Global) M_GlobalCore = this;
}

CController::~CController() {
    Driver.StopReader();
    if (A || D) DataModuleDestroy();
    if (Global && M_GlobalCore == this) M_GlobalCore = nullptr;
}

std::string CController::Path(const std::string& name) const {
    return Dir.empty() ? name : Dir + "/" + name;
}

void CController::DataModuleCreate() {
    MorningSeen = false;
    ReConnDone = false;
    InitDone = false;
    A = std::make_unique<CRankingChannel>('A');
    D = std::make_unique<CRankingChannel>('D');
    A->Start(TThreadPriority::tpLower);
    D->Start(TThreadPriority::tpLower);
    if (!Global) return;
    MeigaraQueueA = &A->Queue;
    MeigaraQueueD = &D->Queue;
    MeigaraListA = &A->List;
    MeigaraListD = &D->List;
    WatchA = A->Watch.get();
    WatchD = D->Watch.get();
}

void CController::CreateIni(const std::string& fileName) {
    Ini = std::make_unique<CIni>(fileName.empty() ? Path(CIni::kDefaultPath) : fileName);
    Ini->Load();
}

void CController::InitTimerTimer() {
    InitTimerEnabled = false;
    Ui.SetBusy(true);
    Ui.ShowSplash(true);
    Ui.ProcessEvents();
    StartUp();
    Clock.SleepMs(1000);
    Ui.ShowSplash(false);
    if (Ini) Ui.ApplyColumnWidths(*Ini);
    Ui.SetBusy(false);
}

void CController::StartUp() {
    Ui.SetBusy(true);
    InitDone = false;
    if (!Ini) CreateIni();
    // What the settings file could not give is said once, before the other files.
    for (const std::string& note : Ini->TakeNotes()) Ui.ShowMessage(note);

    MasterList = std::make_unique<CMeigaraInfoList>(Path(CMeigaraInfoList::kDefaultPath));
    ReportRead(CMeigaraInfoList::kDefaultPath, MasterList->ReadReport());
    if (MasterList->Count() == 0)
        Ui.ShowMessage("銘柄情報リストの取得に失敗しました。【銘柄情報.txt】");
    ReportLongLines(CMeigaraInfoList::kDefaultPath, MasterList->LongLines());

    LimitList = std::make_unique<CLimitPriceRangeList>(Path(CLimitPriceRangeList::kDefaultPath));
    ReportRead(CLimitPriceRangeList::kDefaultPath, LimitList->ReadReport());
    if (LimitList->Count() == 0)
        Ui.ShowMessage("株式売買値幅の取得に失敗しました。【株式売買値幅.txt】");
    ReportLongLines(CLimitPriceRangeList::kDefaultPath, LimitList->LongLines());

    WatchLines.clear();
    // Without a watch list the run ends, but only once start-up is through: a quit taken up by
    // the next message box's own event loop would end that box and the resume question unasked.
    bool quit = false;
    kestrel::TextFileReport watchRead;
    const bool watchList =
        kestrel::ReadLines(Path("監視銘柄.txt"), WatchLines, kestrel::kMaxListFileBytes, watchRead);
    ReportRead("監視銘柄.txt", watchRead);
    if (!watchList) {
        Ui.ShowMessage("監視銘柄リストの取得に失敗しました。【監視銘柄.txt】");
        Ui.ShowMessage("作業フォルダを再確認してください → 終了します");
        quit = true;
    }
    // Every record of an issue carries its topic: a topic longer than any real one is no issue.
    const size_t watched = WatchLines.size();
    std::erase_if(WatchLines,
                  [](const std::string& l) { return l.size() > kestrel::kMaxTextFieldBytes; });
    ReportLongLines("監視銘柄.txt", watched - WatchLines.size(), kestrel::kMaxTextFieldBytes);
    ReportLongLines("監視銘柄.txt", watchRead.LongLines);

    Ctx.Rule = {Ini->GetRate(), Ini->GetSpan()};
    Ctx.Replaying = Ini->IsDebug();
    Ctx.InitDone = &InitDone;
    Ctx.Replay = &Replay;
    Ctx.MasterList = MasterList.get();
    Ctx.LimitList = LimitList.get();
    Ctx.QueueA = &A->Queue;
    Ctx.QueueD = &D->Queue;
    Ctx.EventLog = [this](const MoveEvent& e) { Ui.AppendMove(e); };
    Ctx.ShowMessage = [this](const std::string& text) { Ui.ShowMessage(text); };
    Ctx.ReportError = [this](const std::string& text) { Ui.SetStatusText(text); };
    Ctx.ConvFactory = ConvFactory;
    Driver.SetTrackers(nullptr);  // the reader goes through the list about to be replaced
    TrkgList = nullptr;
    StartFailed = false;
    try {
        this->TrkgList = std::make_unique<CTrkgList>(WatchLines, Ctx);
    } catch (const std::bad_alloc&) {
        // Nothing can be watched: say so and end, with today's lists left as they are.
        Ui.ShowMessage("監視銘柄 " + std::to_string(WatchLines.size()) +
                       " 件を監視するメモリを確保できません → 終了します");
        WatchLines.clear();
        this->TrkgList = std::make_unique<CTrkgList>(WatchLines, Ctx);
        StartFailed = quit = true;
    }
    if (Global) ::TrkgList = this->TrkgList.get();
    Driver.SetTrackers(this->TrkgList.get());

    if (!StartFailed) {
        if (Ini->IsDebug()) LoadReplayData();
        OfferResumeFiles();
    }

    Ui.EnableMainWindow();
    Ui.SetBusy(false);
    InitDone = true;
    if (quit) Ui.RequestQuit();
}

void CController::StartUpBeside(CController& main) {
    InitDone = false;
    if (!Ini) CreateIni();
    StartFailed = main.StartFailed;
    if (StartFailed || !A || !D) return;
    OfferResumeFiles();
    main.Ctx.AddSideRule({{Ini->GetRate(), Ini->GetSpan()},
                          [this](const MoveEvent& e) { Ui.AppendMove(e); },
                          &A->Queue,
                          &D->Queue});
    InitDone = true;
}

void CController::LoadReplayData() {
    Driver.Restart();
    kestrel::TextFileReport read;
    size_t lines = 0;
    if (StreamBlockBytes > 0) {
        // The file is looked through once now, so everything said of it is said here as ever.
        auto file = std::make_unique<kestrel::CTextFileReader>(StreamBlockBytes);
        Replay.ReplayLines.clear();
        if (file->Open(Path("kabu.txt"), kestrel::kMaxReplayFileBytes, read)) {
            lines = file->LineCount();
            Replay.ReplayLines.BeginParts(file->MaxParts());
            Driver.StreamFrom(std::move(file));
        }
    } else {
        kestrel::ReadLines(Path("kabu.txt"), Replay.ReplayLines, kestrel::kMaxReplayFileBytes,
                           read);
        lines = Replay.ReplayLines.size();
    }
    ReportRead("kabu.txt", read);
    if (lines == 0) Ui.ShowMessage("デバッグ用データ\"kabu.txt\"の読込エラー");
    ReportLongLines("kabu.txt", read.LongLines);
    kestrel::ReadLines(Path("std.csv"), Replay.ReplayBaseLines, kestrel::kMaxReplayFileBytes, read);
    ReportRead("std.csv", read);
    Replay.BaseIndexedLines = SIZE_MAX;
    if (Replay.ReplayBaseLines.empty()) Ui.ShowMessage("デバッグ用データ\"std.csv\"の読込エラー");
    ReportLongLines("std.csv", read.LongLines);
    DebugTimerEnabled = true;
}

std::string CController::ResumeFileName(const char* suffix) {
    CDate d = Clock.Today();
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%04d%02d%02d_", d.Year, d.Month, d.Day);
    std::string dir = LogDir.empty() ? Path("log") : LogDir;
    return dir + "/" + prefix + suffix;
}

void CController::OfferResumeFiles() {
    std::string asc = ResumeFileName("Asc.txt");
    std::string bytes;
    kestrel::InputRefusal refused;
    if (!kestrel::ReadFileBytes(asc, bytes, kestrel::kMaxListFileBytes, &refused)) {
        // Something there that is no resume file (a folder, a FIFO, a file larger than any
        // list) is not offered, and said.
        if (!refused.Missing) Ui.ShowMessage("レジュームファイルを読み込めません: " + refused.Text);
        ResumeSettled = !Ending;
        return;
    }
    const bool load = !Ending && Ui.Confirm("レジュームファイルがあります。ロードしますか？");
    if (Ending) return;  // the box was ended by the shutdown, not answered
    ResumeSettled = true;
    if (!load) return;
    int skipped = 0, longLines = 0, odd = 0;
    std::string kept;
    for (auto* ch : {A.get(), D.get()}) {
        const std::string name = ResumeFileName(ch == A.get() ? "Asc.txt" : "Dsc.txt");
        auto result = ch->List.LoadFromFile(name);
        if (!result.Report.Refusal.Missing && !result.Report.Refusal.Text.empty())
            Ui.ShowMessage("レジュームファイルを読み込めません: " + result.Report.Refusal.Text);
        if (result.Report.Mark != kestrel::ByteOrderMark::None)
            Ui.ShowMessage(kestrel::ByteOrderMarkNote(name, result.Report.Mark));
        if (result.Skipped == 0 && result.LongLines == 0 && result.OddLines == 0) continue;
        skipped += result.Skipped;
        longLines += result.LongLines;
        odd += result.OddLines;
        // The lines not read would be gone with the next save (at shutdown, so the file is still
        // as it was): it stays beside.
        std::string original;
        if (!kestrel::ReadFileBytes(name, original, kestrel::kMaxListFileBytes)) continue;
        std::string copy = KeepBeside(name, original);
        kept += copy.empty() ? "" : (kept.empty() ? "" : "、") + copy;
    }
    if (skipped > 0 || longLines > 0 || odd > 0)
        Ui.ShowMessage(
            (skipped > 0 ? "レジュームファイルの " + std::to_string(skipped) +
                               " 行は数値が読めないため読み込みませんでした。"
                         : std::string()) +
            (longLines > 0 ? "レジュームファイルの " + std::to_string(longLines) +
                                 " 行は長すぎるため読み込みませんでした。"
                           : std::string()) +
            (odd > 0 ? "レジュームファイルの " + std::to_string(odd) +
                           " 行は壊れているため（列の数が 18 でないか NUL を含む）、"
                           "内容をすべては読み込めませんでした。"
                     : std::string()) +
            (kept.empty() ? std::string() : "元のファイルを " + kept + " に残しました。"));
}

std::string CController::KeepBeside(const std::string& name, const std::string& bytes) {
    // Never over an earlier copy: each holds lines that are nowhere else.
    for (int n = 1; n <= 99; ++n) {
        std::string copy = name + ".bad" + (n == 1 ? std::string() : std::to_string(n));
        if (kestrel::FileExists(copy)) continue;
        try {
            kestrel::WriteFileBytes(copy, bytes);
            return copy;
        } catch (const std::exception& e) {
            Ui.ShowMessage(e.what());
            return "";
        }
    }
    return "";
}

CController::ReplayOutcome CController::DebugTimerTimer() {
    if (!InitDone || !this->TrkgList) return ReplayOutcome::Idle;
    if (Driver.AtEnd()) {
        Driver.PushHeld();
        // A streamed kabu.txt whose reading failed on the way ends early: said once.
        if (std::string failed = Driver.StreamFailure(); !failed.empty() && DebugTimerEnabled)
            Ui.ShowMessage("【kabu.txt】を読み込めません: " + failed);
        DebugTimerEnabled = false;  // every line delivered: nothing more to do
        return ReplayOutcome::End;
    }
    const int32_t pos = Driver.Position();
    const bool status = Ui.WantsStatusText();
    // The line's text only for the status bar: the reader has read it already.
    const std::string_view line =
        status ? Replay.ReplayLines[static_cast<size_t>(pos)] : std::string_view();
    if (status) Ui.SetStatusText(StatusLine(line));
    const CReplayPoint& point = Driver.Read();
    if (point.Tracker < 0 || point.Tracker >= this->TrkgList->Count()) {
        Driver.PassOver(pos);  // no watched issue
        return ReplayOutcome::NoIssue;
    }
    ReplayOutcome outcome = ReplayOutcome::Delivered;
    try {
        Driver.Deliver(point);
    } catch (const kestrel::TimeFormatError&) {
        if (status) Ui.SetStatusText(StatusLine(line) + " 時刻が読めないため飛ばしました");
        outcome = ReplayOutcome::BadTime;
    } catch (const std::exception& e) {
        Ui.ShowMessage(e.what());
        outcome = ReplayOutcome::Error;
    }
    Driver.Done(pos);
    return outcome;
}

void CController::ReConnTimerTimer() {
    int64_t now = kestrel::CutToMinuteMs(Clock.TimeOfDayMs());
    if (now < kMiddayReconnectMs) {
        MorningSeen = true;
        return;
    }
    if (!MorningSeen || ReConnDone) return;
    // A tick while start-up is still running waits for the next one: the trackers may not
    // exist yet.
    if (!InitDone || !this->TrkgList) return;
    ReConnTimerEnabled = false;
    ReConnDone = true;
    Ui.SetBusy(true);
    Ui.SetStatusText("DDE-LINK 再接続処理中･･･");
    this->TrkgList->ReconnectAll();
    Ui.SetStatusText("");
    Ui.SetBusy(false);
}

CController::WatchListChange CController::ApplyWatchList(std::vector<std::string> lines) {
    WatchListChange change;
    if (!InitDone || !this->TrkgList || !A || !D) return change;
    // The same lines start-up would keep.
    std::erase_if(lines,
                  [](const std::string& l) { return l.size() > kestrel::kMaxTextFieldBytes; });
    const std::unordered_set<std::string> before(WatchLines.begin(), WatchLines.end());
    const std::unordered_set<std::string> after(lines.begin(), lines.end());
    std::unordered_set<std::string> said;
    for (const std::string& t : lines)
        if (!before.count(t) && said.insert(t).second) change.Added.push_back(t);
    for (const std::string& t : WatchLines)
        if (!after.count(t) && said.insert(t).second) change.Removed.push_back(t);

    // The replay's reader reads codes against the trackers: it stops before they change and
    // reads again from the new list. Records held for a batch go out first, from the trackers
    // that made them.
    Driver.PushHeld();
    Driver.SetTrackers(nullptr);
    std::unique_ptr<CTrkgList> next;
    try {
        next = std::make_unique<CTrkgList>(lines, Ctx, *this->TrkgList);
    } catch (const std::bad_alloc&) {
        Driver.SetTrackers(this->TrkgList.get());
        Ui.ShowMessage("監視銘柄 " + std::to_string(lines.size()) +
                       " 件を監視するメモリを確保できません → 監視銘柄は元のままです");
        return WatchListChange{};
    }
    std::unique_ptr<CTrkgList> old = std::exchange(this->TrkgList, std::move(next));
    if (Global) ::TrkgList = this->TrkgList.get();
    Driver.SetTrackers(this->TrkgList.get());
    old.reset();  // the trackers not taken over close their links here
    WatchLines = std::move(lines);
    change.Applied = true;
    if (change.Removed.empty()) return change;

    // Records the removed trackers made may still be queued: once the watchers have merged
    // them (this thread is the only producer, and it makes no more of them), the entries go.
    WaitForWatchers(std::chrono::seconds(3));
    const std::unordered_set<std::string> gone(change.Removed.begin(), change.Removed.end());
    for (auto* ch : {A.get(), D.get()}) {
        auto held = ch->List.Lock();
        std::erase_if(*held,
                      [&](const std::unique_ptr<CMeigara>& m) { return gone.count(m->Code); });
    }
    return change;
}

void CController::SaveListsNow() {
    if (!A || !D || !ResumeSettled) return;
    Driver.PushHeld();
    // The save takes the lists' hold, so it waits for the burst that took the last records. A
    // watcher that does not take them within a few seconds does not hold up the save of what
    // is merged.
    WaitForWatchers(std::chrono::seconds(3));
    // No box at the session's end: nobody is there to answer it.
    SaveResumeFiles(
        [](const std::string& why) { std::fprintf(stderr, "kestrel: %s\n", why.c_str()); });
}

void CController::WaitForWatchers(std::chrono::milliseconds limit) {
    if (!A || !D) return;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while ((A->Queue.Count() > 0 || D->Queue.Count() > 0) &&
           (limit == limit.zero() || std::chrono::steady_clock::now() < deadline))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void CController::SaveResumeFiles(const std::function<void(const std::string&)>& report) {
    // Each list is saved on its own: a failure with one does not cost the other.
    for (auto* ch : {A.get(), D.get()}) {
        try {
            ch->List.SaveToFile(ResumeFileName(ch == A.get() ? "Asc.txt" : "Dsc.txt"));
        } catch (const std::exception& e) {
            ResumeSaveErrors.push_back(e.what());
            report(e.what());
        }
    }
}

void CController::DataModuleDestroy() {
    Driver.PushHeld();  // merged and saved like every other record
    // The settings beside this one have had their records, or have none coming.
    Ctx.SideRules.clear();
    Ctx.SideSpans.clear();
    Driver.SetTrackers(nullptr);
    if (Global) ::TrkgList = nullptr;
    this->TrkgList.reset();
    if (!A || !D) return;
    // A closed queue has its watcher merge what is still queued, sort its list and end: both
    // drain at once, and each Stop below waits for its own.
    A->Queue.Close();
    D->Queue.Close();
    if (Global) WatchA = nullptr;
    A->Stop();
    if (Global) WatchD = nullptr;
    D->Stop();
    while (A->Queue.Pop()) {
    }
    while (D->Queue.Pop()) {
    }
    if (Global) MeigaraQueueA = MeigaraQueueD = nullptr;
    if (!ResumeSettled)
        std::fprintf(
            stderr,
            "kestrel: start-up did not finish; today's resume files are kept as they were\n");
    if (ResumeSettled) SaveResumeFiles([this](const std::string& why) { Ui.ShowMessage(why); });
    if (Global) MeigaraListA = MeigaraListD = nullptr;
    Ctx.QueueA = Ctx.QueueD = nullptr;  // nothing is held or pushed any more
    A.reset();
    D.reset();
}
