#include "kestrel-feed/Server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/Codec.h"
#include "common/Numbers.h"
#include "tracking/feed/FeedSocket.h"

namespace kestrel::feed {

namespace {

int gStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    int saved = errno;
    char c = 1;
    [[maybe_unused]] ssize_t n = write(gStopPipe[1], &c, 1);
    errno = saved;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The items a trade can change; the reference figures stay as loaded.
const std::vector<std::string>& TradeItems() {
    static const std::vector<std::string> items = {"出来高", "現在値", "現在値時刻",
                                                   "出来高加重平均", "前日比率"};
    return items;
}

constexpr size_t kMaxClients = 1000;
constexpr size_t kReadPerRound = 256 << 10;  // so one busy client cannot starve the others

void Log(const std::string& text) { std::fprintf(stderr, "kestrel-feed: %s\n", text.c_str()); }

const std::string& TooManyTopics() {
    static const std::string text =
        "too many topics (at most " + std::to_string(Server::kMaxTopicsPerClient) + " per client)";
    return text;
}

}  // namespace

void InstallStopSignals() {
    if (gStopPipe[0] < 0 && pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

Server::Server(QuoteBook& book, QuoteSource& source) : Book(book), Source(source) {}

Server::~Server() {
    for (auto& c : Clients)
        if (c->Fd >= 0) close(c->Fd);
    if (ListenFd >= 0) {
        close(ListenFd);
        // Remove the socket only while it is still ours: a successor may have replaced it.
        struct stat st {};
        if (lstat(Path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_ino) == PathInode)
            unlink(Path.c_str());
    }
}

bool Server::Listen(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path empty or too long: " + path;
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + ": exists and is not a socket";
            return false;
        }
        std::string ignored;
        int probe = ConnectUnix(path, ignored);
        if (probe >= 0) {
            close(probe);
            error = path + ": another server is already listening there";
            return false;
        }
        unlink(path.c_str());  // left behind by a server that did not stop cleanly
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    ListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (ListenFd < 0 || bind(ListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        chmod(path.c_str(), 0600) != 0 || listen(ListenFd, 128) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    Path = path;
    if (lstat(path.c_str(), &st) == 0) PathInode = static_cast<uint64_t>(st.st_ino);
    return true;
}

int Server::Run() {
    StartMs = NowMs();
    std::vector<pollfd> fds;
    while (!Stopping) {
        fds.clear();
        fds.push_back({ListenFd, POLLIN, 0});
        fds.push_back({gStopPipe[0], POLLIN, 0});
        // A client waiting for its STEP is not read: what it sends meanwhile stays in its socket.
        for (auto& c : Clients)
            fds.push_back(
                {c->Fd,
                 static_cast<short>((c->Waiting ? 0 : POLLIN) | (c->Out.empty() ? 0 : POLLOUT)),
                 0});
        // A live source wakes us when its broker sent something; it goes last, after the
        // clients that are indexed by position.
        const size_t wake = fds.size();
        if (Source.WakeFd() >= 0) fds.push_back({Source.WakeFd(), POLLIN, 0});
        int timeout = -1;
        if (!Steps.empty())
            timeout = 0;  // only a look at the sockets between two slices
        else if (int64_t due = Source.NextDueMs(); due >= 0)
            timeout = static_cast<int>(std::clamp<int64_t>(due - (NowMs() - StartMs), 0, 1000));
        int r = poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) {
            Log(std::string("poll: ") + std::strerror(errno));
            return 1;
        }
        if (r > 0 && (fds[1].revents & POLLIN)) break;
        if (r > 0) {
            // Clients accepted in this round are not in fds yet; index only the old ones.
            size_t known = Clients.size();
            for (size_t i = 0; i < known; ++i) {
                short ev = fds[i + 2].revents;
                Client& c = *Clients[i];
                if (ev & (POLLIN | POLLHUP | POLLERR)) ReadFrom(c);
                if ((ev & POLLOUT) && !c.Dead) Flush(c);
            }
            if (fds[0].revents & POLLIN) Accept();
            if (wake < fds.size() && (fds[wake].revents & POLLIN)) Source.Woken();
        }
        // Changes that are due, in short bursts: a request waiting behind a long burst would
        // see its answer late, and a monitor asks a lot while the market is busy. A running
        // STEP has the source to itself until it is done, as it had when it ran in one go.
        if (!Steps.empty()) StepSlice();
        int budget = Steps.empty() ? 16 : 0;
        while (budget-- > 0) {
            int64_t due = Source.NextDueMs();
            if (due < 0 || due > NowMs() - StartMs) break;
            int delivered = 0;
            Deliver(1, delivered);
            if (delivered == 0) break;
        }
        SourceNews news;
        while (Source.NextNews(news)) Tell(news);
        // While a STEP runs its notices wait, merged, to go out just before its answer: a
        // client sees the same notices as when the whole step took one turn.
        for (auto& c : Clients) {
            if (c->Dead) continue;
            if (Steps.empty()) MoveNotices(*c, false);
            if (!c->Dead && !c->Out.empty()) Flush(*c);
        }
        Reap();
    }
    for (auto& c : Clients)
        if (!c->Dead) Flush(*c);
    Log("stopped");
    return 0;
}

void Server::Accept() {
    while (true) {
        int fd = accept4(ListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (Clients.size() >= kMaxClients) {
            Log("refused a client: too many clients");
            close(fd);
            continue;
        }
        auto c = std::make_unique<Client>();
        c->Fd = fd;
        c->Number = NextNumber++;
        Log("client " + std::to_string(c->Number) + " connected");
        // What the source said before this client came and still holds, so a monitor started
        // late learns it too.
        for (const auto& text : Source.StandingNews())
            c->Out += FormatMessage(Verb::Info, 0, {Utf8ToCp932(text)});
        Clients.push_back(std::move(c));
    }
}

void Server::ReadFrom(Client& c) {
    char buf[16384];
    size_t total = 0;
    while (!c.Dead && !c.Waiting && total < kReadPerRound) {
        ssize_t n = read(c.Fd, buf, sizeof buf);
        if (n == 0) {
            Drop(c, "closed by client");
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) Drop(c, std::strerror(errno));
            return;
        }
        total += static_cast<size_t>(n);
        c.Reader.Append(buf, static_cast<size_t>(n));
        HandleLines(c);
    }
}

// The lines read so far; a STEP stops the client's lines there until it has been answered.
void Server::HandleLines(Client& c) {
    std::string line;
    LineReader::Result r;
    while (!c.Dead && !c.Waiting && (r = c.Reader.Next(line)) != LineReader::Result::None) {
        if (r == LineReader::Result::Overflow)
            Reply(c, Verb::Err, 0, {"message too long"});
        else
            Handle(c, line);
    }
}

void Server::Handle(Client& c, const std::string& line) {
    Message m;
    std::string error;
    if (!ParseMessage(line, m, error)) {
        Reply(c, Verb::Err, m.Id, {error});
        return;
    }
    auto needTopic = [&](const std::string& topic) {
        if (c.Topics.count(topic)) return true;
        Reply(c, Verb::Err, m.Id, {"topic not connected"});
        return false;
    };
    switch (m.Kind) {
        case Verb::Conn:
            if (c.Topics.size() >= kMaxTopicsPerClient && !c.Topics.count(m.Args[0])) {
                Reply(c, Verb::Err, m.Id, {TooManyTopics()});
                break;
            }
            if (c.Topics.insert(m.Args[0]).second) Source.TopicOpened(Cp932ToUtf8(m.Args[0]));
            Reply(c, Verb::Ok, m.Id, {});
            break;
        case Verb::Disc: {
            // A topic has at most the eleven items advised: look those up rather than go
            // through every advise loop of the client.
            const std::string& topic = m.Args[0];
            for (const auto& item : QuoteItems()) Unsubscribe(c, topic, item);
            if (c.Topics.erase(topic)) Source.TopicClosed(Cp932ToUtf8(topic));
            Reply(c, Verb::Ok, m.Id, {});
            break;
        }
        case Verb::Adv: {
            if (!needTopic(m.Args[0])) break;
            std::string item = Cp932ToUtf8(m.Args[1]);
            if (!IsQuoteItem(item)) {
                Reply(c, Verb::Err, m.Id, {"unknown item"});
                break;
            }
            if (c.Advised.insert(m.Args[0] + '\t' + item).second)
                Subs[FirstChars(Cp932ToUtf8(m.Args[0]), 4)].push_back({&c, m.Args[0], item});
            Reply(c, Verb::Ok, m.Id, {});
            break;
        }
        case Verb::Unadv:
            Unsubscribe(c, m.Args[0], Cp932ToUtf8(m.Args[1]));
            Reply(c, Verb::Ok, m.Id, {});
            break;
        case Verb::Req: {
            if (!needTopic(m.Args[0])) break;
            std::string value, topic = Cp932ToUtf8(m.Args[0]);
            const Issue* s = Book.Find(FirstChars(topic, 4));
            Issue blank;
            if (!s) {
                blank = Book.Lookup(topic);
                s = &blank;
            }
            if (!ItemValue(*s, Cp932ToUtf8(m.Args[1]), value))
                Reply(c, Verb::Err, m.Id, {"unknown item"});
            else
                Reply(c, Verb::Val, m.Id, {Utf8ToCp932(value)});
            break;
        }
        case Verb::All: {
            // Every item of one issue in one answer: the values of one change, read together.
            if (!needTopic(m.Args[0])) break;
            std::string topic = Cp932ToUtf8(m.Args[0]), value;
            Issue blank;
            const Issue* s = Book.Find(FirstChars(topic, 4));
            if (!s) {
                blank = Book.Lookup(topic);
                s = &blank;
            }
            Message all;
            all.Kind = Verb::Vals;
            all.Id = m.Id;
            for (const auto& item : QuoteItems()) {
                ItemValue(*s, item, value);
                all.Args.push_back(Utf8ToCp932(value));
            }
            Reply(c, all);
            break;
        }
        case Verb::Step: {
            auto count = ParseInt(m.Args[0]);
            if (!count || *count < 1 || *count > 1'000'000) {
                Reply(c, Verb::Err, m.Id, {"step count must be 1 to 1000000"});
                break;
            }
            // Done by the loop, a slice per turn; answered when the last slice is done.
            Steps.push_back({&c, m.Id, static_cast<int>(*count)});
            c.Waiting = true;
            break;
        }
        case Verb::Ping:
            Reply(c, Verb::Ok, m.Id, {});
            break;
        case Verb::Stop:
            Log("stop requested by client " + std::to_string(c.Number));
            Reply(c, Verb::Ok, m.Id, {});
            Stopping = true;
            break;
        default:
            Reply(c, Verb::Err, m.Id, {"not a request"});
            break;
    }
}

void Server::Reply(Client& c, Verb v, uint32_t id, std::initializer_list<std::string_view> args) {
    if (c.Dead) return;
    c.Out += FormatMessage(v, id, args);
    if (c.Out.size() > kMaxOutput) Drop(c, "not reading its answers");
}

void Server::Reply(Client& c, const Message& m) {
    if (c.Dead) return;
    c.Out += FormatMessage(m);
    if (c.Out.size() > kMaxOutput) Drop(c, "not reading its answers");
}

void Server::Deliver(int count, int& delivered) {
    delivered = 0;
    std::string code;
    while (delivered < count && Source.Next(Book, code)) {
        ++delivered;
        Changed(code);
    }
}

void Server::Changed(const std::string& code) {
    if (OnServed)
        if (const Issue* s = Book.Find(code)) OnServed(*s);
    Notify(code, TradeItems());
}

void Server::StepSlice() {
    StepJob& job = Steps.front();
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::milliseconds(kStepSliceMs);
    bool ended = false;  // the recording has run out
    int done = 0;
    while (job.Delivered < job.Count && done < kStepSlice) {
        int want = std::min({64, job.Count - job.Delivered, kStepSlice - done}), got = 0;
        Deliver(want, got);
        job.Delivered += got;
        done += got;
        if (got < want) {
            ended = true;
            break;
        }
        if (std::chrono::steady_clock::now() - start >= limit) break;
    }
    if (!ended && job.Delivered < job.Count) return;

    // Every notice of these changes is on its way before the stepper hears "done", so a test
    // that waits for the answer finds the notices already readable.
    for (auto& other : Clients) {
        if (other->Dead) continue;
        MoveNotices(*other, true);
        if (!other->Dead) Flush(*other);
    }
    StepJob finished = job;
    Steps.pop_front();
    if (!finished.Owner) return;
    Client& c = *finished.Owner;
    Reply(c, Verb::Ok, finished.Id, {std::to_string(finished.Delivered)});
    c.Waiting = false;
    HandleLines(c);  // what it sent behind the STEP and we had read already
}

void Server::Notify(const std::string& code, const std::vector<std::string>& items) {
    auto it = Subs.find(code);
    if (it == Subs.end()) return;
    for (const auto& s : it->second) {
        if (s.Owner->Dead) continue;
        if (std::find(items.begin(), items.end(), s.Item) == items.end()) continue;
        // A notice carries no value, so one waiting notice per item is as good as many.
        std::string key = s.Topic + '\t' + s.Item;
        if (s.Owner->PendingSet.insert(key).second) s.Owner->Pending.push_back(std::move(key));
    }
}

void Server::Tell(const SourceNews& news) {
    if (!news.Log.empty()) Log(news.Log);
    if (news.Screen.empty()) return;
    const std::string line = FormatMessage(Verb::Info, 0, {Utf8ToCp932(news.Screen)});
    for (auto& c : Clients) {
        if (c->Dead) continue;
        c->Out += line;
        if (c->Out.size() > kMaxOutput) Drop(*c, "not reading its answers");
    }
}

void Server::MoveNotices(Client& c, bool force) {
    while (!c.Pending.empty() && (force || c.Out.size() < kNoticeGate)) {
        const std::string& key = c.Pending.front();
        size_t tab = key.find('\t');
        c.Out +=
            FormatMessage(Verb::Note, 0,
                          {std::string_view(key).substr(0, tab), Utf8ToCp932(key.substr(tab + 1))});
        c.PendingSet.erase(key);
        c.Pending.pop_front();
    }
    if (c.Out.size() > kMaxOutput) Drop(c, "not reading its notices");
}

void Server::Flush(Client& c) {
    size_t done = 0;
    while (done < c.Out.size()) {
        ssize_t n = send(c.Fd, c.Out.data() + done, c.Out.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        c.Out.clear();
        Drop(c, n < 0 ? std::strerror(errno) : "write failed");
        return;
    }
    c.Out.erase(0, done);
}

void Server::Drop(Client& c, const std::string& why) {
    if (c.Dead) return;
    c.Dead = true;
    c.Why = why;
}

void Server::Unsubscribe(Client& c, const std::string& topic, const std::string& item) {
    if (!c.Advised.erase(topic + '\t' + item)) return;
    auto it = Subs.find(FirstChars(Cp932ToUtf8(topic), 4));
    if (it == Subs.end()) return;
    auto& v = it->second;
    v.erase(std::remove_if(
                v.begin(), v.end(),
                [&](const Sub& s) { return s.Owner == &c && s.Topic == topic && s.Item == item; }),
            v.end());
    if (v.empty()) Subs.erase(it);
}

void Server::Reap() {
    std::vector<std::string> gone;
    for (size_t i = 0; i < Clients.size();) {
        Client& c = *Clients[i];
        if (!c.Dead) {
            ++i;
            continue;
        }
        for (auto it = Subs.begin(); it != Subs.end();) {
            auto& v = it->second;
            v.erase(std::remove_if(v.begin(), v.end(), [&](const Sub& s) { return s.Owner == &c; }),
                    v.end());
            it = v.empty() ? Subs.erase(it) : std::next(it);
        }
        for (auto& job : Steps)
            if (job.Owner == &c) job.Owner = nullptr;
        for (const auto& topic : c.Topics) Source.TopicClosed(Cp932ToUtf8(topic));
        close(c.Fd);
        gone.push_back("client " + std::to_string(c.Number) + " disconnected (" + c.Why + ")");
        Clients.erase(Clients.begin() + static_cast<long>(i));
    }
    if (gone.empty()) return;
#if defined(__GLIBC__)
    // A client may have held megabytes in thousands of small pieces between longer-lived
    // ones; without this the allocator would keep those pages for good.
    malloc_trim(0);
#endif
    for (const auto& line : gone) Log(line);  // once the client's memory is given back
}

}  // namespace kestrel::feed
