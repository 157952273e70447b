// The Carbon application event loop, as far as a faceless application uses it: the main event loop
// is the main thread's CFRunLoop, run by RunApplicationEventLoop until QuitApplicationEventLoop is
// called or the process receives SIGTERM, SIGINT or SIGHUP. Those signals are handled on the run
// loop, not in a signal handler; one that is ignored when the loop starts (as nohup ignores SIGHUP)
// stays ignored. The previous handling of the three signals is put back when
// RunApplicationEventLoop returns. A quit that comes while a call-out runs the run loop again stops
// that run and ends the application loop once the call-out has returned. A child forked while the
// loop runs meets the signals as it would have without the loop's handling, until its exec. While
// it runs, the loop also answers the Apple events other processes send (see AppleEvents.h).
// With no descriptor left for the pipe the signals are caught through (a very low ulimit -n),
// RunApplicationEventLoop says so on standard error and ends the process with EXIT_FAILURE
// (standard I/O flushed, no exit handlers run): it could not be quit cleanly.
// Threading: run and quit the application event loop on the main thread.
// Ownership: event loop references and the run loop behind them are never owned by callers.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

typedef struct OpaqueEventLoopRef* EventLoopRef;

#ifdef __cplusplus
extern "C" {
#endif

EventLoopRef GetCurrentEventLoop(void);
EventLoopRef GetMainEventLoop(void);
// Returns the loop's CFRunLoopRef (cast it, as on Mac OS X).
CFTypeRef GetCFRunLoopFromEventLoop(EventLoopRef inEventLoop);

void RunApplicationEventLoop(void);
void QuitApplicationEventLoop(void);
OSStatus QuitEventLoop(EventLoopRef inEventLoop);

#ifdef __cplusplus
}
#endif
