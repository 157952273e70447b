// The run loop's private interface for tests that count its sleeps (target CoreFoundationSPI;
// not for the daemon).
// Threading: any thread.
#pragma once

#include <CoreFoundation/CFRunLoop.h>

// How many times the run loop has gone to sleep.
unsigned long __CFRunLoopGetWaitCount(CFRunLoopRef rl);
