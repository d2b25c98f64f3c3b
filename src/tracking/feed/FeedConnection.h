#pragma once
// The one connection of a process to a feed service's socket, shared by every conversation
// that names the service: requests that block the calling (UI) thread up to their time-out,
// advise loops counted over the conversations, and notices delivered through the Qt event
// loop by the shared notice pump, never from inside a request.
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>

#include "tracking/NoticePump.h"
#include "tracking/feed/FeedProtocol.h"

class SocketDdeConv;

namespace kestrel::feed {

class FeedConnection : public std::enable_shared_from_this<FeedConnection> {
public:
    explicit FeedConnection(std::string path) : Path(std::move(path)) {}
    ~FeedConnection() { CloseSocket(); }

    static std::shared_ptr<FeedConnection> For(const std::string& path);
    static bool AllIdle();

    const std::string& SocketPath() const { return Path; }
    bool Alive() const { return Fd >= 0; }
    bool Idle() const;

    bool EnsureOpen();
    bool AttachTopic(SocketDdeConv* conv, const std::string& topic, int timeoutMs);
    void DetachTopic(SocketDdeConv* conv, const std::string& topic);
    bool Advise(const std::string& topic, const std::string& item, int timeoutMs);
    void Unadvise(const std::string& topic, const std::string& item);
    bool Request(const std::string& topic, const std::string& item, int timeoutMs,
                 std::string& value);
    bool Launch(const std::string& service, const std::string& topic, int waitMs);

private:
    bool TakeSnapshot(const std::string& topic, int timeoutMs);
    bool Call(Verb verb, std::initializer_list<std::string_view> args, int timeoutMs,
              Message& reply);
    void Send(Verb verb, std::initializer_list<std::string_view> args);
    bool ReadSome();
    void HandleLine(const std::string& line);
    void Lose();
    void CloseSocket();
    void Deliver(const std::pair<std::string, std::string>& notice);

    std::string Path;
    int Fd = -1;
    std::unique_ptr<QObject> Ctx = std::make_unique<QObject>();
    std::unique_ptr<QSocketNotifier> Notifier;
    LineReader Reader;
    uint32_t NextId = 1;
    uint32_t WaitingId = 0;
    bool GotReply = false;
    Message ReplyMsg;
    // Conversations by topic (UTF-8); several trackers may share a topic.
    std::unordered_map<std::string, std::vector<SocketDdeConv*>> Convs;
    // Advise loops per topic and item, counted over the conversations that started them.
    std::unordered_map<std::string, std::unordered_map<std::string, int>> AdviseCount;
    // Notices (topic, item) on their way to the conversations.
    TNoticePump<std::pair<std::string, std::string>> Notices{[this] {
        QMetaObject::invokeMethod(
            Ctx.get(),
            [this] {
                auto keep =
                    shared_from_this();  // a handler may drop the last link of the connection
                Notices.Turn([this](const auto& n) { Deliver(n); });
            },
            Qt::QueuedConnection);
        return true;
    }};
    // The reading of every item of the topic whose notice is being delivered.
    bool SnapValid = false;
    std::string SnapTopic;
    std::vector<std::string> SnapValues;
    std::chrono::steady_clock::time_point LaunchBlockedUntil{};
    std::chrono::steady_clock::time_point SilentUntil{};
    uint64_t BytesRead = 0;
    // Why the last open was refused, said once until an open succeeds.
    std::string Refused;
};

}  // namespace kestrel::feed
