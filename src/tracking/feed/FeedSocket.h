#pragma once
// Where a feed service listens and how to reach it: a Unix socket in a folder that only this
// user can enter, plus a small blocking client for scripts and tests (step the replay, ping,
// stop the server). Plain POSIX, no toolkit.
#include <string>
#include <vector>

#include "tracking/feed/FeedProtocol.h"

namespace kestrel::feed {

// $XDG_RUNTIME_DIR/kestrel when XDG_RUNTIME_DIR is set, else /tmp/kestrel-<uid>.
std::string FeedSocketDir();
// The socket of a service inside FeedSocketDir(): the service name with every byte outside
// [A-Za-z0-9._-] written as %XX, then ".sock".
std::string FeedSocketPath(const std::string& service);

// Creates the folder (mode 0700) when missing. Refuses a folder that is a symbolic link or
// belongs to another user, and closes one that others could enter: a feed found there could
// otherwise be anybody's.
bool PrepareSocketDir(const std::string& dir, std::string& error);
// The same checks without creating or changing anything (for clients).
bool CheckSocketDir(const std::string& dir, std::string& error);

// A connected non-blocking, close-on-exec stream socket, or -1 with `error` set.
int ConnectUnix(const std::string& path, std::string& error);
// The same, for a client that will speak to what answers: the socket file must be a socket of
// this user, and the process listening on it must run as this user, before anything is sent.
// A feed planted by somebody else is refused (-1, `error` says why, *foreign set; it stays
// false when simply nobody listens).
int ConnectOwnFeed(const std::string& path, std::string& error, bool* foreign = nullptr);
// Waits until fd is readable (or writable); false on time-out. Negative ms waits for ever.
bool WaitFd(int fd, bool forWrite, int timeoutMs);
// Writes all of `data` within the time-out; false on time-out or error.
bool WriteAll(int fd, const std::string& data, int timeoutMs);

// One blocking conversation with a feed server, for tools and tests.
class FeedControl {
public:
    FeedControl() = default;
    ~FeedControl();
    FeedControl(const FeedControl&) = delete;
    FeedControl& operator=(const FeedControl&) = delete;
    FeedControl(FeedControl&& other) noexcept;
    FeedControl& operator=(FeedControl&& other) noexcept;

    bool Open(const std::string& socketPath, std::string& error);
    void Close();
    bool IsOpen() const { return Fd >= 0; }

    // Sends one request (UTF-8 args are encoded to CP932) and waits for its answer; notices
    // that arrive meanwhile are kept in Notes (UTF-8 "topic\titem").
    bool Call(Verb verb, const std::vector<std::string>& args, Message& reply, int timeoutMs);
    // Delivers `count` replay lines or simulated changes at once; `delivered` may be fewer at
    // the end of the recorded data.
    bool Step(int count, int& delivered, int timeoutMs = 5000);
    bool Ping(int timeoutMs = 5000);
    bool Stop(int timeoutMs = 5000);

    std::vector<std::string> Notes;
    // The news the server sent (INFO texts, UTF-8), in order.
    std::vector<std::string> Infos;
    std::string LastError;

private:
    int Fd = -1;
    uint32_t NextId = 1;
    LineReader Reader;
};

}  // namespace kestrel::feed
