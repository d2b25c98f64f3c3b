#include "app/AlertRules.h"

#include <algorithm>
#include <cctype>

#include "common/TimeOfDay.h"

namespace {

bool SameDay(const CDate& a, const CDate& b) {
    return a.Year == b.Year && a.Month == b.Month && a.Day == b.Day;
}

}  // namespace

CSoundAlertRule::CSoundAlertRule(IClock& clock, int cooldownSeconds, std::string_view kinds)
    : Clock(clock), CooldownMs(std::max(cooldownSeconds, 0) * int64_t{1000}), Day(clock.Today()) {
    const auto has = [&](char c) {
        return std::any_of(kinds.begin(), kinds.end(), [c](char k) {
            return std::toupper(static_cast<unsigned char>(k)) == c;
        });
    };
    if (has('A') || has('D')) {
        KindA = has('A');
        KindD = has('D');
    }
}

bool CSoundAlertRule::ShouldSound(const MoveEvent& e) {
    if (!e.IsAlert() || !Sounds(e.Kind)) return false;
    const CDate today = Clock.Today();
    if (!SameDay(today, Day)) {
        Last.clear();
        Day = today;
    }
    const int64_t now = Clock.TimeOfDayMs();
    const auto key = std::make_pair(std::string(e.Topic), e.Kind);
    auto it = Last.find(key);
    if (it != Last.end()) {
        const int64_t since = now - it->second;
        // A clock set back counts as the cooldown over.
        if (since >= 0 && since < CooldownMs) return false;
        it->second = now;
    } else {
        Last.emplace(key, now);
    }
    return true;
}

CStaleFeedRule::CStaleFeedRule(IClock& clock, int staleSeconds)
    : Clock(clock), StaleMs(std::max(staleSeconds, 0) * int64_t{1000}) {}

std::string CStaleFeedRule::Look(int64_t liveQuotes) {
    const int64_t now = Clock.TimeOfDayMs();
    const CDate today = Clock.Today();
    if (!Looked) {
        Looked = true;
        Day = today;
        WatchBeginMs = now;
    } else if (!SameDay(today, Day)) {
        Day = today;
        WatchBeginMs = 0;
        LastChangeMs.reset();
    }
    if (liveQuotes != LastCount) {
        LastCount = liveQuotes;
        LastChangeMs = now;
        return "";
    }
    int64_t sessionBegin;
    if (now >= kMorningBegin && now < kMorningEnd)
        sessionBegin = kMorningBegin;
    else if (now >= kAfternoonBegin && now < kAfternoonEnd)
        sessionBegin = kAfternoonBegin;
    else
        return "";
    const int64_t watched = std::max(sessionBegin, WatchBeginMs);
    const int64_t silentSince = std::max(watched, LastChangeMs.value_or(watched));
    if (StaleMs <= 0 || now - silentSince < StaleMs) return "";
    return "配信停止? " + kestrel::FormatHhNnMs(LastChangeMs.value_or(watched)) + " 以降の更新なし";
}
