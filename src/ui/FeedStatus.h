#pragma once
// The live feed's state, kept in the right end of the main window's status bar in live mode:
// how many watched issues have their quote link open and when the last quote came, looked at
// once a second. The word on a silent feed comes from the same rule as the [ALERT] one.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include <QLabel>
#include <QTimer>

#include "app/AlertRules.h"

class TFeedStatus : public QLabel {
    Q_OBJECT
public:
    static constexpr int kLookMs = 1000;

    struct TSource {
        std::function<bool()> Started;        // start-up has ended (none: from the first look)
        std::function<int64_t()> LiveQuotes;  // quote points stored from the live feed so far
        std::function<std::pair<int, int>()> Links;  // open quote links, watched issues
    };
    // `staleSeconds`: silence within a session after which the feed is said to have stopped
    // (0: never said).
    TFeedStatus(IClock& clock, int staleSeconds, TSource source, QWidget* parent = nullptr);
    ~TFeedStatus() override;

    // Looks now and from then on once a second, on the clock's timers where it has its own.
    void Start();
    void Look();

    enum class TState { Starting, Unlinked, Waiting, Receiving, Stale };
    TState State() const { return Now; }

private:
    IClock& Clock;
    CStaleFeedRule Rule;
    int64_t StaleMs;
    TSource Source;
    TState Now = TState::Starting;
    bool Counted = false;
    int64_t LastCount = 0;
    std::optional<int64_t> LastQuoteMs;  // when the count last changed, on the clock
    std::unique_ptr<ITimer> ClockTimer;
    QTimer Timer;
};
