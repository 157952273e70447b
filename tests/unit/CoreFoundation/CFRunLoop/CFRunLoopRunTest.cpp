#include "RunLoopTestSupport.h"
#include "ScratchSupport.h"
#include "SystemCallFilter.h"

#include <CoreFoundation/CFRunLoopPriv.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

namespace {

void StopLoop(CFRunLoopTimerRef, void*) {
    CFRunLoopStop(CFRunLoopGetCurrent());
}

CFRunLoopTimerRef AddTimer(CFStringRef mode, CFAbsoluteTime fireDate,
                           CFRunLoopTimerCallBack callout, void* info = nullptr,
                           CFTimeInterval interval = 0) {
    CFRunLoopTimerContext context = {0, info, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef timer =
        CFRunLoopTimerCreate(kCFAllocatorDefault, fireDate, interval, 0, 0, callout, &context);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, mode);
    return timer;
}

void Discard(CFRunLoopTimerRef timer) {
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);
}

// Waits, off the loop's thread, until the loop sleeps; false after 10 s.
bool AwaitSleeping(CFRunLoopRef rl) {
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!CFRunLoopIsWaiting(rl)) {
        if (std::chrono::steady_clock::now() > give_up)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(CFRunLoopRun, EmptyOrUnknownModeFinishesAtOnce) {
    OnFreshThread([] {
        EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false));
        EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(CFSTR("NeverUsed"), 10, false));
        EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(nullptr, 10, false));
        CFRunLoopRun(); // returns because the default mode holds nothing
    });
}

TEST(CFRunLoopRun, RunInModeTimesOutAfterItsInterval) {
    OnFreshThread([] {
        CFRunLoopTimerRef far =
            AddTimer(kCFRunLoopDefaultMode, CFAbsoluteTimeGetCurrent() + 1000, &StopLoop);
        CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false));
        EXPECT_GE(CFAbsoluteTimeGetCurrent() - start, 0.2);
        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false));
        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, -5, false));
        Discard(far);
    });
}

TEST(CFRunLoopRun, IdleLoopWithOneFarTimerSleepsInsteadOfSpinning) {
    OnFreshThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        CFRunLoopTimerRef far =
            AddTimer(kCFRunLoopDefaultMode, CFAbsoluteTimeGetCurrent() + 1000, &StopLoop);
        EXPECT_DOUBLE_EQ(CFRunLoopTimerGetNextFireDate(far),
                         CFRunLoopGetNextTimerFireDate(rl, kCFRunLoopDefaultMode));
        unsigned long before = __CFRunLoopGetWaitCount(rl);
        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, false));
        // One sleep to the time-out; a stray early wake-up may add one more.
        EXPECT_LE(__CFRunLoopGetWaitCount(rl) - before, 2u);
        Discard(far);
        EXPECT_EQ(0, CFRunLoopGetNextTimerFireDate(rl, kCFRunLoopDefaultMode));
    });
}

TEST(CFRunLoopRun, StopFromCalloutEndsCFRunLoopRun) {
    OnFreshThread([] {
        Reaper reaper;
        int ticks = 0;
        CFRunLoopTimerRef timer = AddTimer(
            kCFRunLoopCommonModes, CFAbsoluteTimeGetCurrent(),
            [](CFRunLoopTimerRef, void* info) {
                ++*static_cast<int*>(info);
                CFRunLoopStop(CFRunLoopGetCurrent());
            },
            &ticks, 0.01);
        CFRunLoopRun();
        EXPECT_EQ(1, ticks);
        Discard(timer);
    });
}

TEST(CFRunLoopRun, StopOnALoopThatIsNotRunningIsForgotten) {
    OnFreshThread([] {
        CFRunLoopTimerRef far =
            AddTimer(kCFRunLoopDefaultMode, CFAbsoluteTimeGetCurrent() + 1000, &StopLoop);
        CFRunLoopStop(CFRunLoopGetCurrent());
        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, false));
        Discard(far);
    });
}

TEST(CFRunLoopRun, StopFromAnotherThreadWakesTheSleepingLoop) {
    OnFreshThread([] {
        Reaper reaper;
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        std::atomic<bool> sawSleep{false};
        std::thread stopper([&] {
            sawSleep = AwaitSleeping(rl);
            CFRunLoopStop(rl);
        });
        EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false));
        stopper.join();
        EXPECT_TRUE(sawSleep);
        EXPECT_FALSE(CFRunLoopIsWaiting(rl));
    });
}

TEST(CFRunLoopRun, SignalFromAnotherThreadWakesTheSleepingLoop) {
    OnFreshThread([] {
        Reaper reaper;
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        int performs = 0;
        CFRunLoopSourceContext context{};
        context.info = &performs;
        context.perform = [](void* info) { ++*static_cast<int*>(info); };
        CFRunLoopSourceRef source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
        CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
        std::thread signaller([&] {
            AwaitSleeping(rl);
            CFRunLoopSourceSignal(source);
        });
        EXPECT_EQ(kCFRunLoopRunHandledSource,
                  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, true));
        signaller.join();
        EXPECT_EQ(1, performs);
        CFRunLoopSourceInvalidate(source);
        CFRelease(source);
    });
}

struct Nesting {
    std::string outerMode;
    std::string innerMode;
    SInt32 innerResult = 0;
};

std::string CurrentModeName() {
    CFStringRef mode = CFRunLoopCopyCurrentMode(CFRunLoopGetCurrent());
    if (mode == nullptr)
        return "(none)";
    char buffer[128] = "";
    CFStringGetCString(mode, buffer, sizeof buffer, kCFStringEncodingUTF8);
    CFRelease(mode);
    return buffer;
}

void RunNested(CFRunLoopTimerRef, void* info) {
    auto* nesting = static_cast<Nesting*>(info);
    nesting->outerMode = CurrentModeName();
    CFRunLoopTimerRef inner = AddTimer(
        CFSTR("Inner"), 0,
        [](CFRunLoopTimerRef, void* innerInfo) {
            static_cast<Nesting*>(innerInfo)->innerMode = CurrentModeName();
            CFRunLoopStop(CFRunLoopGetCurrent());
        },
        nesting);
    nesting->innerResult = CFRunLoopRunInMode(CFSTR("Inner"), 10, false);
    CFRelease(inner);
}

TEST(CFRunLoopRun, NestedRunStopsOnlyTheInnermostAndReportsItsMode) {
    OnFreshThread([] {
        // Its own stop ends the outer run only if the inner stop did not leak out.
        CFRunLoopTimerRef stopper =
            AddTimer(kCFRunLoopDefaultMode, CFAbsoluteTimeGetCurrent() + 0.2, &StopLoop);
        Nesting nesting;
        CFRunLoopTimerRef outer = AddTimer(kCFRunLoopDefaultMode, 0, &RunNested, &nesting);
        Reaper reaper;
        EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false));
        EXPECT_EQ(kCFRunLoopRunStopped, nesting.innerResult);
        EXPECT_EQ("kCFRunLoopDefaultMode", nesting.outerMode);
        EXPECT_EQ("Inner", nesting.innerMode);
        EXPECT_FALSE(CFRunLoopTimerIsValid(stopper)) << "the outer run ended before its stopper";
        EXPECT_EQ("(none)", CurrentModeName());
        Discard(stopper);
        Discard(outer);
    });
}

TEST(CFRunLoopRun, EachThreadHasItsOwnLoopAndAllShareTheMainOne) {
    CFRunLoopRef main = CFRunLoopGetMain();
    EXPECT_EQ(main, CFRunLoopGetCurrent());
    EXPECT_EQ(CFRunLoopGetTypeID(), CFGetTypeID(main));
    CFRunLoopRef other = nullptr;
    CFRunLoopRef mainSeenThere = nullptr;
    OnFreshThread([&] {
        other = CFRunLoopGetCurrent();
        mainSeenThere = CFRunLoopGetMain();
        EXPECT_EQ(other, CFRunLoopGetCurrent());
    });
    EXPECT_NE(main, other);
    EXPECT_EQ(main, mainSeenThere);
}

} // namespace

TEST(RunLoopIds, AForkedChildHasIdsOfItsOwn) {
    // Remembered in the parent first, as a running daemon has them.
    ASSERT_EQ(__CFRunLoopProcessId(), static_cast<long>(getpid()));
    ASSERT_EQ(__CFRunLoopThreadId(), static_cast<long>(syscall(SYS_gettid)));
    auto ownIds = [] {
        const bool ids = __CFRunLoopProcessId() == static_cast<long>(getpid()) &&
                         __CFRunLoopThreadId() == static_cast<long>(syscall(SYS_gettid));
        // The child's main thread is the main run loop's.
        const bool main = CFRunLoopGetCurrent() == CFRunLoopGetMain();
        return ids && main ? 0 : 1;
    };
    EXPECT_EQ(0, tvb::test::ExitCodeInChild(ownIds));
}

TEST(RunLoopWait, RefusedTimedEpollWaitFallsBackInsteadOfSpinning) {
    int exitCode = tvb::test::ExitCodeInChild([] {
        // Refused as a filter that predates the call refuses it.
        if (!tvb::test::FilterSystemCall(SYS_epoll_pwait2, SECCOMP_RET_ERRNO | EPERM))
            return 2;
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        CFRunLoopTimerRef timer =
            AddTimer(kCFRunLoopDefaultMode, CFAbsoluteTimeGetCurrent() + 0.2, &StopLoop);
        const unsigned long before = __CFRunLoopGetWaitCount(rl);
        const SInt32 result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false);
        const unsigned long waits = __CFRunLoopGetWaitCount(rl) - before;
        CFRelease(timer);
        // One refused wait, one that sleeps until the timer, and a stray one at most.
        return result == kCFRunLoopRunStopped && waits <= 4 ? 0 : 1;
    });
    EXPECT_EQ(0, exitCode) << "1: the loop spun; 2: no system-call filter";
}

TEST(RunLoopWait, NoDescriptorsLeftForANewLoopEndTheProcessWithAMessageAndAFailure) {
    tvb::test::ScratchDir scratch("runloop");
    const std::string errors = scratch / "stderr";
    auto makeLoop = [] { CFRunLoopGetCurrent(); };
    // Once here first: the sanitizers check a type they meet for the first time through a pipe,
    // which a child at its limit could not make; so it meets none.
    OnFreshThread(makeLoop);
    const int exitCode = tvb::test::ExitCodeInChild([&] {
        const int out = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out < 0 || dup2(out, STDERR_FILENO) < 0)
            return 2;
        close(out);
        // Every descriptor below the lowest free one is open: two more, where a loop needs three.
        const int lowest = dup(STDERR_FILENO);
        rlimit files{};
        if (lowest < 0 || close(lowest) != 0 || getrlimit(RLIMIT_NOFILE, &files) != 0)
            return 2;
        files.rlim_cur = static_cast<rlim_t>(lowest) + 2;
        if (setrlimit(RLIMIT_NOFILE, &files) != 0)
            return 2;
        OnFreshThread(makeLoop);
        return 0;
    });
    const std::string text = tvb::test::ReadFile(errors);
    EXPECT_EQ(EXIT_FAILURE, exitCode) << "134: aborted; 0: a loop without descriptors; 2: set-up";
    EXPECT_NE(std::string::npos, text.find("Too many open files")) << text;
    EXPECT_EQ(std::string::npos, text.find("runtime error")) << text;
}
