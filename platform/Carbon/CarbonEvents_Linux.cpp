// The quit signals on Linux: a self-pipe written by a minimal handler.
#include "CarbonEvents_Internal.h"

#include "TvbWire.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kSignalCount = sizeof kQuitSignals / sizeof kQuitSignals[0];

volatile sig_atomic_t gWriteEnd = -1;
// The process whose event loop the pipe feeds; a child forked from it inherits the handler.
volatile sig_atomic_t gOwner = 0;
int gReadEnd = -1;
struct sigaction gPrevious[kSignalCount];
sigset_t gPreviousMask;

extern "C" void QuitSignalHandler(int signal) {
    int saved = errno;
    if (getpid() != gOwner) {
        // A child between fork and exec: the quit is meant for it, not for its parent's
        // loop. It gets the handling it would have had without ours, which a signal
        // raised now (held back until this handler returns) then meets.
        for (int i = 0; i < kSignalCount; ++i)
            if (kQuitSignals[i] == signal)
                sigaction(signal, &gPrevious[i], nullptr);
        raise(signal);
        errno = saved;
        return;
    }
    // The call-out in progress must not keep the loop waiting on the device host.
    tvb::wire::InterruptWaits();
    unsigned char byte = static_cast<unsigned char>(signal);
    // A full pipe already says "quit"; dropping the byte loses nothing.
    ssize_t written = write(gWriteEnd, &byte, 1);
    (void)written;
    errno = saved;
}

} // namespace

int __CarbonInstallQuitSignals() {
    // One pipe for the life of the process, never closed: a handler already running on another
    // thread as a loop ends may still write to it, and must not find its number closed and
    // perhaps reused by another file. A forked child makes its own, so that its quits do not
    // reach its parent's loop.
    if (gOwner != getpid()) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
            return -1;
        if (gReadEnd >= 0) {
            close(gReadEnd);
            close(gWriteEnd);
        }
        gReadEnd = ends[0];
        gWriteEnd = ends[1];
        gOwner = getpid();
    }
    // What a signal caught as the last run ended wrote was that run's.
    unsigned char stale[64];
    while (read(gReadEnd, stale, sizeof stale) > 0) {
    }
    // So was the stop it put on the host waits, if its handler ran on another thread and
    // finished after that run had resumed them: left set, no call of this run would wait.
    tvb::wire::ResumeWaits();

    struct sigaction action {};
    action.sa_handler = QuitSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigset_t quitSet;
    sigemptyset(&quitSet);
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kQuitSignals[i], nullptr, &gPrevious[i]);
        // Ignored on purpose by whoever started us (nohup, a shell's background job): it is
        // not a quit request here either.
        if (!(gPrevious[i].sa_flags & SA_SIGINFO) && gPrevious[i].sa_handler == SIG_IGN)
            continue;
        sigaction(kQuitSignals[i], &action, nullptr);
        sigaddset(&quitSet, kQuitSignals[i]);
    }
    // A mask inherited from the parent, unlike an ignored signal, is rarely meant for us; it
    // must not keep the quit request away.
    pthread_sigmask(SIG_UNBLOCK, &quitSet, &gPreviousMask);
    return gReadEnd;
}

void __CarbonRestoreQuitSignals() {
    if (gReadEnd < 0)
        return;
    pthread_sigmask(SIG_SETMASK, &gPreviousMask, nullptr);
    for (int i = 0; i < kSignalCount; ++i)
        sigaction(kQuitSignals[i], &gPrevious[i], nullptr);
    // Last: a quit caught until now ended the loop that is over.
    tvb::wire::ResumeWaits();
}

bool __CarbonQuitRequested() {
    return tvb::wire::WaitsInterrupted();
}

int __CarbonPollUnlessQuitting(pollfd* fds, nfds_t count, int timeoutMs) {
    // The quit signals stay blocked from the look at the flag until ppoll unblocks them: one
    // caught in between would otherwise leave the wait to run its full time.
    sigset_t quitSet, callers;
    sigemptyset(&quitSet);
    for (int signal : kQuitSignals)
        sigaddset(&quitSet, signal);
    pthread_sigmask(SIG_BLOCK, &quitSet, &callers);
    int ready = -1;
    int error = ECANCELED;
    if (!tvb::wire::WaitsInterrupted()) {
        timespec limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
        ready = ppoll(fds, count, timeoutMs < 0 ? nullptr : &limit, &callers);
        error = ready < 0 && errno == EINTR && tvb::wire::WaitsInterrupted() ? ECANCELED : errno;
    }
    pthread_sigmask(SIG_SETMASK, &callers, nullptr);
    errno = error;
    return ready;
}
