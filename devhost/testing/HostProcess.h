// Test and benchmark support: runs a real tvb-devhost on a private socket in a fresh temporary
// directory, and runs short-lived programs such as tvbctl with their output captured.
// Threading: a HostProcess is used from one thread; it runs one helper thread of its own that
// drains the host's stderr so the host never blocks on it.
// Ownership: a HostProcess owns the child and its directory; destruction stops the child
// (SIGTERM, then SIGKILL after a bounded wait) and removes the directory.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvb::hostkit {

class HostProcess {
public:
    // `socketPath` empty: <fresh temp dir>/devhost.sock. `extraArgs` go to the host as they are.
    explicit HostProcess(std::string hostPath, std::string socketPath = {},
                         std::vector<std::string> extraArgs = {});
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Spawns the host and waits (bounded) until it says it is listening.
    bool Start(std::string* error = nullptr, int timeoutMs = 10000);
    // SIGTERM and reap; the exit status as waitpid reports it, or -1 on time-out (then killed).
    int Stop(int timeoutMs = 10000);
    // Waits for the host to end by itself; its status, or -1 on time-out (it keeps running).
    int Wait(int timeoutMs);
    // SIGKILL and reap, as when the host crashes.
    void Kill();

    pid_t Pid() const { return mPid; }
    bool Running() const { return mPid > 0; }
    const std::string& SocketPath() const { return mSocketPath; }
    const std::string& Directory() const { return mDirectory; }
    std::string Stderr() const;
    // Waits (bounded) until the host's stderr holds `fragment`; the host writes it
    // asynchronously, so a test must not look just once.
    bool WaitForStderr(const std::string& fragment, int timeoutMs = 5000) const;

private:
    int Reap(int timeoutMs);

    std::string mHostPath;
    std::string mDirectory;
    std::string mSocketPath;
    std::vector<std::string> mExtraArgs;
    pid_t mPid = -1;
    int mStderr = -1;
    std::thread mDrain;
    mutable std::mutex mMutex;
    mutable std::condition_variable mGrew;
    std::string mStderrText;
};

struct ProgramResult {
    int exitCode = -1; // -1: killed by a signal or timed out
    std::string out, err;
};

// Runs `path` with `args`, feeding nothing and capturing both outputs; killed after timeoutMs.
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         int timeoutMs = 10000);

} // namespace tvb::hostkit
