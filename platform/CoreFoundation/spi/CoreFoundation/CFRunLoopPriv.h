// The run loop's private interface for tests that count its sleeps or check its ids (target
// CoreFoundationSPI; not for the daemon). Threading: any thread.
#pragma once

#include <CoreFoundation/CFRunLoop.h>

// How many times the run loop has gone to sleep.
unsigned long __CFRunLoopGetWaitCount(CFRunLoopRef rl);

// The process and thread ids, remembered: each is a system call, a tick asks for them on every
// pass, and they change only in the child of a fork (which forgets them).
long __CFRunLoopProcessId();
long __CFRunLoopThreadId();
