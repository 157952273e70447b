// Run loops, run-loop timers and version-0 run-loop sources.
// A run loop belongs to one thread (CFRunLoopGetCurrent creates it on first use) and
// dispatches that thread's timers and sources, one at a time, in named modes. Items added
// to kCFRunLoopCommonModes run in every mode marked common (kCFRunLoopDefaultMode is one).
// Threading: a run loop runs only on its own thread. CFRunLoopStop, CFRunLoopWakeUp,
// CFRunLoopIsWaiting and CFRunLoopSourceSignal may be called from any thread; adding and
// removing timers and sources belongs on the run loop's own thread.
// Ownership: Create rule. A run loop retains a timer or source once for each mode it is in,
// and once more while it is registered in kCFRunLoopCommonModes; removal and invalidation
// release those retains. A timer can be in one run loop only. CFRunLoopStop ends only the
// innermost run in progress and is forgotten when the loop is not running.
// CFRunLoopGetCurrent/GetMain return references
// the caller does not own. A timer keeps itself alive for the length of its own call-out,
// so the call-out may remove and release it.
// Time: fire dates are CFAbsoluteTime (wall-clock) dates, but timers and run time-outs keep
// to elapsed time from the moment a date is set: setting the system clock neither holds a
// timer back nor fires it early. A repeating timer skips the fires it missed.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDate.h>

typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopSource* CFRunLoopSourceRef;
typedef struct __CFRunLoopObserver* CFRunLoopObserverRef;
typedef struct __CFRunLoopTimer* CFRunLoopTimerRef;

// Results of CFRunLoopRunInMode.
enum {
    kCFRunLoopRunFinished = 1,
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4
};

typedef struct {
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
    Boolean (*equal)(const void* info1, const void* info2);
    CFHashCode (*hash)(const void* info);
    void (*schedule)(void* info, CFRunLoopRef rl, CFStringRef mode);
    void (*cancel)(void* info, CFRunLoopRef rl, CFStringRef mode);
    void (*perform)(void* info);
} CFRunLoopSourceContext;

typedef struct {
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
} CFRunLoopTimerContext;

typedef void (*CFRunLoopTimerCallBack)(CFRunLoopTimerRef timer, void* info);

CF_EXTERN_C_BEGIN

extern const CFStringRef kCFRunLoopDefaultMode;
extern const CFStringRef kCFRunLoopCommonModes;

CFTypeID CFRunLoopGetTypeID(void);
CFRunLoopRef CFRunLoopGetCurrent(void);
CFRunLoopRef CFRunLoopGetMain(void);

CFStringRef CFRunLoopCopyCurrentMode(CFRunLoopRef rl);
void CFRunLoopAddCommonMode(CFRunLoopRef rl, CFStringRef mode);
CFAbsoluteTime CFRunLoopGetNextTimerFireDate(CFRunLoopRef rl, CFStringRef mode);

void CFRunLoopRun(void);
SInt32 CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                          Boolean returnAfterSourceHandled);
Boolean CFRunLoopIsWaiting(CFRunLoopRef rl);
void CFRunLoopWakeUp(CFRunLoopRef rl);
void CFRunLoopStop(CFRunLoopRef rl);

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);

Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode);
void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode);
void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode);

CFTypeID CFRunLoopSourceGetTypeID(void);
CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef allocator, CFIndex order,
                                         CFRunLoopSourceContext* context);
CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source);
void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source);
Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source);
void CFRunLoopSourceGetContext(CFRunLoopSourceRef source, CFRunLoopSourceContext* context);
void CFRunLoopSourceSignal(CFRunLoopSourceRef source);

CFTypeID CFRunLoopTimerGetTypeID(void);
CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags, CFIndex order,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context);
CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer);
void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate);
CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer);
Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timer);
CFIndex CFRunLoopTimerGetOrder(CFRunLoopTimerRef timer);
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer);
Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer);
void CFRunLoopTimerGetContext(CFRunLoopTimerRef timer, CFRunLoopTimerContext* context);

CF_EXTERN_C_END
