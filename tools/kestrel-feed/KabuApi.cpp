#include "kestrel-feed/KabuApi.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>

namespace kestrel::feed::kabu {

namespace {

constexpr int kJapanOffsetSeconds = 9 * 3600;

std::optional<double> Number(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble()) return std::nullopt;  // null until the app has the figure
    return v.toDouble();
}

bool IsCodeChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

}  // namespace

bool MapTopic(const std::string& topic, TopicSymbol& out, std::string& why) {
    // The markets whose issues the API serves under the Tokyo code today.
    static const char* const kTokyo[] = {".T", ".OS", ".Q", ".OJ"};
    const std::string code = topic.substr(0, 4);
    if (code.size() < 4 || !std::all_of(code.begin(), code.end(), IsCodeChar)) {
        why = topic + ": not an issue code";
        return false;
    }
    const std::string suffix = topic.substr(4);
    if (suffix.empty()) {
        why = topic + ": a code without a market (名証 or 福証) has no exchange code in the API";
        return false;
    }
    for (const char* s : kTokyo) {
        if (suffix == s) {
            out.Code = code;
            out.Exchange = 1;
            return true;
        }
    }
    why = topic + ": the market " + suffix + " has no exchange code in the API";
    return false;
}

bool JapanTime(const QString& iso, std::string& hhnnss, std::string& yyyymmdd, int& offsetMinutes) {
    QDateTime t = QDateTime::fromString(iso, Qt::ISODateWithMs);
    if (!t.isValid()) return false;
    if (t.timeSpec() == Qt::OffsetFromUTC || t.timeSpec() == Qt::UTC) {
        offsetMinutes = t.offsetFromUtc() / 60;
        t = t.toOffsetFromUtc(kJapanOffsetSeconds);
    } else {
        offsetMinutes = kJapanOffsetSeconds / 60;  // no offset written: Japan's clock
    }
    hhnnss = t.time().toString(QStringLiteral("hh:mm:ss")).toStdString();
    yyyymmdd = t.date().toString(QStringLiteral("yyyyMMdd")).toStdString();
    return true;
}

bool ReadQuote(const QJsonObject& o, Quote& q) {
    q = Quote{};
    const QJsonValue symbol = o.value(QLatin1String("Symbol"));
    if (!symbol.isString() || symbol.toString().isEmpty()) return false;
    q.Symbol = symbol.toString().toStdString();
    q.Price = Number(o, "CurrentPrice");
    q.Volume = Number(o, "TradingVolume");
    q.Vwap = Number(o, "VWAP");
    q.ChangePercent = Number(o, "ChangePreviousClosePer");
    q.PrevClose = Number(o, "PreviousClose");
    q.Open = Number(o, "OpeningPrice");
    if (const QJsonValue n = o.value(QLatin1String("SymbolName")); n.isString())
        q.Name = n.toString().toStdString();

    std::string day, ignored;
    int offset = 540;
    auto readTime = [&](const char* key, std::string& hhnnss, std::string& date) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isString() || !JapanTime(v.toString(), hhnnss, date, offset)) return false;
        if (offset != 540) {
            q.ForeignOffset = true;
            q.OffsetMinutes = offset;
        }
        return true;
    };
    std::string priceDay;
    readTime("CurrentPriceTime", q.PriceTime, priceDay);
    if (!readTime("TradingVolumeTime", ignored, day)) day = priceDay;
    q.Day = day;
    return true;
}

std::string MarginClass(const QJsonObject& o) {
    auto flag = [&](const char* key) { return o.value(QLatin1String(key)).toBool(false); };
    const bool buy = flag("MarginBuy"), sell = flag("MarginSell");
    if (buy && sell) return "貸借";
    if (buy) return "信用";
    if (flag("KCMarginBuy") || flag("KCMarginSell")) return "一般";
    return "";
}

Answer Classify(int http, const QByteArray& body, const std::string& transportError) {
    Answer a;
    a.Http = http;
    if (http == 0) {
        a.Kind = Outcome::Unreachable;
        a.Message = transportError;
        return a;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    const bool json = error.error == QJsonParseError::NoError && doc.isObject();
    if (json) {
        a.Body = doc.object();
        a.Code = a.Body.value(QLatin1String("Code")).toInt(0);
        a.Message = a.Body.value(QLatin1String("Message")).toString().toStdString();
    } else {
        a.Message = QString::fromUtf8(body.left(200)).simplified().toStdString();
    }
    if (http == 200) {
        a.Kind = json ? Outcome::Ok : Outcome::Failed;
        if (!json) a.Message = "an answer that is not JSON";
        return a;
    }
    if (http == 429 || a.Code == 4001006) {
        a.Kind = Outcome::RateLimited;
    } else if (a.Code == 4001013) {
        a.Kind = Outcome::WrongPassword;
    } else if (a.Code == 4001007 || a.Code == 4001017 || a.Code == 4001008) {
        a.Kind = Outcome::NotLoggedIn;
    } else if (http == 401) {
        a.Kind = Outcome::TokenInvalid;
    } else if (a.Code == 4002006) {
        a.Kind = Outcome::CapReached;
    } else if (a.Code == 4001018 || a.Code == 4001019) {
        a.Kind = Outcome::Refused;
    } else if (a.Code == 4002001) {
        a.Kind = Outcome::UnknownSymbol;
    } else if (http == 400 && !json) {
        // Windows' HTTP server itself refuses a request addressed to another host name
        // ("Bad Request - Invalid Hostname") before the API sees it.
        a.Kind = Outcome::HostRefused;
    } else {
        a.Kind = Outcome::Failed;
    }
    return a;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (!ok) {
        error = path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        ok = false;
        error = path + ": not a regular file";
    } else if (st.st_uid != geteuid()) {
        ok = false;
        error = path + ": belongs to another user; the API password must be in a file of yours";
    } else if ((st.st_mode & 077) != 0) {
        ok = false;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = path + ": others may read or change it (mode " + mode +
                "); the API password must be in a file only you can read: chmod 600 " + path;
    }
    std::string text;
    if (ok) {
        char buf[512];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() < 4096)
            text.append(buf, static_cast<size_t>(n));
        if (n < 0) {
            ok = false;
            error = path + ": " + std::strerror(errno);
        }
    }
    close(fd);
    if (!ok) return false;
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) {
        error = path + ": holds no password on its first line";
        return false;
    }
    password = std::move(text);
    return true;
}

int Backoff::Next() {
    int64_t ms = FirstMs;
    for (int i = 0; i < Failures && ms < MaxMs; ++i) ms *= 2;
    ++Failures;
    return static_cast<int>(std::min<int64_t>(ms, MaxMs));
}

}  // namespace kestrel::feed::kabu
