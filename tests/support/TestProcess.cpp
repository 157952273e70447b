#include "TestProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace tvbtest {

namespace {

std::vector<char*> CStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> EnvStrings(const std::map<std::string, std::string>& env) {
    std::vector<std::string> out;
    for (const auto& [key, value] : env)
        out.push_back(key + "=" + value);
    return out;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            int stdoutFd, int stderrFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    if (stderrFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
    std::vector<std::string> args = argv;
    std::vector<std::string> envStrings = EnvStrings(env);
    auto cargs = CStrings(args);
    auto cenv = CStrings(envStrings);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, cargs[0], &actions, nullptr, cargs.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

} // namespace

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, const fs::path& outputFile) {
    int fd = -1;
    if (!outputFile.empty())
        fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    mPid = Spawn(argv, env, fd, fd);
    if (fd >= 0)
        close(fd);
}

Process::~Process() {
    KillAndReap();
}

void Process::KillAndReap() {
    if (mPid > 0 && mStatus < 0) {
        kill(mPid, SIGKILL);
        Wait(std::chrono::seconds(10));
    }
}

Process::Process(Process&& other) noexcept : mPid(other.mPid), mStatus(other.mStatus) {
    other.mPid = -1;
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        KillAndReap();
        mPid = other.mPid;
        mStatus = other.mStatus;
        other.mPid = -1;
    }
    return *this;
}

bool Process::Running() {
    if (mPid <= 0 || mStatus >= 0)
        return false;
    int status = 0;
    pid_t rc = waitpid(mPid, &status, WNOHANG);
    if (rc == mPid) {
        mStatus = DecodeStatus(status);
        return false;
    }
    return true;
}

void Process::Signal(int signal) const {
    if (mPid > 0 && mStatus < 0)
        kill(mPid, signal);
}

int Process::Wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return mStatus;
}

CommandResult Run(const std::vector<std::string>& argv,
                  const std::map<std::string, std::string>& env,
                  std::chrono::milliseconds timeout) {
    CommandResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return result;
    pid_t pid = Spawn(argv, env, fds[1], -1);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return result;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd pfd = {fds[0], POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = DecodeStatus(status);
    return result;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

} // namespace tvbtest
