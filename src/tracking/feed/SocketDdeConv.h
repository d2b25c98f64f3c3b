#pragma once
// The quote conversation over the local feed socket. All conversations of a process that name
// the same service share one connection; requests block the calling (UI) thread up to their
// time-out, and advise notices reach the conversations through the Qt event loop, never from
// inside a request.
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include <poll.h>

#include "tracking/DdeConv.h"

namespace kestrel::feed {
class FeedConnection;
}

class SocketDdeConv : public TDdeClientConv {
public:
    // An empty socket path means the per-user socket of whatever service the link names.
    explicit SocketDdeConv(std::string socketPath = {});
    ~SocketDdeConv() override;

    // How long an open link waits for a server it has just started to accept connections.
    int LaunchWaitMs = 5'000;

protected:
    bool Connect(const std::string& service, const std::string& topic) override;
    void Disconnect() override;
    bool IsConnected() const override;
    bool StartAdvise(const std::string& item, int timeoutMs) override;
    void StopAdvise(const std::string& item) override;
    bool Request(const std::string& item, int timeoutMs, std::string& value) override;
    bool Launch(const std::string& commandLine) override;

private:
    friend class kestrel::feed::FeedConnection;
    void DeliverNotice(const std::string& item) { AdviseNotice(item); }
    void Lost();
    std::string PathFor(const std::string& service) const;

    std::string SocketPath;
    std::shared_ptr<kestrel::feed::FeedConnection> Conn;
    std::string LinkedTopic;
    bool Linked = false;
    // Items whose advise loop this conversation started, so each is counted once on the
    // shared connection and released when the link ends.
    std::set<std::string> Advised;
};

// Conversations over the per-user socket of each service (the monitor's live mode).
DdeConvFactory MakeSocketConvFactory();
// Conversations that reach every service at one socket (tests, a feed started with --socket).
DdeConvFactory MakeSocketConvFactory(std::string socketPath);

// While a notice is delivered, read every item of its topic in one round trip and answer the
// requests of the change handlers from that reading (on by default). The values of one change
// then belong together even while the feed moves on, and a change costs one round trip
// instead of a dozen.
void SetFeedSnapshotOnNotice(bool on);

// Where a refusal to connect (a feed of another user, a folder others may enter) and a server
// that stopped answering are said to the user: on the event loop, once per cause. Null: only
// the log.
void SetFeedWarningHandler(std::function<void(const std::string&)> handler);

// How long a server that left a request unanswered, without sending a byte, is taken as gone:
// links to it fail at once meanwhile (a silent server would otherwise cost a time-out per
// topic), and no second server is started beside it.
constexpr std::chrono::milliseconds kFeedSilentHoldOff = std::chrono::seconds(60);

// The time of the feed client: the deadlines of requests, the hold-off of a silent server and
// the cool-down of a launcher that never served are read from it, and every wait for a server
// is made through it. The machine's monotonic clock unless a test puts its own in place.
class IFeedClock {
public:
    virtual ~IFeedClock() = default;
    virtual std::chrono::steady_clock::time_point Now() = 0;
    // As poll(): waits up to `ms` for the descriptors; the count ready, 0 when the time is up.
    virtual int Poll(pollfd* fds, nfds_t count, int ms) = 0;
    virtual void Sleep(std::chrono::milliseconds duration) = 0;
};
// Null puts the machine's clock back. Only while no request waits.
void SetFeedClock(IFeedClock* clock);

// The process is ending: every wait for a server ends at once and nothing more is asked of
// one. Safe to call from a signal handler. A new run of the monitor in the same process (tests)
// allows waits again first.
void AbandonFeedWaits();
void AllowFeedWaits();

// True when no notice is waiting on any feed connection of this process, neither queued nor
// unread in its socket: a test that stepped the server can spin the event loop until then.
bool FeedClientIdle();
