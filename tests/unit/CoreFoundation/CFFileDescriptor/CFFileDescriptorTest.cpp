// A descriptor watched on the run loop: call-backs once per enable, invalidation, reuse.
#include "RunLoopTestSupport.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>

namespace {

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

// Each call-out reads its one byte; the first also runs the loop again, which hears the other
// descriptor. The outer run must then not call that one again on what its own wait had seen.
struct ReadOnce {
    int calls = 0;
    int emptyReads = 0;
};

void ReadAndNest(CFFileDescriptorRef f, CFOptionFlags, void* info) {
    auto* state = static_cast<ReadOnce*>(info);
    char byte;
    if (read(CFFileDescriptorGetNativeDescriptor(f), &byte, 1) != 1)
        ++state->emptyReads;
    CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
    if (++state->calls == 1)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
}

TEST(CFFileDescriptor, NestedRunLeavesNoStaleReadinessForTheOuterRun) {
    OnFreshThread([] {
        Pipe first, second;
        ReadOnce state;
        std::vector<CFFileDescriptorRef> descriptors;
        std::vector<CFRunLoopSourceRef> sources;
        for (const Pipe* pipe : {&first, &second}) {
            // Non-blocking, so that a call-out on nothing to read fails instead of hanging.
            fcntl(pipe->Read(), F_SETFL, O_NONBLOCK);
            CFFileDescriptorContext context = {0, &state, nullptr, nullptr, nullptr};
            descriptors.push_back(CFFileDescriptorCreate(kCFAllocatorDefault, pipe->Read(), false,
                                                         &ReadAndNest, &context));
            sources.push_back(
                CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, descriptors.back(), 0));
            CFRunLoopAddSource(CFRunLoopGetCurrent(), sources.back(), kCFRunLoopDefaultMode);
            CFFileDescriptorEnableCallBacks(descriptors.back(), kCFFileDescriptorReadCallBack);
            ASSERT_EQ(1, write(pipe->Write(), "x", 1));
        }
        Reaper reaper;
        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false));
        EXPECT_EQ(2, state.calls);
        EXPECT_EQ(0, state.emptyReads);
        for (size_t i = 0; i < descriptors.size(); ++i) {
            CFFileDescriptorInvalidate(descriptors[i]);
            CFRelease(sources[i]);
            CFRelease(descriptors[i]);
        }
    });
}

} // namespace
