#include "RunLoopTestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>

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

struct DescriptorLog {
    int calls = 0;
    CFOptionFlags types = 0;
    bool reenable = false;
};

void RecordDescriptor(CFFileDescriptorRef f, CFOptionFlags types, void* info) {
    auto* log = static_cast<DescriptorLog*>(info);
    log->calls++;
    log->types = types;
    if (log->reenable)
        CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
}

// A descriptor in the default mode with the call-backs in enable switched on.
struct WatchedDescriptor {
    WatchedDescriptor(int fd, DescriptorLog* log, CFOptionFlags enable,
                      bool closeOnInvalidate = false) {
        CFFileDescriptorContext context = {0, log, nullptr, nullptr, nullptr};
        descriptor = CFFileDescriptorCreate(kCFAllocatorDefault, fd, closeOnInvalidate,
                                            &RecordDescriptor, &context);
        source = CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, descriptor, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        CFFileDescriptorEnableCallBacks(descriptor, enable);
    }
    ~WatchedDescriptor() {
        CFFileDescriptorInvalidate(descriptor);
        CFRelease(source);
        CFRelease(descriptor);
    }
    WatchedDescriptor(const WatchedDescriptor&) = delete;
    WatchedDescriptor& operator=(const WatchedDescriptor&) = delete;
    CFFileDescriptorRef descriptor;
    CFRunLoopSourceRef source;
};

TEST(CFFileDescriptor, FiresWhenPipeBecomesReadableAndNotBefore) {
    OnFreshThread([] {
        Pipe pipe;
        DescriptorLog log;
        WatchedDescriptor watched(pipe.Read(), &log, kCFFileDescriptorReadCallBack);

        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true));
        EXPECT_EQ(0, log.calls);

        Reaper reaper;
        ASSERT_EQ(1, write(pipe.Write(), "x", 1));
        EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true));
        EXPECT_EQ(1, log.calls);
        EXPECT_EQ(static_cast<CFOptionFlags>(kCFFileDescriptorReadCallBack), log.types);
    });
}

TEST(CFFileDescriptor, CallBacksAreOneShotUntilEnabledAgain) {
    OnFreshThread([] {
        Pipe pipe;
        DescriptorLog log;
        WatchedDescriptor watched(pipe.Read(), &log, kCFFileDescriptorReadCallBack);
        ASSERT_EQ(1, write(pipe.Write(), "x", 1));

        EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true));
        // The byte is still unread, yet nothing fires until the call-back is enabled again.
        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true));
        EXPECT_EQ(1, log.calls);

        CFFileDescriptorEnableCallBacks(watched.descriptor, kCFFileDescriptorReadCallBack);
        EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true));
        EXPECT_EQ(2, log.calls);

        CFFileDescriptorEnableCallBacks(watched.descriptor, kCFFileDescriptorReadCallBack);
        CFFileDescriptorDisableCallBacks(watched.descriptor, kCFFileDescriptorReadCallBack);
        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true));
        EXPECT_EQ(2, log.calls);
    });
}

TEST(CFFileDescriptor, WriteCallBackFiresForWritablePipe) {
    OnFreshThread([] {
        Pipe pipe;
        DescriptorLog log;
        WatchedDescriptor watched(pipe.Write(), &log, kCFFileDescriptorWriteCallBack);
        Reaper reaper;
        EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true));
        EXPECT_EQ(static_cast<CFOptionFlags>(kCFFileDescriptorWriteCallBack), log.types);
    });
}

TEST(CFFileDescriptor, InvalidateClosesWhenAskedAndTakesTheSourceOffTheLoop) {
    OnFreshThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        Pipe pipe;
        DescriptorLog log;
        int fd = pipe.ends[0];
        pipe.ends[0] = -1; // the descriptor object closes it now
        CFFileDescriptorRef descriptor =
            CFFileDescriptorCreate(kCFAllocatorDefault, fd, true, &RecordDescriptor, nullptr);
        CFRunLoopSourceRef source =
            CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, descriptor, 0);
        CFRunLoopSourceRef again =
            CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, descriptor, 0);
        EXPECT_EQ(source, again);
        CFRelease(again);
        CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
        EXPECT_EQ(fd, CFFileDescriptorGetNativeDescriptor(descriptor));

        CFFileDescriptorInvalidate(descriptor);
        EXPECT_FALSE(CFFileDescriptorIsValid(descriptor));
        EXPECT_FALSE(CFRunLoopSourceIsValid(source));
        EXPECT_FALSE(CFRunLoopContainsSource(rl, source, kCFRunLoopDefaultMode));
        EXPECT_EQ(-1, fcntl(fd, F_GETFD));
        EXPECT_EQ(EBADF, errno);
        EXPECT_EQ(nullptr, CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, descriptor, 0));
        CFRelease(source);
        CFRelease(descriptor);
        EXPECT_EQ(0, log.calls);
    });
}

TEST(CFFileDescriptor, ReusedDescriptorNumberIsWatchedAfresh) {
    OnFreshThread([] {
        Reaper reaper;
        DescriptorLog firstLog, secondLog;
        Pipe first;
        int number = first.ends[0];
        {
            WatchedDescriptor watched(number, &firstLog, kCFFileDescriptorReadCallBack);
            EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true));
        }
        close(first.ends[0]);
        Pipe second;
        // Same number, another file.
        ASSERT_EQ(number, dup2(second.Read(), number));
        first.ends[0] = -1;
        WatchedDescriptor watched(number, &secondLog, kCFFileDescriptorReadCallBack,
                                  second.Read() != number);
        ASSERT_EQ(1, write(second.Write(), "x", 1));
        EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true));
        EXPECT_EQ(1, secondLog.calls);
        EXPECT_EQ(0, firstLog.calls);
    });
}

TEST(CFFileDescriptor, DescriptorLivesAsLongAsItsSourceIsOnALoop) {
    OnFreshThread([] {
        Pipe pipe;
        DescriptorLog log;
        log.reenable = true;
        CFFileDescriptorContext context = {0, &log, nullptr, nullptr, nullptr};
        CFFileDescriptorRef descriptor = CFFileDescriptorCreate(kCFAllocatorDefault, pipe.Read(),
                                                                false, &RecordDescriptor, &context);
        CFRunLoopSourceRef source =
            CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, descriptor, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        CFFileDescriptorEnableCallBacks(descriptor, kCFFileDescriptorReadCallBack);
        CFRelease(source);
        CFRelease(descriptor); // the loop's source still holds it

        ASSERT_EQ(1, write(pipe.Write(), "x", 1));
        Reaper reaper;
        EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true));
        EXPECT_EQ(1, log.calls);
        // Thread exit drops the source and with it the descriptor; LeakSanitizer checks.
    });
}

} // namespace
