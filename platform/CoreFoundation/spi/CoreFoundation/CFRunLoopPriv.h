// The run loop's private interface for tests that count its sleeps or check its ids, and for
// the Carbon event loop, which must end its own run however deeply call-outs have nested
// others inside it (target CoreFoundationSPI; not for the daemon). Threading: any thread.
#pragma once

#include <CoreFoundation/CFRunLoop.h>

// How many times the run loop has gone to sleep.
unsigned long __CFRunLoopGetWaitCount(CFRunLoopRef rl);

// The process and thread ids, remembered: each is a system call, a tick asks for them on every
// pass, and they change only in the child of a fork (which forgets them).
long __CFRunLoopProcessId();
long __CFRunLoopThreadId();

// How many runs of the loop are in progress: 0 when it is not running, 1 plus one for each
// run started from a call-out inside another.
CFIndex __CFRunLoopGetRunDepth(CFRunLoopRef rl);
// Stops the run at that depth (1 is the outermost) as CFRunLoopStop stops the innermost: it
// returns kCFRunLoopRunStopped once the runs nested inside it, which go on, have returned.
// Nothing happens when no run is at that depth.
void __CFRunLoopStopRunAtDepth(CFRunLoopRef rl, CFIndex depth);
