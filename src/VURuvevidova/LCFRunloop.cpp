#include "VURuvevidova/LCFRunloop.h"

LCFRunLoopTimerContext::LCFRunLoopTimerContext(void* infoIn) {
    context.version = 0;
    context.info = infoIn;
    context.retain = NULL;
    context.release = NULL;
    context.copyDescription = NULL;
}

LCFRunLoopTimer::LCFRunLoopTimer() {}

LCFRunLoopTimer::~LCFRunLoopTimer() {
    // mode and runLoop go next (members), the timer last (base).
    RemoveFromRunLoop();
}

bool LCFRunLoopTimer::CreateRelativeMulti(CFAbsoluteTime relativeTime, CFTimeInterval intervalTime,
                                          CFRunLoopTimerCallBack callout,
                                          CFRunLoopTimerContext* context,
                                          CFAllocatorRef inAllocator) {
    RemoveFromRunLoop();
    CFAbsoluteTime fireDate = CFAbsoluteTimeGetCurrent() + relativeTime;
    *this -= CFRunLoopTimerCreate(DefaultAllocator(inAllocator), fireDate, intervalTime, 0, 0,
                                  callout, context);
    return GetTypeRef() != NULL;
}

void LCFRunLoopTimer::AdoptTypeRef(CFTypeRef inTypeRef) {
    if (inTypeRef != GetTypeRef())
        RemoveFromRunLoop();
    LCFObject::AdoptTypeRef(inTypeRef);
}

void LCFRunLoopTimer::AddToRunLoop(CFRunLoopRef runLoopIn, CFStringRef modeIn) {
    // A run loop must never be handed a NULL timer or mode.
    if (GetTypeRef() == NULL || modeIn == NULL)
        return;
    // The mode is kept as an unchangeable copy: a mutable name changed by its owner later
    // would send the removal to another mode and leave this timer firing after the wrapper
    // has let go of it.
    CFStringRef modeCopy = CFStringCreateCopy(kCFAllocatorDefault, modeIn);
    if (modeCopy == NULL)
        return;
    // Retained before the old one goes: the wrapper's retain may be the last one on a run
    // loop whose thread has ended, and the caller may be handing that same run loop back.
    CFRunLoopRef target = runLoopIn != NULL ? runLoopIn : CFRunLoopGetCurrent();
    CFRetain(target);
    RemoveFromRunLoop();
    mode -= modeCopy;
    runLoop -= target;
    CFRunLoopAddTimer(runLoop, GetTypeRef(), mode);
}

void LCFRunLoopTimer::RemoveFromRunLoop() {
    if (runLoop.GetTypeRef() == NULL)
        return;
    if (GetTypeRef() != NULL)
        CFRunLoopRemoveTimer(runLoop, GetTypeRef(), mode);
    runLoop = static_cast<CFRunLoopRef>(NULL);
}
