// Helpers for the run-loop tests: a reaper timer that fails a test whose awaited event
// never comes, a fresh thread (and so a fresh run loop) per test, and a pipe.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include <unistd.h>

class Reaper {
public:
    explicit Reaper(CFTimeInterval seconds = 10.0, CFStringRef mode = kCFRunLoopCommonModes) {
        CFRunLoopTimerContext context = {0, this, nullptr, nullptr, nullptr};
        mTimer = CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + seconds, 0,
                                      0, 0, &Fire, &context);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), mTimer, mode);
    }
    ~Reaper() {
        CFRunLoopTimerInvalidate(mTimer);
        CFRelease(mTimer);
    }
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;

private:
    static void Fire(CFRunLoopTimerRef, void*) {
        ADD_FAILURE() << "reaper fired: the awaited event never came";
        CFRunLoopStop(CFRunLoopGetCurrent());
    }
    CFRunLoopTimerRef mTimer;
};

// Runs body on a new thread, which gets a run loop of its own that dies with it.
template <typename Body> void OnFreshThread(Body&& body) {
    std::thread thread(std::forward<Body>(body));
    thread.join();
}

struct Pipe {
    Pipe() { EXPECT_EQ(0, pipe(ends)); }
    ~Pipe() {
        for (int fd : ends)
            if (fd >= 0)
                close(fd);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int ends[2] = {-1, -1};
    int Read() const { return ends[0]; }
    int Write() const { return ends[1]; }
};
