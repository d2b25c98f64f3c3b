#include "support/KabuSim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <QAbstractHttpServer>
#include <QDateTime>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimeZone>
#include <QWebSocket>
#include <QWebSocketServer>

#include "common/TimeOfDay.h"
#include "kestrel-feed/Quotes.h"

namespace kestrel::test {

namespace {

using Status = QHttpServerResponder::StatusCode;

double Tick(double price) {
    if (price < 3000) return 1;
    if (price < 5000) return 5;
    if (price < 30000) return 10;
    return 50;
}

QJsonValue OrNull(const std::optional<double>& v) { return v ? QJsonValue(*v) : QJsonValue(); }
QJsonValue OrNull(const std::optional<int64_t>& v) {
    return v ? QJsonValue(static_cast<double>(*v)) : QJsonValue();
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

// The HTTP side: every request goes to the simulator, which answers as the API would.
class KabuSim::Http : public QAbstractHttpServer {
public:
    explicit Http(KabuSim& sim) : Sim(sim) {}

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        QHttpServerResponder out = makeResponder(request, socket);
        Sim.Handle(request, out);
        return true;
    }
    void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {}

private:
    KabuSim& Sim;
};

// Connections come here first. Qt HTTP Server 6.4 as packaged here takes a WebSocket
// handshake for a plain GET now and then (or leaves it unanswered), so the handshake is told
// apart before it: a request whose head asks for an upgrade to websocket goes to Qt's
// WebSocket server, anything else to the HTTP server, both getting the bytes unread.
class KabuSim::Router : public QTcpServer {
public:
    Router(QWebSocketServer& ws, QObject* parent) : QTcpServer(parent), Ws(ws) {}

protected:
    void incomingConnection(qintptr fd) override {
        auto* s = new QTcpSocket(this);
        if (!s->setSocketDescriptor(fd)) {
            delete s;
            return;
        }
        connect(s, &QTcpSocket::readyRead, this, [this, s] { Route(s); });
    }

private:
    void Route(QTcpSocket* s) {
        const QByteArray head = s->peek(16384);
        const qsizetype end = head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (head.size() >= 16384) s->abort();
            return;  // the head is not complete yet
        }
        s->disconnect(this);
        // Frames go out as they are made, as a server tuned for pushing sends them, not held
        // back for the previous one's acknowledgement.
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        bool upgrade = false;
        for (const QByteArray& line : head.left(end).split('\n')) {
            const QByteArray l = line.trimmed().toLower();
            if (l.startsWith("upgrade:") && l.contains("websocket")) upgrade = true;
        }
        if (upgrade) {
            Ws.handleConnection(s);
        } else {
            addPendingConnection(s);
            emit newConnection();
        }
        // Both read what is already here only when told that something came.
        QMetaObject::invokeMethod(
            s, [s] { emit s->readyRead(); }, Qt::QueuedConnection);
    }

    QWebSocketServer& Ws;
};

KabuSim::KabuSim(KabuSimOptions options, QObject* parent)
    : QObject(parent),
      Opt(std::move(options)),
      Server(std::make_unique<Http>(*this)),
      Ws(std::make_unique<QWebSocketServer>(QStringLiteral("kabu-sim"),
                                            QWebSocketServer::NonSecureMode)) {
    Wall.start();
    connect(Ws.get(), &QWebSocketServer::newConnection, this, &KabuSim::OnWebSocket);
}

KabuSim::~KabuSim() {
    for (QWebSocket* ws : Sockets) ws->disconnect(this);
    if (Rival) Rival->disconnect(this);
}

bool KabuSim::Listen(uint16_t port) {
    if (!Tcp) {
        Tcp = new Router(*Ws, this);
        if (!Tcp->listen(QHostAddress::LocalHost, port)) return false;
        Server->bind(Tcp);
    } else if (!Tcp->isListening() && !Tcp->listen(QHostAddress::LocalHost, port)) {
        return false;
    }
    PortNumber = Tcp->serverPort();
    return true;
}

QString KabuSim::BaseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1/kabusapi").arg(PortNumber);
}

// ---------------------------------------------------------------------------------------------
// The market.

bool KabuSim::Known(const std::string& code) const {
    if (Opt.Unknown.count(code)) return false;
    return AnyCode || Boards.count(code);
}

KabuSim::Board& KabuSim::BoardOf(const std::string& code) {
    auto [it, fresh] = Boards.try_emplace(code);
    if (fresh) {
        it->second.Code = code;
        it->second.Name = "銘柄" + code;
        if (DayBook) {
            // The day's reference figures, as the app would know them before the open.
            const kestrel::feed::Issue ref = DayBook->Lookup(code);
            if (!ref.Ref.Name.empty()) it->second.Name = ref.Ref.Name;
            it->second.MarginClass = ref.Ref.MarginClass;
            it->second.PrevClose = std::atof(ref.Ref.PrevClose.c_str());
        }
    }
    return it->second;
}

void KabuSim::AddIssue(const std::string& code, const std::string& name, double prevClose,
                       const std::string& marginClass) {
    Board& b = BoardOf(code);
    b.Name = name;
    b.PrevClose = prevClose;
    b.MarginClass = marginClass;
}

std::string KabuSim::TimeText(int64_t ms) const {
    char buf[16];
    ms = ((ms % kMsPerDay) + kMsPerDay) % kMsPerDay;
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(ms / 3600'000),
                  static_cast<int>(ms / 60'000 % 60), static_cast<int>(ms / 1000 % 60));
    return buf;
}

void KabuSim::Trade(const std::string& code, double price, int64_t volume,
                    const std::string& time) {
    Board& b = BoardOf(code);
    const std::string t = time.empty() ? TimeText(Now) : time;
    if (!b.Price) {
        b.Open = price;
        b.OpenTime = t;
    }
    if (!b.High || price > *b.High) {
        b.High = price;
        b.HighTime = t;
    }
    if (!b.Low || price < *b.Low) {
        b.Low = price;
        b.LowTime = t;
    }
    const int64_t before = b.Volume.value_or(0);
    if (volume > before) b.Turnover += price * static_cast<double>(volume - before);
    b.Price = price;
    b.PriceTime = t;
    b.Volume = volume;
    b.VolumeTime = t;
    Changed(code);
}

void KabuSim::QuoteOnly(const std::string& code) {
    Board& b = BoardOf(code);
    b.QuoteShift = (b.QuoteShift + 1) % 3;
    Changed(code);
}

void KabuSim::LoadDay(std::unique_ptr<kestrel::feed::QuoteSource> source,
                      std::unique_ptr<kestrel::feed::QuoteBook> book, int64_t startMs) {
    Day = std::move(source);
    DayBook = std::move(book);
    DayStart = startMs;
    Now = std::max(Now, startMs);
    AnyCode = true;
}

bool KabuSim::DayEnded() const { return !Day || Day->NextDueMs() < 0; }

void KabuSim::AdvanceMs(int64_t ms) {
    const int64_t until = Now + std::max<int64_t>(ms, 0);
    constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
    while (true) {
        int64_t nextDay = kNever, nextFlush = kNever;
        if (Day) {
            const int64_t due = Day->NextDueMs();
            if (due >= 0) nextDay = DayStart + due;
        }
        for (const auto& [code, b] : Boards)
            if (b.Dirty) nextFlush = std::min(nextFlush, b.LastPushMs + Opt.ThinMs);
        const int64_t t = std::min(nextDay, nextFlush);
        if (t > until) break;
        Now = std::max(Now, t);
        if (nextDay <= t) {
            std::string code;
            if (!Day->Next(*DayBook, code)) continue;
            if (const kestrel::feed::Issue* s = DayBook->Find(code))
                Trade(code, s->Price, s->Volume,
                      s->TimeText.size() == 5 ? s->TimeText + ":00" : s->TimeText);
            continue;
        }
        for (auto& [code, b] : Boards)
            if (b.Dirty && b.LastPushMs + Opt.ThinMs <= Now) PushNow(b);
    }
    Now = until;
}

void KabuSim::Changed(const std::string& code) {
    Board& b = Boards[code];
    b.Dirty = true;
    // Within the thinning interval the change waits, folded into the board, for the next frame.
    if (Now - b.LastPushMs >= Opt.ThinMs) PushNow(b);
}

void KabuSim::PushNow(Board& b) {
    b.Dirty = false;
    auto it = List.find(b.Code);
    if (it == List.end() || !it->second.Pushed || !Current) return;
    b.LastPushMs = Now;
    Current->sendTextMessage(QString::fromUtf8(BoardJson(b)));
    ++Frames;
    if (b.Price)
        Pushed.push_back(b.PriceTime + "," + b.Code + "," +
                         std::to_string(static_cast<int64_t>(std::floor(*b.Price))) + "," +
                         std::to_string(b.Volume.value_or(0)));
    if (OnPush) OnPush(b.Code, b.Volume.value_or(0));
}

QByteArray KabuSim::Frame(const std::string& code) { return BoardJson(BoardOf(code)); }

bool KabuSim::SendRaw(const QByteArray& frame) {
    if (!Current) return false;
    Current->sendTextMessage(QString::fromUtf8(frame));
    ++Frames;
    return true;
}

QString KabuSim::IsoTime(const std::string& hhnnss) const {
    const auto ms = ParseTimeMs(hhnnss);
    if (!ms) return {};
    const QDateTime japan(QDate::fromString(Q(Opt.Date), Qt::ISODate),
                          QTime::fromMSecsSinceStartOfDay(static_cast<int>(*ms)),
                          QTimeZone(9 * 3600));
    return japan.toTimeZone(QTimeZone(Opt.OffsetMinutes * 60)).toString(Qt::ISODate);
}

QByteArray KabuSim::BoardJson(const Board& b) const {
    auto time = [&](const std::string& t) {
        return t.empty() ? QJsonValue() : QJsonValue(IsoTime(t));
    };
    const bool traded = b.Price.has_value();
    // The best quotes around the price (the previous close before the open). The API calls
    // the best offer "Bid" and the best bid "Ask".
    const double mid = traded ? *b.Price : b.PrevClose;
    const double tick = Tick(mid);
    const double offer = mid + tick * (1 + b.QuoteShift), bid = mid - tick * (1 + b.QuoteShift);
    const QString quoteTime = IsoTime(traded ? b.PriceTime : "08:59:00");
    QJsonObject o{
        {QStringLiteral("Symbol"), Q(b.Code)},
        {QStringLiteral("SymbolName"), Q(b.Name)},
        {QStringLiteral("Exchange"), 1},
        {QStringLiteral("ExchangeName"), QStringLiteral("東証プ")},
        {QStringLiteral("CurrentPrice"), OrNull(b.Price)},
        {QStringLiteral("CurrentPriceTime"), time(b.PriceTime)},
        {QStringLiteral("CurrentPriceChangeStatus"),
         traded ? QJsonValue(QStringLiteral("0057")) : QJsonValue()},
        {QStringLiteral("CurrentPriceStatus"), 1},
        {QStringLiteral("CalcPrice"), traded ? QJsonValue(*b.Price) : QJsonValue(b.PrevClose)},
        {QStringLiteral("PreviousClose"), b.PrevClose},
        {QStringLiteral("PreviousCloseTime"), IsoTime("00:00:00")},
        {QStringLiteral("ChangePreviousClose"),
         traded ? QJsonValue(*b.Price - b.PrevClose) : QJsonValue()},
        {QStringLiteral("ChangePreviousClosePer"),
         traded && b.PrevClose > 0
             ? QJsonValue(std::round((*b.Price - b.PrevClose) / b.PrevClose * 10000) / 100)
             : QJsonValue()},
        {QStringLiteral("OpeningPrice"), OrNull(b.Open)},
        {QStringLiteral("OpeningPriceTime"), time(b.OpenTime)},
        {QStringLiteral("HighPrice"), OrNull(b.High)},
        {QStringLiteral("HighPriceTime"), time(b.HighTime)},
        {QStringLiteral("LowPrice"), OrNull(b.Low)},
        {QStringLiteral("LowPriceTime"), time(b.LowTime)},
        {QStringLiteral("TradingVolume"), OrNull(b.Volume)},
        {QStringLiteral("TradingVolumeTime"), time(b.VolumeTime)},
        {QStringLiteral("VWAP"),
         b.Volume && *b.Volume > 0
             ? QJsonValue(std::round(b.Turnover / static_cast<double>(*b.Volume) * 10000) / 10000)
             : QJsonValue()},
        {QStringLiteral("TradingValue"), traded ? QJsonValue(b.Turnover) : QJsonValue()},
        {QStringLiteral("BidQty"), 100.0},
        {QStringLiteral("BidPrice"), offer},
        {QStringLiteral("BidTime"), quoteTime},
        {QStringLiteral("BidSign"), traded ? QStringLiteral("0101") : QStringLiteral("0107")},
        {QStringLiteral("MarketOrderSellQty"), 0.0},
        {QStringLiteral("Sell1"), QJsonObject{{QStringLiteral("Time"), quoteTime},
                                              {QStringLiteral("Sign"), QStringLiteral("0101")},
                                              {QStringLiteral("Price"), offer},
                                              {QStringLiteral("Qty"), 100.0}}},
        {QStringLiteral("Sell2"),
         QJsonObject{{QStringLiteral("Price"), offer + tick}, {QStringLiteral("Qty"), 800.0}}},
        {QStringLiteral("AskQty"), 200.0},
        {QStringLiteral("AskPrice"), bid},
        {QStringLiteral("AskTime"), quoteTime},
        {QStringLiteral("AskSign"), traded ? QStringLiteral("0101") : QStringLiteral("0107")},
        {QStringLiteral("MarketOrderBuyQty"), 0.0},
        {QStringLiteral("Buy1"), QJsonObject{{QStringLiteral("Time"), quoteTime},
                                             {QStringLiteral("Sign"), QStringLiteral("0101")},
                                             {QStringLiteral("Price"), bid},
                                             {QStringLiteral("Qty"), 200.0}}},
        {QStringLiteral("Buy2"),
         QJsonObject{{QStringLiteral("Price"), bid - tick}, {QStringLiteral("Qty"), 400.0}}},
        {QStringLiteral("OverSellQty"), 974900.0},
        {QStringLiteral("UnderBuyQty"), 756000.0},
        {QStringLiteral("TotalMarketValue"), QJsonValue()},
        {QStringLiteral("SecurityType"), 1},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray KabuSim::SymbolJson(const Board& b) const {
    const bool buy = b.MarginClass == "貸借" || b.MarginClass == "信用";
    const bool sell = b.MarginClass == "貸借";
    const double limit = std::max(b.PrevClose * 0.3, 1.0);
    QJsonObject o{
        {QStringLiteral("Symbol"), Q(b.Code)},
        {QStringLiteral("SymbolName"), Q(b.Name)},
        {QStringLiteral("DisplayName"), Q(b.Name)},
        {QStringLiteral("Exchange"), 1},
        {QStringLiteral("ExchangeName"), QStringLiteral("東証プ")},
        {QStringLiteral("BisCategory"), QStringLiteral("3600      ")},
        {QStringLiteral("TotalMarketValue"), QJsonValue()},
        {QStringLiteral("TotalStocks"), QJsonValue()},
        {QStringLiteral("TradingUnit"), 100.0},
        {QStringLiteral("FiscalYearEndBasic"), QJsonValue()},
        {QStringLiteral("PriceRangeGroup"), QStringLiteral("10000")},
        {QStringLiteral("KCMarginBuy"), b.MarginClass != ""},
        {QStringLiteral("KCMarginSell"), b.MarginClass != ""},
        {QStringLiteral("MarginBuy"), buy},
        {QStringLiteral("MarginSell"), sell},
        {QStringLiteral("UpperLimit"), b.PrevClose + limit},
        {QStringLiteral("LowerLimit"), std::max(b.PrevClose - limit, 1.0)},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::vector<std::string> KabuSim::Registered() const {
    std::vector<std::string> codes;
    for (const auto& [code, e] : List)
        if (e.Pushed) codes.push_back(code);
    return codes;
}

// ---------------------------------------------------------------------------------------------
// The REST side.

void KabuSim::Handle(const QHttpServerRequest& request, QHttpServerResponder& out) {
    auto answer = [&](int status, const QJsonObject& body) {
        out.write(QJsonDocument(body).toJson(QJsonDocument::Compact),
                  {{"Content-Type", "application/json; charset=utf-8"}},
                  static_cast<Status>(status));
    };
    auto error = [&](int status, int code, const char* message) {
        answer(status, {{QStringLiteral("Code"), code},
                        {QStringLiteral("Message"), QString::fromUtf8(message)}});
    };
    auto list = [&] {
        QJsonArray a;
        for (const auto& [code, e] : List)
            a.append(QJsonObject{{QStringLiteral("Symbol"), Q(code)},
                                 {QStringLiteral("Exchange"), e.Exchange}});
        return QJsonObject{{QStringLiteral("RegistList"), a}};
    };

    // Windows' HTTP server answers only what is addressed to the host it was set up for.
    QByteArray host = request.value("Host");
    if (int colon = host.lastIndexOf(':'); colon > 0 && !host.endsWith(']')) host.truncate(colon);
    if (!Opt.Hosts.count(host.toStdString())) {
        ++HostsRefused;
        out.write(QByteArray("<h2>Bad Request - Invalid Hostname</h2>"),
                  {{"Content-Type", "text/html; charset=us-ascii"}}, Status::BadRequest);
        return;
    }
    const QString path = request.url().path();
    const QString prefix = QStringLiteral("/kabusapi/");
    if (!path.startsWith(prefix)) {
        error(404, 4001012, "リクエスト不正");
        return;
    }
    const QString rest = path.mid(prefix.size());
    const QString first = rest.section(QLatin1Char('/'), 0, 0);
    const auto method = request.method();
    const char* verb = method == QHttpServerRequest::Method::Get    ? "GET"
                       : method == QHttpServerRequest::Method::Post ? "POST"
                       : method == QHttpServerRequest::Method::Put  ? "PUT"
                                                                    : "OTHER";
    Requests.push_back(std::string(verb) + " /" + rest.toStdString());

    auto body = [&](QJsonObject& o) {
        QJsonParseError e{};
        const QJsonDocument d = QJsonDocument::fromJson(request.body(), &e);
        if (e.error != QJsonParseError::NoError || !d.isObject()) return false;
        o = d.object();
        return true;
    };

    if (rest == QLatin1String("token")) {
        if (method != QHttpServerRequest::Method::Post) {
            error(405, 4001014, "許可されていないHTTPメソッド");
            return;
        }
        ++TokenCalls;
        QJsonObject o;
        if (!body(o)) {
            error(400, 4001005, "パラメータ変換エラー - 詳細はkabuSログファイルを確認してください");
            return;
        }
        if (!LoggedIn) {
            error(401, 4001007, "ログイン認証エラー");
            return;
        }
        if (o.value(QStringLiteral("APIPassword")).toString().toStdString() != Opt.Password) {
            error(401, 4001013, "トークン取得失敗");
            return;
        }
        char buf[40];
        TokenSeed = TokenSeed * 6364136223846793005ULL + 1442695040888963407ULL;
        std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(TokenSeed),
                      static_cast<unsigned long long>(TokenSeed * 31 + 7));
        Token = buf;  // every older token is void from now on
        answer(200, {{QStringLiteral("ResultCode"), 0}, {QStringLiteral("Token"), Q(Token)}});
        return;
    }

    const bool registration =
        first == QLatin1String("register") || first == QLatin1String("unregister");
    const bool information = first == QLatin1String("board") || first == QLatin1String("symbol");
    if (!registration && !information) {
        error(404, 4001012, "リクエスト不正");
        return;
    }
    if ((registration && method != QHttpServerRequest::Method::Put) ||
        (information && method != QHttpServerRequest::Method::Get)) {
        error(405, 4001014, "許可されていないHTTPメソッド");
        return;
    }
    if (Token.empty() || request.value("X-API-KEY").toStdString() != Token) {
        error(401, 4001009, "APIキー不一致");
        return;
    }
    // Rate: per class, in a rolling second of real time; a call inside the penalty of a 429
    // gets one too and makes the penalty last from then on.
    Rate& rate = Rates[registration ? "register" : "info"];
    const qint64 now = Wall.elapsed();
    while (!rate.Calls.empty() && rate.Calls.front() <= now - 1000) rate.Calls.pop_front();
    const bool inside = now < rate.PenaltyUntil;
    if (inside || static_cast<int>(rate.Calls.size()) >= Opt.RatePerSecond) {
        ++TooMany;
        if (inside) ++TooManyInside;
        rate.PenaltyUntil = now + Opt.PenaltyMs;
        error(429, 4001006, "API実行回数エラー");
        return;
    }
    rate.Calls.push_back(now);

    if (registration) {
        if (rest == QLatin1String("unregister/all")) {
            List.clear();
            answer(200, list());
            return;
        }
        QJsonObject o;
        if (!body(o) || !o.value(QStringLiteral("Symbols")).isArray()) {
            error(400, 4001005, "パラメータ変換エラー - 詳細はkabuSログファイルを確認してください");
            return;
        }
        std::vector<std::pair<std::string, int>> symbols;
        for (const auto& v : o.value(QStringLiteral("Symbols")).toArray())
            symbols.emplace_back(
                v.toObject().value(QStringLiteral("Symbol")).toString().toStdString(),
                v.toObject().value(QStringLiteral("Exchange")).toInt());
        if (rest == QLatin1String("unregister")) {
            size_t missing = 0;
            for (const auto& [code, ex] : symbols) missing += List.erase(code) ? 0 : 1;
            if (missing > 0 && missing == symbols.size())
                error(400, 4001020, "銘柄が解除できませんでした");
            else if (missing > 0)
                error(400, 4001021, "一部の銘柄が解除できませんでした");
            else
                answer(200, list());
            return;
        }
        std::set<std::string> added;
        bool unknown = false;
        for (const auto& [code, ex] : symbols) {
            if (!Known(code) || ex != 1)
                unknown = true;
            else if (!List.count(code))
                added.insert(code);
        }
        if (List.size() + added.size() > static_cast<size_t>(Opt.Cap)) {
            error(400, 4002006, "レジスト数エラー");
            return;
        }
        for (const auto& [code, ex] : symbols) {
            if (!Known(code) || ex != 1) continue;
            BoardOf(code);
            List[code].Pushed = true;
        }
        if (unknown)
            error(400, 4001019, "一部の銘柄が登録できませんでした");
        else
            answer(200, list());
        return;
    }

    // GET /board/{code}@{exchange}, GET /symbol/{code}@{exchange}
    const QString target = rest.section(QLatin1Char('/'), 1, 1);
    const std::string code = target.section(QLatin1Char('@'), 0, 0).toStdString();
    const int exchange = target.section(QLatin1Char('@'), 1, 1).toInt();
    if (code.empty() || !Known(code) || exchange != 1) {
        error(400, 4002001, "銘柄が見つからない");
        return;
    }
    if (!List.count(code)) {
        // What is looked at is registered too, and counts against the cap.
        if (List.size() >= static_cast<size_t>(Opt.Cap)) {
            error(400, 4002006, "レジスト数エラー");
            return;
        }
        List[code].Pushed = false;
    }
    const Board& b = BoardOf(code);
    out.write(first == QLatin1String("board") ? BoardJson(b) : SymbolJson(b),
              {{"Content-Type", "application/json; charset=utf-8"}}, Status::Ok);
}

// ---------------------------------------------------------------------------------------------
// The PUSH side and the faults.

void KabuSim::OnWebSocket() {
    while (QWebSocket* ws = Ws->nextPendingConnection()) {
        ws->setParent(this);
        connect(ws, &QWebSocket::disconnected, this, [this, ws] {
            Sockets.erase(std::remove(Sockets.begin(), Sockets.end(), ws), Sockets.end());
            if (Current == ws) Current = nullptr;
            ws->deleteLater();
        });
        Sockets.push_back(ws);
        QByteArray host = ws->request().rawHeader("Host");
        if (int colon = host.lastIndexOf(':'); colon > 0) host.truncate(colon);
        if (Absent || ws->requestUrl().path() != QLatin1String("/kabusapi/websocket") ||
            (!host.isEmpty() && !Opt.Hosts.count(host.toStdString()))) {
            ws->abort();
            continue;
        }
        if (ws->request().rawHeader("X-Kabu-Sim") != "rival") ++PushOpens;
        if (Current) {
            // One connection per application: the new one takes the frames.
            switch (Opt.SecondConnection) {
                case KabuSimOptions::TakeOver::CloseFrame:
                    Current->close(QWebSocketProtocol::CloseCodeNormal);
                    break;
                case KabuSimOptions::TakeOver::Abort:
                    Current->abort();
                    break;
                case KabuSimOptions::TakeOver::Silent:
                    break;
            }
        }
        Current = ws;
    }
}

void KabuSim::DropAllConnections() {
    for (QWebSocket* ws : std::vector<QWebSocket*>(Sockets)) ws->abort();
    if (Tcp)
        for (QTcpSocket* s : Tcp->findChildren<QTcpSocket*>()) s->abort();
}

void KabuSim::SupersedeToken() {
    TokenSeed ^= 0x9e3779b97f4a7c15ULL;
    Token = "ffffffffffffffffffffffffffffffff";  // somebody else's
}

void KabuSim::Restart() {
    Token.clear();
    List.clear();
    for (QWebSocket* ws : std::vector<QWebSocket*>(Sockets)) ws->abort();
}

void KabuSim::SetLoggedIn(bool on) {
    LoggedIn = on;
    if (!on) Token.clear();
}

void KabuSim::SetAbsent(bool absent) {
    if (absent == Absent) return;
    Absent = absent;
    if (absent) {
        Token.clear();
        List.clear();
        if (Tcp) Tcp->close();
        DropAllConnections();
    } else {
        Listen(PortNumber);
    }
}

void KabuSim::DropPush() {
    if (Current) Current->abort();
}

void KabuSim::OpenRival() {
    if (Rival) return;
    Rival = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    QNetworkRequest request(
        QUrl(QStringLiteral("ws://127.0.0.1:%1/kabusapi/websocket").arg(PortNumber)));
    request.setRawHeader("X-Kabu-Sim", "rival");
    Rival->open(request);
}

bool KabuSim::RivalConnected() const {
    return Rival && Rival->state() == QAbstractSocket::ConnectedState;
}

// ---------------------------------------------------------------------------------------------

KabuSimThread::KabuSimThread(KabuSimOptions options)
    : Thread(std::make_unique<QThread>()), Context(std::make_unique<QObject>()) {
    Thread->setObjectName(QStringLiteral("kabu-sim"));
    Thread->start();
    Context->moveToThread(Thread.get());
    QMetaObject::invokeMethod(
        Context.get(),
        [&] {
            Sim = new KabuSim(std::move(options));
            Ok = Sim->Listen();
            BaseUrl = Sim->BaseUrl().toStdString();
        },
        Qt::BlockingQueuedConnection);
}

KabuSimThread::~KabuSimThread() {
    QMetaObject::invokeMethod(
        Context.get(), [&] { delete Sim; }, Qt::BlockingQueuedConnection);
    Thread->quit();
    Thread->wait();
    Context.reset();  // its thread has ended: nothing more is delivered to it
}

void KabuSimThread::Run(const std::function<void(KabuSim&)>& f) {
    QMetaObject::invokeMethod(
        Context.get(), [&] { f(*Sim); }, Qt::BlockingQueuedConnection);
}

}  // namespace kestrel::test
