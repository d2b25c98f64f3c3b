#pragma once
// A stand-in for the kabuステーション API, built from its public documentation, for the tests
// and for trying the feed by hand (kabu-sim): POST /token, PUT /register, /unregister and
// /unregister/all, GET /board and /symbol, and the PUSH WebSocket, with the API's ways:
//   - a figure the app has not received is null (before an issue's first trade, most are);
//   - BidPrice is the best offer and AskPrice the best bid (the API names them the other way);
//   - TradingVolume is the day's cumulative volume;
//   - one frame per issue per 400 ms of its clock at most, later changes folded into the next;
//   - one PUSH connection: a new one closes the old (by a close frame, an abort, or silence);
//   - a registration list of at most Cap issues, which /board and /symbol fill too, while only
//     /register makes an issue pushed;
//   - HTTP 429 beyond a rate per second, and for every call within a second of a 429;
//   - only requests addressed to localhost are answered.
// Faults come on command: a token taken by another program, a restart of the app, a log-out,
// the app absent (its port closed), a dropped PUSH connection, a rival PUSH client.
//
// It runs on the thread that made it, on that thread's event loop. Its clock is its own: it
// moves only when told (AdvanceMs), so the thinning is the same on any machine.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QHttpServerRequest;
class QHttpServerResponder;
class QTcpServer;
class QThread;
class QWebSocket;
class QWebSocketServer;

namespace kestrel::feed {
class QuoteBook;
class QuoteSource;
}  // namespace kestrel::feed

namespace kestrel::test {

struct KabuSimOptions {
    std::string Password = "kabu-sim-pass";
    int Cap = 50;
    int RatePerSecond = 10;   // per class of request (information, registration)
    int PenaltyMs = 1000;     // a call within this long of a 429 gets a 429 too, and extends it
    int ThinMs = 400;         // one PUSH frame per issue per this long of the clock
    int OffsetMinutes = 540;  // the time zone of the app's PC, in which it writes its times
    std::string Date = "2026-12-07";
    // What the first PUSH connection gets when a second one opens.
    enum class TakeOver { CloseFrame, Abort, Silent };
    TakeOver SecondConnection = TakeOver::CloseFrame;
    // The host names a request may be addressed to (the Host header).
    std::set<std::string> Hosts = {"localhost", "127.0.0.1"};
    // Issues unknown to the app, when every code is known otherwise (a day is loaded).
    std::set<std::string> Unknown;
};

class KabuSim : public QObject {
    Q_OBJECT
public:
    explicit KabuSim(KabuSimOptions options = {}, QObject* parent = nullptr);
    ~KabuSim() override;

    // Listens on 127.0.0.1 (port 0: any free one). False when the port cannot be had.
    bool Listen(uint16_t port = 0);
    uint16_t Port() const { return PortNumber; }
    QString BaseUrl() const;  // http://127.0.0.1:PORT/kabusapi
    KabuSimOptions& Options() { return Opt; }

    // --- The market -----------------------------------------------------------------------
    // An issue the app knows, before its first trade.
    void AddIssue(const std::string& code, const std::string& name, double prevClose,
                  const std::string& marginClass = "貸借");
    // A trade at the clock's time (or at `time`, "hh:nn:ss"): the price and the day's
    // cumulative volume after it.
    void Trade(const std::string& code, double price, int64_t volume, const std::string& time = {});
    // The best quotes move without a trade.
    void QuoteOnly(const std::string& code);
    // A day to replay: a recorded folder or a simulation of the feed, whose changes are due
    // at their times from `startMs` on the clock. Every code is known from then on (but
    // Options().Unknown).
    void LoadDay(std::unique_ptr<kestrel::feed::QuoteSource> source,
                 std::unique_ptr<kestrel::feed::QuoteBook> book, int64_t startMs = 9 * 3600'000);
    // Moves the clock on: the day's changes and the frames held back by the thinning that
    // fall due meanwhile go out, in the order of their times.
    void AdvanceMs(int64_t ms);
    int64_t NowMs() const { return Now; }
    bool DayEnded() const;

    // --- Faults ---------------------------------------------------------------------------
    void SupersedeToken();  // another program got a token: ours answers 401 from now on
    void Restart();         // the app restarted: tokens, registrations and PUSH are gone
    void SetLoggedIn(bool on);
    void SetAbsent(bool absent);  // not running: nothing listens, every connection drops
    void DropPush();              // the PUSH connection is cut (no close frame)
    void OpenRival();             // another program opens the PUSH connection

    // --- What it saw ----------------------------------------------------------------------
    int TokenCalls = 0;
    int TooMany = 0;                    // 429 answers
    int TooManyInside = 0;              // of those, to calls within the penalty of an earlier 429
    int PushOpens = 0;                  // PUSH connections opened by clients (not the rival)
    int HostsRefused = 0;               // requests addressed to a host the app does not answer
    std::vector<std::string> Requests;  // "PUT /register", in order
    // Every frame pushed with a price, as a kabu.txt line "hh:nn:ss,code,price,volume".
    std::vector<std::string> Pushed;
    int Frames = 0;                               // every frame pushed
    std::vector<std::string> Registered() const;  // pushed issues, in code order
    size_t ListSize() const { return List.size(); }
    bool RivalConnected() const;
    // Called with each frame as it goes out (benchmarks time the way through the feed).
    std::function<void(const std::string& code, int64_t volume)> OnPush;
    // The frame an issue's board makes now, and a frame sent as it is (a benchmark makes
    // its frames beforehand, so the sending is not what it measures).
    QByteArray Frame(const std::string& code);
    bool SendRaw(const QByteArray& frame);

private:
    class Http;
    class Router;
    struct Board {
        std::string Code, Name, MarginClass;
        double PrevClose = 0;
        std::optional<double> Price, Open, High, Low;
        std::string PriceTime, OpenTime, HighTime, LowTime, VolumeTime;
        std::optional<int64_t> Volume;
        double Turnover = 0;
        int QuoteShift = 0;  // moves the best quotes on a quote-only change
        bool Dirty = false;
        int64_t LastPushMs = INT64_MIN / 2;
    };
    struct Entry {
        int Exchange = 1;
        bool Pushed = false;  // registered by /register, not only looked at by /board
    };

    void Handle(const QHttpServerRequest& request, QHttpServerResponder& out);
    bool Known(const std::string& code) const;
    Board& BoardOf(const std::string& code);
    QString IsoTime(const std::string& hhnnss) const;
    QByteArray BoardJson(const Board& b) const;
    QByteArray SymbolJson(const Board& b) const;
    void Changed(const std::string& code);
    void PushNow(Board& b);
    void OnWebSocket();
    void DropAllConnections();
    std::string TimeText(int64_t ms) const;

    KabuSimOptions Opt;
    std::unique_ptr<Http> Server;
    std::unique_ptr<QWebSocketServer> Ws;
    QTcpServer* Tcp = nullptr;
    uint16_t PortNumber = 0;
    bool Absent = false, LoggedIn = true;
    std::string Token;
    uint64_t TokenSeed = 0x5eed;
    std::map<std::string, Entry> List;
    std::map<std::string, Board> Boards;
    bool AnyCode = false;
    int64_t Now = 9 * 3600'000;

    std::unique_ptr<kestrel::feed::QuoteSource> Day;
    std::unique_ptr<kestrel::feed::QuoteBook> DayBook;
    int64_t DayStart = 0;

    QWebSocket* Current = nullptr;  // the connection that gets the frames
    std::vector<QWebSocket*> Sockets;
    QWebSocket* Rival = nullptr;  // the other program's client end

    QElapsedTimer Wall;  // the rate limit counts in real time
    struct Rate {
        std::deque<qint64> Calls;
        qint64 PenaltyUntil = -1;
    };
    std::map<std::string, Rate> Rates;
};

// The simulator on a thread of its own, for a test or a benchmark that blocks meanwhile (on
// the feed's socket, say).
class KabuSimThread {
public:
    explicit KabuSimThread(KabuSimOptions options = {});
    ~KabuSimThread();
    KabuSimThread(const KabuSimThread&) = delete;
    KabuSimThread& operator=(const KabuSimThread&) = delete;

    bool Listening() const { return Ok; }
    std::string Url() const { return BaseUrl; }
    // Runs `f` with the simulator on its thread, and waits until it is done.
    void Run(const std::function<void(KabuSim&)>& f);
    template <class T>
    T Get(const std::function<T(KabuSim&)>& f) {
        T value{};
        Run([&](KabuSim& sim) { value = f(sim); });
        return value;
    }

private:
    std::unique_ptr<QThread> Thread;
    std::unique_ptr<QObject> Context;  // lives on Thread
    KabuSim* Sim = nullptr;
    bool Ok = false;
    std::string BaseUrl;
};

}  // namespace kestrel::test
