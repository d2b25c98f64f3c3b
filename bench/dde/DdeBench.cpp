// dde-bench: the request round trip of the DDEML conversation against dde-test-server (run
// under Wine by bench/dde/run-bench.sh):
//   dde-bench SERVER_EXE [REQUESTS]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/Numbers.h"
#include "tracking/dde/DdemlConv.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: dde-bench SERVER_EXE [REQUESTS]\n");
        return 2;
    }
    int n = argc > 2 ? kestrel::ParseIntOr0(argv[2]) : 20'000;
    std::string cmd = "\"";
    cmd += argv[1];
    cmd += "\" --simulate 100";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        std::fprintf(stderr, "dde-bench: cannot start the server\n");
        return 1;
    }
    auto control = std::make_unique<DdemlConv>();
    auto quote = std::make_unique<DdemlConv>();
    for (int i = 0; i < 500; ++i) {
        control->SetLink("RSS", "control");
        if (control->OpenLink()) break;
        Sleep(20);
    }
    quote->SetLink("RSS", "1000.T");
    if (!quote->OpenLink()) {
        std::fprintf(stderr, "dde-bench: no link\n");
        return 1;
    }
    control->RequestData("step 500");
    std::vector<double> us;
    us.reserve(static_cast<size_t>(n));
    size_t failed = 0;
    for (int i = 0; i < n + 500; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        std::string v = quote->RequestData(i % 2 ? "現在値" : "出来高");
        double d = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                       .count();
        if (v.empty()) ++failed;
        if (i >= 500) us.push_back(d);  // after a warm-up
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) {
        return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))];
    };
    std::printf(
        "request round trip over %zu requests: median %.0f us, p90 %.0f us, p99 %.0f us, "
        "max %.0f us, %zu empty\n",
        us.size(), at(0.5), at(0.9), at(0.99), us.back(), failed);
    auto stats = GetDdemlStats();
    std::printf("retried after a stray acknowledgement: %llu\n",
                static_cast<unsigned long long>(stats.NotProcessedRetries));
    control->RequestData("quit");
    WaitForSingleObject(pi.hProcess, 10'000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return 0;
}
