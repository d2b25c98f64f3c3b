#pragma once
// A sharp move (or the figures of a check that found none), as the detector judged it: who
// reads a move reads these fields; only the event line formatter (tracking/EventLine.h) turns
// them into text.
#include <cstdint>
#include <string_view>

// The rule a detector judges by: a move of at least Rate percent between the latest price
// and the lowest (highest) price of the window that starts SpanMinutes before the latest
// point's minute.
struct MoveRule {
    double Rate = 0;
    int32_t SpanMinutes = 0;
    bool operator==(const MoveRule&) const = default;
};

struct MoveEvent {
    // The watched issue's topic; the tracker's text, valid while the event is handed on.
    std::string_view Topic;
    int32_t TimeMs = 0;     // the latest point's time of day
    int32_t Price = 0;      // the latest point's price
    int32_t Move = 0;       // the price less the window's low ('A') or high ('D')
    double MoveRatio = 0;   // Move against the price, in percent
    int32_t LimitHigh = 0;  // the upper price limit, shown with the move
    char Kind = 'A';        // 'A' a rise (Asc), 'D' a fall (Dsc)
    char Action = 'U';      // 'A' the rule holds (an alert), 'U' figures only (an update)
    bool IsAlert() const { return Action == 'A'; }
    // MoveRatio as the detector works it out from Move and Price, for who keeps those alone.
    static double RatioOf(int32_t move, int32_t price) {
        return price > 0 ? static_cast<double>(move) / price * 100 : 0;
    }
};
