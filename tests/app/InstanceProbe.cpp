// A stand-in process for the guard and signal tests: `guard DIR` takes the single-instance guard
// in DIR and reports what it got; as the first instance it stays until it has been asked to come
// forward twice or gets a signal. Every report is one line on stdout.
#include <cstdio>
#include <cstring>

#include <QCoreApplication>
#include <QTimer>

#include "app/SignalQuit.h"
#include "app/SingleInstance.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3 || std::strcmp(argv[1], "guard") != 0) return 2;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    CSingleInstance guard(QStringLiteral("Kestrel2005"), QString::fromLocal8Bit(argv[2]));
    switch (guard.Acquire()) {
        case CSingleInstance::Result::Second:
            std::puts("second");
            return 0;
        case CSingleInstance::Result::Error:
            std::printf("error %s\n", guard.ErrorText().toLocal8Bit().constData());
            return 1;
        case CSingleInstance::Result::First:
            break;
    }
    int activations = 0;
    guard.OnActivate = [&] {
        std::printf("activated %d\n", ++activations);
        if (activations == 2) QCoreApplication::quit();
    };
    InstallQuitSignals([](int signo) {
        std::printf("signal %d\n", signo);
        QCoreApplication::quit();
    });
    // A probe that its test left behind (the test died) ends by itself, long after any test
    // under a sanitizer on a loaded machine could still be waiting for it.
    QTimer::singleShot(600'000, &app, [] { QCoreApplication::exit(3); });
    std::puts("first");
    int rc = app.exec();
    std::puts("ended");
    return rc;
}
