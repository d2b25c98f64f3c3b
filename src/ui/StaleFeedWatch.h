#pragma once
// The word on a silent live feed in the status bar. The rule is in app/AlertRules.h; this is its
// thin Qt side.
#include <cstdint>
#include <functional>

#include <QObject>
#include <QString>
#include <QTimer>

#include "app/AlertRules.h"

class QStatusBar;

class TStaleFeedWatch : public QObject {
    Q_OBJECT
public:
    // Once a second, when `ready` says the monitor has started, a look at `liveQuotes` through
    // the rule; its text goes into the status bar and away again, never over a text that
    // something else put there meanwhile.
    TStaleFeedWatch(CStaleFeedRule rule, std::function<bool()> ready,
                    std::function<int64_t()> liveQuotes, QStatusBar& bar,
                    QObject* parent = nullptr);

    void Start() { Timer.start(); }
    void Tick();

private:
    CStaleFeedRule Rule;
    std::function<bool()> Ready;
    std::function<int64_t()> LiveQuotes;
    QStatusBar& Bar;
    QString Shown;  // the text the watch wants shown, "" for none
    QTimer Timer;
};
