#include "feedtests/WatchProcess.h"

#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrel::test {

WatchProcess::~WatchProcess() {
    if (Pid > 0) {
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
    }
    if (Input >= 0) close(Input);
    if (Output >= 0) close(Output);
}

bool WatchProcess::Start(const std::string& exe, const std::vector<std::string>& options,
                         const std::string& runtimeDir, const std::string& out,
                         const std::string& err) {
    std::vector<std::string> args = {exe};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtimeDir,
                                    "PATH=/nonexistent-kestrel-path"};
    for (char** e = environ; *e; ++e) {
        std::string s = *e;
        if (s.rfind("XDG_RUNTIME_DIR=", 0) != 0 && s.rfind("PATH=", 0) != 0) env.push_back(s);
    }
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    int in[2], fromOut[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (out.empty() && pipe2(fromOut, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    if (out.empty())
        posix_spawn_file_actions_adddup2(&fa, fromOut[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int rc = posix_spawn(&Pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    Input = in[1];
    if (fromOut[1] >= 0) close(fromOut[1]);
    Output = fromOut[0];
    if (rc != 0) Pid = -1;
    return rc == 0;
}

void WatchProcess::Say(const std::string& line) {
    const std::string l = line + "\n";
    [[maybe_unused]] ssize_t n = write(Input, l.data(), l.size());
}

void WatchProcess::EndInput() {
    if (Input >= 0) close(Input);
    Input = -1;
}

void WatchProcess::Signal(int signo) {
    if (Pid > 0) kill(Pid, signo);
}

bool WatchProcess::Ended() {
    if (Pid <= 0) return true;
    int status = 0;
    if (waitpid(Pid, &status, WNOHANG) != Pid) return false;
    Pid = -1;
    Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

}  // namespace kestrel::test
