#pragma once
// The rules of the trader's alerts, free of any toolkit: which event line sounds (its kind, the
// cooldown per issue and kind), and when a silent live feed is worth a word in the status bar.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/Interaction.h"
#include "tracking/MoveEvent.h"

class CSoundAlertRule {
public:
    // `kinds` holds the kinds that sound, 'A' and/or 'D' (any case); without either, both do.
    // A negative cooldown counts as none.
    CSoundAlertRule(IClock& clock, int cooldownSeconds, std::string_view kinds);

    // Whether the move should sound now: an alert (action 'A'), a kind that sounds, and the
    // same topic and kind not sounded within the cooldown. A move that sounds starts its
    // cooldown.
    bool ShouldSound(const MoveEvent& e);

    bool Sounds(char kind) const { return kind == 'A' ? KindA : kind == 'D' && KindD; }

private:
    IClock& Clock;
    int64_t CooldownMs;
    bool KindA = true;
    bool KindD = true;
    CDate Day;
    // Topic and kind to the time of day each last sounded, for the day in `Day`.
    std::map<std::pair<std::string, char>, int64_t, std::less<>> Last;
};

class CStaleFeedRule {
public:
    // The trading sessions in which silence counts, as times of day [begin, end).
    static constexpr int64_t kMorningBegin = 9 * 3'600'000LL;
    static constexpr int64_t kMorningEnd = (11 * 60 + 30) * 60'000LL;
    static constexpr int64_t kAfternoonBegin = (12 * 60 + 30) * 60'000LL;
    static constexpr int64_t kAfternoonEnd = (15 * 60 + 30) * 60'000LL;

    CStaleFeedRule(IClock& clock, int staleSeconds);

    // One look at the count of live quote points stored so far. Gives the status text to show,
    // "配信停止? hh:nn 以降の更新なし", while no change has come for the stale time within the
    // current session (counted from the session's start, or from the first look when that is
    // later); "" otherwise. hh:nn is the time of the last change, or where the count began when
    // none came today.
    std::string Look(int64_t liveQuotes);

private:
    IClock& Clock;
    int64_t StaleMs;
    bool Looked = false;
    int64_t LastCount = 0;
    CDate Day;
    // Silence is counted from here at the earliest: the first look, or midnight of a later day.
    int64_t WatchBeginMs = 0;
    std::optional<int64_t> LastChangeMs;  // today's
};
