// The DDEML conversation against dde-test-server, run under Wine (scripts/run-wine-tests.sh):
//   dde-tests SERVER_EXE FOLDER WORKDIR [FILTER]
// FOLDER is a recorded working folder; WORKDIR a scratch folder of this run.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "app/Controller.h"
#include "common/CommaText.h"
#include "common/Numbers.h"
#include "common/TextFile.h"
#include "common/TimeOfDay.h"
#include "common/WaitableValue.h"
#include "tracking/dde/DdemlConv.h"

namespace {

// Every wait of these tests for a server or a thread only guards against a hang: far beyond the
// slowest run under Wine on a loaded machine. A wait ends as soon as what it waits for is there.
constexpr DWORD kHangGuardMs = 120'000;

int gPassed = 0, gFailed = 0;  // checks
int gTestsPassed = 0, gTestsFailed = 0;
std::string gServerExe;

#define CHECK(cond) Check((cond), #cond, __FILE__, __LINE__, "")
#define CHECK_EQ(a, b) CheckEq((a), (b), #a " == " #b, __FILE__, __LINE__)

void Check(bool ok, const char* what, const char* file, int line, const std::string& detail) {
    if (ok) {
        ++gPassed;
        return;
    }
    ++gFailed;
    std::printf("  FAILED %s:%d: %s %s\n", file, line, what, detail.c_str());
}

template <class A, class B>
void CheckEq(const A& a, const B& b, const char* what, const char* file, int line) {
    std::ostringstream detail;
    if constexpr (std::is_convertible_v<A, std::string> && std::is_convertible_v<B, std::string>)
        detail << "(\"" << std::string(a) << "\" vs \"" << std::string(b) << "\")";
    else
        detail << "(" << a << " vs " << b << ")";
    Check(a == b, what, file, line, detail.str());
}

struct Ui : IUserInterface {
    std::vector<std::string> Lines;
    void ShowMessage(const std::string& text) override {
        std::printf("  message: %s\n", text.c_str());
    }
    bool Confirm(const std::string&) override { return false; }
    // In live mode only errors out of a change come here.
    void SetStatusText(const std::string& text) override {
        if (!Live) return;
        ++Errors;
        if (Errors <= 3) std::printf("  status: %s\n", text.c_str());
    }
    bool Live = false;
    void SetBusy(bool) override {}
    void RequestQuit() override {}
    void AppendEventLine(const std::string& line) override { Lines.push_back(line); }
    int Errors = 0;
};

struct FixedClock : CSystemClock {
    CDate Today() override { return {2026, 12, 8}; }
};

// The test server as a child process.
class Server {
public:
    explicit Server(std::string folder) : Folder(std::move(folder)) {}
    ~Server() { Kill(); }
    bool Start() {
        std::string cmd = "\"" + gServerExe + "\" \"" + Folder + "\"";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                            &Pi))
            return false;
        // Up when the control topic answers. A command waits for the server as long as it takes,
        // a stalled one included.
        for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < kHangGuardMs;
             Sleep(20)) {
            Control = std::make_unique<DdemlConv>();
            Control->SetLink("RSS", "control");
            Control->RequestTimeoutMs = kHangGuardMs;
            if (Control->OpenLink()) return true;
        }
        Control.reset();
        return false;
    }
    void Kill() {
        Control.reset();
        if (!Pi.hProcess) return;
        TerminateProcess(Pi.hProcess, 1);
        WaitForSingleObject(Pi.hProcess, kHangGuardMs);
        CloseHandle(Pi.hProcess);
        CloseHandle(Pi.hThread);
        Pi = {};
    }
    void Quit() {
        if (Control) Cmd("quit");
        if (Pi.hProcess) WaitForSingleObject(Pi.hProcess, 10'000);
        Kill();
    }
    std::string Cmd(const std::string& command) {
        return Control ? Control->RequestData(command) : "";
    }

private:
    std::string Folder;
    PROCESS_INFORMATION Pi{};
    std::unique_ptr<DdemlConv> Control;
};

// A monitor core over a working folder, live (DDEML) or replaying. Its requests and advise
// starts wait for the server as long as the hang guard, unless a test gives them a time-out.
struct Monitor {
    Ui ui;
    FixedClock clock;
    std::unique_ptr<CController> c;
    Monitor(const std::string& folder, const std::string& out, bool live,
            int requestMs = kHangGuardMs, int adviseMs = kHangGuardMs) {
        ui.Live = live;
        CreateDirectoryW(kestrel::WidePath(out).c_str(), nullptr);
        c = std::make_unique<CController>(
            ui, clock, folder, out,
            live ? MakeDdemlConvFactory(requestMs, adviseMs) : DdeConvFactory{});
        c->DataModuleCreate();
        c->CreateIni();
        c->Ini->Flg = live ? 0 : 1;
        c->StartUp();
    }
    int Connected() const {
        int n = 0;
        for (int i = 0; i < c->TrkgList->Count(); ++i)
            if (c->TrkgList->Items(i)->Conv && c->TrkgList->Items(i)->Conv->Connected()) ++n;
        return n;
    }
    CTrkg* Tracker(const std::string& code) const {
        int i = c->TrkgList->IndexOfIssue(code);
        return i < 0 ? nullptr : c->TrkgList->Items(i);
    }
};

bool Pump() { return DdemlPumpUntilIdle(1, kHangGuardMs); }

// Steps the server once and lets the client take the change: "code,volume", or "end".
std::string StepAndPump(Server& server) {
    std::string r = server.Cmd("step");
    Pump();
    return r;
}

// Steps n changes; counts the watched ones whose tracker then holds the served volume.
void StepAndCompare(Server& server, Monitor& m, int n, int& watched, int& matched,
                    bool expect = true) {
    for (int i = 0; i < n; ++i) {
        std::string r = StepAndPump(server);
        if (r == "end" || r.empty()) break;
        auto comma = r.find(',');
        CTrkg* t = m.Tracker(r.substr(0, comma));
        if (!t) continue;
        ++watched;
        if (t->Volume == kestrel::ParseIntOr0(r.substr(comma + 1)))
            ++matched;
        else if (expect && watched - matched <= 3)
            std::printf(
                "  %s: tracker has volume %d, price %d, %d points, item %s; served %s; asked now: "
                "%s %s\n",
                t->GetTopic().c_str(), t->Volume, t->Price, t->Detector.PointCount,
                t->Item->Text().c_str(), r.c_str(),
                t->Conv ? t->Conv->RequestData("出来高").c_str() : "-",
                t->Conv ? t->Conv->RequestData("現在値時刻").c_str() : "-");
    }
}

std::string ReadAll(const std::string& path) {
    std::string bytes;
    kestrel::ReadFileBytes(path, bytes);
    return bytes;
}

void WriteFolder(const std::string& dir,
                 const std::vector<std::pair<std::string, std::vector<std::string>>>& files) {
    CreateDirectoryW(kestrel::WidePath(dir).c_str(), nullptr);
    CreateDirectoryW(kestrel::WidePath(dir + "/log").c_str(), nullptr);
    for (const auto& [name, lines] : files) kestrel::WriteLines(dir + "/" + name, lines);
}

// ---------------------------------------------------------------------------------------------

void LiveServingGivesTheReplaysEventLinesAndLists(const std::string& folder,
                                                  const std::string& work) {
    std::vector<std::string> replayLines;
    {
        Monitor r(folder, work + "/replay", false);
        while (!r.c->ReplayAtEnd()) r.c->DebugTimerTimer();
        r.c->DataModuleDestroy();
        replayLines = r.ui.Lines;
    }
    Server server(folder);
    CHECK(server.Start());
    Monitor live(folder, work + "/live", true);
    CHECK_EQ(live.Connected(), live.c->TrkgList->Count());
    int steps = 0;
    auto before = GetDdemlStats();
    auto t0 = std::chrono::steady_clock::now();
    while (StepAndPump(server) != "end" && steps < 1'000'000) ++steps;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    auto after = GetDdemlStats();
    live.c->DataModuleDestroy();
    server.Quit();
    CHECK_EQ(live.ui.Errors, 0);
    std::printf("  %d changes served, %llu delivered, %zu event lines, %.1f s\n", steps,
                static_cast<unsigned long long>(after.NoticesDelivered - before.NoticesDelivered),
                live.ui.Lines.size(), secs);
    CHECK(!replayLines.empty());
    CHECK_EQ(live.ui.Lines.size(), replayLines.size());
    size_t firstDiff = 0;
    while (firstDiff < live.ui.Lines.size() && firstDiff < replayLines.size() &&
           live.ui.Lines[firstDiff] == replayLines[firstDiff])
        ++firstDiff;
    if (firstDiff < replayLines.size() || firstDiff < live.ui.Lines.size())
        std::printf("  first different event line: %zu: \"%s\" vs \"%s\"\n", firstDiff,
                    firstDiff < live.ui.Lines.size() ? live.ui.Lines[firstDiff].c_str() : "",
                    firstDiff < replayLines.size() ? replayLines[firstDiff].c_str() : "");
    CHECK(live.ui.Lines == replayLines);
    // The lists hold the names (Shift-JIS items and values) and every figure of the moves.
    for (const char* f : {"/20261208_Asc.txt", "/20261208_Dsc.txt"}) {
        std::string a = ReadAll(work + "/replay" + f), b = ReadAll(work + "/live" + f);
        CHECK(!a.empty());
        CHECK(a == b);
    }
}

void KilledServerIsNoticedAndEveryLinkComesBackInEitherOrder(const std::string& folder,
                                                             const std::string& work) {
    Server server(folder);
    CHECK(server.Start());
    Monitor m(folder, work + "/restart", true);
    const int all = m.c->TrkgList->Count();
    int watched = 0, matched = 0;
    StepAndCompare(server, m, 200, watched, matched);
    CHECK(watched > 0);
    CHECK_EQ(matched, watched);

    for (int round = 0; round < 2; ++round) {
        server.Kill();
        // No disconnect comes; the next transaction finds the server gone.
        CTrkg* first = m.c->TrkgList->Items(0);
        CHECK(first->Conv->Connected());
        CHECK_EQ(first->Conv->RequestData("現在値"), std::string());
        CHECK(!first->Conv->Connected());

        CHECK(server.Start());
        // Before recovery nothing reaches the trackers.
        int32_t volumeBefore = first->Volume;
        int w0 = 0, m0 = 0;
        StepAndCompare(server, m, 50, w0, m0, false);
        CHECK_EQ(first->Volume, volumeBefore);

        if (round == 0) {
            m.c->TrkgList->ReconnectAll();
            m.c->TrkgList->ResetItemAll();
        } else {
            m.c->TrkgList->ResetItemAll();
            m.c->TrkgList->ReconnectAll();
        }
        Pump();
        CHECK_EQ(m.Connected(), all);
        watched = matched = 0;
        StepAndCompare(server, m, 300, watched, matched);
        CHECK(watched > 0);
        CHECK_EQ(matched, watched);
        for (int i = 0; i < all; ++i)
            CHECK(m.c->TrkgList->Items(i)->Item->DdeConv() == m.c->TrkgList->Items(i)->Conv.get());
    }
    std::printf("  %d links, %llu lost, %llu DDEML instances so far\n", all,
                static_cast<unsigned long long>(GetDdemlStats().LostLinks),
                static_cast<unsigned long long>(GetDdemlStats().Instances));
    m.c->DataModuleDestroy();
    server.Quit();
}

// A small folder whose changes all belong to one issue, so a change can arrive on the very
// conversation that is waiting for an answer.
std::string OneIssueFolder(const std::string& work) {
    std::string dir = work + "/one-issue";
    std::vector<std::string> kabu;
    for (int i = 0; i < 40; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "09:%02d:%02d,1234,%d,%d", i / 6, (i % 6) * 10,
                      1000 + i * 5, 100 * (i + 1));
        kabu.push_back(line);
    }
    WriteFolder(dir,
                {{"KESTREL.INI", {"[DEBUG]", "flg=0"}},
                 {"監視銘柄.txt", {"1234.T", "5678.OS"}},
                 {"銘柄情報.txt",
                  {"1234,\"テスト電機\",100,,信用,貸借,東証", "5678,\"見本工業\",100,,信用,,大証"}},
                 {"株式売買値幅.txt",
                  {"0,100,30,0", "100,200,50,0", "200,500,80,0", "500,700,100,0", "700,1000,150,0",
                   "1000,1500,300,0", "1500,2000,400,0"}},
                 {"std.csv", {"1234,貸借,1000,1010,0,1.25,1500", "5678,信用,300,301,0,2.5,420"}},
                 {"kabu.txt", kabu}});
    return dir;
}

void SilentServerTimesOutAndTheClientRecovers(const std::string& work) {
    std::string folder = OneIssueFolder(work);
    Server server(folder);
    CHECK(server.Start());
    Monitor m(folder, work + "/silent", true, 150, 150);
    CTrkg* t = m.Tracker("1234");
    int watched = 0, matched = 0;
    StepAndCompare(server, m, 3, watched, matched);
    CHECK_EQ(matched, 3);

    // The server goes silent at the change's price request, far longer than the client takes to
    // ask for price, volume and time on a loaded machine: each of the three requests ends at
    // its 150 ms time-out, and the change stores nothing.
    server.Cmd("stall 5000 現在値");
    int32_t volumeBefore = t->Volume;
    int pointsBefore = t->Detector.PointCount;
    const DdemlStats before = GetDdemlStats();
    auto t0 = std::chrono::steady_clock::now();
    server.Cmd("step");
    bool done = Pump();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const DdemlStats after = GetDdemlStats();
    const uint64_t timeOuts = after.TimeOuts - before.TimeOuts;
    std::printf("  change against a silent server: %llu time-outs, %.2f s\n",
                static_cast<unsigned long long>(timeOuts), secs);
    CHECK(done);
    CHECK_EQ(timeOuts, uint64_t{3});  // price, volume and time each ran out its time-out
    CHECK(secs >= 3 * 0.150 - 0.02);  // and waited for it
    // Each the 150 ms one, never the ten seconds of the default.
    CHECK_EQ(after.TimedOutMs - before.TimedOutMs, timeOuts * 150);
    CHECK_EQ(t->Volume, volumeBefore);
    CHECK_EQ(t->Detector.PointCount, pointsBefore);
    CHECK(t->Conv->Connected());  // a time-out is not a lost server
    // Once the server answers again, the late answers come in and are dropped.
    CHECK(!server.Cmd("count").empty());
    DdemlPumpUntilIdle(300, kHangGuardMs);

    watched = matched = 0;
    StepAndCompare(server, m, 5, watched, matched);
    CHECK_EQ(watched, 5);
    CHECK_EQ(matched, 5);
    CHECK_EQ(t->Conv->RequestData("銘柄名称"), std::string("テスト電機"));
    m.c->DataModuleDestroy();
    server.Quit();
}

void AdviseDuringARequestDoesNotLoseTheChange(const std::string& work) {
    std::string folder = OneIssueFolder(work);
    Server server(folder);
    CHECK(server.Start());
    Monitor m(folder, work + "/during", true);
    CTrkg* t = m.Tracker("1234");
    int watched = 0, matched = 0;
    StepAndCompare(server, m, 2, watched, matched);
    CHECK_EQ(matched, 2);
    auto before = GetDdemlStats();
    for (int round = 0; round < 5; ++round) {
        // While the tracker asks for the last item of a change, the next change comes in: the
        // interrupted change still gets its answer and stores a point, and the new change
        // follows it.
        int points = t->Detector.PointCount;
        server.Cmd("step-in-request 現在値時刻");
        server.Cmd("step");
        Pump();
        CHECK_EQ(t->Detector.PointCount, points + 2);
        std::string served = server.Cmd("issue 1234");  // volume,price,time
        CHECK_EQ(std::to_string(t->Volume) + "," + std::to_string(t->Price),
                 served.substr(0, served.rfind(',')));
    }
    auto after = GetDdemlStats();
    std::printf(
        "  %llu requests retried after an advise took their answer\n",
        static_cast<unsigned long long>(after.NotProcessedRetries - before.NotProcessedRetries));
    m.c->DataModuleDestroy();
    server.Quit();
}

// No server at all: the link fails, its item is detached, and the open is quick: no request or
// advise is even tried, so none waits for its time-out.
void NoServerDetachesTheItem(const std::string& work) {
    std::string folder = OneIssueFolder(work);
    const DdemlStats before = GetDdemlStats();
    auto t0 = std::chrono::steady_clock::now();
    Monitor m(folder, work + "/none", true);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  the open without a server took %.2f s\n", secs);
    CHECK_EQ(m.Connected(), 0);
    for (int i = 0; i < m.c->TrkgList->Count(); ++i)
        CHECK(m.c->TrkgList->Items(i)->Item->DdeConv() == nullptr);
    CHECK_EQ(GetDdemlStats().Transactions, before.Transactions);
    CHECK_EQ(GetDdemlStats().TimeOuts, before.TimeOuts);
    m.c->DataModuleDestroy();
}

// kestrel-feed.exe as a child process, its log in a file.
class FeedProcess {
public:
    ~FeedProcess() { Kill(); }
    bool Start(const std::string& args, const std::string& log) {
        // Beside the test server in the build: tests/dde/ and tools/kestrel-feed/.
        const auto slash = gServerExe.find_last_of("/\\");
        const std::string dir = slash == std::string::npos ? "." : gServerExe.substr(0, slash);
        const std::string cmd = "\"" + dir + "/../../tools/kestrel-feed/kestrel-feed.exe\" " + args;
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE out = CreateFileW(kestrel::WidePath(log).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                 &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE) return false;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = si.hStdError = out;
        std::string line = cmd;
        const bool ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                       nullptr, &si, &Pi);
        CloseHandle(out);
        return ok;
    }
    bool Ended() const {
        return !Pi.hProcess || WaitForSingleObject(Pi.hProcess, 0) == WAIT_OBJECT_0;
    }
    // The exit code once it has ended, or -1 when it runs on past the guard.
    int Wait() {
        if (!Pi.hProcess || WaitForSingleObject(Pi.hProcess, kHangGuardMs) != WAIT_OBJECT_0)
            return -1;
        DWORD code = 0;
        GetExitCodeProcess(Pi.hProcess, &code);
        return static_cast<int>(code);
    }
    void Kill() {
        if (!Pi.hProcess) return;
        TerminateProcess(Pi.hProcess, 1);
        WaitForSingleObject(Pi.hProcess, kHangGuardMs);
        CloseHandle(Pi.hProcess);
        CloseHandle(Pi.hThread);
        Pi = {};
    }

private:
    PROCESS_INFORMATION Pi{};
};

// Waits, as long as the guard, until `done` holds, running the thread's messages meanwhile.
bool PumpUntil(const std::function<bool()>& done) {
    for (ULONGLONG start = GetTickCount64(); !done(); DdemlPumpUntilIdle(1, 50))
        if (GetTickCount64() - start > kHangGuardMs) return false;
    return true;
}

// A kabu.txt's lines as time (ms), code, price and volume: the feed writes a time of whole
// minutes as hh:nn, as it serves it.
std::vector<std::string> Trades(const std::string& path) {
    std::vector<std::string> lines, out;
    kestrel::ReadLines(path, lines);
    for (const auto& l : lines) {
        auto cols = kestrel::SplitCommaText(l);
        cols.resize(4);
        const auto ms = kestrel::ParseTimeMs(cols[0]);
        out.push_back((ms ? std::to_string(*ms) : "?" + cols[0]) + "," + cols[1] + "," + cols[2] +
                      "," + cols[3]);
    }
    return out;
}

size_t LineCount(const std::string& path) {
    std::vector<std::string> lines;
    kestrel::ReadLines(path, lines);
    return lines.size();
}

// The feed itself serves a replay over DDE as the market-data application does: every line
// becomes a change, the links read the last values, and the day it records is the replayed file
// as served. A second feed does not serve beside it, and a line left torn by a killed feed
// is cut when the next one records the same day.
void TheFeedServesAReplayOverDdeAndRecordsIt(const std::string& folder, const std::string& work) {
    const std::string rec = work + "/feedrec", day = rec + "/20261208";
    const std::string recordArgs =
        " --record \"" + rec + "\" --record-from \"" + folder + "\" --record-date 20261208";
    FeedProcess feed;
    CHECK(feed.Start("--folder \"" + folder + "\" --step-ms 2" + recordArgs, work + "/feed.log"));
    DdemlConv conv;
    conv.SetLink("RSS", "4621.T");
    CHECK(PumpUntil([&] { return conv.OpenLink(); }));

    FeedProcess second;
    CHECK(second.Start("--simulate 3" + recordArgs, work + "/second.log"));
    // Its probe asks this process too, which answers only while it runs its messages.
    CHECK(PumpUntil([&] { return second.Ended(); }));
    CHECK_EQ(second.Wait(), 1);
    CHECK(ReadAll(work + "/second.log").find("another program serves the DDE service RSS") !=
          std::string::npos);

    const std::vector<std::string> source = Trades(folder + "/kabu.txt");
    const size_t lines = LineCount(folder + "/kabu.txt");
    CHECK(PumpUntil([&] { return LineCount(day + "/kabu.txt") >= lines; }));
    CHECK(Trades(day + "/kabu.txt") == source);
    // The link reads what the last line of its issue left.
    std::vector<std::string> all;
    kestrel::ReadLines(folder + "/kabu.txt", all);
    std::string last;
    for (const auto& l : all)
        if (l.size() > 14 && l.compare(9, 5, "4621,") == 0) last = l;
    CHECK(!last.empty());
    const std::string served = conv.RequestData("現在値時刻") + "," + "4621" + "," +
                               conv.RequestData("現在値") + "," + conv.RequestData("出来高");
    CHECK_EQ(served, last);
    conv.CloseLink();
    feed.Kill();

    // A feed killed in the middle of a line; the next start on the day cuts it.
    {
        FILE* f = _wfopen(kestrel::WidePath(day + "/kabu.txt").c_str(), L"ab");
        CHECK(f != nullptr);
        if (f) {
            std::fputs("09:59:5", f);
            std::fclose(f);
        }
    }
    FeedProcess again;
    // A replay of nothing: no change comes to be recorded.
    CreateDirectoryW(kestrel::WidePath(work + "/nothing").c_str(), nullptr);
    CHECK(again.Start("--folder \"" + work + "/nothing\"" + recordArgs, work + "/again.log"));
    CHECK(PumpUntil(
        [&] { return ReadAll(work + "/again.log").find("serving RSS") != std::string::npos; }));
    again.Kill();
    CHECK(ReadAll(work + "/again.log").find("cut 7 bytes of a torn last line") !=
          std::string::npos);
    CHECK(Trades(day + "/kabu.txt") == source);
}

// The backtest hands lines over between its reader and its replay through waitable values. With
// MinGW's library, std::atomic's wait could miss a notice and sleep for ever; thousands of
// hand-offs found that within a second. A stalled hand-off fails the run instead of hanging it.
void HandOffsBetweenThreadsNeverMissAWakeUp() {
    constexpr int kRounds = 20'000;
    CWaitableValue ping, pong;
    std::atomic<bool> done{false};
    std::thread echo([&] {
        for (int i = 1; i <= kRounds; ++i) {
            for (int v = ping.Load(); v < i;) v = ping.WaitWhileEquals(v);
            pong.Store(i);
        }
    });
    std::thread watchdog([&] {
        int last = -1;
        for (int still = 0; !done.load(); Sleep(50)) {
            int now = pong.Load();
            still = now == last ? still + 1 : 0;
            last = now;
            if (still > 1200) {  // a minute without a hand-off: only a guard against the hang
                std::printf("  FAILED: hand-off stalled at %d of %d (ping %d)\n", now, kRounds,
                            ping.Load());
                std::printf("[ FAIL ] HandOffsBetweenThreadsNeverMissAWakeUp\n");
                std::fflush(stdout);
                std::_Exit(1);
            }
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 1; i <= kRounds; ++i) {
        ping.Store(i);
        for (int v = pong.Load(); v < i;) v = pong.WaitWhileEquals(v);
    }
    done = true;
    echo.join();
    watchdog.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  %d hand-offs each way, %.1f s\n", kRounds, secs);
    CHECK_EQ(pong.Load(), kRounds);
}

std::string gFilter;  // runs only the tests whose name holds it

void Run(const char* name, const std::function<void()>& test) {
    if (!gFilter.empty() && std::string(name).find(gFilter) == std::string::npos) return;
    int failedBefore = gFailed;
    std::printf("[ RUN  ] %s\n", name);
    std::fflush(stdout);
    const uint64_t timeOutsBefore = GetDdemlStats().TimeOuts;
    auto t0 = std::chrono::steady_clock::now();
    test();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ %s ] %s (%.1f s, %llu time-outs)\n", gFailed == failedBefore ? " OK " : "FAIL",
                name, secs,
                static_cast<unsigned long long>(GetDdemlStats().TimeOuts - timeOutsBefore));
    ++(gFailed == failedBefore ? gTestsPassed : gTestsFailed);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: dde-tests SERVER_EXE FOLDER WORKDIR [FILTER]\n");
        return 2;
    }
    gServerExe = argv[1];
    std::string folder = argv[2], work = argv[3];
    if (argc > 4) gFilter = argv[4];
    setvbuf(stdout, nullptr, _IONBF, 0);
    Run("HandOffsBetweenThreadsNeverMissAWakeUp", [] { HandOffsBetweenThreadsNeverMissAWakeUp(); });
    Run("NoServerDetachesTheItem", [&] { NoServerDetachesTheItem(work); });
    Run("LiveServingGivesTheReplaysEventLinesAndLists",
        [&] { LiveServingGivesTheReplaysEventLinesAndLists(folder, work); });
    Run("KilledServerIsNoticedAndEveryLinkComesBackInEitherOrder",
        [&] { KilledServerIsNoticedAndEveryLinkComesBackInEitherOrder(folder, work); });
    Run("SilentServerTimesOutAndTheClientRecovers",
        [&] { SilentServerTimesOutAndTheClientRecovers(work); });
    Run("AdviseDuringARequestDoesNotLoseTheChange",
        [&] { AdviseDuringARequestDoesNotLoseTheChange(work); });
    Run("TheFeedServesAReplayOverDdeAndRecordsIt",
        [&] { TheFeedServesAReplayOverDdeAndRecordsIt(folder, work); });
    std::printf("dde-tests: %d checks passed, %d failed\n", gPassed, gFailed);
    std::printf("%d passed, %d failed\n", gTestsPassed, gTestsFailed);
    return gFailed == 0 ? 0 : 1;
}
