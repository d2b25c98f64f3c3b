#include "ui/FeedStatus.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

std::string HhNnSs(int64_t ms) {
    const int64_t s = (ms / 1000) % 86'400;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(s / 3600),
                  static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
    return text;
}

}  // namespace

TFeedStatus::TFeedStatus(IClock& clock, int staleSeconds, TSource source, QWidget* parent)
    : QLabel(parent),
      Clock(clock),
      Rule(clock, staleSeconds),
      StaleMs(std::max(staleSeconds, 0) * int64_t{1000}),
      Source(std::move(source)) {
    setObjectName(QStringLiteral("FeedStatus"));
    setToolTip(QStringLiteral("配信の状態: 接続中の銘柄数 / 監視銘柄数、最後に現在値を受けた時刻"));
    setText(QStringLiteral("配信 開始前"));
    connect(&Timer, &QTimer::timeout, this, &TFeedStatus::Look);
}

TFeedStatus::~TFeedStatus() = default;

void TFeedStatus::Start() {
    Look();
    if (!ClockTimer) ClockTimer = Clock.MakeTimer([this] { Look(); });
    if (ClockTimer) {
        ClockTimer->SetInterval(kLookMs);
        ClockTimer->Start();
    } else {
        Timer.start(kLookMs);
    }
}

void TFeedStatus::Look() {
    if (Source.Started && !Source.Started()) return;
    const int64_t now = Clock.TimeOfDayMs();
    const int64_t count = Source.LiveQuotes ? Source.LiveQuotes() : 0;
    // Quotes stored before the first look came then, as far as this can tell.
    if (!Counted || count != LastCount) {
        if (count != 0) LastQuoteMs = now;
        Counted = true;
        LastCount = count;
    }
    const bool stale = !Rule.Look(count).empty();
    const auto [linked, watched] = Source.Links ? Source.Links() : std::make_pair(0, 0);
    const int64_t since = LastQuoteMs ? now - *LastQuoteMs : 0;
    if (watched > 0 && linked == 0)
        Now = TState::Unlinked;
    else if (stale)
        Now = TState::Stale;
    else if (LastQuoteMs && since >= 0 && (StaleMs == 0 || since < StaleMs))
        Now = TState::Receiving;
    else
        Now = TState::Waiting;
    const char* word = Now == TState::Unlinked    ? "未接続"
                       : Now == TState::Stale     ? "停止?"
                       : Now == TState::Receiving ? "受信中"
                                                  : "待機中";
    const std::string text = std::string("配信 ") + word + "  接続 " + std::to_string(linked) +
                             "/" + std::to_string(watched) + "  最終受信 " +
                             (LastQuoteMs ? HhNnSs(*LastQuoteMs) : std::string("--:--:--"));
    setText(QString::fromStdString(text));
    // The trader's eye goes to red: the same red as a rise, only when something is wrong.
    const bool bad = Now == TState::Unlinked || Now == TState::Stale;
    setStyleSheet(bad ? QStringLiteral("color: rgb(255, 0, 0);") : QString());
}
