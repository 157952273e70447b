// The harness's own promise: a test process that dies, however it dies, takes its device host
// (and any other child) with it. A host left behind keeps the test runner's output open, so
// ctest waits for the test's time-out instead of reporting the crash, and lives on. And what
// it kills when it cleans up is its own.
#include "DeviceHost.h"
#include "ScratchWorld.h"
#include "TestProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

// Forks a test that starts a child with `start` (given the runner's pipe, which is also the
// test's standard output) and is then killed; the pipe must reach end of file. `start` gives
// the child's pid and a folder to remove afterwards.
void ExpectTheChildDiesWithTheTest(const std::function<std::string(int runnerOutput)>& start) {
    int output[2], report[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    const pid_t test = fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        dup2(output[1], STDOUT_FILENO);
        const std::string started = start(output[1]);
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
    pid_t childPid = 0;
    std::string folder;
    std::istringstream(std::string(text, got > 0 ? static_cast<size_t>(got) : 0)) >> childPid >>
        folder;
    ASSERT_GT(childPid, 0) << "the child did not start";

    pollfd end{output[0], POLLIN, 0};
    char byte;
    const bool closed = poll(&end, 1, 10000) == 1 && read(output[0], &byte, 1) == 0;
    close(output[0]);
    EXPECT_TRUE(closed) << "the orphaned child still holds the runner's output";
    if (!closed)
        kill(childPid, SIGKILL);
    std::error_code ignored;
    if (!folder.empty())
        std::filesystem::remove_all(folder, ignored);
}

TEST(TestHostLifetime, AHostDiesWithTheTestThatStartedItAndFreesTheRunnersOutput) {
    ExpectTheChildDiesWithTheTest([](int) {
        // Never destroyed: the test dies first, as a crashing one would.
        auto* host = new tvbtest::DeviceHost;
        return host->Start() ? std::to_string(host->Pid()) + " " + host->Directory() : "";
    });
}

// Changing user clears what the kernel was asked to do when the parent dies.
TEST(TestHostLifetime, AChildStartedAsAnotherUserDiesWithTheTest) {
    if (getuid() != 0)
        GTEST_SKIP() << "only root starts a child as another user";
    ExpectTheChildDiesWithTheTest([](int runnerOutput) {
        auto* child = new tvbtest::Process({"/bin/sleep", "60"}, tvbtest::Environment{},
                                           tvbtest::Stdio{runnerOutput, -1}, uid_t{65534});
        return child->Running() ? std::to_string(child->Pid()) : "";
    });
}

// A scratch world's clean-up ends the sample application's copies its log names, and no other
// process: by then a copy's number may be another process's, maybe another test's host. A copy
// whose executable was removed or replaced meanwhile (a rebuild) is still a copy.
TEST(TestHostLifetime, AScratchWorldEndsTheSampleApplicationsCopiesAndNoOtherProcess) {
    tvbtest::Process copy, removed, other;
    {
        tvbtest::ScratchWorld world("lifetime");
        tvbtest::Environment env = world.Env();
        env["TVB_BACKUP_MODE"] = "stay";
        env["TVB_BACKUP_SECONDS"] = "0";
        const std::filesystem::path launch = world.Home() / "LaunchBackup";
        tvbtest::WriteFile(launch, "SER\r\nData\r\n");
        copy = tvbtest::Process(
            {std::string(tvbtest::SampleApplicationBundle()) + "/Contents/MacOS/SampleBackup",
             launch.string()},
            env);
        const std::filesystem::path bundle = world.Home() / "Copy.app";
        std::filesystem::copy(tvbtest::SampleApplicationBundle(), bundle,
                              std::filesystem::copy_options::recursive);
        removed = tvbtest::Process(
            {(bundle / "Contents/MacOS/SampleBackup").string(), launch.string()}, env);
        other = tvbtest::Process({"/bin/sleep", "30"}, env);
        ASSERT_GT(other.Pid(), 0);
        auto stayingUp = [&world] {
            const std::string log = world.BackupLog();
            const size_t first = log.find("staying up");
            return first != std::string::npos &&
                   log.find("staying up", first + 1) != std::string::npos;
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stayingUp() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(stayingUp()) << world.BackupLog();
        ASSERT_TRUE(std::filesystem::remove(bundle / "Contents/MacOS/SampleBackup"));
        std::ofstream(world.BackupLogFile(), std::ios::app)
            << "SampleBackup[" << other.Pid() << "]: started with " << launch.string() << "\n";
    }
    EXPECT_EQ(copy.Wait(std::chrono::seconds(10)), 128 + SIGKILL);
    EXPECT_EQ(removed.Wait(std::chrono::seconds(10)), 128 + SIGKILL);
    EXPECT_TRUE(other.Running()) << "a process the log named that is no copy was killed";
}

} // namespace
