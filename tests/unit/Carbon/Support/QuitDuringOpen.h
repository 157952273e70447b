// A Launch Services open made in a call-out of a forked child's application event loop, the
// child being sent SIGTERM as soon as it (or a process it made) reaches a chosen system call:
// for tests of how a quit cuts the open's waits short.
#pragma once

#include "SystemCallFilter.h"

#include <Carbon/Carbon.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tvb::test {

struct QuitDuringOpen {
    bool filtered = false; // false: no seccomp user notification here
    pid_t reachedBy = 0;   // who reached the call, and when, SIGTERM went to the child
    bool answered = false; // the open returned (with status)
    OSStatus status = noErr;
    long quitToAnswerMs = -1;
    bool loopEnded = false; // the child's event loop ended and it exited
};

namespace detail {
inline const std::function<OSStatus()>* gOpen;
inline OSStatus gOpenStatus;
} // namespace detail

// The call nr is held for good when hold is true (the open must give up on it); otherwise it
// goes on once the parent has heard of it, and so does every later one.
inline QuitDuringOpen OpenAndQuitAt(long nr, bool hold, const std::function<OSStatus()>& open) {
    struct Message {
        bool isStatus;
        int32_t value;
    };
    QuitDuringOpen result;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return result;
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        alarm(30);
        signal(SIGTERM, SIG_DFL);
        auto send = [&](bool isStatus, int32_t value) {
            Message message = {isStatus, value};
            ssize_t written = write(report[1], &message, sizeof message);
            (void)written;
        };
        // Only the loop's thread may take the quit signal, as in the poller.
        sigset_t quit, mask;
        sigemptyset(&quit);
        sigaddset(&quit, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &quit, &mask);
        int listener = -1;
        if (!FilterSystemCall(nr, SECCOMP_RET_USER_NOTIF, &listener))
            _exit(0);
        std::thread watcher([&] {
            seccomp_notif call;
            for (bool first = true;; first = false) {
                std::memset(&call, 0, sizeof call);
                if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &call) != 0)
                    return;
                if (first)
                    send(false, static_cast<int32_t>(call.pid));
                if (hold)
                    return;
                seccomp_notif_resp answer;
                std::memset(&answer, 0, sizeof answer);
                answer.id = call.id;
                answer.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
                ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &answer);
            }
        });
        watcher.detach();
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        detail::gOpen = &open;
        CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
            kCFAllocatorDefault, CFAbsoluteTimeGetCurrent(), 0, 0, 0,
            [](CFRunLoopTimerRef, void*) {
                // The loop ends, whatever the open returned.
                detail::gOpenStatus = (*detail::gOpen)();
                QuitApplicationEventLoop();
            },
            nullptr);
        CFRunLoopAddTimer(static_cast<CFRunLoopRef>(
                              const_cast<void*>(GetCFRunLoopFromEventLoop(GetMainEventLoop()))),
                          timer, kCFRunLoopCommonModes);
        RunApplicationEventLoop();
        send(true, detail::gOpenStatus);
        _exit(0);
    }
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        return result;
    }
    auto signalled = std::chrono::steady_clock::now();
    Message message;
    pollfd wait = {report[0], POLLIN, 0};
    while (!result.answered && poll(&wait, 1, 40000) == 1 &&
           read(report[0], &message, sizeof message) == sizeof message) {
        result.filtered = true;
        if (message.isStatus) {
            result.status = message.value;
            result.answered = true;
            result.quitToAnswerMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - signalled)
                                        .count();
        } else {
            result.reachedBy = message.value;
            signalled = std::chrono::steady_clock::now();
            kill(child, SIGTERM);
        }
    }
    close(report[0]);
    // Once answered, the child exits by itself; its exit status tells whether its loop ended.
    if (!result.answered) {
        kill(-child, SIGKILL);
        if (hold && result.reachedBy > 0)
            kill(result.reachedBy, SIGKILL);
    }
    int exit = -1;
    result.loopEnded =
        waitpid(child, &exit, 0) == child && WIFEXITED(exit) && WEXITSTATUS(exit) == 0;
    return result;
}

// The open heard of the quit at its call, gave up with userCanceledErr within boundMs (well
// inside the wait it would have had without the quit), and the child's loop ended.
inline ::testing::AssertionResult CancelledWithin(const QuitDuringOpen& quit, long boundMs) {
    if (quit.reachedBy <= 0)
        return ::testing::AssertionFailure() << "the open never reached the call";
    if (!quit.answered)
        return ::testing::AssertionFailure() << "the open never returned";
    if (quit.status != userCanceledErr)
        return ::testing::AssertionFailure() << "status " << quit.status;
    if (quit.quitToAnswerMs >= boundMs)
        return ::testing::AssertionFailure() << "answered " << quit.quitToAnswerMs << " ms after";
    if (!quit.loopEnded)
        return ::testing::AssertionFailure() << "the event loop did not end";
    return ::testing::AssertionSuccess();
}

} // namespace tvb::test
