// The one way tests and benchmarks start programs: without a shell, with standard input from
// /dev/null, every wait bounded, every child reaped.
// Ownership: a Process owns its child; destroying or reassigning it kills (SIGKILL) and reaps
// the child, and the child is killed too when the thread that started it ends (a test that
// crashes leaves nothing running). Pipe ends handed in through Stdio stay the caller's.
// Threading: a Process is used from the thread that started it; RunProgram may run on any
// thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tvbtest {

namespace fs = std::filesystem;

using Environment = std::map<std::string, std::string>;

// This process's own environment, for children that should see what the test sees.
Environment InheritedEnvironment();

// Descriptors the child gets as standard output and error; -1 leaves the stream inherited.
struct Stdio {
    int out = -1;
    int err = -1;
};

class Process {
public:
    Process() = default;
    // argv[0] is the program's path. Standard output and error are appended to outputFile
    // (inherited when it is empty). runAs: a uid (and gid) to switch to first, root only.
    Process(const std::vector<std::string>& argv, const Environment& env,
            const fs::path& outputFile = {});
    Process(const std::vector<std::string>& argv, const Environment& env, Stdio stdio,
            std::optional<uid_t> runAs = std::nullopt);
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // -1 when the program could not be started (exec failed).
    pid_t Pid() const { return mPid; }
    bool Running();
    void Signal(int signal) const;
    // The exit status (128 + signal for a signal); -1 when it did not end within timeout.
    int Wait(std::chrono::milliseconds timeout);
    // SIGKILL and reap now; the status as Wait gives it.
    int Kill();

private:
    pid_t mPid = -1;
    int mStatus = -1;
};

struct ProgramResult {
    int exitCode = -1; // 128 + signal when killed by one; -1 when it timed out or did not start
    std::string out, err;
};

// Runs `path` with `args` to its end and captures both outputs; killed after timeoutMs.
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         int timeoutMs = 10000, const Environment& env = InheritedEnvironment());

// Sends `signal` to `pid` only while that process runs an executable named `program`, even one
// removed since (a copy of an application may run from any bundle, and a rebuild replaces it): a
// number read from a log may belong to another process by then. The look and the signal go
// through one pidfd, so no process that took the number meanwhile gets the signal. True when it
// was sent.
bool SignalIfRunning(pid_t pid, const std::string& program, int signal);

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& bytes);

} // namespace tvbtest
