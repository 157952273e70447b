// The run loop's sleep on Linux: one epoll set holding an eventfd for wake-ups, a timerfd
// for the next deadline, and the descriptors of the mode being run.
#include "CFRunLoop_Internal.h"

#include <tvb/UniqueFd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// Longest single sleep; a later deadline just means one more pass.
constexpr double kMaxSleep = 1e6;

uint32_t EpollEvents(CFOptionFlags interest) {
    uint32_t events = 0;
    if (interest & kCFFileDescriptorReadCallBack)
        events |= EPOLLIN;
    if (interest & kCFFileDescriptorWriteCallBack)
        events |= EPOLLOUT;
    return events;
}

class LinuxWaiter final : public __CFRunLoopWaiter {
public:
    LinuxWaiter() { Open(); }

    void SetInterest(const Interest& interest) override {
        std::lock_guard<std::mutex> guard(mMutex);
        // A forked child shares the parent's epoll set and eventfd: give it its own.
        if (__CFRunLoopProcessId() != mPid)
            Open();
        for (auto it = mRegistered.begin(); it != mRegistered.end();) {
            auto wanted = interest.find(it->first);
            if (wanted == interest.end() || wanted->second == 0) {
                epoll_ctl(mEpoll.Get(), EPOLL_CTL_DEL, it->first, nullptr);
                it = mRegistered.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& [fd, flags] : interest) {
            if (flags == 0)
                continue;
            auto known = mRegistered.find(fd);
            if (known != mRegistered.end() && known->second == flags)
                continue;
            epoll_event event{};
            event.events = EpollEvents(flags);
            event.data.fd = fd;
            int op = known == mRegistered.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
            int rc = epoll_ctl(mEpoll.Get(), op, fd, &event);
            // The descriptor may have been closed and reopened behind our back.
            if (rc != 0 && op == EPOLL_CTL_MOD && errno == ENOENT)
                rc = epoll_ctl(mEpoll.Get(), EPOLL_CTL_ADD, fd, &event);
            else if (rc != 0 && op == EPOLL_CTL_ADD && errno == EEXIST)
                rc = epoll_ctl(mEpoll.Get(), EPOLL_CTL_MOD, fd, &event);
            if (rc == 0)
                mRegistered[fd] = flags;
            else
                mRegistered.erase(fd);
        }
    }

    void Wait(double realSeconds, Ready& ready) override {
        ready.clear();
        epoll_event events[32];
        int count = -1;
        // epoll_pwait2 takes the time-out itself, in nanoseconds: no timer to arm and disarm
        // around every sleep. Kernels before 5.11 lack it, and system-call filters written
        // before it refuse it with EPERM; the timer is the fallback.
        if (sHavePwait2.load(std::memory_order_relaxed)) {
            timespec limit{};
            const timespec* timeout = nullptr;
            if (realSeconds == 0) {
                timeout = &limit;
            } else if (realSeconds > 0 && !std::isnan(realSeconds)) {
                limit = ToTimespec(realSeconds);
                timeout = &limit;
            }
            count = epoll_pwait2(mEpoll.Get(), events, 32, timeout, nullptr);
            if (count < 0 && (errno == ENOSYS || errno == EPERM))
                sHavePwait2.store(false, std::memory_order_relaxed);
        }
        if (!sHavePwait2.load(std::memory_order_relaxed))
            count = WaitWithTimer(realSeconds, events, 32);
        std::lock_guard<std::mutex> guard(mMutex);
        for (int i = 0; i < count; ++i) {
            int fd = events[i].data.fd;
            if (fd == mWake.Get() || fd == mTimer.Get()) {
                uint64_t value;
                while (read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
                }
                continue;
            }
            auto known = mRegistered.find(fd);
            if (known == mRegistered.end())
                continue;
            CFOptionFlags flags = 0;
            if (events[i].events & (EPOLLIN | EPOLLRDHUP))
                flags |= kCFFileDescriptorReadCallBack;
            if (events[i].events & EPOLLOUT)
                flags |= kCFFileDescriptorWriteCallBack;
            // Hang-up and error make a read or write return at once, so report them as such.
            if (events[i].events & (EPOLLHUP | EPOLLERR))
                flags |= known->second;
            flags &= known->second;
            if (flags != 0)
                ready.emplace_back(fd, flags);
        }
    }

    void Wake() override {
        uint64_t one = 1;
        // EAGAIN means the counter is already non-zero, which wakes just as well.
        ssize_t written = write(mWake.Get(), &one, sizeof one);
        (void)written;
    }

    void Forget(int fd) override {
        std::lock_guard<std::mutex> guard(mMutex);
        if (mRegistered.erase(fd) != 0)
            epoll_ctl(mEpoll.Get(), EPOLL_CTL_DEL, fd, nullptr);
    }

private:
    static timespec ToTimespec(double seconds) {
        if (seconds > kMaxSleep)
            seconds = kMaxSleep;
        timespec out{};
        out.tv_sec = static_cast<time_t>(seconds);
        out.tv_nsec =
            static_cast<long>(std::ceil((seconds - static_cast<double>(out.tv_sec)) * 1e9));
        if (out.tv_nsec >= 1000000000L) {
            out.tv_sec += 1;
            out.tv_nsec -= 1000000000L;
        }
        if (out.tv_sec == 0 && out.tv_nsec == 0)
            out.tv_nsec = 1;
        return out;
    }

    int WaitWithTimer(double realSeconds, epoll_event* events, int size) {
        int timeout = -1;
        if (realSeconds == 0) {
            timeout = 0;
        } else if (realSeconds > 0 && !std::isnan(realSeconds)) {
            itimerspec deadline{};
            deadline.it_value = ToTimespec(realSeconds);
            timerfd_settime(mTimer.Get(), 0, &deadline, nullptr);
        }
        const int count = epoll_wait(mEpoll.Get(), events, size, timeout);
        if (timeout != 0) {
            itimerspec off{};
            timerfd_settime(mTimer.Get(), 0, &off, nullptr);
        }
        return count;
    }

    static inline std::atomic<bool> sHavePwait2{true};

    void Open() {
        mPid = __CFRunLoopProcessId();
        mRegistered.clear();
        mEpoll.Reset(epoll_create1(EPOLL_CLOEXEC));
        mWake.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        mTimer.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
        if (mEpoll.Get() < 0 || mWake.Get() < 0 || mTimer.Get() < 0) {
            // Without these the loop could only spin or hang; neither is acceptable. Running
            // out (a low descriptor limit) is no fault of the program: a failure status, not
            // an abort and its core dump. _exit, since exit handlers could ask for this very
            // loop again, and on another thread would run beside the process's other threads.
            std::perror("CFRunLoop: cannot create its epoll, eventfd or timerfd");
            _exit(EXIT_FAILURE);
        }
        for (int fd : {mWake.Get(), mTimer.Get()}) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            epoll_ctl(mEpoll.Get(), EPOLL_CTL_ADD, fd, &event);
        }
    }

    std::mutex mMutex; // guards mRegistered, which Forget may change from another thread
    pid_t mPid = 0;
    tvb::UniqueFd mEpoll;
    tvb::UniqueFd mWake;
    tvb::UniqueFd mTimer;
    Interest mRegistered;
};

} // namespace

std::unique_ptr<__CFRunLoopWaiter> __CFRunLoopWaiter::Create() {
    return std::make_unique<LinuxWaiter>();
}
