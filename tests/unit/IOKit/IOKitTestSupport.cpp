#include "IOKitTestSupport.h"

#include "IOKitObjects_Internal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace iokittest {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Spawns argv with standard output (and error, if asked) on pipes.
pid_t Spawn(const std::vector<std::string>& argv, int* out, int* err) {
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    if ((out != nullptr && pipe2(outPipe, O_CLOEXEC) != 0) ||
        (err != nullptr && pipe2(errPipe, O_CLOEXEC) != 0))
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out != nullptr)
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    if (err != nullptr)
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (out != nullptr) {
        close(outPipe[1]);
        *out = outPipe[0];
    }
    if (err != nullptr) {
        close(errPipe[1]);
        *err = errPipe[0];
    }
    return pid;
}

} // namespace

DeviceHost::DeviceHost() {
    char pattern[] = "/tmp/tvb-iokit-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr)
        mDirectory = pattern;
    mSocket = mDirectory + "/devhost.sock";
}

DeviceHost::~DeviceHost() {
    Stop(SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(mDirectory, ignored);
}

bool DeviceHost::Start() {
    if (mPid > 0 || mDirectory.empty())
        return false;
    // A killed host leaves its socket file behind.
    unlink(mSocket.c_str());
    mPid = Spawn({TVB_DEVHOST_PATH, "--socket", mSocket}, nullptr, &mStderr);
    if (mPid <= 0)
        return false;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string text;
    while (text.find("listening") == std::string::npos) {
        pollfd p{mStderr, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0)
            return false;
        char buffer[512];
        ssize_t got = read(mStderr, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        text.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

void DeviceHost::Stop(int signal) {
    if (mPid > 0) {
        kill(mPid, signal);
        int status = 0;
        waitpid(mPid, &status, 0);
        mPid = -1;
    }
    if (mStderr >= 0) {
        close(mStderr);
        mStderr = -1;
    }
}

CtlResult DeviceHost::Ctl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {TVB_CTL_PATH, "--socket", mSocket};
    argv.insert(argv.end(), args.begin(), args.end());
    CtlResult result;
    int out = -1;
    pid_t pid = Spawn(argv, &out, nullptr);
    if (pid <= 0)
        return result;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        pollfd p{out, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0)
            break;
        char buffer[4096];
        ssize_t got = read(out, buffer, sizeof buffer);
        if (got <= 0)
            break;
        result.output.append(buffer, static_cast<size_t>(got));
    }
    close(out);
    if (RemainingMs(deadline) == 0)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

bool RunLoopUntil(const std::function<bool()>& done, double seconds) {
    bool reaped = false;
    CFRunLoopTimerContext context = {0, &reaped, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef reaper = CFRunLoopTimerCreate(
        nullptr, CFAbsoluteTimeGetCurrent() + seconds, 0, 0, 0,
        [](CFRunLoopTimerRef, void* info) {
            *static_cast<bool*>(info) = true;
            CFRunLoopStop(CFRunLoopGetCurrent());
        },
        &context);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), reaper, kCFRunLoopCommonModes);
    while (!done() && !reaped)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, seconds, true);
    CFRunLoopTimerInvalidate(reaper);
    CFRelease(reaper);
    return done();
}

std::vector<io_service_t> AllServices(const char* className) {
    io_iterator_t iterator = 0;
    std::vector<io_service_t> services;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(className),
                                     &iterator) != KERN_SUCCESS)
        return services;
    for (io_service_t s = IOIteratorNext(iterator); s != 0; s = IOIteratorNext(iterator))
        services.push_back(s);
    IOObjectRelease(iterator);
    return services;
}

io_service_t FirstService(const char* className) {
    return IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(className));
}

std::string ClassOf(io_object_t object) {
    io_name_t name;
    return IOObjectGetClass(object, name) == KERN_SUCCESS ? std::string(name) : std::string();
}

std::vector<io_object_t> Drain(io_iterator_t iterator) {
    std::vector<io_object_t> seen;
    for (io_object_t o = IOIteratorNext(iterator); o != 0; o = IOIteratorNext(iterator)) {
        seen.push_back(o);
        IOObjectRelease(o);
    }
    return seen;
}

void IOKitTest::SetUp() {
    ASSERT_FALSE(host.Directory().empty());
    setenv("TVB_DEVHOST_SOCKET", host.SocketPath().c_str(), 1);
    ASSERT_TRUE(host.Start());
    mLiveHandles = iokit::HandleTable::Shared().LiveCount();
}

void IOKitTest::TearDown() {
    EXPECT_EQ(iokit::HandleTable::Shared().LiveCount(), mLiveHandles) << "handles leaked";
}

std::string IOKitTest::Attach(const std::string& serial, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"attach", serial};
    args.insert(args.end(), options.begin(), options.end());
    CtlResult result = host.Ctl(args);
    EXPECT_EQ(result.status, 0) << "tvbctl attach " << serial;
    std::string bsd = result.output;
    while (!bsd.empty() && (bsd.back() == '\n' || bsd.back() == ' '))
        bsd.pop_back();
    return bsd;
}

void IOKitTest::Ctl(const std::vector<std::string>& args) {
    CtlResult result = host.Ctl(args);
    EXPECT_EQ(result.status, 0) << "tvbctl " << (args.empty() ? "" : args[0]);
}

std::string IOKitTest::CtlOutput(const std::vector<std::string>& args) {
    CtlResult result = host.Ctl(args);
    EXPECT_EQ(result.status, 0) << "tvbctl " << (args.empty() ? "" : args[0]);
    return result.output;
}

} // namespace iokittest
