#include "app/SignalQuit.h"

#include <csignal>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace {
int Pipe[2] = {-1, -1};
struct sigaction Saved[3];
constexpr int kSignals[3] = {SIGTERM, SIGINT, SIGHUP};
std::unique_ptr<QSocketNotifier> Notifier;
std::function<void(int)> Handler;
bool Fired = false;
void (*AtSignal)() = nullptr;

extern "C" void OnSignal(int signo) {
    unsigned char b = static_cast<unsigned char>(signo);
    int saved = errno;
    [[maybe_unused]] ssize_t n = write(Pipe[1], &b, 1);
    if (AtSignal) AtSignal();
    errno = saved;
}
}  // namespace

bool InstallQuitSignals(std::function<void(int)> onSignal, void (*atSignal)()) {
    RemoveQuitSignals();
    AtSignal = atSignal;
    if (pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    Handler = std::move(onSignal);
    Fired = false;
    Notifier = std::make_unique<QSocketNotifier>(Pipe[0], QSocketNotifier::Read);
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, [] {
        unsigned char b = 0;
        int last = 0;
        while (read(Pipe[0], &b, 1) == 1) last = b;
        if (last == 0 || Fired) return;
        Fired = true;
        if (Handler) Handler(last);
    });
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &Saved[i]);
    return true;
}

void RemoveQuitSignals() {
    if (Pipe[0] < 0) return;
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &Saved[i], nullptr);
    Notifier.reset();
    close(Pipe[0]);
    close(Pipe[1]);
    Pipe[0] = Pipe[1] = -1;
    Handler = nullptr;
    AtSignal = nullptr;
}
