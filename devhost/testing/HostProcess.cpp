#include "HostProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tvb::hostkit {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Spawns with stdin from /dev/null and the given pipe ends as stdout and stderr.
pid_t Spawn(const std::string& path, const std::vector<std::string>& args, int out, int err) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    if (err >= 0)
        posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

HostProcess::HostProcess(std::string hostPath, std::string socketPath,
                         std::vector<std::string> extraArgs)
    : mHostPath(std::move(hostPath)), mExtraArgs(std::move(extraArgs)) {
    char pattern[] = "/tmp/tvb-hosttest-XXXXXX";
    if (const char* dir = mkdtemp(pattern))
        mDirectory = dir;
    mSocketPath = socketPath.empty() ? mDirectory + "/devhost.sock" : std::move(socketPath);
}

HostProcess::~HostProcess() {
    if (mPid > 0)
        Stop(5000);
    if (mDrain.joinable())
        mDrain.join();
    if (mStderr >= 0)
        close(mStderr);
    if (!mDirectory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(mDirectory, ignored);
    }
}

bool HostProcess::Start(std::string* error, int timeoutMs) {
    int pipeFds[2];
    if (mDirectory.empty() || pipe2(pipeFds, O_CLOEXEC) != 0) {
        if (error)
            *error = "cannot make a temporary directory or pipe";
        return false;
    }
    std::vector<std::string> args = {"--socket", mSocketPath};
    args.insert(args.end(), mExtraArgs.begin(), mExtraArgs.end());
    mPid = Spawn(mHostPath, args, -1, pipeFds[1]);
    close(pipeFds[1]);
    mStderr = pipeFds[0];
    if (mPid <= 0) {
        if (error)
            *error = "cannot start " + mHostPath;
        return false;
    }
    // Read until the host announces itself, then leave the rest to the drain thread.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string seen;
    bool ready = false, ended = false;
    while (!ready && !ended) {
        pollfd p{mStderr, POLLIN, 0};
        const int n = poll(&p, 1, MsLeft(deadline));
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        char buffer[4096];
        const ssize_t got = read(mStderr, buffer, sizeof buffer);
        if (got <= 0) {
            ended = true;
            break;
        }
        seen.append(buffer, static_cast<size_t>(got));
        ready = seen.find("listening on") != std::string::npos;
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStderrText = seen;
    }
    mDrain = std::thread([this] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(mStderr, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return;
            {
                std::lock_guard<std::mutex> lock(mMutex);
                mStderrText.append(buffer, static_cast<size_t>(got));
            }
            mGrew.notify_all();
        }
    });
    if (!ready) {
        if (error)
            *error = "the host did not start listening: " + seen;
        Kill();
        return false;
    }
    return true;
}

int HostProcess::Reap(int timeoutMs) {
    // A pidfd turns "has it exited yet" into something poll can wait on.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, mPid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        while (poll(&p, 1, timeoutMs) < 0 && errno == EINTR) {
        }
        close(pidfd);
    }
    int status = 0;
    const pid_t done = waitpid(mPid, &status, WNOHANG);
    if (done > 0) {
        mPid = -1;
        return status;
    }
    if (done < 0 && errno == ECHILD)
        mPid = -1;
    return -1;
}

int HostProcess::Stop(int timeoutMs) {
    if (mPid <= 0)
        return -1;
    kill(mPid, SIGTERM);
    const int status = Reap(timeoutMs);
    if (mPid > 0) {
        Kill();
        return -1;
    }
    if (mDrain.joinable())
        mDrain.join();
    return status;
}

int HostProcess::Wait(int timeoutMs) {
    if (mPid <= 0)
        return -1;
    const int status = Reap(timeoutMs);
    if (mPid <= 0 && mDrain.joinable())
        mDrain.join();
    return status;
}

void HostProcess::Kill() {
    if (mPid <= 0)
        return;
    kill(mPid, SIGKILL);
    int status = 0;
    while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
    }
    mPid = -1;
    if (mDrain.joinable())
        mDrain.join();
}

std::string HostProcess::Stderr() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mStderrText;
}

bool HostProcess::WaitForStderr(const std::string& fragment, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mMutex);
    return mGrew.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return mStderrText.find(fragment) != std::string::npos; });
}

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         int timeoutMs) {
    ProgramResult result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    const pid_t pid = Spawn(path, args, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = pid > 0 ? 2 : 0;
    bool timedOut = false;
    while (open > 0) {
        const int n = poll(fds, 2, MsLeft(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            timedOut = true;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    if (pid <= 0)
        return result;
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = timedOut ? -1 : ExitCode(status);
    return result;
}

} // namespace tvb::hostkit
