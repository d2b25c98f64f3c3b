#pragma once
// One client of the kabuステーション API, on a Qt event loop of its own: it gets a token,
// registers the issues of the topics the monitor opens, keeps the one PUSH connection, reads
// each issue's symbol information and board once, and hands every board it reads to a sink.
// What goes wrong is said once per cause, with what the client does about it.
//
// One REST request is out at a time, the next no sooner than the pace allows: the API allows
// about ten a second per class and answers a burst with HTTP 429 for a second or more.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include "kestrel-feed/KabuApi.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace kestrel::feed::kabu {

class PushSocket;

struct Config {
    QUrl Base = QUrl(QStringLiteral("http://localhost:18080/kabusapi"));
    std::string Password;
    int Cap = 50;  // issues the API's registration list holds (board and symbol calls count)
    // Waits in ms; the tests make them short.
    int FirstRetryMs = 1000;  // after a failure, doubling up to MaxRetryMs
    int MaxRetryMs = 60'000;
    int RequestTimeoutMs = 10'000;
    int PaceMs = 200;             // between two requests: half the documented rate
    int RateLimitPauseMs = 1500;  // after a 429: the API wants at least a second of quiet
    int BatchMs = 100;            // topics opened this close together are registered together
    int PushFirstRetryMs = 500;   // reopening the PUSH connection, doubling up to MaxRetryMs
};

class Sink {
public:
    virtual ~Sink() = default;
    // All called on the client's thread.
    virtual void OnQuote(const Quote& q) = 0;
    virtual void OnReference(const std::string& code, const std::string& name,
                             const std::string& marginClass) = 0;
    // Something to say now, once: a line for the log and a text for the screen (either may be
    // empty).
    virtual void OnNews(const std::string& log, const std::string& screen) = 0;
    // What holds, by matter (the broker, the PUSH connection, the cap ...), for whoever comes
    // later; an empty text: nothing holds any more.
    virtual void OnStanding(const std::string& key, const std::string& screen) = 0;
};

class Client : public QObject {
    Q_OBJECT
public:
    Client(Config config, Sink& sink, QObject* parent = nullptr);
    ~Client() override;

    // Everything below on the client's thread.
    void Start();
    void Want(const std::string& topic);
    void Unwant(const std::string& topic);
    // Ends every request and the PUSH connection; nothing more is sent.
    void Stop();

private:
    enum class JobKind { None, Token, Register, Unregister, Probe, Symbol, Board };
    struct Job {
        JobKind Kind = JobKind::None;
        std::vector<std::string> Codes;  // register, unregister, probe; one for symbol, board
    };
    enum class PushState { Down, Connecting, Up, Probe, Taken };
    struct Wish {
        int Exchange = 1;
        uint64_t Order = 0;
        std::set<std::string> Topics;
    };

    void Schedule();
    void Step();
    void Pause(int ms);
    Job NextRegistration();
    Job NextReading();
    void Send(const Job& job);
    void OnReply(QNetworkReply* reply, const Job& job);
    void OnSuccess(const Job& job, const Answer& a);
    void ReadList(const Answer& a);
    std::vector<std::string> InOrder() const;
    std::vector<std::string> OurRegistered() const;
    void HandleQuote(const Quote& q);
    void Halt();

    void MaybeOpenPush();
    void OnPushOpen();
    void OnPushClosed(bool closeFrame, int code, const QString& why);
    void OnPushFrame(const QString& text);

    void Say(const std::string& key, const std::string& log, const std::string& screen,
             bool standing);
    void SayBroker(const std::string& cause, const std::string& log, const std::string& screen);
    void SayConnected();
    void SayCap();
    void SayUnmapped();
    void SayRefused(const std::string& code, const std::string& why);
    std::set<std::string> TopicsOf(const std::set<std::string>& codes) const;
    // The topics in one line, at most `most` of them named.
    static std::string Names(const std::set<std::string>& topics, size_t most);

    Config Cfg;
    Sink& Out;
    QNetworkAccessManager* Nam = nullptr;
    PushSocket* Push = nullptr;
    QTimer StepTimer, BatchTimer, PushTimer;
    QElapsedTimer Clock;
    qint64 PausedUntil = 0, LastSent = -1'000'000;
    bool InFlight = false, Halted = false, Stopping = false;
    Backoff Retry, RateRetry, PushRetry;

    std::string Token;
    bool TokenFresh = false;             // no data call has succeeded with it yet
    std::map<std::string, Wish> Wanted;  // by code, the issues of the open topics
    uint64_t NextOrder = 0;
    std::set<std::string> Unmapped;   // topics without an exchange code
    std::map<std::string, int> List;  // the API's registration list (every client's)
    bool ListKnown = false;
    bool RegisterDue = false;
    bool OneByOne = false;          // the last batch was refused: find which one
    std::set<std::string> Blocked;  // refused for the cap until room is made
    std::set<std::string> PastCap;  // did not fit in the last pass
    std::set<std::string> Refused;  // codes the API does not know
    std::set<std::string> HaveInfo, HaveBoard;

    PushState PushAt = PushState::Down;
    bool PushCleanClose = false;
    bool PushHeard = false;  // a frame came on this connection

    std::string BrokerTrouble;  // the cause said last, until the next token
    bool PushTroubleSaid = false;
    std::set<std::string> CapSaid, UnmappedSaid;  // topics named
    bool ClockSaid = false;
};

}  // namespace kestrel::feed::kabu
