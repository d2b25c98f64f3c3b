#include "kestrel-feed/KabuClient.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

#include "kestrel-feed/PushSocket.h"

namespace kestrel::feed::kabu {

namespace {

// The most topics one text for the screen names; the log names them all.
constexpr size_t kNamesOnScreen = 60;

QByteArray Json(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

QJsonObject SymbolsBody(const std::vector<std::string>& codes,
                        const std::map<std::string, int>& ex) {
    QJsonArray list;
    for (const auto& code : codes) {
        auto it = ex.find(code);
        list.append(QJsonObject{{QStringLiteral("Symbol"), QString::fromStdString(code)},
                                {QStringLiteral("Exchange"), it == ex.end() ? 1 : it->second}});
    }
    return QJsonObject{{QStringLiteral("Symbols"), list}};
}

std::string Describe(const Answer& a) {
    std::string s = "HTTP " + std::to_string(a.Http);
    if (a.Code != 0) s += ", code " + std::to_string(a.Code);
    if (!a.Message.empty()) s += ": " + a.Message;
    return s;
}

const char* JobName(int kind) {
    static const char* const names[] = {"",
                                        "POST /token",
                                        "PUT /register",
                                        "PUT /unregister",
                                        "PUT /register",
                                        "GET /symbol",
                                        "GET /board"};
    return names[kind];
}

}  // namespace

Client::Client(Config config, Sink& sink, QObject* parent)
    : QObject(parent),
      Cfg(std::move(config)),
      Out(sink),
      StepTimer(this),
      BatchTimer(this),
      PushTimer(this),
      Retry(Cfg.FirstRetryMs, Cfg.MaxRetryMs),
      RateRetry(std::max(Cfg.RateLimitPauseMs, 1), Cfg.MaxRetryMs),
      PushRetry(Cfg.PushFirstRetryMs, Cfg.MaxRetryMs) {
    StepTimer.setSingleShot(true);
    BatchTimer.setSingleShot(true);
    PushTimer.setSingleShot(true);
    connect(&StepTimer, &QTimer::timeout, this, &Client::Step);
    connect(&BatchTimer, &QTimer::timeout, this, [this] {
        SayUnmapped();
        Schedule();
    });
    connect(&PushTimer, &QTimer::timeout, this, &Client::MaybeOpenPush);
}

Client::~Client() { Stop(); }

void Client::Start() {
    Clock.start();
    Nam = new QNetworkAccessManager(this);
    Schedule();
}

void Client::Stop() {
    if (Stopping) return;
    Stopping = true;
    StepTimer.stop();
    BatchTimer.stop();
    PushTimer.stop();
    if (Push) {
        Push->disconnect(this);
        Push->Abort();
        delete Push;
        Push = nullptr;
    }
    delete Nam;  // ends every request under way
    Nam = nullptr;
}

void Client::Want(const std::string& topic) {
    TopicSymbol sym;
    std::string why;
    if (!MapTopic(topic, sym, why)) {
        Unmapped.insert(topic);
    } else {
        auto [it, fresh] = Wanted.try_emplace(sym.Code);
        if (fresh) {
            it->second.Exchange = sym.Exchange;
            it->second.Order = NextOrder++;
            RegisterDue = true;
        }
        it->second.Topics.insert(topic);
    }
    // Topics come one after another as the monitor links its watch list: a moment's wait
    // lets them go in one registration and one message.
    if (!BatchTimer.isActive()) BatchTimer.start(Cfg.BatchMs);
}

void Client::Unwant(const std::string& topic) {
    Unmapped.erase(topic);
    TopicSymbol sym;
    std::string why;
    if (!MapTopic(topic, sym, why)) return;
    auto it = Wanted.find(sym.Code);
    if (it == Wanted.end()) return;
    it->second.Topics.erase(topic);
    if (!it->second.Topics.empty()) return;
    Wanted.erase(it);
    // Its place in the list is given up only when another issue needs it: a topic closed and
    // opened again (the monitor's midday reconnect) costs no requests.
    if (!Blocked.empty() || !PastCap.empty()) {
        Blocked.clear();
        RegisterDue = true;
    }
    SayCap();
    Schedule();
}

// ---------------------------------------------------------------------------------------------
// The request loop: one request at a time, derived from what is missing.

void Client::Schedule() {
    if (Stopping || Halted || InFlight || !Nam) return;
    const qint64 now = Clock.elapsed();
    const qint64 wait = std::max({PausedUntil - now, LastSent + Cfg.PaceMs - now, qint64{0}});
    StepTimer.start(static_cast<int>(wait));
}

void Client::Pause(int ms) {
    PausedUntil = Clock.elapsed() + ms;
    Schedule();
}

void Client::Step() {
    if (Stopping || Halted || InFlight) return;
    const qint64 now = Clock.elapsed();
    if (now < PausedUntil || now < LastSent + Cfg.PaceMs) {
        Schedule();  // a timer that fired a little early
        return;
    }
    Job job;
    if (Token.empty()) {
        job.Kind = JobKind::Token;
    } else if (PushAt == PushState::Probe) {
        job.Codes = OurRegistered();
        if (job.Codes.empty()) {
            // Nothing is registered, so nothing is missed: just open it again later.
            PushAt = PushState::Down;
            PushTimer.start(PushRetry.Next());
        } else {
            job.Kind = JobKind::Probe;
        }
    }
    if (job.Kind == JobKind::None && !Token.empty()) {
        MaybeOpenPush();
        if (RegisterDue && !BatchTimer.isActive()) job = NextRegistration();
        if (job.Kind == JobKind::None && !BatchTimer.isActive()) job = NextReading();
    }
    if (job.Kind != JobKind::None) Send(job);
}

std::vector<std::string> Client::InOrder() const {
    std::vector<std::pair<uint64_t, std::string>> order;
    for (const auto& [code, w] : Wanted) order.emplace_back(w.Order, code);
    std::sort(order.begin(), order.end());
    std::vector<std::string> codes;
    for (auto& [n, code] : order) codes.push_back(code);
    return codes;
}

std::vector<std::string> Client::OurRegistered() const {
    std::vector<std::string> codes;
    for (const auto& code : InOrder())
        if (List.count(code)) codes.push_back(code);
    return codes;
}

Client::Job Client::NextRegistration() {
    Job job;
    std::vector<std::string> missing;
    for (const auto& code : InOrder())
        if (!List.count(code) && !Refused.count(code) && !Blocked.count(code))
            missing.push_back(code);
    if (missing.empty()) {
        RegisterDue = false;
        OneByOne = false;
        PastCap.clear();
        SayCap();
        return job;
    }
    size_t used = ListKnown ? List.size() : 0;
    size_t room = used >= static_cast<size_t>(Cfg.Cap) ? 0 : Cfg.Cap - used;
    if (room < missing.size() && ListKnown) {
        // Make room from issues no topic wants any more (ours of before, or another tool's
        // /board calls, which the API registers too).
        for (const auto& [code, ex] : List)
            if (!Wanted.count(code) && job.Codes.size() < missing.size() - room)
                job.Codes.push_back(code);
        if (!job.Codes.empty()) {
            job.Kind = JobKind::Unregister;
            return job;
        }
    }
    PastCap.clear();
    for (size_t i = room; i < missing.size(); ++i) PastCap.insert(missing[i]);
    SayCap();
    missing.resize(std::min(room, missing.size()));
    if (OneByOne && missing.size() > 1) missing.resize(1);
    if (missing.empty()) {
        RegisterDue = false;
        return job;
    }
    job.Kind = JobKind::Register;
    job.Codes = std::move(missing);
    return job;
}

Client::Job Client::NextReading() {
    Job job;
    for (const auto& code : OurRegistered()) {
        if (Refused.count(code)) continue;
        if (!HaveInfo.count(code))
            job.Kind = JobKind::Symbol;
        else if (!HaveBoard.count(code))
            job.Kind = JobKind::Board;
        if (job.Kind != JobKind::None) {
            job.Codes = {code};
            return job;
        }
    }
    return job;
}

void Client::Send(const Job& job) {
    std::map<std::string, int> exchanges;
    for (const auto& [code, w] : Wanted) exchanges[code] = w.Exchange;
    for (const auto& [code, ex] : List) exchanges.try_emplace(code, ex);

    QUrl url = Cfg.Base;
    const QString base = url.path().endsWith(QLatin1Char('/')) ? url.path().chopped(1) : url.path();
    QByteArray body;
    const char* verb = "PUT";
    auto symbolPath = [&](const char* what) {
        const std::string& code = job.Codes.front();
        return base + QLatin1String(what) + QString::fromStdString(code) + QLatin1Char('@') +
               QString::number(exchanges.count(code) ? exchanges[code] : 1);
    };
    switch (job.Kind) {
        case JobKind::Token:
            verb = "POST";
            url.setPath(base + QStringLiteral("/token"));
            body = Json({{QStringLiteral("APIPassword"), QString::fromStdString(Cfg.Password)}});
            break;
        case JobKind::Register:
        case JobKind::Probe:
            url.setPath(base + QStringLiteral("/register"));
            body = Json(SymbolsBody(job.Codes, exchanges));
            break;
        case JobKind::Unregister:
            url.setPath(base + QStringLiteral("/unregister"));
            body = Json(SymbolsBody(job.Codes, exchanges));
            break;
        case JobKind::Symbol: {
            verb = "GET";
            url.setPath(symbolPath("/symbol/"));
            url.setQuery(QUrlQuery{{QStringLiteral("addinfo"), QStringLiteral("false")}});
            break;
        }
        case JobKind::Board:
            verb = "GET";
            url.setPath(symbolPath("/board/"));
            break;
        case JobKind::None:
            return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(Cfg.RequestTimeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    if (job.Kind != JobKind::Token)
        request.setRawHeader("X-API-KEY", QByteArray::fromStdString(Token));
    QNetworkReply* reply = verb[0] == 'G'   ? Nam->get(request)
                           : verb[1] == 'O' ? Nam->post(request, body)
                                            : Nam->put(request, body);
    InFlight = true;
    LastSent = Clock.elapsed();
    connect(reply, &QNetworkReply::finished, this, [this, reply, job] { OnReply(reply, job); });
}

void Client::OnReply(QNetworkReply* reply, const Job& job) {
    reply->deleteLater();
    InFlight = false;
    if (Stopping) return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int http = status.isValid() ? status.toInt() : 0;
    const Answer a = Classify(http, reply->readAll(), reply->errorString().toStdString());
    const std::string what = JobName(static_cast<int>(job.Kind));

    if (a.Kind != Outcome::RateLimited) RateRetry.Reset();
    auto lostBroker = [&] {
        // A restarted kabuステーション knows neither our token nor our list.
        Token.clear();
        ListKnown = false;
        List.clear();
        RegisterDue = !Wanted.empty();
        if (PushAt == PushState::Probe) PushAt = PushState::Down;
        Pause(Retry.Next());
    };
    switch (a.Kind) {
        case Outcome::Ok:
            OnSuccess(job, a);
            return;
        case Outcome::Unreachable:
            SayBroker("absent",
                      "kabu STATION API at " + Cfg.Base.toString().toStdString() +
                          " does not answer (" + a.Message +
                          "): is kabuステーション running, logged in, with the API enabled? "
                          "Trying again with growing pauses",
                      "kabuステーションのAPIに接続できません（" +
                          Cfg.Base.toString().toStdString() +
                          "）。kabuステーションが起動しているか、API利用設定を確かめてください。"
                          "つながるまで間隔をあけて再試行します。");
            lostBroker();
            return;
        case Outcome::NotLoggedIn:
            SayBroker("login",
                      "kabu STATION is not logged in or has the API turned off (" + Describe(a) +
                          "); trying again with growing pauses",
                      "kabuステーションがログインしていないか、APIが使えない状態です。"
                      "ログインされるまで間隔をあけて再試行します。");
            lostBroker();
            return;
        case Outcome::WrongPassword:
            SayBroker("password",
                      "kabu STATION refused the API password (" + Describe(a) +
                          "); not trying again: set the right password and restart kestrel-feed",
                      "APIパスワードが違います（kabuステーションが拒否しました）。再試行しません。"
                      "正しいパスワードにしてkestrel-feedを起動し直してください。");
            Halt();
            return;
        case Outcome::HostRefused:
            SayBroker("host",
                      "kabu STATION refused a request not addressed to localhost (" + Describe(a) +
                          "); not trying again: reach it through a local forwarder so the "
                          "URL names localhost (see the README)",
                      "kabuステーションがlocalhost宛てでない要求を拒否しました。再試行しません。"
                      "中継の設定を確かめてください（README）。");
            Halt();
            return;
        case Outcome::RateLimited:
            // Said in the log only, once a streak: the pause is the cure, and it passes by
            // itself.
            if (RateRetry.Count() == 0)
                Out.OnNews("kabu STATION says too many requests (" + Describe(a) + ") to " + what +
                               "; pausing",
                           "");
            Pause(RateRetry.Next());
            return;
        case Outcome::TokenInvalid:
            if (job.Kind == JobKind::Token || TokenFresh) {
                // A token refused at once: something else takes tokens as fast as we get
                // them. Wait rather than take turns with it.
                SayBroker("token-loop",
                          "the API refuses every new token (" + Describe(a) +
                              "); another program may be taking tokens; trying again with "
                              "growing pauses",
                          "APIトークンがすぐに無効になります。他のプログラムがトークンを取り直して"
                          "いる可能性があります。間隔をあけて再試行します。");
                lostBroker();
                return;
            }
            Out.OnNews("the API token is no longer valid (" + Describe(a) +
                           "); getting a new one and registering the issues again",
                       "APIトークンが無効になりました。取り直して銘柄を登録し直します。");
            Token.clear();
            ListKnown = false;
            List.clear();
            RegisterDue = !Wanted.empty();
            if (PushAt == PushState::Probe) PushAt = PushState::Down;
            Schedule();
            return;
        default:
            break;
    }

    // The answers that concern one request.
    const std::string code = job.Codes.empty() ? "" : job.Codes.front();
    switch (job.Kind) {
        case JobKind::Register:
            if (a.Kind == Outcome::CapReached || a.Kind == Outcome::Refused ||
                a.Kind == Outcome::UnknownSymbol) {
                TokenFresh = false;
                if (job.Codes.size() > 1) {
                    OneByOne = true;  // the API does not say which: ask one at a time
                } else if (a.Kind == Outcome::CapReached) {
                    // The list is fuller than we knew (other tools' issues): nothing more
                    // fits until room is made.
                    for (const auto& c : InOrder())
                        if (!List.count(c) && !Refused.count(c)) Blocked.insert(c);
                    SayCap();
                } else {
                    SayRefused(code, Describe(a));
                }
                Schedule();
                return;
            }
            break;
        case JobKind::Unregister:
            if (a.Code == 4001020 || a.Code == 4001021) {
                for (const auto& c : job.Codes) List.erase(c);  // not registered after all
                Schedule();
                return;
            }
            break;
        case JobKind::Symbol:
        case JobKind::Board:
            if (a.Kind == Outcome::UnknownSymbol) {
                SayRefused(code, Describe(a));
                Schedule();
                return;
            }
            if (a.Kind == Outcome::CapReached) {
                List.erase(code);  // it left the list (another tool cleared it): again
                RegisterDue = true;
                Schedule();
                return;
            }
            break;
        case JobKind::Probe:
            PushAt = PushState::Down;
            PushTimer.start(PushRetry.Next());
            break;
        default:
            break;
    }
    SayBroker("failed:" + std::to_string(a.Http) + ":" + std::to_string(a.Code),
              "kabu STATION answered " + what + " with " + Describe(a) +
                  "; trying again with growing pauses",
              "kabuステーションのAPIが要求に失敗を返しました（" + Describe(a) +
                  "）。間隔をあけて再試行します。");
    Pause(Retry.Next());
}

void Client::OnSuccess(const Job& job, const Answer& a) {
    Retry.Reset();
    if (BrokerTrouble.rfind("failed:", 0) == 0) {
        // A failed request that now succeeds: over, and said in the log only.
        BrokerTrouble.clear();
        Say("broker", "kabu STATION answers again", "", false);
    }
    switch (job.Kind) {
        case JobKind::Token:
            Token = a.Body.value(QLatin1String("Token")).toString().toStdString();
            if (Token.empty()) {
                SayBroker("no-token", "kabu STATION gave no token; trying again",
                          "kabuステーションがトークンを返しませんでした。再試行します。");
                Pause(Retry.Next());
                return;
            }
            TokenFresh = true;
            ListKnown = false;
            List.clear();
            Blocked.clear();
            OneByOne = false;
            RegisterDue = !Wanted.empty();
            SayConnected();
            break;
        case JobKind::Register: {
            TokenFresh = false;
            ReadList(a);
            for (const auto& code : job.Codes)
                if (!List.count(code)) SayRefused(code, "not in the list the API returned");
            break;
        }
        case JobKind::Unregister:
            TokenFresh = false;
            ReadList(a);
            break;
        case JobKind::Probe:
            TokenFresh = false;
            ReadList(a);
            // The app answers with our token, so it did not restart: it closed our PUSH
            // connection cleanly because another one was opened. It allows one; taking it
            // back would close the other program's, which would take it back in turn.
            if (PushCleanClose) {
                PushAt = PushState::Taken;
                Say("push",
                    "another program took kabu STATION's PUSH connection (it allows one "
                    "per application); not taking it back, so no quotes come: close "
                    "that program and restart kestrel-feed",
                    "他のプログラムがkabuステーションのPUSH配信の接続を使い始めました"
                    "（接続は1本だけです）。取り返さないため、相場は届きません。"
                    "そのプログラムを閉じてkestrel-feedを起動し直してください。",
                    true);
            } else {
                PushAt = PushState::Down;
                PushTimer.start(PushRetry.Next());
            }
            break;
        case JobKind::Symbol: {
            TokenFresh = false;
            const std::string code = job.Codes.front();
            HaveInfo.insert(code);
            Out.OnReference(code,
                            a.Body.value(QLatin1String("SymbolName")).toString().toStdString(),
                            MarginClass(a.Body));
            break;
        }
        case JobKind::Board: {
            TokenFresh = false;
            HaveBoard.insert(job.Codes.front());
            Quote q;
            if (ReadQuote(a.Body, q)) HandleQuote(q);
            break;
        }
        case JobKind::None:
            break;
    }
    Schedule();
}

void Client::ReadList(const Answer& a) {
    List.clear();
    const QJsonArray list = a.Body.value(QLatin1String("RegistList")).toArray();
    for (const auto& v : list) {
        const QJsonObject o = v.toObject();
        List[o.value(QLatin1String("Symbol")).toString().toStdString()] =
            o.value(QLatin1String("Exchange")).toInt(1);
    }
    ListKnown = true;
}

void Client::HandleQuote(const Quote& q) {
    if (!Wanted.count(q.Symbol)) return;  // another tool's issue, or one closed meanwhile
    if (q.ForeignOffset && !ClockSaid) {
        ClockSaid = true;
        const int m = q.OffsetMinutes;
        char offset[16];
        std::snprintf(offset, sizeof offset, "%c%02d:%02d", m < 0 ? '-' : '+', std::abs(m) / 60,
                      std::abs(m) % 60);
        Out.OnNews(std::string("kabu STATION writes its times with the offset ") + offset +
                       ", not +09:00: its PC is not on Japan time; the times are converted to "
                       "Japan's",
                   std::string("kabuステーションの時刻が日本時間ではありません（") + offset +
                       "）。Windowsのタイムゾーンを日本（UTC+09:00）にしてください。"
                       "時刻は日本時間に直して使います。");
    }
    Out.OnQuote(q);
}

void Client::Halt() {
    Halted = true;
    StepTimer.stop();
    PushTimer.stop();
}

// ---------------------------------------------------------------------------------------------
// The PUSH connection.

void Client::MaybeOpenPush() {
    if (Stopping || Halted || Token.empty() || Push || PushAt != PushState::Down ||
        PushTimer.isActive())
        return;
    QUrl url = Cfg.Base;
    url.setScheme(url.scheme() == QLatin1String("https") ? QStringLiteral("wss")
                                                         : QStringLiteral("ws"));
    const QString base = url.path().endsWith(QLatin1Char('/')) ? url.path().chopped(1) : url.path();
    url.setPath(base + QStringLiteral("/websocket"));
    PushAt = PushState::Connecting;
    PushHeard = false;
    Push = new PushSocket(this);
    connect(Push, &PushSocket::Opened, this, &Client::OnPushOpen);
    connect(Push, &PushSocket::Closed, this, &Client::OnPushClosed);
    connect(Push, &PushSocket::Frame, this, &Client::OnPushFrame);
    Push->Open(url);
}

void Client::OnPushOpen() {
    PushAt = PushState::Up;
    if (PushTroubleSaid) {
        PushTroubleSaid = false;
        Say("push", "the PUSH connection is open again", "PUSH配信の接続が戻りました。", false);
    }
}

void Client::OnPushClosed(bool closeFrame, int code, const QString& why) {
    if (!Push) return;
    const bool wasUp = PushAt == PushState::Up;
    const std::string reason = why.toStdString();
    Push->disconnect(this);
    Push->deleteLater();
    Push = nullptr;
    if (Stopping) return;
    PushCleanClose = wasUp && closeFrame;
    if (!PushTroubleSaid) {
        PushTroubleSaid = true;
        Say("push",
            wasUp ? "the PUSH connection closed (close code " + std::to_string(code) +
                        "); finding out why and opening it again"
                  : "the PUSH connection does not open (" + reason + "); trying again",
            wasUp ? "PUSH配信の接続が切れました。つなぎ直します。"
                  : "PUSH配信に接続できません。再試行します。",
            true);
    }
    // Ask the REST side what happened: a restarted app, a lost token, or another program.
    PushAt = PushState::Probe;
    Schedule();
}

void Client::OnPushFrame(const QString& text) {
    if (!PushHeard) {
        PushHeard = true;
        PushRetry.Reset();  // this connection works
    }
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    Quote q;
    if (doc.isObject() && ReadQuote(doc.object(), q)) HandleQuote(q);
}

// ---------------------------------------------------------------------------------------------
// What is said.

void Client::Say(const std::string& key, const std::string& log, const std::string& screen,
                 bool standing) {
    Out.OnNews(log, screen);
    Out.OnStanding(key, standing ? screen : std::string());
}

void Client::SayBroker(const std::string& cause, const std::string& log,
                       const std::string& screen) {
    if (cause == BrokerTrouble) return;  // said already: the same cause again says nothing
    BrokerTrouble = cause;
    Say("broker", log, screen, true);
}

void Client::SayConnected() {
    const std::string log = "connected to kabu STATION at " + Cfg.Base.toString().toStdString();
    if (BrokerTrouble.empty()) {
        Out.OnNews(log, "");
        return;
    }
    BrokerTrouble.clear();
    Say("broker", log, "kabuステーションのAPIに接続しました。", false);
}

std::set<std::string> Client::TopicsOf(const std::set<std::string>& codes) const {
    std::set<std::string> topics;
    for (const auto& code : codes)
        if (auto it = Wanted.find(code); it != Wanted.end())
            topics.insert(it->second.Topics.begin(), it->second.Topics.end());
    return topics;
}

std::string Client::Names(const std::set<std::string>& topics, size_t most) {
    std::string text;
    size_t n = 0;
    for (const auto& t : topics) {
        if (n++ == most) return text + " ほか" + std::to_string(topics.size() - most) + "銘柄";
        text += (text.empty() ? "" : ", ") + t;
    }
    return text;
}

// A text for the screen when topics join the list; fewer of them is said in the log only.
void Client::SayCap() {
    std::set<std::string> codes = PastCap;
    codes.insert(Blocked.begin(), Blocked.end());
    const std::set<std::string> topics = TopicsOf(codes);
    if (topics == CapSaid) return;
    const bool more = !std::includes(CapSaid.begin(), CapSaid.end(), topics.begin(), topics.end());
    CapSaid = topics;
    const std::string cap = std::to_string(Cfg.Cap);
    const std::string screen =
        topics.empty() ? ""
                       : "登録上限（" + cap +
                             "銘柄）を超えたため配信しない銘柄: " + Names(topics, kNamesOnScreen);
    const std::string log = topics.empty() ? "every open topic is registered now"
                                           : std::to_string(topics.size()) +
                                                 " topic(s) past the registration cap of " + cap +
                                                 " are not served: " + Names(topics, SIZE_MAX);
    Out.OnNews(log, more ? screen : "");
    Out.OnStanding("cap", screen);
}

void Client::SayUnmapped() {
    if (Unmapped == UnmappedSaid) return;
    const bool more =
        !std::includes(UnmappedSaid.begin(), UnmappedSaid.end(), Unmapped.begin(), Unmapped.end());
    UnmappedSaid = Unmapped;
    const std::string names = Names(Unmapped, kNamesOnScreen);
    const std::string screen = Unmapped.empty()
                                   ? ""
                                   : "市場をAPIの市場コードにできないため配信しない銘柄: " + names +
                                         "（配信できるのは .T .OS .Q .OJ）";
    if (more)
        Out.OnNews("topics whose market has no exchange code in the API are not served: " +
                       Names(Unmapped, SIZE_MAX) + " (served: .T, .OS, .Q, .OJ)",
                   screen);
    Out.OnStanding("unmapped", screen);
}

void Client::SayRefused(const std::string& code, const std::string& why) {
    if (!Refused.insert(code).second) return;
    const std::set<std::string> topics = TopicsOf({code});
    const std::string name = topics.empty() ? code : Names(topics, SIZE_MAX);
    Say("refused:" + code,
        "kabu STATION does not serve " + name + " (" + why + "); it is not served",
        "kabuステーションが扱わない銘柄のため配信しません: " + name, true);
}

}  // namespace kestrel::feed::kabu
