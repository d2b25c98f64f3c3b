#pragma once
// What the feed reads of the kabuステーション API, apart from talking to it: which exchange a
// topic names, what a board or PUSH frame says, the margin class from the symbol information,
// and what an answer means. Kept free of any connection so the rules can be tested alone.
#include <cstdint>
#include <optional>
#include <string>

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace kestrel::feed::kabu {

// The API's exchange code of a topic's market, by its suffix:
//   ".T" 東証 -> 1; ".OS" 大証, ".Q" JASDAQ, ".OJ" ヘラクレス -> 1 (their cash equities trade on
//   the Tokyo exchange today).
// A bare code (名証 or 福証, which the topic alone does not tell apart) and any other suffix
// have no code: such a topic is not served.
struct TopicSymbol {
    std::string Code;  // the four characters of the issue code, as the API spells them
    int Exchange = 0;
};
// False with `why` (naming the topic) when the topic has no exchange code.
bool MapTopic(const std::string& topic, TopicSymbol& out, std::string& why);

// One board, from GET /board or a PUSH frame. A field that is null or missing is empty: it
// leaves what was known before unchanged.
struct Quote {
    std::string Symbol;
    std::optional<double> Price;   // CurrentPrice
    std::string PriceTime;         // CurrentPriceTime in Japan time, "hh:nn:ss"; empty when none
    std::optional<double> Volume;  // TradingVolume, cumulative for the day
    std::string Day;               // "yyyymmdd" (Japan) of the volume's time, else the price's
    std::optional<double> Vwap;
    std::optional<double> ChangePercent;  // ChangePreviousClosePer
    std::optional<double> PrevClose;
    std::optional<double> Open;
    std::optional<std::string> Name;  // SymbolName
    // A time carried an offset other than Japan's (the API writes its PC's own zone).
    bool ForeignOffset = false;
    int OffsetMinutes = 540;
};
// False when the object names no symbol. Only the fields above are read: the best bid and
// offer (named the other way round by the API) are no item of ours.
bool ReadQuote(const QJsonObject& board, Quote& q);

// An ISO 8601 time with its offset ("2022-04-04T15:00:00+09:00") as Japan's time of day and
// date. A time without an offset is taken as Japan's. False when it does not read.
bool JapanTime(const QString& iso, std::string& hhnnss, std::string& yyyymmdd, int& offsetMinutes);

// The margin class text from GET /symbol: "貸借" when both 制度信用 sides may be traded,
// "信用" when only the buy side, "一般" when only 一般信用, else empty. The flags say what the
// broker accepts today, which is the nearest the API comes to the exchange's class.
std::string MarginClass(const QJsonObject& symbol);

// What one answer of the API means for the client.
enum class Outcome {
    Ok,
    WrongPassword,  // 401 4001013 on /token: retrying cannot help
    NotLoggedIn,    // 401 4001007/4001017, or 4001008 (API not enabled): wait and retry
    TokenInvalid,   // 401 on any other call (4001009): get a new token
    RateLimited,    // 429 4001006: send nothing for a while
    CapReached,     // 400 4002006: the registration list is full
    Refused,        // 400 4001018/4001019: registration refused
    UnknownSymbol,  // 400 4002001
    Unreachable,    // no HTTP answer: connection refused, reset, time-out
    HostRefused,    // 400 that is no API answer ("invalid hostname"): the request was not
                    // addressed to localhost
    Failed,         // anything else
};
struct Answer {
    Outcome Kind = Outcome::Failed;
    int Http = 0;
    int Code = 0;
    std::string Message;  // the API's message, or the transport's error
    QJsonObject Body;
};
// `http` 0 means no HTTP answer came (`transportError` says why).
Answer Classify(int http, const QByteArray& body, const std::string& transportError);

// The API password from a file that only its owner may read or write: its first line, without
// the line end. False with `error` (naming the file, never the password) otherwise.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error);

// Waits between retries: the first interval, then twice as long each time up to the longest.
class Backoff {
public:
    Backoff(int firstMs, int maxMs) : FirstMs(firstMs), MaxMs(maxMs) {}
    int Next();
    void Reset() { Failures = 0; }
    int Count() const { return Failures; }

private:
    int FirstMs, MaxMs;
    int Failures = 0;
};

}  // namespace kestrel::feed::kabu
