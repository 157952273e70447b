// Private side of the Carbon event loop: the quit signals (SIGTERM, SIGINT, SIGHUP) turned
// into bytes on a pipe, so that the run loop, not a signal handler, acts on them.
// Threading: install and restore on the thread that runs the application event loop.
// Ownership: the pipe belongs to this module; callers only read from the descriptor.
#pragma once

#include <poll.h>

// Installs the handlers and returns the pipe's non-blocking read end, or -1 on failure
// (the previous handling is then left untouched).
int __CarbonInstallQuitSignals();
// Puts the previous handling and signal mask back; the pipe stays for the next run.
void __CarbonRestoreQuitSignals();

// Whether a quit signal has been caught in the run of the event loop now going on: waits in
// call-outs (a launch, an offer of documents) then give up at once.
bool __CarbonQuitRequested();
// poll(), except that a quit signal caught before or during it ends it: -1 with errno ECANCELED.
// A signal that only interrupts it gives -1 with EINTR, as poll() does.
int __CarbonPollUnlessQuitting(pollfd* fds, nfds_t count, int timeoutMs);
