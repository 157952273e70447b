#include "EventLoop.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/epoll.h>
#include <sys/signalfd.h>

namespace tvb::host {

EventLoop::EventLoop() : mEpoll(epoll_create1(EPOLL_CLOEXEC)) {}

bool EventLoop::Watch(int fd, uint32_t events, FdCallback callback) {
    if (!mEpoll || fd < 0 || mTokenOfFd.count(fd))
        return false;
    const uint64_t token = mNextToken++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    if (epoll_ctl(mEpoll.Get(), EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    mWatchers.emplace(token, Watcher{fd, std::move(callback)});
    mTokenOfFd.emplace(fd, token);
    return true;
}

bool EventLoop::Modify(int fd, uint32_t events) {
    auto it = mTokenOfFd.find(fd);
    if (it == mTokenOfFd.end())
        return false;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = it->second;
    return epoll_ctl(mEpoll.Get(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventLoop::Unwatch(int fd) {
    auto it = mTokenOfFd.find(fd);
    if (it == mTokenOfFd.end())
        return;
    epoll_ctl(mEpoll.Get(), EPOLL_CTL_DEL, fd, nullptr);
    mWatchers.erase(it->second);
    mTokenOfFd.erase(it);
}

EventLoop::TimerId EventLoop::AddTimer(Clock::time_point when, TimerCallback callback) {
    const TimerId id = mNextTimer++;
    auto it = mTimers.emplace(when, Timer{id, std::move(callback)});
    mTimerById.emplace(id, it);
    return id;
}

void EventLoop::CancelTimer(TimerId id) {
    auto it = mTimerById.find(id);
    if (it == mTimerById.end())
        return;
    mTimers.erase(it->second);
    mTimerById.erase(it);
}

bool EventLoop::StopOnSignals(std::string* error) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        if (error)
            *error = std::string("sigprocmask: ") + std::strerror(errno);
        return false;
    }
    mSignals.Reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!mSignals) {
        if (error)
            *error = std::string("signalfd: ") + std::strerror(errno);
        return false;
    }
    const int fd = mSignals.Get();
    return Watch(fd, EPOLLIN, [this, fd](uint32_t) {
        signalfd_siginfo info;
        while (read(fd, &info, sizeof info) == sizeof info) {
            if (!mStopping)
                mStoppedBy = {static_cast<int>(info.ssi_signo), static_cast<pid_t>(info.ssi_pid),
                              info.ssi_code == SI_KERNEL};
            mStopping = true;
        }
    });
}

int EventLoop::NextTimeoutMs() const {
    if (mTimers.empty())
        return -1;
    auto left = mTimers.begin()->first - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    // Round up so a timer is never woken for early and spun on.
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    if (std::chrono::milliseconds(ms) < left)
        ++ms;
    return ms > 24 * 3600 * 1000 ? 24 * 3600 * 1000 : static_cast<int>(ms);
}

void EventLoop::FireDueTimers() {
    const auto now = Clock::now();
    while (!mTimers.empty() && mTimers.begin()->first <= now) {
        auto it = mTimers.begin();
        TimerCallback callback = std::move(it->second.callback);
        mTimerById.erase(it->second.id);
        mTimers.erase(it);
        callback();
    }
}

bool EventLoop::Run() {
    epoll_event events[64];
    while (!mStopping) {
        const int n = epoll_wait(mEpoll.Get(), events, 64, NextTimeoutMs());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (int i = 0; i < n && !mStopping; ++i) {
            // epoll_event is packed: copy the token out rather than bind a misaligned reference.
            const uint64_t token = events[i].data.u64;
            const uint32_t ready = events[i].events;
            auto it = mWatchers.find(token);
            if (it == mWatchers.end())
                continue; // unwatched earlier in this round
            FdCallback callback = it->second.callback;
            callback(ready);
        }
        if (!mStopping)
            FireDueTimers();
        if (mAfterRound)
            mAfterRound();
    }
    return true;
}

} // namespace tvb::host
