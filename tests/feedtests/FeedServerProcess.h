#pragma once
// A real kestrel-feed process for one test: started with given options on a given socket,
// its log kept in a file, stopped (or paused, to play a server that does not answer) at will.
#include <string>
#include <vector>

#include <sys/types.h>

namespace kestrel::test {

class FeedServerProcess {
public:
    // `socket` empty: the server picks its per-user socket itself.
    FeedServerProcess(std::string socket, std::vector<std::string> options, std::string logFile);
    ~FeedServerProcess();
    FeedServerProcess(const FeedServerProcess&) = delete;
    FeedServerProcess& operator=(const FeedServerProcess&) = delete;

    // Starts the process and waits until the socket accepts connections (false after two
    // minutes: a hang).
    bool Start();
    // SIGTERM and wait; the exit status (-1 when it did not end normally). For a process that
    // ended by itself during Start, its own exit status.
    int Stop();
    // SIGKILL and wait: a server that gets no chance to clean up.
    void Kill();
    // Waits for the process to end by itself; its exit status.
    int Wait();
    void Pause();
    void Resume();
    bool Running() const { return Pid > 0; }
    std::string Log() const;

private:
    std::string Socket, LogFile;
    std::vector<std::string> Options;
    pid_t Pid = -1;
    int ExitStatus = -1;  // of a process that ended by itself
};

// Waits up to `ms` for a socket to accept a connection.
bool WaitForSocket(const std::string& path, int ms);

}  // namespace kestrel::test
