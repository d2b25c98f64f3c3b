#include "console/ConsoleTool.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/Controller.h"

#ifdef _WIN32
#include <direct.h>
#include <windows.h>

#include "common/TextFile.h"
#else
#include <sys/stat.h>
#endif

void CConsoleUi::ShowMessage(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", Tool.c_str(), text.c_str());
}

bool CConsoleUi::Confirm(const std::string& question) {
    std::fprintf(stderr, "%s: %s %s\n", Tool.c_str(), question.c_str(), answer ? "はい" : "いいえ");
    return answer;
}

void CConsoleUi::AppendEventLine(const std::string& line) {
    ++events;
    if (quiet) return;
    Pending += line;
    LineAdded();
}

void CConsoleUi::AppendMove(const MoveEvent& e) {
    ++events;
    if (quiet) return;
    WriteEventLine(Pending, e);
    LineAdded();
}

void CConsoleUi::LineAdded() {
    Pending += '\n';
    // Handed over in blocks larger than stdio's buffer, which go straight to the system: one
    // call per block, not two per line, and no second copy.
    if (flushEach || Pending.size() >= 256 * 1024) Flush();
    if (flushEach) std::fflush(stdout);
}

void CConsoleUi::Flush() {
    if (Pending.empty()) return;
    std::fwrite(Pending.data(), 1, Pending.size(), stdout);
    Pending.clear();
}

CReplayCounts ReplayToEnd(CController& c, const std::function<void(int32_t)>& beforeLine,
                          const std::function<void(int32_t)>& afterLine, bool foldRecords) {
    constexpr size_t kQueueBound = 20'000;
    CReplayDriver& replay = c.Replayer();
    replay.StartReader();
    replay.HoldRecords(true);
    replay.FoldRecords(foldRecords);
    replay.ReleasePassedLines(true);
    replay.KeepVolumes(false);  // nothing here shows an issue's points
    CReplayCounts counts;
    while (!c.ReplayAtEnd()) {
        while (c.ChannelA().Queue.Count() > kQueueBound || c.ChannelD().Queue.Count() > kQueueBound)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const int32_t before = replay.Position();
        if (beforeLine) beforeLine(before);
        const auto outcome = c.DebugTimerTimer();
        if (outcome == CController::ReplayOutcome::NoIssue) ++counts.NoIssue;
        if (outcome == CController::ReplayOutcome::BadTime) ++counts.BadTime;
        if (replay.Position() == before) break;  // never spin on one line
        if (afterLine) afterLine(replay.Position());
    }
    // The end's own tick, as the monitor's timer takes it: a streamed file that could not be
    // read to its end is said there.
    if (c.ReplayAtEnd()) c.DebugTimerTimer();
    replay.FoldRecords(false);  // the folded records, pushed
    replay.HoldRecords(false);
    return counts;
}

void MakeDir(const std::string& path) {
#ifdef _WIN32
    _wmkdir(kestrel::WidePath(path).c_str());
#else
    mkdir(path.c_str(), 0777);
#endif
}

void CProgressBar::Show(int percent) {
    if (percent == Last) return;
    Last = percent;
    std::fprintf(stderr, "\r[%-50s] %3d%%",
                 std::string(static_cast<size_t>(percent / 2), '#').c_str(), percent);
}

bool IsDir(const std::string& path) {
#ifdef _WIN32
    DWORD a = GetFileAttributesW(kestrel::WidePath(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}
