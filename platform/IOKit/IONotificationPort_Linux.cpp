// The notification port's wake-up descriptor on Linux: an epoll set over the host socket,
// an eventfd for the port's own deliveries and a timerfd for reconnection attempts.
#include "IONotificationPort_Internal.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace iokit {

namespace {

bool AddToPoll(int poll, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (epoll_ctl(poll, EPOLL_CTL_ADD, fd, &event) == 0)
        return true;
    return errno == EEXIST && epoll_ctl(poll, EPOLL_CTL_MOD, fd, &event) == 0;
}

} // namespace

PortWaker::PortWaker()
    : mPoll(epoll_create1(EPOLL_CLOEXEC)), mEvent(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      mTimer(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
    if (!mPoll || !mEvent || !mTimer || !AddToPoll(mPoll.Get(), mEvent.Get()) ||
        !AddToPoll(mPoll.Get(), mTimer.Get())) {
        mPoll.Reset();
        mEvent.Reset();
        mTimer.Reset();
    }
}

void PortWaker::Watch(int socketFd) {
    if (!mPoll || socketFd < 0)
        return;
    if (AddToPoll(mPoll.Get(), socketFd))
        mWatched = socketFd;
}

void PortWaker::Unwatch() {
    // Must run before the socket is closed; a closed socket has left the set by itself.
    if (mPoll && mWatched >= 0)
        epoll_ctl(mPoll.Get(), EPOLL_CTL_DEL, mWatched, nullptr);
    mWatched = -1;
}

void PortWaker::Wake() {
    if (!mEvent)
        return;
    const uint64_t one = 1;
    ssize_t written = write(mEvent.Get(), &one, sizeof one);
    (void)written; // EAGAIN only when the counter is already huge: it is readable then anyway
}

void PortWaker::ArmRetry(int delayMs) {
    if (!mTimer)
        return;
    itimerspec when{};
    when.it_value.tv_sec = delayMs / 1000;
    when.it_value.tv_nsec = static_cast<long>(delayMs % 1000) * 1000000L;
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0)
        when.it_value.tv_nsec = 1;
    mRetryArmed = timerfd_settime(mTimer.Get(), 0, &when, nullptr) == 0;
}

void PortWaker::DisarmRetry() {
    if (!mTimer)
        return;
    itimerspec never{};
    timerfd_settime(mTimer.Get(), 0, &never, nullptr);
    mRetryArmed = false;
}

bool PortWaker::Consume() {
    uint64_t count = 0;
    if (mEvent) {
        ssize_t got = read(mEvent.Get(), &count, sizeof count);
        (void)got;
    }
    count = 0;
    bool due = false;
    if (mTimer && read(mTimer.Get(), &count, sizeof count) == static_cast<ssize_t>(sizeof count) &&
        count > 0) {
        due = true;
        mRetryArmed = false;
    }
    return due;
}

} // namespace iokit
