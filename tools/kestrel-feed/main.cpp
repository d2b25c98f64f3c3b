// kestrel-feed: the local market-data server the monitor's live mode talks to. See
// docs/feed-protocol.md for the options and the wire format.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/Numbers.h"
#include "kestrel-feed/Quotes.h"
#include "kestrel-feed/Server.h"
#include "tracking/feed/FeedSocket.h"

using namespace kestrel::feed;
using kestrel::ParseInt;
using kestrel::ParseReal;

namespace {

const char* kUsage =
    "usage: kestrel-feed [options] [topic...]\n"
    "  --folder DIR      replay DIR/kabu.txt with std.csv and 銘柄情報.txt (default .)\n"
    "  --speed X         replay X times faster than the recorded times (default 1)\n"
    "  --step-ms N       replay one line every N ms instead of the recorded times\n"
    "  --manual          replay or simulate only when a client sends STEP\n"
    "  --simulate N      simulate N issues (codes 1000, 1001, ...) instead of a replay\n"
    "  --rate R          simulated changes per second (default 10)\n"
    "  --seed S          simulation seed (default 1)\n"
    "  --service NAME    service to serve (default: the program's name, or RSS)\n"
    "  --socket PATH     listen on PATH instead of the per-user socket of the service\n"
    "Topics on the command line are accepted and ignored: every topic is served.\n"
    "KESTREL_FEED_OPTIONS, when set, holds options read before the command line's.\n";

std::string BaseName(const char* argv0) {
    std::string s = argv0 ? argv0 : "";
    auto slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    if (const char* env = std::getenv("KESTREL_FEED_OPTIONS")) {
        std::istringstream words(env);
        for (std::string w; words >> w;) args.push_back(w);
    }
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

    std::string self = BaseName(argv[0]);
    std::string service = self.empty() || self == "kestrel-feed" ? "RSS" : self;
    std::string socketPath;
    ReplayOptions replay;
    SimOptions sim;
    bool simulate = false, manual = false;

    auto bad = [](const std::string& what) {
        std::fprintf(stderr, "kestrel-feed: %s\n%s", what.c_str(), kUsage);
        return 2;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::puts("kestrel-feed 0.1.0");
            return 0;
        } else if (a == "--manual") {
            manual = true;
        } else if (a == "--folder") {
            if (!value(replay.Folder)) return bad("--folder needs a folder");
        } else if (a == "--speed") {
            auto x = value(v) ? ParseReal(v) : std::nullopt;
            if (!x || !(*x > 0)) return bad("--speed needs a number above 0");
            replay.Speed = *x;
        } else if (a == "--step-ms") {
            auto n = value(v) ? ParseInt(v) : std::nullopt;
            if (!n || *n < 1) return bad("--step-ms needs a whole number of ms above 0");
            replay.StepMs = *n;
        } else if (a == "--simulate") {
            auto n = value(v) ? ParseInt(v) : std::nullopt;
            if (!n || *n < 1 || *n > 9000) return bad("--simulate needs 1 to 9000 issues");
            simulate = true;
            sim.Issues = *n;
        } else if (a == "--rate") {
            auto x = value(v) ? ParseReal(v) : std::nullopt;
            if (!x || !(*x > 0)) return bad("--rate needs a number above 0");
            sim.Rate = *x;
        } else if (a == "--seed") {
            auto n = value(v) ? ParseInt(v) : std::nullopt;
            if (!n) return bad("--seed needs a whole number");
            sim.Seed = static_cast<uint32_t>(*n);
        } else if (a == "--service") {
            if (!value(service) || service.empty()) return bad("--service needs a name");
        } else if (a == "--socket") {
            if (!value(socketPath) || socketPath.empty()) return bad("--socket needs a path");
        } else if (a.rfind("--", 0) == 0) {
            return bad("unknown option " + a);
        }
        // Anything else is the topic a launcher passed on; we serve every topic anyway.
    }
    replay.Manual = sim.Manual = manual;

    std::string error;
    if (socketPath.empty()) {
        if (!PrepareSocketDir(FeedSocketDir(), error)) {
            std::fprintf(stderr, "kestrel-feed: %s\n", error.c_str());
            return 1;
        }
        socketPath = FeedSocketPath(service);
    }

    QuoteBook book;
    std::unique_ptr<QuoteSource> source;
    std::string what;
    if (simulate) {
        source = std::make_unique<SimSource>(sim, book);
        what = "simulating " + std::to_string(sim.Issues) + " issues";
    } else {
        std::vector<std::string> log;
        auto r = std::make_unique<ReplaySource>(replay, book, log);
        for (const auto& l : log) std::fprintf(stderr, "kestrel-feed: %s\n", l.c_str());
        what = "replaying " + std::to_string(r->LineCount()) + " lines of " + replay.Folder;
        source = std::move(r);
    }
    if (manual) what += " on STEP";

    InstallStopSignals();
    Server server(book, *source);
    if (!server.Listen(socketPath, error)) {
        std::fprintf(stderr, "kestrel-feed: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "kestrel-feed: serving %s on %s, %s\n", service.c_str(),
                 socketPath.c_str(), what.c_str());
    return server.Run();
}
