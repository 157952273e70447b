#include "RunLoopTestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

namespace {

struct SourceLog {
    int performs = 0;
    int retains = 0;
    int releases = 0;
    std::vector<std::string> scheduled;
    std::vector<std::string> cancelled;
};

SourceLog* Log(const void* info) {
    return static_cast<SourceLog*>(const_cast<void*>(info));
}

std::string Name(CFStringRef mode) {
    char buffer[128] = "";
    CFStringGetCString(mode, buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

CFRunLoopSourceRef MakeSource(SourceLog* log, CFIndex order = 0) {
    CFRunLoopSourceContext context{};
    context.info = log;
    context.retain = [](const void* info) -> const void* {
        Log(info)->retains++;
        return info;
    };
    context.release = [](const void* info) { Log(info)->releases++; };
    context.schedule = [](void* info, CFRunLoopRef, CFStringRef mode) {
        Log(info)->scheduled.push_back(Name(mode));
    };
    context.cancel = [](void* info, CFRunLoopRef, CFStringRef mode) {
        Log(info)->cancelled.push_back(Name(mode));
    };
    context.perform = [](void* info) { Log(info)->performs++; };
    return CFRunLoopSourceCreate(kCFAllocatorDefault, order, &context);
}

TEST(CFRunLoopSource, SignalledSourceFiresOnNextPassOnly) {
    OnFreshThread([] {
        SourceLog log;
        CFRunLoopSourceRef source = MakeSource(&log);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);

        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false));
        EXPECT_EQ(0, log.performs);

        CFRunLoopSourceSignal(source);
        Reaper reaper;
        EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true));
        EXPECT_EQ(1, log.performs);

        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false));
        EXPECT_EQ(1, log.performs) << "a signal is consumed by the perform";
        CFRunLoopSourceInvalidate(source);
        CFRelease(source);
    });
}

TEST(CFRunLoopSource, ScheduleAndCancelFollowEachModeAndContextIsRetainedOnce) {
    OnFreshThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        SourceLog log;
        CFRunLoopSourceRef source = MakeSource(&log);
        EXPECT_EQ(1, log.retains);

        CFRunLoopAddCommonMode(rl, CFSTR("Tracking"));
        CFRunLoopAddSource(rl, source, kCFRunLoopCommonModes);
        CFRunLoopAddSource(rl, source, kCFRunLoopCommonModes);
        EXPECT_EQ((std::vector<std::string>{"kCFRunLoopDefaultMode", "Tracking"}), log.scheduled);
        EXPECT_TRUE(CFRunLoopContainsSource(rl, source, CFSTR("Tracking")));
        EXPECT_EQ(4, CFGetRetainCount(source)); // ours, common items, two modes

        CFRunLoopRemoveSource(rl, source, kCFRunLoopCommonModes);
        EXPECT_EQ((std::vector<std::string>{"kCFRunLoopDefaultMode", "Tracking"}), log.cancelled);
        EXPECT_FALSE(CFRunLoopContainsSource(rl, source, kCFRunLoopDefaultMode));
        EXPECT_EQ(1, CFGetRetainCount(source));
        EXPECT_EQ(0, log.releases);
        CFRelease(source);
        EXPECT_EQ(1, log.releases);
    });
}

TEST(CFRunLoopSource, InvalidatedSourceLeavesTheLoopAndNeverPerforms) {
    OnFreshThread([] {
        SourceLog log;
        CFRunLoopSourceRef source = MakeSource(&log);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        CFRunLoopSourceSignal(source);
        CFRunLoopSourceInvalidate(source);

        EXPECT_FALSE(CFRunLoopSourceIsValid(source));
        EXPECT_EQ(1u, log.cancelled.size());
        EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1, true));
        EXPECT_EQ(0, log.performs);
        CFRelease(source);
    });
}

// A source still scheduled when its thread ends is cancelled with the run-loop lock
// released: another thread using the run loop API from inside the cancel call-out must
// not block on it.
TEST(CFRunLoopSource, CancelAtThreadEndRunsWithTheLockReleased) {
    static std::atomic<bool> otherThreadGotThrough{false};
    otherThreadGotThrough = false;
    OnFreshThread([] {
        CFRunLoopSourceContext context{};
        context.cancel = [](void*, CFRunLoopRef, CFStringRef) {
            auto other = std::async(std::launch::async, [] {
                CFRunLoopContainsSource(CFRunLoopGetMain(), nullptr, kCFRunLoopDefaultMode);
                otherThreadGotThrough = true;
            });
            if (other.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
                ADD_FAILURE() << "cancel call-out ran with the run-loop lock held";
                std::quick_exit(1); // the other thread is stuck on the lock for good
            }
        };
        CFRunLoopSourceRef source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        CFRelease(source);
    });
    EXPECT_TRUE(otherThreadGotThrough);
}

TEST(CFRunLoopSource, ReturnAfterSourceHandledPerformsOneSourceByOrder) {
    OnFreshThread([] {
        SourceLog late, early;
        CFRunLoopSourceRef sources[] = {MakeSource(&late, 10), MakeSource(&early, -3)};
        for (auto* source : sources) {
            CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
            CFRunLoopSourceSignal(source);
        }
        EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1, true));
        EXPECT_EQ(1, early.performs);
        EXPECT_EQ(0, late.performs);
        EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1, true));
        EXPECT_EQ(1, late.performs);
        for (auto* source : sources) {
            CFRunLoopSourceInvalidate(source);
            CFRelease(source);
        }
    });
}

} // namespace
