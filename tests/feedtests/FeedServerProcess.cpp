#include "feedtests/FeedServerProcess.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tracking/feed/FeedSocket.h"

extern char** environ;

namespace kestrel::test {

FeedServerProcess::FeedServerProcess(std::string socket, std::vector<std::string> options,
                                     std::string logFile)
    : Socket(std::move(socket)), LogFile(std::move(logFile)), Options(std::move(options)) {}

FeedServerProcess::~FeedServerProcess() {
    if (Pid > 0) {
        Resume();
        Stop();
    }
}

bool WaitForSocket(const std::string& path, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::string error;
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = kestrel::feed::ConnectUnix(path, error);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool FeedServerProcess::Start() {
    std::vector<std::string> args = {KESTREL_FEED};
    if (!Socket.empty()) {
        args.push_back("--socket");
        args.push_back(Socket);
    }
    args.insert(args.end(), Options.begin(), Options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, LogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int rc = posix_spawn(&Pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        Pid = -1;
        return false;
    }
    std::string path = Socket.empty() ? kestrel::feed::FeedSocketPath("RSS") : Socket;
    // Only a hang is too long: a sanitized server on a loaded machine may take seconds.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    std::string error;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(Pid, &status, WNOHANG) == Pid) {  // gave up before listening
            Pid = -1;
            ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return false;
        }
        int fd = kestrel::feed::ConnectUnix(path, error);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int FeedServerProcess::Stop() {
    if (Pid <= 0) return ExitStatus;
    kill(Pid, SIGTERM);
    int status = 0;
    waitpid(Pid, &status, 0);
    Pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FeedServerProcess::Wait() {
    if (Pid <= 0) return ExitStatus;
    int status = 0;
    waitpid(Pid, &status, 0);
    Pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void FeedServerProcess::Kill() {
    if (Pid <= 0) return;
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    Pid = -1;
}

void FeedServerProcess::Pause() {
    if (Pid > 0) kill(Pid, SIGSTOP);
}

void FeedServerProcess::Resume() {
    if (Pid > 0) kill(Pid, SIGCONT);
}

std::string FeedServerProcess::Log() const {
    std::ifstream f(LogFile);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace kestrel::test
