// kestrel-feed: the local market-data server the monitor's live mode talks to. See
// docs/feed-protocol.md for the options and the wire format. On Windows it serves the same
// quotes over DDE (DDEML), as the market-data application does, instead of the socket.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/Numbers.h"
#include "console/Options.h"
#include "kestrel-feed/Quotes.h"
#include "kestrel-feed/Recorder.h"
#ifdef _WIN32
#include "kestrel-feed/DdeServer.h"
#else
#include "kestrel-feed/Server.h"
#include "tracking/feed/FeedSocket.h"
#endif

#ifdef KESTREL_FEED_KABU
#include <QCoreApplication>
#include <QUrl>

#include "kestrel-feed/KabuApi.h"
#include "kestrel-feed/KabuSource.h"
#endif

using namespace kestrel::feed;
using kestrel::ParseInt;
using kestrel::ParseReal;

namespace {

const char* kUsage =
    "usage: kestrel-feed [options] [topic...]\n"
    "  --folder DIR      replay DIR/kabu.txt with std.csv and 銘柄情報.txt (default .)\n"
    "  --speed X         replay X times faster than the recorded times (default 1)\n"
    "  --step-ms N       replay one line every N ms instead of the recorded times\n"
#ifndef _WIN32
    "  --manual          replay or simulate only when a client sends STEP\n"
#endif
    "  --simulate N      simulate N issues (codes 1000, 1001, ...) instead of a replay\n"
    "  --rate R          simulated changes per second (default 10)\n"
    "  --seed S          simulation seed (default 1)\n"
    "  --source kabu     serve live quotes of the kabuステーション API instead of a replay\n"
    "  --kabu-url URL    the API's address (default http://localhost:18080/kabusapi)\n"
    "  --kabu-password-file FILE\n"
    "                    the API password, from a file only you may read (else the\n"
    "                    environment variable KABU_API_PASSWORD)\n"
    "  --kabu-cap N      issues the API's registration list holds (default 50)\n"
    "  --service NAME    service to serve (default: the program's name, or RSS)\n"
#ifdef _WIN32
    "The service is served over DDE; what the source has to say goes to the log (stderr).\n"
#else
    "  --socket PATH     listen on PATH instead of the per-user socket of the service\n"
#endif
    "  --record DIR      record every change served into DIR/yyyymmdd/ (kabu.txt, std.csv\n"
    "                    and the lists), a folder the replay and the backtest read\n"
    "  --record-from DIR the working folder whose lists and settings the recording copies\n"
    "                    (default: the --folder, else the current folder)\n"
    "  --record-date D   record under the day yyyymmdd instead of today's\n"
    "Topics on the command line are accepted and ignored: every topic is served.\n"
    "KESTREL_FEED_OPTIONS, when set, holds options read before the command line's, which\n"
    "may set them again.\n";

std::string BaseName(const char* argv0) {
    std::string s = argv0 ? argv0 : "";
#ifdef _WIN32
    // C:\...\RSS.exe serves RSS, as a copy of the program named after the service should.
    auto slash = s.find_last_of("/\\");
    s = slash == std::string::npos ? s : s.substr(slash + 1);
    if (s.size() > 4) {
        std::string ext = s.substr(s.size() - 4);
        for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (ext == ".exe") s.resize(s.size() - 4);
    }
    return s;
#else
    auto slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> envWords;
    if (const char* env = std::getenv("KESTREL_FEED_OPTIONS")) {
        std::istringstream words(env);
        for (std::string w; words >> w;) envWords.push_back(w);
    }
    std::vector<std::string> words = CommandWords(argc, argv);
    for (const auto* list : {&envWords, &words}) {
        if (AsksForHelp(*list)) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::find(list->begin(), list->end(), "--version") != list->end()) {
            std::puts("kestrel-feed 0.1.0");
            return 0;
        }
    }

    std::string self = BaseName(argv[0]);
    std::string service = self.empty() || self == "kestrel-feed" ? "RSS" : self;
    std::string socketPath;
    ReplayOptions replay;
    SimOptions sim;
    bool simulate = false, manual = false;
    std::string recordDir, recordFrom, recordDate;
    std::string sourceName, kabuUrl = "http://localhost:18080/kabusapi", passwordFile;
    int kabuCap = 50;

    // The environment's options first, then the command line's, each read strictly on its
    // own: the command line may set again what the environment set (a launched server's
    // pace, say), but neither may name an option twice.
    auto declare = [&](COptionParser& p) {
        using Why = std::string;
        p.Switch("--manual", manual);
        p.Text("--folder", [&](const std::string& v, Why& why) {
            replay.Folder = v;
            return !v.empty() || (why = "needs a folder", false);
        });
        p.Number("--speed", [&](const std::string& v, Why& why) {
            auto x = ParseReal(v);
            if (!x || !(*x > 0)) return why = "needs a number above 0", false;
            replay.Speed = *x;
            return true;
        });
        p.Number("--step-ms", [&](const std::string& v, Why& why) {
            auto n = ParseInt(v);
            if (!n || *n < 1) return why = "needs a whole number of ms above 0", false;
            replay.StepMs = *n;
            return true;
        });
        p.Number("--simulate", [&](const std::string& v, Why& why) {
            auto n = ParseInt(v);
            if (!n || *n < 1 || *n > 9000) return why = "needs 1 to 9000 issues", false;
            simulate = true;
            sim.Issues = *n;
            return true;
        });
        p.Number("--rate", [&](const std::string& v, Why& why) {
            auto x = ParseReal(v);
            if (!x || !(*x > 0)) return why = "needs a number above 0", false;
            sim.Rate = *x;
            return true;
        });
        p.Number("--seed", [&](const std::string& v, Why& why) {
            auto n = ParseInt(v);
            if (!n) return why = "needs a whole number", false;
            sim.Seed = static_cast<uint32_t>(*n);
            return true;
        });
        p.Text("--source", [&](const std::string& v, Why& why) {
            sourceName = v;
            return v == "kabu" || (why = "knows only kabu (the kabuステーション API)", false);
        });
        p.Text("--kabu-url", [&](const std::string& v, Why& why) {
            kabuUrl = v;
            const bool web = v.rfind("http://", 0) == 0 || v.rfind("https://", 0) == 0;
            return (web && v.size() > 8) || (why = "needs an http:// address", false);
        });
        p.Text("--kabu-password-file", [&](const std::string& v, Why& why) {
            passwordFile = v;
            return !v.empty() || (why = "needs a file", false);
        });
        p.Number("--kabu-cap", [&](const std::string& v, Why& why) {
            auto n = ParseInt(v);
            if (!n || *n < 1 || *n > 100000) return why = "needs 1 to 100000 issues", false;
            kabuCap = static_cast<int>(*n);
            return true;
        });
        p.Text("--service", [&](const std::string& v, Why& why) {
            service = v;
            return !v.empty() || (why = "needs a name", false);
        });
#ifdef _WIN32
        // DDE has no socket, and STEP comes only over the socket.
        p.Text("--socket", [&](const std::string&, Why& why) {
            return why = "is not there on Windows: the feed serves DDE", false;
        });
#else
        p.Text("--socket", [&](const std::string& v, Why& why) {
            socketPath = v;
            return !v.empty() || (why = "needs a path", false);
        });
#endif
        p.Text("--record", [&](const std::string& v, Why& why) {
            recordDir = v;
            return !v.empty() || (why = "needs a folder", false);
        });
        p.Text("--record-from", [&](const std::string& v, Why& why) {
            recordFrom = v;
            return !v.empty() || (why = "needs a folder", false);
        });
        p.Text("--record-date", [&](const std::string& v, Why& why) {
            CDate d;
            if (!ReadDate(v, d, why)) return false;
            char buf[16];
            std::snprintf(buf, sizeof buf, "%04d%02d%02d", d.Year, d.Month, d.Day);
            recordDate = buf;
            return true;
        });
    };
    // What each list set, to tell a live source from options that belong to a replay.
    std::vector<std::string> given;
    for (const auto* list : {&envWords, &words}) {
        COptionParser options;
        declare(options);
        // Anything that is no option is the topic a launcher passed on, whatever its first
        // character; every topic is served.
        options.LongOptionsOnly = true;
        std::vector<std::string> topics;
        std::string error;
        if (!options.Parse(*list, topics, error)) {
            std::fprintf(stderr, "kestrel-feed: %s%s\n%s",
                         list == &envWords ? "KESTREL_FEED_OPTIONS: " : "", error.c_str(), kUsage);
            return 2;
        }
        for (const char* name :
             {"--folder", "--speed", "--step-ms", "--manual", "--simulate", "--rate", "--seed",
              "--kabu-url", "--kabu-password-file", "--kabu-cap"})
            if (options.Given(name)) given.push_back(name);
    }
#ifdef _WIN32
    if (manual) {
        std::fprintf(stderr,
                     "kestrel-feed: --manual is not there on Windows (STEP comes over the "
                     "socket of the other systems)\n");
        return 2;
    }
#endif
    replay.Manual = sim.Manual = manual;
    const bool kabu = sourceName == "kabu";
    for (const auto& name : given) {
        const bool kabuOption = name.rfind("--kabu-", 0) == 0;
        if (kabu != kabuOption) {
            std::fprintf(stderr, "kestrel-feed: %s %s\n%s", name.c_str(),
                         kabu ? "belongs to a replay or a simulation, not to --source kabu"
                              : "needs --source kabu",
                         kUsage);
            return 2;
        }
    }

    std::string error;
#ifndef _WIN32
    if (socketPath.empty()) {
        if (!PrepareSocketDir(FeedSocketDir(), error)) {
            std::fprintf(stderr, "kestrel-feed: %s\n", error.c_str());
            return 1;
        }
        socketPath = FeedSocketPath(service);
    }
#endif

#ifdef KESTREL_FEED_KABU
    // The broker client needs Qt's event machinery; its loop runs on the client's own thread.
    // Made before the source, so it outlives it.
    std::unique_ptr<QCoreApplication> app;
    int appArgc = 1;
    char* appArgv[] = {argv[0], nullptr};
#endif
    QuoteBook book;
    std::unique_ptr<QuoteSource> source;
    std::string what;
    if (kabu) {
#ifdef KESTREL_FEED_KABU
        kestrel::feed::kabu::Config config;
        config.Base = QUrl(QString::fromStdString(kabuUrl));
        config.Cap = kabuCap;
        // Never from the command line, which every user of the machine may read.
        if (!passwordFile.empty()) {
            if (!kestrel::feed::kabu::ReadPasswordFile(passwordFile, config.Password, error)) {
                std::fprintf(stderr, "kestrel-feed: %s\n", error.c_str());
                return 2;
            }
        } else if (const char* env = std::getenv("KABU_API_PASSWORD"); env && *env) {
            config.Password = env;
        } else {
            std::fprintf(stderr,
                         "kestrel-feed: --source kabu needs the API password: set "
                         "KABU_API_PASSWORD or give --kabu-password-file FILE\n");
            return 2;
        }
        if (!config.Base.isValid() || config.Base.host().isEmpty()) {
            std::fprintf(stderr, "kestrel-feed: --kabu-url %s is no address\n", kabuUrl.c_str());
            return 2;
        }
        app = std::make_unique<QCoreApplication>(appArgc, appArgv);
        source = std::make_unique<KabuSource>(std::move(config));
        what = "live quotes of the kabuステーション API at " + kabuUrl + " (registration cap " +
               std::to_string(kabuCap) + ")";
#else
        std::fprintf(stderr, "kestrel-feed: this build has no kabu source (it needs Qt)\n");
        return 2;
#endif
    } else if (simulate) {
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

#ifdef _WIN32
    DdeServer server(book);
    server.Log = [](const std::string& line) {
        std::fprintf(stderr, "kestrel-feed: %s\n", line.c_str());
    };
    server.OnTopicOpened = [&source](const std::string& topic) { source->TopicOpened(topic); };
    server.OnTopicClosed = [&source](const std::string& topic) { source->TopicClosed(topic); };
#else
    InstallStopSignals();
    Server server(book, *source);
#endif
    // The recording never stops the feed: a folder it cannot write is said, and served anyway.
    std::unique_ptr<Recorder> recorder;
    if (!recordDir.empty()) {
        RecorderOptions rec;
        rec.Dir = recordDir;
        rec.ListsFrom = !recordFrom.empty() ? recordFrom : replay.Folder;
        if (!recordDate.empty()) rec.Today = [recordDate] { return recordDate; };
        recorder = std::make_unique<Recorder>(rec, [](const std::string& line) {
            std::fprintf(stderr, "kestrel-feed: %s\n", line.c_str());
        });
        server.OnServed = [&recorder](const Issue& issue) { recorder->Record(issue); };
    }
#ifdef _WIN32
    if (!server.Start(service, error)) {
        std::fprintf(stderr, "kestrel-feed: %s\n", error.c_str());
        return 1;
    }
    if (recorder) recorder->Start();  // only once we serve: a second server touches nothing
    std::fprintf(stderr, "kestrel-feed: serving %s over DDE, %s\n", service.c_str(), what.c_str());
    return server.Run(*source);
#else
    if (!server.Listen(socketPath, error)) {
        std::fprintf(stderr, "kestrel-feed: %s\n", error.c_str());
        return 1;
    }
    if (recorder) recorder->Start();  // only once we serve: a second server touches nothing
    std::fprintf(stderr, "kestrel-feed: serving %s on %s, %s\n", service.c_str(),
                 socketPath.c_str(), what.c_str());
    return server.Run();
#endif
}
