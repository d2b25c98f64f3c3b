#include <windows.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include "app/SignalQuit.h"

namespace {
std::function<void(int)> Handler;
bool Fired = false;

// Sees every message of the program's windows before Qt does. A log-off first asks whether the
// session may end (yes: the lists are saved at the end, not refused), then says it ends.
class CEndSessionFilter : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override {
        if (type != "windows_generic_MSG") return false;
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg->message == WM_QUERYENDSESSION) {
            if (result) *result = TRUE;
            return true;
        }
        if (msg->message == WM_ENDSESSION && msg->wParam && !Fired) {
            Fired = true;
            if (Handler) Handler(kEndSession);
            if (result) *result = 0;
            return true;
        }
        return false;
    }
};
CEndSessionFilter* Filter = nullptr;
}  // namespace

bool InstallQuitSignals(std::function<void(int)> onSignal, void (*)()) {
    RemoveQuitSignals();
    if (!QCoreApplication::instance()) return false;
    Handler = std::move(onSignal);
    Fired = false;
    Filter = new CEndSessionFilter;
    QCoreApplication::instance()->installNativeEventFilter(Filter);
    return true;
}

void RemoveQuitSignals() {
    if (!Filter) return;
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(Filter);
    delete Filter;
    Filter = nullptr;
    Handler = nullptr;
}
