// The harness's own promise: a test process that dies, however it dies, takes its device host
// (and any other child) with it. A host left behind keeps the test runner's output open, so ctest
// waits for the test's time-out instead of reporting the crash, and lives on with its socket.
#include "DeviceHost.h"
#include "TestProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

// Gone, or a zombie nobody has reaped yet (a container's first process may never reap it).
bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    return !(stat >> pidField >> name >> state) || state == "Z";
}

// A dying process closes its descriptors a moment before it has ended. A pidfd is readable
// once the process has ended, reaped or not.
bool EndsSoon(pid_t pid) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        return errno == ESRCH;
    pollfd ended{pidfd, POLLIN, 0};
    const bool readable = poll(&ended, 1, 10000) == 1;
    close(pidfd);
    return readable;
}

// What the dying test started: the child's pid, and a folder to remove afterwards.
struct Started {
    pid_t pid = -1;
    std::string folder;
};

// Forks a test that starts a child with `start`, its standard output the runner's pipe, and
// then dies by SIGKILL; the runner's pipe must reach end of file and the child end.
void ExpectTheChildDiesWithTheTest(const std::function<Started(int runnerOutput)>& start) {
    int output[2], report[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    const pid_t test = fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        dup2(output[1], STDOUT_FILENO);
        const Started started = start(output[1]);
        ssize_t ignored = write(report[1], &started.pid, sizeof started.pid);
        ignored = write(report[1], started.folder.data(), started.folder.size());
        (void)ignored;
        kill(getpid(), SIGKILL);
    }
    close(output[1]);
    close(report[1]);
    pid_t childPid = -1;
    const ssize_t got = read(report[0], &childPid, sizeof childPid);
    std::string folder;
    char chunk[256];
    for (ssize_t n; (n = read(report[0], chunk, sizeof chunk)) > 0;)
        folder.append(chunk, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(test, &status, 0), test);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof childPid));
    ASSERT_GT(childPid, 0) << "the child did not start";

    // The runner's view: its pipe reaches end of file soon after the test died.
    pollfd end{output[0], POLLIN, 0};
    char byte;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() < deadline) {
        if (poll(&end, 1, 100) > 0 && read(output[0], &byte, 1) == 0)
            closed = true;
    }
    close(output[0]);
    EXPECT_TRUE(closed) << "the orphaned child still holds the runner's output";
    EXPECT_TRUE(EndsSoon(childPid));
    if (!Ended(childPid))
        kill(childPid, SIGKILL);
    std::error_code ignored;
    if (!folder.empty())
        std::filesystem::remove_all(folder, ignored);
}

TEST(TestHostLifetime, AHostDiesWithTheTestThatStartedItAndFreesTheRunnersOutput) {
    ExpectTheChildDiesWithTheTest([](int) {
        // The host inherits the test's standard output. It is never destroyed: the test dies
        // before it could be, as a crashing one would.
        auto* host = new tvbtest::DeviceHost;
        const pid_t pid = host->Start() ? host->Pid() : -1;
        return Started{pid, host->Directory()};
    });
}

// A child started as another user dies with the test too, although changing user clears
// what the kernel was asked to do when the parent dies.
TEST(TestHostLifetime, AChildStartedAsAnotherUserDiesWithTheTest) {
    if (getuid() != 0)
        GTEST_SKIP() << "only root starts a child as another user";
    ExpectTheChildDiesWithTheTest([](int runnerOutput) {
        auto* child = new tvbtest::Process({"/bin/sleep", "60"}, tvbtest::Environment{},
                                           tvbtest::Stdio{runnerOutput, -1}, uid_t{65534});
        return Started{child->Running() ? child->Pid() : -1, {}};
    });
}

} // namespace
