// LCFRunLoopTimer: owns one repeating run-loop timer and remembers the run loop and mode it
// added the timer to, so that it can take the timer off again before replacing or
// destroying it. LCFRunLoopTimerContext builds the context (info pointer) a timer is
// created with. LCFRunloop is the typed wrapper of a run loop.
//
// Ownership. The timer is held with its creation's retain (taken over from
// CFRunLoopTimerCreate). The run loop is shared (retained) while the timer is on it. The
// mode is kept as an unchangeable copy (the same string when it already is one), also after
// the timer comes off, so the timer is taken off the mode it was added to. The context's info
// pointer is neither retained nor released. Replacing the timer (CreateRelativeMulti) or
// destroying the wrapper takes the old timer off its run loop first, then releases it; the
// old timer is never invalidated. A timer is therefore on at most one run loop and mode.
//
// Both may be called from inside the held timer's own call-out: the run loop keeps a firing
// timer alive until its call-out returns.
//
// AddToRunLoop without a held timer (after a failed CreateRelativeMulti) or with a NULL
// mode does nothing.
//
// Threading: use from the thread whose run loop the timer is added to.
#pragma once

#include "VURuvevidova/LCFObject.h"
#include "VURuvevidova/LCFString.h"

typedef LCFTemplate<CFRunLoopRef> LCFRunloop;

class LCFRunLoopTimerContext {
public:
    // Version 0, no retain, release or description call-backs.
    LCFRunLoopTimerContext(void* infoIn);
    virtual ~LCFRunLoopTimerContext() {}

    operator CFRunLoopTimerContext*() { return &context; }

    CFRunLoopTimerContext context;
};

class LCFRunLoopTimer : public LCFTemplate<CFRunLoopTimerRef> {
public:
    LCFRunLoopTimer();
    ~LCFRunLoopTimer() override;

    // Replaces the held timer by a new one that fires relativeTime seconds from now, then
    // every intervalTime seconds. The new timer is on no run loop yet. True when created.
    bool CreateRelativeMulti(CFAbsoluteTime relativeTime, CFTimeInterval intervalTime,
                             CFRunLoopTimerCallBack callout, CFRunLoopTimerContext* context,
                             CFAllocatorRef inAllocator);
    // runLoopIn NULL: the calling thread's run loop. Leaves any earlier run loop and mode
    // first.
    void AddToRunLoop(CFRunLoopRef runLoopIn, CFStringRef modeIn);
    void RemoveFromRunLoop();

    // Replacing the timer from outside would leave the old one firing on its run loop:
    // the timer is taken off first.
    void AdoptTypeRef(CFTypeRef inTypeRef) override;

private:
    // Only CreateRelativeMulti replaces the timer, so the run loop always knows which one it has.
    using LCFTemplate<CFRunLoopTimerRef>::Adopt;
    using LCFTemplate<CFRunLoopTimerRef>::Inherit;
    using LCFTemplate<CFRunLoopTimerRef>::operator=;
    using LCFTemplate<CFRunLoopTimerRef>::operator-=;

    LCFRunloop runLoop; // non-NULL exactly while the timer is on it
    LCFString mode;
};
