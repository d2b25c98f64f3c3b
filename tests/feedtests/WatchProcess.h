#pragma once
// kestrel-watch as a trader runs it, for the tests and the benchmarks: input from a pipe, event
// lines into a file or a pipe of the caller's, messages into a file; its own socket folder and
// no program on PATH it could start.
#include <string>
#include <vector>

#include <sys/types.h>

namespace kestrel::test {

class WatchProcess {
public:
    ~WatchProcess();
    // `out` empty: the event lines come through a pipe, read from OutFd().
    bool Start(const std::string& exe, const std::vector<std::string>& options,
               const std::string& runtimeDir, const std::string& out, const std::string& err);
    void Say(const std::string& line);
    void EndInput();
    void Signal(int signo);
    // Whether it has ended; its exit status then in Status.
    bool Ended();
    int OutFd() const { return Output; }
    int Status = -1;

private:
    pid_t Pid = -1;
    int Input = -1;
    int Output = -1;
};

}  // namespace kestrel::test
