// kestrel-watch on POSIX systems: conversations over the local feed socket, the Qt event loop
// (which delivers the feed's notices), SIGINT/SIGTERM/SIGHUP through the monitor's own quit
// signals.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>

#include "app/SignalQuit.h"
#include "kestrel-watch/WatchPlatform.h"
#include "tracking/feed/SocketDdeConv.h"

struct CWatchPlatform::Impl {
    Impl(int& argc, char** argv) : App(argc, argv) {}
    QCoreApplication App;
};

CWatchPlatform::CWatchPlatform(int& argc, char** argv) : P(std::make_unique<Impl>(argc, argv)) {
    // Event lines into a pipe whose reader has gone must not end the run before the lists are
    // written: the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    AllowFeedWaits();
    // Taken before the links are opened: a signal while they open (which may take long on a
    // large list) cuts the waits short and ends the loop as soon as it runs, after the lists
    // were loaded, so they are written; a signal before the loop would otherwise kill the run.
    InstallQuitSignals([](int) { QCoreApplication::exit(0); }, &AbandonFeedWaits);
}

CWatchPlatform::~CWatchPlatform() { RemoveQuitSignals(); }

DdeConvFactory CWatchPlatform::ConvFactory(int requestTimeoutMs, int adviseTimeoutMs) {
    return [requestTimeoutMs, adviseTimeoutMs, make = MakeSocketConvFactory()] {
        std::unique_ptr<TDdeClientConv> conv = make();
        conv->RequestTimeoutMs = requestTimeoutMs;
        conv->AdviseTimeoutMs = adviseTimeoutMs;
        return conv;
    };
}

void CWatchPlatform::Quit() {
    // Queued, so a quit asked before the loop runs ends it as soon as it does.
    QMetaObject::invokeMethod(
        &P->App, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void CWatchPlatform::Run(const std::function<void(const std::string&)>& onCommand,
                         const std::function<void()>& onReconnectTick) {
    QTimer reconnect;
    reconnect.setInterval(30'000);
    QObject::connect(&reconnect, &QTimer::timeout, onReconnectTick);
    reconnect.start();

    // Input is read on a thread of its own; its lines and its end reach the loop as queued calls.
    QObject* app = &P->App;
    std::thread input([app, onCommand] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            QMetaObject::invokeMethod(
                app, [onCommand, line] { onCommand(line); }, Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(
            app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    input.detach();  // a read of the terminal cannot be interrupted; the process's end ends it

    QCoreApplication::exec();
    reconnect.stop();
    RemoveQuitSignals();
}

std::string CWatchPlatform::Counts() const { return {}; }

void CWatchPlatform::Exit(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    // The input thread may still sit in a read.
    _exit(code);
}
