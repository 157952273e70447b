// The device host's single-threaded event loop: epoll over watched descriptors, one-shot
// timers kept in deadline order, and SIGTERM/SIGINT/SIGHUP turned into a stop request via
// signalfd.
// Threading: everything runs on the thread that calls Run(); nothing here is thread-safe.
// Ownership: the loop owns its epoll and signal descriptors, never the watched ones; call-backs
// are copied in and may unwatch or cancel anything, themselves included.
#pragma once

#include <tvb/UniqueFd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>

#include <sys/types.h>

namespace tvb::host {

using Clock = std::chrono::steady_clock;

class EventLoop {
public:
    using FdCallback = std::function<void(uint32_t events)>;
    using TimerCallback = std::function<void()>;
    using TimerId = uint64_t;

    EventLoop();
    bool Ok() const { return static_cast<bool>(mEpoll); }

    bool Watch(int fd, uint32_t events, FdCallback callback);
    bool Modify(int fd, uint32_t events);
    void Unwatch(int fd);

    TimerId AddTimer(Clock::time_point when, TimerCallback callback);
    void CancelTimer(TimerId id);
    size_t PendingTimers() const { return mTimers.size(); }

    // Blocks SIGTERM, SIGINT and SIGHUP and stops the loop when one arrives. SIGHUP reloads
    // nothing: there is no configuration to read again, and quitting cleanly beats dying of it.
    bool StopOnSignals(std::string* error);
    // The quit signal that stopped the loop and the process that sent it; signal 0 while none
    // has come. Sender 0 is the kernel's (a hang-up, a terminal's interrupt key) or, not
    // `fromKernel`, a process outside the host's PID namespace, whose number it cannot see.
    struct StopSignal {
        int signal = 0;
        pid_t sender = 0;
        bool fromKernel = false;
    };
    const StopSignal& StoppedBy() const { return mStoppedBy; }
    void Stop() { mStopping = true; }
    // Runs until Stop(); false when epoll itself fails.
    bool Run();
    // Called once after every round of call-backs, for deferred clean-up.
    void SetAfterRound(std::function<void()> hook) { mAfterRound = std::move(hook); }

private:
    struct Watcher {
        int fd;
        FdCallback callback;
    };
    struct Timer {
        TimerId id;
        TimerCallback callback;
    };

    int NextTimeoutMs() const;
    void FireDueTimers();

    UniqueFd mEpoll;
    UniqueFd mSignals;
    bool mStopping = false;
    StopSignal mStoppedBy;
    uint64_t mNextToken = 1;
    std::unordered_map<uint64_t, Watcher>
        mWatchers; // by token, so a reused fd never gets a stale event
    std::unordered_map<int, uint64_t> mTokenOfFd;
    TimerId mNextTimer = 1;
    std::multimap<Clock::time_point, Timer> mTimers;
    std::unordered_map<TimerId, std::multimap<Clock::time_point, Timer>::iterator> mTimerById;
    std::function<void()> mAfterRound;
};

} // namespace tvb::host
