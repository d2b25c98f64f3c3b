#include "tracking/feed/FeedSocket.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/Codec.h"

namespace kestrel::feed {

std::string FeedSocketDir() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg) return std::string(xdg) + "/kestrel";
    return "/tmp/kestrel-" + std::to_string(static_cast<unsigned long>(geteuid()));
}

std::string FeedSocketPath(const std::string& service) {
    std::string name;
    for (unsigned char c : service) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '_' || c == '-') {
            name.push_back(static_cast<char>(c));
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            name += hex;
        }
    }
    return FeedSocketDir() + "/" + name + ".sock";
}

namespace {
bool CheckDir(const std::string& dir, bool fix, std::string& error) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = dir + ": not a folder (or a symbolic link)";
        return false;
    }
    if (st.st_uid != geteuid()) {
        error = dir + ": belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        if (!fix || chmod(dir.c_str(), 0700) != 0) {
            error = dir + ": open to other users (mode must be 0700)";
            return false;
        }
    }
    return true;
}
}  // namespace

bool PrepareSocketDir(const std::string& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    return CheckDir(dir, true, error);
}

bool CheckSocketDir(const std::string& dir, std::string& error) {
    return CheckDir(dir, false, error);
}

int ConnectUnix(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path empty or too long: " + path;
        return -1;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int ConnectOwnFeed(const std::string& path, std::string& error, bool* foreign) {
    if (foreign) *foreign = false;
    auto refuse = [&](const std::string& why) {
        error = path + why;
        if (foreign) *foreign = true;
        return -1;
    };
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        error = path + ": " + std::strerror(errno);
        return -1;
    }
    if (!S_ISSOCK(st.st_mode)) return refuse(": not a socket");
    if (st.st_uid != geteuid()) return refuse(": belongs to another user");
    int fd = ConnectUnix(path, error);
    if (fd < 0) return -1;
    // The file may have been swapped since it was looked at: what counts is who listens.
    uid_t peer = 0;
#ifdef SO_PEERCRED
    ucred cred{};
    socklen_t len = sizeof cred;
    const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    peer = cred.uid;
#else
    gid_t group = 0;
    const bool known = getpeereid(fd, &peer, &group) == 0;
#endif
    if (!known || peer != geteuid()) {
        close(fd);
        return refuse(known ? ": served by another user" : ": the serving user cannot be told");
    }
    return fd;
}

bool WaitFd(int fd, bool forWrite, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (true) {
        int left = -1;
        if (timeoutMs >= 0) {
            auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            left = ms.count() < 0 ? 0 : static_cast<int>(ms.count());
        }
        pollfd p{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
        int r = poll(&p, 1, left);
        if (r > 0) return true;  // errors and hang-ups count as ready: the read or write tells
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool WriteAll(int fd, const std::string& data, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !WaitFd(fd, true, static_cast<int>(left.count())))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

FeedControl::~FeedControl() { Close(); }

FeedControl::FeedControl(FeedControl&& other) noexcept { *this = std::move(other); }

FeedControl& FeedControl::operator=(FeedControl&& other) noexcept {
    if (this != &other) {
        Close();
        Fd = std::exchange(other.Fd, -1);
        NextId = other.NextId;
        Reader = std::move(other.Reader);
        Notes = std::move(other.Notes);
        Infos = std::move(other.Infos);
        LastError = std::move(other.LastError);
    }
    return *this;
}

bool FeedControl::Open(const std::string& socketPath, std::string& error) {
    Close();
    Fd = ConnectOwnFeed(socketPath, error);
    return Fd >= 0;
}

void FeedControl::Close() {
    if (Fd >= 0) close(Fd);
    Fd = -1;
    Reader = LineReader();
}

bool FeedControl::Call(Verb verb, const std::vector<std::string>& args, Message& reply,
                       int timeoutMs) {
    if (Fd < 0) {
        LastError = "not connected";
        return false;
    }
    Message m;
    m.Kind = verb;
    m.Id = NextId++;
    for (const auto& a : args) m.Args.push_back(Utf8ToCp932(a));
    if (!WriteAll(Fd, FormatMessage(m), timeoutMs)) {
        LastError = "write failed";
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        std::string line;
        LineReader::Result r;
        while ((r = Reader.Next(line)) != LineReader::Result::None) {
            std::string err;
            if (r != LineReader::Result::Line || !ParseMessage(line, reply, err)) continue;
            if (reply.Kind == Verb::Note) {
                Notes.push_back(Cp932ToUtf8(reply.Args[0]) + "\t" + Cp932ToUtf8(reply.Args[1]));
                continue;
            }
            if (reply.Kind == Verb::Info) {
                Infos.push_back(Cp932ToUtf8(reply.Args[0]));
                continue;
            }
            if (reply.Id != m.Id) continue;  // a late answer to an earlier call
            if (reply.Kind == Verb::Err) LastError = Cp932ToUtf8(reply.Args[0]);
            return reply.Kind != Verb::Err;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitFd(Fd, false, static_cast<int>(left.count()))) {
            LastError = "no answer";
            return false;
        }
        char buf[16384];
        ssize_t n = read(Fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            LastError = "connection closed";
            Close();
            return false;
        }
        if (n > 0) Reader.Append(buf, static_cast<size_t>(n));
    }
}

bool FeedControl::Step(int count, int& delivered, int timeoutMs) {
    Message reply;
    if (!Call(Verb::Step, {std::to_string(count)}, reply, timeoutMs)) return false;
    delivered = reply.Args.empty() ? 0 : std::atoi(reply.Args[0].c_str());
    return true;
}

bool FeedControl::Ping(int timeoutMs) {
    Message reply;
    return Call(Verb::Ping, {}, reply, timeoutMs);
}

bool FeedControl::Stop(int timeoutMs) {
    Message reply;
    return Call(Verb::Stop, {}, reply, timeoutMs);
}

}  // namespace kestrel::feed
