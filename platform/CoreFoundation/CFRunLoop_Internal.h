// Private side of the run loop: the object layouts shared by CFRunLoop.cpp and
// CFFileDescriptor.cpp, the clock used for fire dates, and the small interface behind which
// the operating system's waiting primitives live (CFRunLoop_Linux.cpp).
// Threading: all run-loop, timer, source and descriptor state is guarded by one recursive
// lock (__CFRunLoopLock); call-outs run with it released. __CFRunLoopWaiter::Wake may be
// called from any thread.
// Ownership: a mode holds one retain on each timer and source in it; the common-mode item
// list holds one more. A descriptor source retains its CFFileDescriptor; the descriptor
// only points back at its source.
#pragma once

#include "CFRuntime_Internal.h"

#include <CoreFoundation/CFFileDescriptor.h>
#include <CoreFoundation/CFRunLoop.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// How many times faster than real time CF time runs (1 unless TVB_CLOCK_SCALE says more).
double __CFClockScale();
// The clock timers and run time-outs are measured on: CF seconds (scaled as above) since the
// clock was first read, counted by a clock that setting the wall clock does not move. A
// timer's absolute fire date is turned into this clock's time when the date is set.
double __CFTimerClockGetCurrent();

// Every run-loop structure is guarded by this; it lives for the whole process.
std::recursive_mutex& __CFRunLoopLock();

// Calls body(object) with the run-loop lock held; does nothing for NULL (a bad reference).
template <typename T, typename Body> void __CFRunLoopLocked(T* object, Body body) {
    if (object == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    body(object);
}

// __CFRunLoopProcessId and __CFRunLoopThreadId are declared with the private interface.
#include <CoreFoundation/CFRunLoopPriv.h>

// The operating system's part of one run loop: sleeps until a watched descriptor is ready,
// Wake is called, or a time-out passes.
class __CFRunLoopWaiter {
public:
    // Descriptor -> kCFFileDescriptorReadCallBack / kCFFileDescriptorWriteCallBack bits.
    using Interest = std::map<int, CFOptionFlags>;
    using Ready = std::vector<std::pair<int, CFOptionFlags>>;

    static std::unique_ptr<__CFRunLoopWaiter> Create();
    virtual ~__CFRunLoopWaiter() = default;

    // The descriptors the next Wait watches. Called with the run-loop lock held.
    virtual void SetInterest(const Interest& interest) = 0;
    // Real (not scaled) seconds; negative waits without a limit, 0 only polls. Fills ready.
    virtual void Wait(double realSeconds, Ready& ready) = 0;
    // Any thread: makes the current or next Wait return at once.
    virtual void Wake() = 0;
    // Any thread: the descriptor is about to be closed; its number may come back as another file.
    virtual void Forget(int fd) = 0;
};

struct __CFRunLoop;

struct __CFRunLoopTimer final : __CFRuntimeBase {
    __CFRunLoopTimer() : __CFRuntimeBase(__kCFRunLoopTimerTypeID) {}
    ~__CFRunLoopTimer() override;
    std::string Describe() const override;

    CFAbsoluteTime mFireDate = 0; // as set, or advanced by whole intervals
    double mFireTime = 0;         // when it is due, on the timer clock
    CFTimeInterval mInterval = 0; // 0: fires once, then invalidates itself
    CFOptionFlags mFlags = 0;
    CFIndex mOrder = 0;
    CFRunLoopTimerCallBack mCallout = nullptr;
    CFRunLoopTimerContext mContext{};
    bool mValid = true;
    bool mFiring = false;
    bool mFireDateSetWhileFiring = false;
    __CFRunLoop* mLoop = nullptr; // the one run loop it is in, not retained
};

struct __CFRunLoopSource final : __CFRuntimeBase {
    __CFRunLoopSource() : __CFRuntimeBase(__kCFRunLoopSourceTypeID) {}
    ~__CFRunLoopSource() override;
    std::string Describe() const override;

    CFIndex mOrder = 0;
    CFRunLoopSourceContext mContext{};
    bool mValid = true;
    std::atomic<bool> mSignalled{false};
    struct __CFFileDescriptor* mDescriptor = nullptr; // set for a descriptor's source
    std::vector<__CFRunLoop*> mLoops;                 // run loops it is in, not retained
};

struct __CFFileDescriptor final : __CFRuntimeBase {
    __CFFileDescriptor() : __CFRuntimeBase(__kCFFileDescriptorTypeID) {}
    ~__CFFileDescriptor() override;
    std::string Describe() const override;

    int mFd = -1;
    bool mCloseOnInvalidate = false;
    bool mValid = true;
    CFOptionFlags mEnabled = 0;
    CFFileDescriptorCallBack mCallout = nullptr;
    CFFileDescriptorContext mContext{};
    __CFRunLoopSource* mSource = nullptr; // cleared when the source goes away
};

struct __CFRunLoop final : __CFRuntimeBase {
    struct Mode {
        CFStringRef name = nullptr;              // retained; handed to schedule/cancel call-backs
        std::vector<__CFRunLoopTimer*> timers;   // retained
        std::vector<__CFRunLoopSource*> sources; // retained
        bool Empty() const { return timers.empty() && sources.empty(); }
    };
    // One CFRunLoopRunInMode in progress; nested runs stack up.
    struct Run {
        std::string mode;
        bool stopped = false;
        Run* outer = nullptr;
    };

    __CFRunLoop();
    ~__CFRunLoop() override;
    std::string Describe() const override;

    // Drops every timer and source (when its thread ends).
    void RemoveEverything();
    // Wakes the loop unless the caller is the loop's own thread, which is not waiting.
    void WakeFromOtherThread();

    std::map<std::string, Mode> mModes;
    std::vector<std::string> mCommonModes;
    Mode mCommonItems;
    Run* mRun = nullptr;
    std::atomic<long> mThread{0}; // kernel thread id of the owning thread
    std::unique_ptr<__CFRunLoopWaiter> mWaiter;
    std::atomic<bool> mWaiting{false};
    std::atomic<unsigned long> mWaitCount{0};
};

// Takes a source out of every mode of every run loop, calling its cancel call-back.
void __CFRunLoopSourceRemoveFromAllLoops(__CFRunLoopSource* source);
// Wakes every run loop a source is in, from any thread.
void __CFRunLoopSourceWakeLoops(__CFRunLoopSource* source);

// Mode names are compared by content; NULL or unconvertible names give "".
std::string __CFRunLoopModeName(CFStringRef mode);
