// A real tvb-devhost on a private socket in a fresh scratch folder, for unit tests, scenarios
// and benchmarks, driven with tvbctl (Ctl). It can be stopped, killed and started again on the
// same socket.
// Ownership: a DeviceHost owns its child and its folder; destruction stops the child (SIGTERM,
// then SIGKILL after a bounded wait) and removes the folder.
// Threading: used from one thread; it runs one helper thread of its own that drains the host's
// standard error, so the host never blocks on it and tests can wait for what it says.
#pragma once

#include "TestProcess.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvbtest {

class DeviceHost {
public:
    // socketPath empty: <scratch folder>/devhost.sock. extraArgs go to the host as they are;
    // env is the host's whole environment.
    explicit DeviceHost(std::string socketPath = {}, std::vector<std::string> extraArgs = {},
                        Environment env = InheritedEnvironment());
    ~DeviceHost();
    DeviceHost(const DeviceHost&) = delete;
    DeviceHost& operator=(const DeviceHost&) = delete;

    // Starts the host and waits (bounded) until it says it is listening.
    bool Start(std::string* error = nullptr, int timeoutMs = 10000);
    // Starts the host without waiting for it, as a session starting several programs would.
    bool Launch();
    // SIGTERM and reap; the exit status (128 + signal), or -1 on time-out (then killed).
    int Stop(int timeoutMs = 10000);
    // Waits for the host to end by itself; its status, or -1 on time-out (it keeps running).
    int Wait(int timeoutMs);
    // Sends a signal; Wait reaps the host if the signal ends it.
    void Signal(int signal);
    // SIGKILL and reap, as when the host crashes (it leaves its socket file behind).
    void Kill();

    pid_t Pid() const { return mProcess.Pid(); }
    bool Running() { return mProcess.Running(); }
    const std::string& SocketPath() const { return mSocketPath; }
    const std::string& Directory() const { return mDirectory; }
    // All the host has said on standard error since it was first started.
    std::string Stderr() const;
    // Waits (bounded) until the host's stderr holds `fragment`; the host writes it
    // asynchronously, so a test must not look just once.
    bool WaitForStderr(const std::string& fragment, int timeoutMs = 5000) const;

    // tvbctl --socket SOCKET args..., with the host's environment.
    ProgramResult Ctl(const std::vector<std::string>& args, int timeoutMs = 10000) const;

private:
    void JoinDrain();

    std::string mDirectory;
    std::string mSocketPath;
    std::vector<std::string> mExtraArgs;
    Environment mEnv;
    Process mProcess;
    std::thread mDrain;
    mutable std::mutex mMutex;
    mutable std::condition_variable mGrew;
    std::string mStderrText;
    bool mDrained = true; // the current run's stderr has reached its end
};

// The paths of the programs under test, as this build made them.
const char* DeviceHostPath();
const char* CtlPath();

} // namespace tvbtest
