// The harness's own promise: a test process that dies, however it dies, takes its device host
// with it. A host left behind keeps the test runner's output open, so ctest waits for the
// test's time-out instead of reporting the crash, and lives on with its socket.
#include "DeviceHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
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

// A dying process closes its descriptors a moment before it has ended.
bool EndsSoon(pid_t pid) {
    for (int tries = 0; tries < 200; ++tries) {
        if (Ended(pid))
            return true;
        usleep(10000);
    }
    return false;
}

TEST(TestHostLifetime, AHostDiesWithTheTestThatStartedItAndFreesTheRunnersOutput) {
    int output[2], report[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    const pid_t test = fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        // The crashing test: its standard output is the runner's pipe, which the host inherits.
        dup2(output[1], STDOUT_FILENO);
        tvbtest::DeviceHost host;
        const pid_t hostPid = host.Start() ? host.Pid() : -1;
        const std::string folder = host.Directory();
        ssize_t ignored = write(report[1], &hostPid, sizeof hostPid);
        ignored = write(report[1], folder.data(), folder.size());
        (void)ignored;
        kill(getpid(), SIGKILL);
    }
    close(output[1]);
    close(report[1]);
    pid_t hostPid = -1;
    const ssize_t got = read(report[0], &hostPid, sizeof hostPid);
    std::string folder;
    char chunk[256];
    for (ssize_t n; (n = read(report[0], chunk, sizeof chunk)) > 0;)
        folder.append(chunk, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(test, &status, 0), test);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof hostPid));
    ASSERT_GT(hostPid, 0) << "the host did not start";

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
    EXPECT_TRUE(closed) << "the orphaned host still holds the runner's output";
    EXPECT_TRUE(EndsSoon(hostPid));
    if (!Ended(hostPid))
        kill(hostPid, SIGKILL);
    std::error_code ignored;
    if (!folder.empty())
        std::filesystem::remove_all(folder, ignored);
}

} // namespace
