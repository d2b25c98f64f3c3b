// The single-instance guard and the signal road to a normal shutdown, with real processes.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/Interaction.h"
#include "support/TempDir.h"

namespace {

// Every wait for a probe's line or end only guards against a hang: far beyond the slowest run
// under a sanitizer on a loaded machine. A wait returns as soon as what it waits for is there.
constexpr int kHangGuardMs = 120'000;

// A probe process whose stdout we read line by line.
struct Probe {
    pid_t pid = -1;
    int out = -1;
    std::string buffered;

    explicit Probe(const std::string& dir) : Probe({KESTREL_INSTANCE_PROBE, "guard", dir}, 1) {}
    // Any program; `stream` is the output read back (1 stdout, 2 stderr).
    Probe(std::vector<std::string> args, int stream) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], stream);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
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
    // The next line, or "" after `ms` without one (or once the output has ended).
    std::string Line(int ms = kHangGuardMs) {
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
    // The next line that holds `part`, passing over the others (a platform's warnings); "" when
    // the output ends or the hang guard runs out first.
    std::string LineWith(const std::string& part) {
        for (std::string line = Line(); !line.empty(); line = Line())
            if (line.find(part) != std::string::npos) return line;
        return {};
    }
    // The exit status, or -1 when it did not end by itself in time.
    int Wait(int ms = kHangGuardMs) {
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
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/Kestrel2005.sock",
                      dir.Path().c_str());
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

// Whatever sits at the lock's name, only a running monitor that answers makes a start the
// second: an empty or garbage lock file or a link there is taken over, a folder is refused
// with the reason, and so is a running holder that does not answer.
TEST(SingleInstance, OnlyARunningMonitorThatAnswersHoldsTheGuard) {
    const auto plant = [](const std::string& dir, const std::string& bytes) {
        FILE* f = std::fopen((dir + "/Kestrel2005.lock").c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    };
    {
        kestrel::test::TempDir dir;
        plant(dir.Path(), "");
        Probe p(dir.Path());
        EXPECT_EQ(p.Line(), "first") << "empty lock file";
    }
    {
        kestrel::test::TempDir dir;
        plant(dir.Path(), "\x01\x02 not a lock\n\n\n");
        Probe p(dir.Path());
        EXPECT_EQ(p.Line(), "first") << "garbage lock file";
    }
    {
        kestrel::test::TempDir dir;
        ASSERT_EQ(symlink((dir.Path() + "/elsewhere").c_str(),
                          (dir.Path() + "/Kestrel2005.lock").c_str()),
                  0);
        Probe p(dir.Path());
        EXPECT_EQ(p.Line(), "first") << "dangling link";
    }
    {
        kestrel::test::TempDir dir;
        ASSERT_EQ(mkdir((dir.Path() + "/Kestrel2005.lock").c_str(), 0700), 0);
        Probe p(dir.Path());
        EXPECT_EQ(p.Line().rfind("error ", 0), 0u) << "a folder cannot be taken over";
        EXPECT_EQ(p.Wait(), 1);
    }
    {
        // A live process (this test) named as the holder, no socket to answer on.
        kestrel::test::TempDir dir;
        plant(dir.Path(), std::to_string(getpid()) + "\ntest_singleinstance\n\n");
        Probe p(dir.Path());
        std::string line = p.Line();
        EXPECT_NE(line.find("does not answer"), std::string::npos) << line;
        EXPECT_EQ(p.Wait(), 1);
    }
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

#ifdef KESTREL_EXE
// The real monitor twice, offscreen: the second start ends by itself with 0 and the first comes
// forward; a SIGTERM then ends the first through the normal shutdown, lists saved.
TEST(SingleInstance, SecondMonitorEndsAndTheFirstSavesItsListsOnSigterm) {
    kestrel::test::TempDir work, runtime;
    std::filesystem::copy(KESTREL_DEMO_DIR, work.Path(), std::filesystem::copy_options::recursive);
    chmod(runtime.Path().c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // Until start-up has offered today's lists a signal ends the run without saving them: the
    // second start and the signal come once the monitor has said that it watches.
    Probe first({KESTREL_EXE, "--workdir", work.Path()}, 2);
    ASSERT_NE(first.LineWith("kestrel: started"), "");

    Probe second({KESTREL_EXE, "--workdir", work.Path()}, 2);
    EXPECT_EQ(second.Wait(), 0) << "the second start did not end by itself";
    EXPECT_NE(first.LineWith("a second start brought the window to the front"), "");

    ASSERT_EQ(kill(first.pid, SIGTERM), 0);
    EXPECT_NE(first.LineWith("signal 15: saving the lists and ending"), "");
    EXPECT_EQ(first.Wait(), 0);
    CSystemClock clock;
    CDate d = clock.Today();
    char name[32];
    std::snprintf(name, sizeof name, "/log/%04d%02d%02d_Asc.txt", d.Year, d.Month, d.Day);
    EXPECT_TRUE(std::filesystem::exists(work.Path() + name)) << name;
    // The guard went with it: the next start is the first again.
    EXPECT_FALSE(std::filesystem::exists(runtime.Path() + "/kestrel/Kestrel2005.sock"));
}
#endif
