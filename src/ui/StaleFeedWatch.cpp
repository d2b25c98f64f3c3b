#include <QStatusBar>

#include "ui/StaleFeedWatch.h"

TStaleFeedWatch::TStaleFeedWatch(CStaleFeedRule rule, std::function<bool()> ready,
                                 std::function<int64_t()> liveQuotes, QStatusBar& bar,
                                 QObject* parent)
    : QObject(parent),
      Rule(std::move(rule)),
      Ready(std::move(ready)),
      LiveQuotes(std::move(liveQuotes)),
      Bar(bar) {
    Timer.setInterval(1000);
    connect(&Timer, &QTimer::timeout, this, &TStaleFeedWatch::Tick);
}

void TStaleFeedWatch::Tick() {
    if (Ready && !Ready()) return;
    const QString want = QString::fromStdString(Rule.Look(LiveQuotes()));
    const QString shown = Bar.currentMessage();
    if (!want.isEmpty()) {
        if (shown != want && (shown.isEmpty() || shown == Shown)) Bar.showMessage(want);
    } else if (!Shown.isEmpty() && shown == Shown) {
        Bar.clearMessage();
    }
    Shown = want;
}
