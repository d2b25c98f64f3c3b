// dde-test-server: serves the quote items of a recorded working folder (kabu.txt, std.csv,
// 銘柄情報.txt) or of simulated issues over raw DDEML as the service "RSS", one change at a
// time, for the Windows tests and benchmarks.
//
// Every topic is served by its first four characters; advise loops are warm (no data), on the
// volume only. The topic "control" takes commands as
// the item of a CF_TEXT request, the answer being the result:
//   step [N]              deliver the next N changes (1); "code,volume" of the last, or "end"
//   stall MS [ITEM]       the next quote request (of ITEM) waits MS before it is answered
//   step-in-request ITEM  the next request of ITEM delivers a change before it is answered
//   issue CODE            "volume,price,time" of an issue as served now
//   count                 "changes,requests" so far
//   quit                  end the server
// --paced MS delivers the next change by itself once no quote request has come for MS (after a
// change some link was told of, only once a request has come at all, or none for 2 s: a client
// slow to take up a notice must not have the next change served before it asks), and
// --exit-at-end then ends the server after the last one; --wait-links N holds the first change
// back until N advise loops are open. --rate R delivers R changes a second
// whatever the clients do, for --seconds S (then the server ends).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/Codec.h"
#include "common/Numbers.h"
#include "kestrel-feed/DdeServer.h"
#include "kestrel-feed/Quotes.h"

using namespace kestrel::feed;

namespace {

QuoteBook gBook;
std::unique_ptr<QuoteSource> gSource;
DdeServer gServer(gBook);
bool gEnded = false;
uint64_t gChanges = 0;
int gStallMs = 0;
std::string gStallItem;      // UTF-8; empty for any
std::string gStepInRequest;  // UTF-8 item name
DWORD gLastRequestTick = 0;
// The issue of the last paced change, and whether a request for it has come since.
std::string gPacedCode;
bool gPacedAsked = false;

// Delivers one change and tells the advise loops of its issue; false at the end.
bool Step(std::string& code) {
    if (gEnded || !gSource->Next(gBook, code)) {
        gEnded = true;
        return false;
    }
    ++gChanges;
    gServer.Changed(code);
    return true;
}

std::string Control(const std::string& command) {
    std::string verb = command.substr(0, command.find(' '));
    std::string arg = command.size() > verb.size() ? command.substr(verb.size() + 1) : "";
    if (verb == "step") {
        int n = arg.empty() ? 1 : kestrel::ParseIntOr0(arg);
        std::string code;
        bool any = false;
        for (int i = 0; i < n && Step(code); ++i) any = true;
        if (!any) return "end";
        return code + "," + std::to_string(gBook.Find(code) ? gBook.Find(code)->Volume : 0);
    }
    if (verb == "stall") {
        auto blank = arg.find(' ');
        gStallMs = kestrel::ParseIntOr0(arg.substr(0, blank));
        gStallItem = blank == std::string::npos ? "" : arg.substr(blank + 1);
        return "ok";
    }
    if (verb == "step-in-request") {
        gStepInRequest = arg;
        return "ok";
    }
    if (verb == "issue") {
        Issue s = gBook.Lookup(arg);
        return std::to_string(s.Volume) + "," + std::to_string(s.Price) + "," + s.TimeText;
    }
    if (verb == "count") return std::to_string(gChanges) + "," + std::to_string(gServer.Requests());
    if (verb == "quit") {
        PostQuitMessage(0);
        return "ok";
    }
    return "";
}

// What a quote request meets before its answer: the stalls and changes a test asked for.
void BeforeRequest(const std::string& topic, const std::string& item) {
    gLastRequestTick = GetTickCount();
    if (!gPacedCode.empty() && kestrel::FirstChars(topic, 4) == gPacedCode) gPacedAsked = true;
    if (gStallMs > 0 && (gStallItem.empty() || gStallItem == item)) {
        int ms = gStallMs;
        gStallMs = 0;
        Sleep(static_cast<DWORD>(ms));  // a server that stops answering for a while
    }
    if (!gStepInRequest.empty() && item == gStepInRequest) {
        gStepInRequest.clear();
        std::string code;
        Step(code);  // its advise goes out before this answer
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder, service = "RSS";
    int pacedMs = -1, simulate = 0, seconds = 10, waitLinks = 0;
    double rate = 0;
    bool exitAtEnd = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--paced")
            pacedMs = kestrel::ParseIntOr0(value());
        else if (a == "--exit-at-end")
            exitAtEnd = true;
        else if (a == "--wait-links")
            waitLinks = kestrel::ParseIntOr0(value());
        else if (a == "--service")
            service = value();
        else if (a == "--simulate")
            simulate = kestrel::ParseIntOr0(value());
        else if (a == "--rate")
            rate = kestrel::ParseRealOr0(value());
        else if (a == "--seconds")
            seconds = kestrel::ParseIntOr0(value());
        else if (!a.empty() && a[0] != '-')
            folder = a;
        else {
            std::fprintf(stderr, "dde-test-server: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (simulate > 0) {
        SimOptions opt;
        opt.Issues = simulate;
        opt.Manual = true;
        gSource = std::make_unique<SimSource>(opt, gBook);
    } else {
        ReplayOptions opt;
        opt.Folder = folder.empty() ? "." : folder;
        opt.Manual = true;
        std::vector<std::string> log;
        gSource = std::make_unique<ReplaySource>(opt, gBook, log);
        for (const auto& l : log) std::fprintf(stderr, "dde-test-server: %s\n", l.c_str());
    }
    gServer.Control = Control;
    gServer.BeforeRequest = BeforeRequest;
    // A test may start the next server while the killed one's windows are still going.
    gServer.RefuseServed = false;
    std::string error;
    if (!gServer.Start(service, error)) {
        std::fprintf(stderr, "dde-test-server: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "dde-test-server: serving %s\n", service.c_str());
    if (pacedMs >= 0)
        SetTimer(nullptr, 1, static_cast<UINT>(pacedMs > 5 ? pacedMs / 5 : 1), nullptr);
    DWORD lastStep = GetTickCount();
    // After a change some link was told of, the quiet that paces the next one starts only once
    // that issue has been asked about.
    constexpr DWORD kFirstRequestWaitMs = 2000;
    MSG m;
    auto links = [] { return gServer.AdviseLinks(); };
    if (rate > 0) {
        while (links() < static_cast<size_t>(waitLinks) && GetMessageA(&m, nullptr, 0, 0) > 0)
            DispatchMessageA(&m);
        // Changes at a fixed rate; the clients' requests are answered in between.
        DWORD start = GetTickCount();
        uint64_t due = 0;
        bool quit = false;
        while (!quit && GetTickCount() - start < static_cast<DWORD>(seconds) * 1000) {
            due = static_cast<uint64_t>((GetTickCount() - start) * rate / 1000.0);
            std::string code;
            for (int n = 0; gChanges < due && n < 1000; ++n) Step(code);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
                if (m.message == WM_QUIT) quit = true;
                DispatchMessageA(&m);
            }
        }
    }
    while (rate <= 0 && GetMessageA(&m, nullptr, 0, 0) > 0) {
        if (m.message == WM_TIMER && m.hwnd == nullptr) {
            if (gChanges == 0 && links() < static_cast<size_t>(waitLinks)) {
                lastStep = GetTickCount();
                continue;
            }
            DWORD now = GetTickCount();
            if (!gPacedCode.empty() && !gPacedAsked && now - lastStep < kFirstRequestWaitMs)
                continue;
            DWORD quietSince = gLastRequestTick > lastStep ? gLastRequestTick : lastStep;
            if (now - quietSince >= static_cast<DWORD>(pacedMs)) {
                std::string code;
                if (Step(code)) {
                    lastStep = GetTickCount();
                    gPacedCode = gServer.Advised(code) ? code : "";
                    gPacedAsked = false;
                } else if (exitAtEnd) {
                    break;
                }
            }
            continue;
        }
        DispatchMessageA(&m);
    }
    std::fprintf(stderr, "dde-test-server: %llu changes, %llu requests\n",
                 static_cast<unsigned long long>(gChanges),
                 static_cast<unsigned long long>(gServer.Requests()));
    return 0;
}
