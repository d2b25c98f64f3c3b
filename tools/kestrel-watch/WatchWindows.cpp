// kestrel-watch on Windows: conversations over DDEML, the thread's message loop, the console's
// Ctrl+C.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "kestrel-watch/WatchPlatform.h"
#include "tracking/dde/DdemlConv.h"

namespace {

constexpr UINT kQuit = WM_APP + 1;
constexpr UINT kCommand = WM_APP + 2;
DWORD gMainThread = 0;

BOOL WINAPI OnConsoleCtrl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        PostThreadMessageW(gMainThread, kQuit, 0, 0);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

struct CWatchPlatform::Impl {};

CWatchPlatform::CWatchPlatform(int&, char**) : P(std::make_unique<Impl>()) {
    gMainThread = GetCurrentThreadId();
    MSG m;
    PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the thread's queue, for posts
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
}

CWatchPlatform::~CWatchPlatform() = default;

DdeConvFactory CWatchPlatform::ConvFactory(int requestTimeoutMs, int adviseTimeoutMs) {
    return MakeDdemlConvFactory(requestTimeoutMs, adviseTimeoutMs);
}

void CWatchPlatform::Quit() { PostThreadMessageW(gMainThread, kQuit, 0, 0); }

void CWatchPlatform::Run(const std::function<void(const std::string&)>& onCommand,
                         const std::function<void()>& onReconnectTick) {
    // Input is read on a thread of its own; its lines and its end come in as thread messages.
    std::thread input([] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            PostThreadMessageW(gMainThread, kCommand, 0,
                               reinterpret_cast<LPARAM>(new std::string(std::move(line))));
        }
        PostThreadMessageW(gMainThread, kQuit, 0, 0);
    });
    input.detach();  // a console read cannot be interrupted; the process ends it

    UINT_PTR reconnectTimer = SetTimer(nullptr, 0, 30'000, nullptr);
    bool running = true;
    MSG m;
    while (running && GetMessageW(&m, nullptr, 0, 0) > 0) {
        if (m.hwnd == nullptr && m.message == kQuit) {
            running = false;
        } else if (m.hwnd == nullptr && m.message == kCommand) {
            std::unique_ptr<std::string> cmd(reinterpret_cast<std::string*>(m.lParam));
            onCommand(*cmd);
        } else if (m.hwnd == nullptr && m.message == WM_TIMER && m.wParam == reconnectTimer) {
            onReconnectTick();
        } else {
            DispatchMessageW(&m);
        }
    }
    KillTimer(nullptr, reconnectTimer);
}

std::string CWatchPlatform::Counts() const {
    auto stats = GetDdemlStats();
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  ", %llu changes, %llu transactions, %llu retried, %llu links lost",
                  static_cast<unsigned long long>(stats.NoticesDelivered),
                  static_cast<unsigned long long>(stats.Transactions),
                  static_cast<unsigned long long>(stats.NotProcessedRetries),
                  static_cast<unsigned long long>(stats.LostLinks));
    return buf;
}

void CWatchPlatform::Exit(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    // The input thread may still sit in a console read.
    ExitProcess(static_cast<UINT>(code));
}
