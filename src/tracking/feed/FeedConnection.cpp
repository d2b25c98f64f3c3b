#include "tracking/feed/FeedConnection.h"

#include "tracking/feed/SocketDdeConv.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <map>
#include <thread>
#include <unordered_map>
#include <vector>

#include <atomic>
#include <functional>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDebug>
#include <QMetaObject>
#include <QObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QStringList>

#include "common/Codec.h"
#include "tracking/NoticePump.h"
#include "tracking/feed/FeedProtocol.h"
#include "tracking/feed/FeedSocket.h"

namespace kestrel::feed {

namespace {
using Clock = std::chrono::steady_clock;

class MachineClock : public IFeedClock {
public:
    Clock::time_point Now() override { return Clock::now(); }
    int Poll(pollfd* fds, nfds_t count, int ms) override { return poll(fds, count, ms); }
    void Sleep(std::chrono::milliseconds duration) override {
        std::this_thread::sleep_for(duration);
    }
};
MachineClock gMachineClock;
IFeedClock* gClock = &gMachineClock;

Clock::time_point Now() { return gClock->Now(); }

int MsLeft(Clock::time_point deadline) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Now());
    return ms.count() < 0 ? 0 : static_cast<int>(ms.count());
}

// On the machine's clock whatever clock the waits use: it saves a core's wake-up, it is no
// wait of the request's.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(50);
bool gSnapshotOnNotice = true;
// How deep we are inside a socket notifier's signal: a notifier may not be freed from there.
int gNotifierDepth = 0;

// Set from a signal handler when the process is ending: waits end now, and nothing is asked
// of any server any more. The pipe wakes a wait that is under way. Lock-free atomics, since the
// handler may run on any thread.
std::atomic<bool> gAbandoned{false};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);
std::atomic<int> gWakeRead{-1}, gWakeWrite{-1};

void MakeWakePipe() {
    if (gWakeRead.load() >= 0) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    gWakeWrite.store(fds[1]);
    gWakeRead.store(fds[0]);
}

std::function<void(const std::string&)>& WarningHandler() {
    static std::function<void(const std::string&)> handler;
    return handler;
}

// Shown once the event loop runs again, never from inside a request.
void Warn(const std::string& text) {
    qWarning("%s", text.c_str());
    if (!WarningHandler() || !QCoreApplication::instance()) return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [text] {
            if (WarningHandler()) WarningHandler()(text);
        },
        Qt::QueuedConnection);
}

// Waits until fd is readable (or writable), the time-out passes or the process is ending.
bool WaitReady(int fd, bool forWrite, Clock::time_point deadline) {
    while (!gAbandoned) {
        pollfd p[2] = {{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0},
                       {gWakeRead.load(), POLLIN, 0}};
        int r = gClock->Poll(p, p[1].fd >= 0 ? 2 : 1, MsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        return r > 0 && p[0].revents != 0;
    }
    return false;
}

// Writes all of `data` within the time-out; false on time-out, error or the process ending.
bool SendAll(int fd, const std::string& data, int timeoutMs) {
    auto deadline = Now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    size_t done = 0;
    while (done < data.size()) {
        if (gAbandoned) return false;
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitReady(fd, true, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}
}  // namespace

namespace {
std::map<std::string, std::weak_ptr<FeedConnection>>& Registry() {
    static std::map<std::string, std::weak_ptr<FeedConnection>> r;
    return r;
}
}  // namespace

std::shared_ptr<FeedConnection> FeedConnection::For(const std::string& path) {
    auto& weak = Registry()[path];
    auto conn = weak.lock();
    if (!conn) {
        conn = std::make_shared<FeedConnection>(path);
        weak = conn;
    }
    return conn;
}

bool FeedConnection::AllIdle() {
    for (auto& [path, weak] : Registry())
        if (auto c = weak.lock(); c && !c->Idle()) return false;
    return true;
}

bool FeedConnection::Idle() const {
    if (!Notices.Idle()) return false;
    if (Fd < 0) return true;
    pollfd p{Fd, POLLIN, 0};
    return poll(&p, 1, 0) <= 0;
}

bool FeedConnection::EnsureOpen() {
    if (Fd >= 0) return true;
    if (gAbandoned || Now() < SilentUntil) return false;
    // A refusal is said once, until an open succeeds.
    auto refuse = [this](const std::string& error) {
        if (error != Refused) Warn("相場配信に接続しません: " + error);
        Refused = error;
        return false;
    };
    std::string error;
    auto slash = Path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = Path.substr(0, slash);
        // No folder yet is no feed yet (the launch makes it); a folder that is not safe is said.
        struct stat st {};
        if (!CheckSocketDir(dir, error))
            return lstat(dir.c_str(), &st) == 0 ? refuse(error) : false;
    }
    bool foreign = false;
    Fd = ConnectOwnFeed(Path, error, &foreign);
    // Nobody listening is the usual case before the feed is started: only a refusal is said.
    if (Fd < 0) return foreign ? refuse(error) : false;
    Refused.clear();
    MakeWakePipe();
    Reader = LineReader();
    Notifier = std::make_unique<QSocketNotifier>(Fd, QSocketNotifier::Read);
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, Ctx.get(), [this] {
        ++gNotifierDepth;
        {
            auto keep = shared_from_this();  // the last owner may go while we read
            ReadSome();
        }
        --gNotifierDepth;
    });
    return true;
}

bool FeedConnection::AttachTopic(SocketDdeConv* conv, const std::string& topic, int timeoutMs) {
    if (Convs.find(topic) == Convs.end()) {
        Message reply;
        if (!Call(Verb::Conn, {Utf8ToCp932(topic)}, timeoutMs, reply)) return false;
    }
    Convs[topic].push_back(conv);
    return true;
}

void FeedConnection::DetachTopic(SocketDdeConv* conv, const std::string& topic) {
    auto it = Convs.find(topic);
    if (it == Convs.end()) return;
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), conv), list.end());
    if (list.empty()) {
        Convs.erase(it);
        AdviseCount.erase(topic);  // the server forgets the topic's advise loops with it
        if (Fd >= 0) Send(Verb::Disc, {Utf8ToCp932(topic)});
    }
}

bool FeedConnection::Advise(const std::string& topic, const std::string& item, int timeoutMs) {
    if (auto t = AdviseCount.find(topic); t != AdviseCount.end()) {
        if (auto it = t->second.find(item); it != t->second.end()) {
            ++it->second;
            return true;
        }
    }
    // No reference into the map across the call: a lost connection clears it.
    Message reply;
    if (!Call(Verb::Adv, {Utf8ToCp932(topic), Utf8ToCp932(item)}, timeoutMs, reply)) return false;
    AdviseCount[topic][item] = 1;
    return true;
}

void FeedConnection::Unadvise(const std::string& topic, const std::string& item) {
    auto t = AdviseCount.find(topic);
    if (t == AdviseCount.end()) return;
    auto it = t->second.find(item);
    if (it == t->second.end() || --it->second > 0) return;
    t->second.erase(it);
    if (t->second.empty()) AdviseCount.erase(t);
    if (Fd >= 0) Send(Verb::Unadv, {Utf8ToCp932(topic), Utf8ToCp932(item)});
}

bool FeedConnection::Request(const std::string& topic, const std::string& item, int timeoutMs,
                             std::string& value) {
    if (SnapValid && topic == SnapTopic) {
        const auto& items = QuoteItems();
        auto it = std::find(items.begin(), items.end(), item);
        if (it != items.end()) {
            value = SnapValues[static_cast<size_t>(it - items.begin())];
            return true;
        }
    }
    Message reply;
    if (!Call(Verb::Req, {Utf8ToCp932(topic), Utf8ToCp932(item)}, timeoutMs, reply) ||
        reply.Kind != Verb::Val)
        return false;
    value = Cp932ToUtf8(reply.Args[0]);
    return true;
}

bool FeedConnection::Call(Verb verb, std::initializer_list<std::string_view> args, int timeoutMs,
                          Message& reply) {
    if (Fd < 0) return false;
    auto keep = shared_from_this();
    auto deadline = Now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    uint32_t id = NextId++;
    if (NextId == 0) NextId = 1;
    if (!SendAll(Fd, FormatMessage(verb, id, args), std::max(timeoutMs, 0))) {
        // Half a line may be out: the stream can no longer be trusted.
        Lose();
        return false;
    }
    WaitingId = id;
    GotReply = false;
    bool ok = false;
    const uint64_t heardBefore = BytesRead;
    // Notices read while we wait go out through the event loop, after this request.
    struct InRequest {
        TNoticePump<std::pair<std::string, std::string>>& Pump;
        explicit InRequest(TNoticePump<std::pair<std::string, std::string>>& p) : Pump(p) {
            Pump.BeginRequest();
        }
        ~InRequest() { Pump.EndRequest(); }
    } inRequest(Notices);
    while (true) {
        if (GotReply) {
            reply = std::move(ReplyMsg);
            ok = reply.Kind != Verb::Err;
            break;
        }
        // A local server usually answers within microseconds; looking for the answer a little
        // while before sleeping saves the wake-up of an idle core on every round trip.
        bool ready = false;
        for (auto spinEnd = Clock::now() + kSpinBeforeSleep; !ready && Clock::now() < spinEnd;) {
            pollfd p{Fd, POLLIN, 0};
            ready = poll(&p, 1, 0) > 0;
        }
        int left = MsLeft(deadline);
        if (!ready && (left == 0 || !WaitReady(Fd, false, deadline)))
            break;  // a late answer is dropped
        if (!ReadSome()) break;
    }
    WaitingId = 0;
    if (!ok && !GotReply && Fd >= 0 && (BytesRead == heardBefore || gAbandoned)) {
        // Not a byte in all that time (or the process is ending): the server is gone for this
        // round, as a killed one would be, so the links after this one do not each wait out a
        // time-out. A server that talked, if only garbage, keeps its connection.
        if (!gAbandoned) {
            SilentUntil = Now() + kFeedSilentHoldOff;
            Warn("相場配信が応答しません: " + Path + "（以後の接続は再接続まで行いません）");
        }
        Lose();
        return false;
    }
    return ok;
}

bool FeedConnection::TakeSnapshot(const std::string& topic, int timeoutMs) {
    Message reply;
    if (!Call(Verb::All, {Utf8ToCp932(topic)}, timeoutMs, reply) || reply.Kind != Verb::Vals)
        return false;
    SnapValues.clear();
    for (const auto& v : reply.Args) SnapValues.push_back(Cp932ToUtf8(v));
    SnapTopic = topic;
    SnapValid = true;
    return true;
}

void FeedConnection::Send(Verb verb, std::initializer_list<std::string_view> args) {
    uint32_t id = NextId++;
    if (NextId == 0) NextId = 1;
    // Nobody waits for this answer; it arrives as a stale one and is dropped.
    if (!SendAll(Fd, FormatMessage(verb, id, args), 1000)) Lose();
}

bool FeedConnection::ReadSome() {
    char buf[65536];
    size_t total = 0;
    while (Fd >= 0 && total < (1u << 20)) {
        ssize_t n = read(Fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            Lose();
            return false;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        total += static_cast<size_t>(n);
        BytesRead += static_cast<uint64_t>(n);
        Reader.Append(buf, static_cast<size_t>(n));
        std::string line;
        LineReader::Result r;
        while ((r = Reader.Next(line)) != LineReader::Result::None)
            if (r == LineReader::Result::Line) HandleLine(line);  // an overlong line is dropped
        if (GotReply) break;
    }
    return Fd >= 0;
}

void FeedConnection::HandleLine(const std::string& line) {
    Message m;
    std::string error;
    if (!ParseMessage(line, m, error)) return;  // garbage from the server changes nothing
    switch (m.Kind) {
        case Verb::Note: {
            std::string topic = Cp932ToUtf8(m.Args[0]), item = Cp932ToUtf8(m.Args[1]);
            // A notice carries no value: one waiting notice per item is as good as many.
            Notices.Add({std::move(topic), std::move(item)});
            break;
        }
        case Verb::Info:
            // The server's news of its quote source (a broker it cannot reach, issues it does
            // not serve): said where the trader looks. The server says each once.
            Warn(Cp932ToUtf8(m.Args[0]));
            break;
        case Verb::Ok:
        case Verb::Val:
        case Verb::Vals:
        case Verb::Err:
            if (WaitingId != 0 && m.Id == WaitingId && !GotReply) {
                ReplyMsg = std::move(m);
                GotReply = true;
            }
            break;
        default:
            break;  // requests are not the server's to send
    }
}

void FeedConnection::Lose() {
    if (Fd < 0) return;
    CloseSocket();
    SnapValid = false;
    AdviseCount.clear();
    Notices.Clear();
    auto convs = std::move(Convs);
    Convs.clear();
    for (auto& [topic, list] : convs)
        for (auto* conv : list) conv->Lost();
}

void FeedConnection::CloseSocket() {
    if (Notifier) {
        Notifier->setEnabled(false);
        if (gNotifierDepth > 0)
            Notifier.release()->deleteLater();  // inside its own signal: the loop frees it
        else
            Notifier.reset();
    }
    if (Fd >= 0) close(Fd);
    Fd = -1;
    GotReply = false;
}

void FeedConnection::Deliver(const std::pair<std::string, std::string>& notice) {
    const auto& [topic, item] = notice;
    auto it = Convs.find(topic);
    if (it == Convs.end()) return;
    auto targets = it->second;
    if (gSnapshotOnNotice) TakeSnapshot(topic, targets.front()->AdviseTimeoutMs);
    for (auto* conv : targets) {
        // A handler may free trackers: deliver only to conversations still linked.
        auto now = Convs.find(topic);
        if (now == Convs.end()) break;
        if (std::find(now->second.begin(), now->second.end(), conv) == now->second.end()) continue;
        // An error out of a change handler must not unwind through the event loop; the other
        // conversations still get their notice.
        try {
            conv->DeliverNotice(item);
        } catch (const std::exception& e) {
            qWarning("quote change failed: %s", e.what());
        } catch (...) {
            qWarning("quote change failed");
        }
    }
    SnapValid = false;
}

bool FeedConnection::Launch(const std::string& service, const std::string& topic, int waitMs) {
    if (gAbandoned || Now() < LaunchBlockedUntil || Now() < SilentUntil) return false;
    QString program = QStandardPaths::findExecutable(QString::fromStdString(service));
    if (program.isEmpty()) return false;
    QProcess p;
    p.setProgram(program);
    QStringList args;
    if (!topic.empty()) args << QString::fromStdString(topic);
    p.setArguments(args);
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardOutputFile(QProcess::nullDevice());
    // The server's log goes beside its socket, in the private folder it will use anyway.
    std::string log = Path, dirError;
    if (log.size() > 5 && log.compare(log.size() - 5, 5, ".sock") == 0) log.resize(log.size() - 5);
    auto slash = Path.rfind('/');
    bool dirOk = slash != std::string::npos && slash > 0 &&
                 PrepareSocketDir(Path.substr(0, slash), dirError);
    p.setStandardErrorFile(dirOk ? QString::fromStdString(log + ".log") : QProcess::nullDevice(),
                           QIODevice::Append);
    if (!p.startDetached()) return false;
    // Wait for it to listen, as long as a freshly started server may need and no longer.
    auto deadline = Now() + std::chrono::milliseconds(std::max(waitMs, 0));
    std::string error;
    while (true) {
        int probe = ConnectUnix(Path, error);
        if (probe >= 0) {
            close(probe);
            return true;
        }
        if (Now() >= deadline) break;
        gClock->Sleep(std::chrono::milliseconds(20));
    }
    LaunchBlockedUntil = Now() + kLaunchCoolDown;
    return true;
}

}  // namespace kestrel::feed

void SetFeedSnapshotOnNotice(bool on) { kestrel::feed::gSnapshotOnNotice = on; }

void SetFeedClock(IFeedClock* clock) {
    kestrel::feed::gClock = clock ? clock : &kestrel::feed::gMachineClock;
}

void SetFeedWarningHandler(std::function<void(const std::string&)> handler) {
    kestrel::feed::WarningHandler() = std::move(handler);
}

void AllowFeedWaits() { kestrel::feed::gAbandoned = false; }

void AbandonFeedWaits() {
    kestrel::feed::gAbandoned = true;
    const int fd = kestrel::feed::gWakeWrite.load();
    if (fd >= 0) {
        const char b = 1;
        [[maybe_unused]] ssize_t n = write(fd, &b, 1);
    }
}

bool FeedClientIdle() { return kestrel::feed::FeedConnection::AllIdle(); }
