// The single-instance guard and the signal road to a normal shutdown, with real processes.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TempDir.h"

namespace {

// A probe process whose stdout we read line by line.
struct Probe {
    pid_t pid = -1;
    int out = -1;
    std::string buffered;

    explicit Probe(const std::string& dir) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            execl(KESTREL_INSTANCE_PROBE, KESTREL_INSTANCE_PROBE, "guard", dir.c_str(), nullptr);
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
    }
    ~Probe() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }
    // The next line, or "" after `ms` without one.
    std::string Line(int ms = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            auto nl = buffered.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[256];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) return {};
            buffered.append(buf, static_cast<size_t>(n));
        }
    }
    // The exit status, or -1 when it did not end by itself in time.
    int Wait(int ms = 5000) {
        for (int waited = 0; waited < ms; waited += 10) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
};

}  // namespace

TEST(SingleInstance, LaterStartsBringTheFirstForwardAndEndAtOnce) {
    kestrel::test::TempDir dir;
    Probe first(dir.Path());
    ASSERT_EQ(first.Line(), "first");

    // Something else on the socket that is not a later start wakes nothing.
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/Kestrel2005.sock", dir.Path().c_str());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        std::string junk(4096, 'x');
        [[maybe_unused]] ssize_t n = write(fd, junk.data(), junk.size());
        close(fd);
    }

    for (int i = 1; i <= 2; ++i) {
        Probe second(dir.Path());
        EXPECT_EQ(second.Line(), "second");
        EXPECT_EQ(second.Wait(), 0);
        EXPECT_EQ(first.Line(), "activated " + std::to_string(i));
    }
    EXPECT_EQ(first.Line(), "ended");
    EXPECT_EQ(first.Wait(), 0);

    // Once the first has ended, the next start is the first again.
    Probe again(dir.Path());
    EXPECT_EQ(again.Line(), "first");
}

TEST(SingleInstance, AKilledInstanceLeavesNoGuardBehind) {
    kestrel::test::TempDir dir;
    {
        Probe first(dir.Path());
        ASSERT_EQ(first.Line(), "first");
    }  // SIGKILL: lock file and socket stay on disk
    Probe next(dir.Path());
    EXPECT_EQ(next.Line(), "first");
    Probe later(dir.Path());
    EXPECT_EQ(later.Line(), "second");
    EXPECT_EQ(next.Line(), "activated 1");
}

TEST(SingleInstance, TermAndIntEndTheEventLoopNormally) {
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        kestrel::test::TempDir dir;
        Probe first(dir.Path());
        ASSERT_EQ(first.Line(), "first");
        ASSERT_EQ(kill(first.pid, signo), 0);
        EXPECT_EQ(first.Line(), "signal " + std::to_string(signo));
        EXPECT_EQ(first.Line(), "ended");
        EXPECT_EQ(first.Wait(), 0);
    }
}
