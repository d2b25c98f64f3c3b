// kabu-sim: the stand-in for the kabuステーション API as a program, to try kestrel-feed
// --source kabu by hand or from a script. It replays a simulated day (or a recorded folder)
// as PUSH frames and takes faults as lines on its standard input.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "common/Numbers.h"
#include "console/Options.h"
#include "kestrel-feed/Quotes.h"
#include "support/KabuSim.h"

using kestrel::ParseInt;
using kestrel::ParseReal;
using kestrel::test::KabuSim;
using kestrel::test::KabuSimOptions;

namespace {

const char* kUsage =
    "usage: kabu-sim [options]\n"
    "  --port N          listen on 127.0.0.1:N (default 18080, the API's own port)\n"
    "  --password P      the API password (default: KABU_API_PASSWORD, else kabu-sim-pass)\n"
    "  --cap N           registration cap (default 50)\n"
    "  --rate N          requests a second per class before HTTP 429 (default 10)\n"
    "  --thin-ms N       one frame per issue per N ms of the clock (default 400)\n"
    "  --offset MIN      the time zone the app writes its times in, minutes (default 540)\n"
    "  --second MODE     what a second PUSH connection does to the first: close, abort,\n"
    "                    silent (default close)\n"
    "  --simulate N      replay a simulated day of N issues, codes 1000, 1001, ... (default 30)\n"
    "  --changes R       simulated changes a second (default 10)\n"
    "  --seed S          simulation seed (default 1)\n"
    "  --folder DIR      replay DIR/kabu.txt (with std.csv, 銘柄情報.txt) instead\n"
    "  --speed X         clock ms per real ms (default 1; 0: only 'advance' moves it)\n"
    "  --push-log FILE   write every frame pushed with a price as a kabu.txt line\n"
    "Lines on standard input: advance MS, expire (another program's token), restart,\n"
    "logout, login, absent, present, drop (the PUSH connection), rival (a second PUSH\n"
    "client), quit.\n";

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    KabuSimOptions opt;
    if (const char* env = std::getenv("KABU_API_PASSWORD"); env && *env) opt.Password = env;
    int port = 18080, issues = 30;
    double speed = 1, changes = 10;
    uint32_t seed = 1;
    std::string folder, pushLog;

    std::vector<std::string> words = CommandWords(argc, argv), operands;
    if (AsksForHelp(words)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    COptionParser p;
    using Why = std::string;
    auto whole = [](int& out, int lo, int hi) {
        return [&out, lo, hi](const std::string& v, Why& why) {
            auto n = ParseInt(v);
            if (!n || *n < lo || *n > hi)
                return why = "needs " + std::to_string(lo) + " to " + std::to_string(hi), false;
            out = static_cast<int>(*n);
            return true;
        };
    };
    p.Number("--port", whole(port, 1, 65535));
    p.Text("--password", [&](const std::string& v, Why& why) {
        opt.Password = v;
        return !v.empty() || (why = "needs a password", false);
    });
    p.Number("--cap", whole(opt.Cap, 1, 100000));
    p.Number("--rate", whole(opt.RatePerSecond, 1, 100000));
    p.Number("--thin-ms", whole(opt.ThinMs, 0, 60000));
    p.Number("--offset", whole(opt.OffsetMinutes, -720, 840));
    p.Text("--second", [&](const std::string& v, Why& why) {
        using T = KabuSimOptions::TakeOver;
        if (v == "close")
            opt.SecondConnection = T::CloseFrame;
        else if (v == "abort")
            opt.SecondConnection = T::Abort;
        else if (v == "silent")
            opt.SecondConnection = T::Silent;
        else
            return why = "is close, abort or silent", false;
        return true;
    });
    p.Number("--simulate", whole(issues, 1, 9000));
    p.Number("--changes", [&](const std::string& v, Why& why) {
        auto x = ParseReal(v);
        if (!x || !(*x > 0)) return why = "needs a number above 0", false;
        changes = *x;
        return true;
    });
    p.Number("--seed", [&](const std::string& v, Why& why) {
        auto n = ParseInt(v);
        if (!n) return why = "needs a whole number", false;
        seed = static_cast<uint32_t>(*n);
        return true;
    });
    p.Text("--folder", [&](const std::string& v, Why& why) {
        folder = v;
        return !v.empty() || (why = "needs a folder", false);
    });
    p.Number("--speed", [&](const std::string& v, Why& why) {
        auto x = ParseReal(v);
        if (!x || *x < 0) return why = "needs a number, 0 or above", false;
        speed = *x;
        return true;
    });
    p.Text("--push-log", [&](const std::string& v, Why& why) {
        pushLog = v;
        return !v.empty() || (why = "needs a file", false);
    });
    std::string error;
    if (!p.Parse(words, operands, error) || !operands.empty()) {
        std::fprintf(stderr, "kabu-sim: %s\n%s",
                     error.empty() ? ("unexpected " + operands[0]).c_str() : error.c_str(), kUsage);
        return 2;
    }

    KabuSim sim(opt);
    auto book = std::make_unique<kestrel::feed::QuoteBook>();
    std::unique_ptr<kestrel::feed::QuoteSource> day;
    if (!folder.empty()) {
        kestrel::feed::ReplayOptions r;
        r.Folder = folder;
        std::vector<std::string> log;
        day = std::make_unique<kestrel::feed::ReplaySource>(r, *book, log);
        for (const auto& l : log) std::fprintf(stderr, "kabu-sim: %s\n", l.c_str());
    } else {
        kestrel::feed::SimOptions s;
        s.Issues = issues;
        s.Rate = changes;
        s.Seed = seed;
        day = std::make_unique<kestrel::feed::SimSource>(s, *book);
    }
    sim.LoadDay(std::move(day), std::move(book));
    std::ofstream log;
    if (!pushLog.empty()) {
        log.open(pushLog, std::ios::binary | std::ios::app);
        if (!log) {
            std::fprintf(stderr, "kabu-sim: %s: cannot be written\n", pushLog.c_str());
            return 1;
        }
    }
    size_t logged = 0;
    auto flushLog = [&] {
        if (!log.is_open()) return;
        for (; logged < sim.Pushed.size(); ++logged) log << sim.Pushed[logged] << "\r\n";
        log.flush();
    };
    if (!sim.Listen(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "kabu-sim: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::fprintf(stderr, "kabu-sim: listening on %s\n", sim.BaseUrl().toUtf8().constData());

    QTimer clock;
    constexpr int kTickMs = 20;
    if (speed > 0) {
        QObject::connect(&clock, &QTimer::timeout, [&] {
            sim.AdvanceMs(static_cast<int64_t>(kTickMs * speed));
            flushLog();
        });
        clock.start(kTickMs);
    }
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[512];
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);  // no more commands; keep serving
            return;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (size_t lf; (lf = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::string cmd = line.substr(0, line.find(' '));
            if (cmd == "advance")
                sim.AdvanceMs(std::atoll(line.c_str() + 7));
            else if (cmd == "expire")
                sim.SupersedeToken();
            else if (cmd == "restart")
                sim.Restart();
            else if (cmd == "logout")
                sim.SetLoggedIn(false);
            else if (cmd == "login")
                sim.SetLoggedIn(true);
            else if (cmd == "absent")
                sim.SetAbsent(true);
            else if (cmd == "present")
                sim.SetAbsent(false);
            else if (cmd == "drop")
                sim.DropPush();
            else if (cmd == "rival")
                sim.OpenRival();
            else if (cmd == "quit")
                QCoreApplication::quit();
            else if (!cmd.empty())
                std::fprintf(stderr, "kabu-sim: unknown command %s\n", cmd.c_str());
            flushLog();
        }
    });
    return app.exec();
}
