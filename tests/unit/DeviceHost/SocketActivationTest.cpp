// The host under systemd: what it refuses to be handed (through the real
// systemd-socket-activate), readiness and stopping told on $NOTIFY_SOCKET, and SIGHUP. Serving on
// a handed socket is a scenario (SocketActivationScenarios.cpp).
#include "LiveHost.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvb;
using namespace tvb::hosttest;

namespace {

namespace fs = std::filesystem;

// systemd-socket-activate listening on a fresh socket with the host to start on demand. The
// activator passes on only what -E names, so the sanitizers' settings are handed on that way.
class Activation : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(TVB_SOCKET_ACTIVATE).empty())
            GTEST_SKIP() << "systemd-socket-activate was not found at configure time";
        char pattern[] = "/tmp/tvb-activation-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mDir = pattern;
        mSocket = mDir + "/devhost.sock";
    }

    void TearDown() override {
        mActivator = tvbtest::Process();
        if (mStderr >= 0)
            close(mStderr);
        std::error_code ignored;
        if (!mDir.empty())
            fs::remove_all(mDir, ignored);
    }

    // Starts the activator; true once it listens (the host starts on the first connection).
    bool Start(std::vector<std::string> activatorOptions, std::vector<std::string> hostArgs = {}) {
        std::vector<std::string> args = {TVB_SOCKET_ACTIVATE, "--listen=" + mSocket};
        args.insert(args.end(), activatorOptions.begin(), activatorOptions.end());
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* value = getenv(name))
                args.push_back(std::string("--setenv=") + name + "=" + value);
        args.push_back(TVB_DEVHOST_PATH);
        args.insert(args.end(), hostArgs.begin(), hostArgs.end());
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            return false;
        mActivator =
            tvbtest::Process(args, tvbtest::InheritedEnvironment(), tvbtest::Stdio{-1, pipeFds[1]});
        close(pipeFds[1]);
        mStderr = pipeFds[0];
        if (mActivator.Pid() <= 0)
            return false;
        return ReadStderrUntil("Listening on");
    }

    // Reads the activator's (later the host's) stderr until `fragment` shows, or the reaper.
    bool ReadStderrUntil(const std::string& fragment) {
        while (mErr.find(fragment) == std::string::npos) {
            pollfd p{mStderr, POLLIN, 0};
            if (poll(&p, 1, kAnswerMs) <= 0)
                return false;
            char buffer[4096];
            const ssize_t got = read(mStderr, buffer, sizeof buffer);
            if (got <= 0)
                return false;
            mErr.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

    // The exit status once it ends by itself; -1 when it does not within the reaper's time.
    int WaitForExit() {
        ReadStderrUntil("\x01"); // all of it: the pipe closes when the process ends
        return mActivator.Wait(std::chrono::milliseconds(kAnswerMs));
    }

    tvbtest::ProgramResult Ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--socket", mSocket});
        return tvbtest::RunProgram(TVB_CTL_PATH, args, kAnswerMs);
    }

    std::string mDir, mSocket, mErr;
    tvbtest::Process mActivator;
    int mStderr = -1;
};

// Forks the host on `socket` with its standard error written to the file `said`.
pid_t ForkHost(const char* program, const std::string& socket, const std::string& said) {
    const int err = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t host = fork();
    if (host == 0) {
        dup2(err, STDERR_FILENO);
        execl(program, program, "--socket", socket.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return host;
}

} // namespace

TEST_F(Activation, HandedSocketThatIsNotAStreamListenerIsRefused) {
    ASSERT_TRUE(Start({"--datagram"})) << mErr;
    // A datagram wakes the activator, which then starts the host with the datagram socket.
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", mSocket.c_str());
    ASSERT_EQ(sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address), 1);
    close(fd);
    EXPECT_EQ(WaitForExit(), 1);
    EXPECT_NE(mErr.find("tvb-devhost: the socket handed over (descriptor 3) is not a listening "
                        "Unix stream socket"),
              std::string::npos)
        << mErr;
}

TEST_F(Activation, HandedSocketElsewhereThanTheNamedOneIsRefused) {
    ASSERT_TRUE(Start({}, {"--socket", mDir + "/other.sock"})) << mErr;
    EXPECT_NE(Ctl({"ping"}).exitCode, 0);
    EXPECT_EQ(WaitForExit(), 1);
    EXPECT_NE(mErr.find("listens on " + mSocket + ", not on " + mDir + "/other.sock"),
              std::string::npos)
        << mErr;
    EXPECT_FALSE(fs::exists(mDir + "/other.sock"));
}

// A stand-in for systemd's notification socket, named by $NOTIFY_SOCKET while it lives.
class NotifySocket {
public:
    NotifySocket() {
        char pattern[] = "/tmp/tvb-notify-XXXXXX";
        mDir = mkdtemp(pattern);
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s/notify", mDir.c_str());
        EXPECT_EQ(bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        setenv("NOTIFY_SOCKET", address.sun_path, 1);
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        close(mFd);
        std::error_code ignored;
        fs::remove_all(mDir, ignored);
    }
    // The next message, or "" after the reaper's time.
    std::string Next() {
        pollfd p{mFd, POLLIN, 0};
        if (poll(&p, 1, kAnswerMs) <= 0)
            return "";
        char buffer[4096];
        const ssize_t got = recv(mFd, buffer, sizeof buffer, 0);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
    }

private:
    std::string mDir;
    int mFd = -1;
};

TEST(HostNotify, ReadyOnceListeningAndStoppingAtTheEnd) {
    NotifySocket notify;
    tvbtest::DeviceHost host;
    ASSERT_TRUE(host.Start());
    EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=listening on " + host.SocketPath());
    // Ready means served: a client gets its answer straight away.
    wire::Connection c;
    ASSERT_TRUE(c.Connect(host.SocketPath()));
    EXPECT_EQ(StatusOf(c, wire::HelloRequest{}), wire::kStatusSuccess);
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(notify.Next(), "STOPPING=1");
}

TEST(HostSignals, SighupEndsTheHostCleanlyAndRemovesItsOwnSocket) {
    tvbtest::DeviceHost host;
    ASSERT_TRUE(host.Start());
    ASSERT_EQ(kill(host.Pid(), SIGHUP), 0);
    const int status = host.Wait(kAnswerMs);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(host.SocketPath()));
}

// A stopped host whose process group loses its last tie to the session (a job's shell gone) is
// hung up and continued by the kernel: it ends cleanly as on any SIGHUP, and says no process
// sent it, so a host found gone is not blamed on a stray kill.
TEST(HostSignals, HangUpFromTheKernelToAStoppedOrphanedGroupIsToldAsSuch) {
    char pattern[] = "/tmp/tvb-orphan-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern, socket = dir + "/devhost.sock", said = dir + "/stderr";
    const char* program = tvbtest::DeviceHostPath();
    int pids[2];
    ASSERT_EQ(pipe2(pids, O_CLOEXEC), 0);
    const pid_t leader = fork();
    ASSERT_GE(leader, 0);
    if (leader == 0) {
        // The group's one tie to the session is this process, whose parent is elsewhere.
        setpgid(0, 0);
        const pid_t host = ForkHost(program, socket, said);
        if (host < 0) // the kill below would stop every process of the user
            _exit(1);
        ssize_t written = write(pids[1], &host, sizeof host);
        (void)written;
        for (int i = 0; i < 1000 && access(socket.c_str(), F_OK) != 0; ++i)
            usleep(10000);
        kill(host, SIGSTOP);
        int status = 0;
        waitpid(host, &status, WUNTRACED);
        _exit(WIFSTOPPED(status) ? 0 : 1);
    }
    close(pids[1]);
    pid_t host = 0;
    ASSERT_EQ(read(pids[0], &host, sizeof host), static_cast<ssize_t>(sizeof host));
    close(pids[0]);
    int status = -1;
    ASSERT_EQ(waitpid(leader, &status, 0), leader);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the host never stopped";
    // The host is nobody's child here now: its pidfd tells when it has ended.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, host, 0));
    pollfd wait{ended, POLLIN, 0};
    const bool gone = ended < 0 || poll(&wait, 1, kAnswerMs) == 1;
    if (!gone)
        syscall(SYS_pidfd_send_signal, ended, SIGKILL, nullptr, 0);
    if (ended >= 0)
        close(ended);
    EXPECT_TRUE(gone) << "the stopped host was not hung up";
    EXPECT_NE(tvbtest::ReadFile(said).find("tvb-devhost: stopping on SIGHUP from the kernel\n"),
              std::string::npos)
        << tvbtest::ReadFile(said);
    EXPECT_FALSE(fs::exists(socket));
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

// A process outside the host's PID namespace (a container's manager stopping it) is shown as pid 0
// as the kernel is, yet it is a process that sent the signal: the host must not blame the kernel.
TEST(HostSignals, AStopFromOutsideTheHostsPidNamespaceIsNotToldAsTheKernels) {
    char pattern[] = "/tmp/tvb-outside-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern, socket = dir + "/devhost.sock", said = dir + "/stderr";
    const char* program = tvbtest::DeviceHostPath();
    const std::string uidMap = std::to_string(getuid()) + " " + std::to_string(getuid()) + " 1";
    const std::string gidMap = std::to_string(getgid()) + " " + std::to_string(getgid()) + " 1";
    int pids[2];
    ASSERT_EQ(pipe2(pids, O_CLOEXEC), 0);
    const pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        // Its first child is the new namespace's first process; fork still names it as we see it.
        auto put = [](const char* path, const std::string& text) {
            const int file = open(path, O_WRONLY | O_CLOEXEC);
            const bool done =
                file >= 0 && ::write(file, text.data(), text.size()) == ssize_t(text.size());
            if (file >= 0)
                close(file);
            return done;
        };
        if (unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0 || !put("/proc/self/uid_map", uidMap) ||
            !put("/proc/self/setgroups", "deny") || !put("/proc/self/gid_map", gidMap))
            _exit(0); // no namespace of our own here: nothing is sent on the pipe
        const pid_t host = ForkHost(program, socket, said);
        if (host < 0)
            _exit(1);
        ssize_t written = ::write(pids[1], &host, sizeof host);
        (void)written;
        int status = -1;
        waitpid(host, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100);
    }
    close(pids[1]);
    pid_t host = 0;
    const ssize_t got = read(pids[0], &host, sizeof host);
    close(pids[0]);
    int status = -1;
    if (got != static_cast<ssize_t>(sizeof host)) {
        waitpid(parent, &status, 0);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the host was not started";
        GTEST_SKIP() << "no user and PID namespace can be made here";
    }
    for (int i = 0; i < 1000 && access(socket.c_str(), F_OK) != 0; ++i)
        usleep(10000);
    EXPECT_EQ(access(socket.c_str(), F_OK), 0) << tvbtest::ReadFile(said);
    ASSERT_EQ(kill(host, SIGTERM), 0);
    ASSERT_EQ(waitpid(parent, &status, 0), parent);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << tvbtest::ReadFile(said);
    const std::string text = tvbtest::ReadFile(said);
    EXPECT_NE(text.find("tvb-devhost: stopping on SIGTERM from a process outside the host's PID "
                        "namespace\n"),
              std::string::npos)
        << text;
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
