#include "TestProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tvbtest {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Signals a shell may have left ignored for the test runner (nohup's SIGHUP, SIGINT and SIGQUIT
// of a background job) and that a program keeps ignoring across exec: a child meets them as
// one started from a terminal would.
constexpr int kSignalsToDefault[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE};

// Everything the child needs is built before it starts: a forked child may not allocate.
// The child dies with the thread that started it (PR_SET_PDEATHSIG): a test that crashes must
// not leave a device host or a poller behind, holding the test runner's output open until its
// time-out. posix_spawn cannot ask for that, so every child is forked; the exec's outcome comes
// back on a close-on-exec pipe.
pid_t Spawn(const std::vector<std::string>& argv, const Environment& env, Stdio stdio,
            std::optional<uid_t> runAs) {
    if (argv.empty())
        return -1;
    std::vector<std::string> envStrings;
    for (const auto& [key, value] : env)
        envStrings.push_back(key + "=" + value);
    std::vector<char*> cargs, cenv;
    for (const std::string& a : argv)
        cargs.push_back(const_cast<char*>(a.c_str()));
    cargs.push_back(nullptr);
    for (std::string& e : envStrings)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);

    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0)
        return -1;
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(status[0]);
        int error = 0;
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int signal : kSignalsToDefault)
            sigaction(signal, &defaults, nullptr);
        if (devNull >= 0)
            dup2(devNull, 0);
        if (stdio.out >= 0)
            dup2(stdio.out, 1);
        if (stdio.err >= 0)
            dup2(stdio.err, 2);
        // The death signal is asked for after the change of user, which clears it; the parent
        // may have died before it was.
        if (runAs && (setgid(*runAs) != 0 || setuid(*runAs) != 0))
            error = errno;
        else if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
            error = errno;
        else if (getppid() != parent)
            _exit(127);
        else
            execve(cargs[0], cargs.data(), cenv.data());
        error = error != 0 ? error : errno;
        ssize_t ignored = write(status[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(status[1]);
    if (devNull >= 0)
        close(devNull);
    int error = 0;
    ssize_t got = pid > 0 ? read(status[0], &error, sizeof error) : -1;
    while (got < 0 && errno == EINTR)
        got = read(status[0], &error, sizeof error);
    close(status[0]);
    if (pid > 0 && got != 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return -1;
    }
    return pid;
}

} // namespace

Environment InheritedEnvironment() {
    Environment env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        const size_t equals = entry.find('=');
        if (equals != std::string::npos)
            env.emplace(entry.substr(0, equals), entry.substr(equals + 1));
    }
    return env;
}

Process::Process(const std::vector<std::string>& argv, const Environment& env,
                 const fs::path& outputFile) {
    int fd = -1;
    if (!outputFile.empty())
        fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    mPid = Spawn(argv, env, Stdio{fd, fd}, std::nullopt);
    if (fd >= 0)
        close(fd);
}

Process::Process(const std::vector<std::string>& argv, const Environment& env, Stdio stdio,
                 std::optional<uid_t> runAs)
    : mPid(Spawn(argv, env, stdio, runAs)) {}

Process::~Process() {
    Kill();
}

int Process::Kill() {
    if (mPid > 0 && mStatus < 0) {
        kill(mPid, SIGKILL);
        int status = 0;
        while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
        }
        mStatus = DecodeStatus(status);
    }
    return mStatus;
}

Process::Process(Process&& other) noexcept : mPid(other.mPid), mStatus(other.mStatus) {
    other.mPid = -1;
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        Kill();
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
    if (waitpid(mPid, &status, WNOHANG) == mPid) {
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
    if (!Running())
        return mStatus;
    // A pidfd turns "has it ended yet" into something poll can wait on.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, mPid, 0));
    const auto deadline = Clock::now() + timeout;
    while (Running()) {
        const int left = MsLeft(deadline);
        if (left == 0)
            break;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, left);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 10)));
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return Running() ? -1 : mStatus;
}

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         int timeoutMs, const Environment& env) {
    ProgramResult result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    std::vector<std::string> argv = {path};
    argv.insert(argv.end(), args.begin(), args.end());
    Process child(argv, env, Stdio{out[1], err[1]});
    close(out[1]);
    close(err[1]);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = child.Pid() > 0 ? 2 : 0;
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
    if (child.Pid() <= 0)
        return result;
    if (timedOut) {
        child.Kill();
        return result;
    }
    // Both outputs closed: the program has ended or is about to.
    result.exitCode = child.Wait(std::chrono::milliseconds(std::max(MsLeft(deadline), 1000)));
    return result;
}

bool SignalIfRunning(pid_t pid, const std::string& program, int signal) {
    if (pid <= 0)
        return false;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        return false;
    std::error_code ec;
    std::string executable =
        fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).filename().string();
    // A copy whose executable was removed or replaced since (a rebuild) is still one.
    const std::string deleted = " (deleted)";
    if (executable.size() > deleted.size() &&
        executable.compare(executable.size() - deleted.size(), deleted.size(), deleted) == 0)
        executable.erase(executable.size() - deleted.size());
    // Still alive after the look, so /proc showed the pidfd's process and not a later one.
    pollfd ended{pidfd, POLLIN, 0};
    const bool sent = !ec && executable == program && poll(&ended, 1, 0) == 0 &&
                      syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
    close(pidfd);
    return sent;
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
