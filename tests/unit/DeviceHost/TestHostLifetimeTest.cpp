// The harness's own promise: a test process that dies, however it dies, takes its device host
// with it. A host left behind keeps the test runner's output open, so ctest waits for the
// test's time-out instead of reporting the crash, and lives on with its socket.
#include "DeviceHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

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
        const std::string started =
            host.Start() ? std::to_string(host.Pid()) + " " + host.Directory() : "";
        ssize_t ignored = write(report[1], started.data(), started.size());
        (void)ignored;
        kill(getpid(), SIGKILL);
    }
    close(output[1]);
    close(report[1]);
    char text[4096] = "";
    const ssize_t got = read(report[0], text, sizeof text - 1);
    close(report[0]);
    waitpid(test, nullptr, 0);
    pid_t hostPid = 0;
    std::string folder;
    std::istringstream(std::string(text, got > 0 ? static_cast<size_t>(got) : 0)) >> hostPid >>
        folder;
    ASSERT_GT(hostPid, 0) << "the host did not start";

    // The runner's view: its pipe reaches end of file soon after the test died.
    pollfd end{output[0], POLLIN, 0};
    char byte;
    const bool closed = poll(&end, 1, 10000) == 1 && read(output[0], &byte, 1) == 0;
    close(output[0]);
    EXPECT_TRUE(closed) << "the orphaned host still holds the runner's output";
    if (!closed)
        kill(hostPid, SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

} // namespace
