// The application event loop runs in forked children: it takes over signal handling and the
// main run loop, neither of which the test runner should lend out.
#include <Carbon/Carbon.h>

#include "TvbWire.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Exit codes a child uses to say which check failed.
enum ChildResult {
    kChildPassed = 0,
    kLoopNeverRan = 10,
    kHandlingNotRestored,
    kLoopNotCleanedUp,
    kWrongOrder,
    kForkedChildSurvived,
    kHostWaitsStillInterrupted,
    kRanWithoutWatchingQuits,
    kSetUpFailed,
    kReaperFired = 20,
};

void Reap(CFRunLoopTimerRef, void*) {
    _exit(kReaperFired);
}

CFRunLoopTimerRef AddMainTimer(CFTimeInterval delay, CFRunLoopTimerCallBack callout,
                               void* info = nullptr) {
    CFRunLoopTimerContext context = {0, info, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + delay, 0, 0, 0, callout, &context);
    CFRunLoopAddTimer(
        static_cast<CFRunLoopRef>(const_cast<void*>(GetCFRunLoopFromEventLoop(GetMainEventLoop()))),
        timer, kCFRunLoopCommonModes);
    return timer;
}

// The reaper of the child InChild started: a loop that never ends fails with kReaperFired.
CFRunLoopTimerRef gReaper;

// Forks; the child runs body and exits with its result, which InChild returns. The child ends
// with _exit, so nothing it made needs releasing. It starts from the quit signals' default
// handling: one the test runner was started ignoring, the loop would leave ignored.
int InChild(const std::function<int(pid_t)>& body, const std::function<void(pid_t)>& parent = {}) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(30);
        for (int quit : {SIGTERM, SIGINT, SIGHUP})
            signal(quit, SIG_DFL);
        gReaper = AddMainTimer(20, &Reap);
        _exit(body(getpid()));
    }
    if (parent)
        parent(pid);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool IsDefaultDisposition(int signal) {
    struct sigaction current {};
    sigaction(signal, nullptr, &current);
    return current.sa_handler == SIG_DFL;
}

int gReadyPipe[2];

void TellParentReady(CFRunLoopTimerRef, void*) {
    char ready = 'r';
    ssize_t written = write(gReadyPipe[1], &ready, 1);
    (void)written;
}

TEST(CarbonEventLoop, QuitSignalFromOutsideEndsRunApplicationEventLoop) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        ASSERT_EQ(0, pipe(gReadyPipe));
        int result = InChild(
            [signal](pid_t) {
                // Fires inside the loop, so the signal handling is in place by then.
                AddMainTimer(0, &TellParentReady);
                RunApplicationEventLoop();
                if (!IsDefaultDisposition(signal))
                    return kHandlingNotRestored;
                // The quit stopped the process's waits on the device host only until the end of
                // the loop it ended.
                if (tvb::wire::WaitsInterrupted())
                    return kHostWaitsStillInterrupted;
                CFRunLoopTimerInvalidate(gReaper);
                // Everything the event loop added is gone again.
                if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false) != kCFRunLoopRunFinished)
                    return kLoopNotCleanedUp;
                return kChildPassed;
            },
            [signal](pid_t child) {
                char ready = 0;
                EXPECT_EQ(1, read(gReadyPipe[0], &ready, 1));
                kill(child, signal);
            });
        close(gReadyPipe[0]);
        close(gReadyPipe[1]);
        EXPECT_EQ(kChildPassed, result);
    }
}

TEST(CarbonEventLoop, SignalSentToSelfFromACalloutEndsTheLoopAndRestoresHandlers) {
    int result = InChild([](pid_t) {
        // A handler of our own must be back in place afterwards.
        struct sigaction mine {};
        mine.sa_handler = [](int) {};
        sigaction(SIGHUP, &mine, nullptr);
        AddMainTimer(0.01, [](CFRunLoopTimerRef, void*) { kill(getpid(), SIGTERM); });
        RunApplicationEventLoop();
        struct sigaction now {};
        sigaction(SIGHUP, nullptr, &now);
        if (now.sa_handler != mine.sa_handler || !IsDefaultDisposition(SIGTERM))
            return kHandlingNotRestored;
        return kChildPassed;
    });
    EXPECT_EQ(kChildPassed, result);
}

// Quit signals meant for someone else leave the loop running: a child forked while it runs and
// sent SIGTERM before its exec ends as it would without our handler, and a hang-up ignored when
// the loop started (as nohup starts a program) stays ignored.
TEST(CarbonEventLoop, QuitSignalsToAForkedChildOrIgnoredAtStartLeaveTheLoopRunning) {
    int result = InChild([](pid_t) {
        static int step = 0, childFate = -1;
        signal(SIGHUP, SIG_IGN);
        AddMainTimer(0.01, [](CFRunLoopTimerRef, void*) {
            pid_t child = fork();
            if (child == 0) {
                sleep(5); // a handled signal cuts it short; one that kills ends the process
                _exit(kChildPassed);
            }
            int status = 0;
            if (child > 0) { // without one, kill(-1) would reach every process of the user
                kill(child, SIGTERM);
                waitpid(child, &status, 0);
            }
            childFate = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            step = 1;
            kill(getpid(), SIGHUP);
        });
        AddMainTimer(0.3, [](CFRunLoopTimerRef, void*) {
            step = step == 1 ? 2 : -1;
            QuitApplicationEventLoop();
        });
        RunApplicationEventLoop();
        if (childFate != SIGTERM)
            return kForkedChildSurvived;
        if (step != 2)
            return step == 0 ? kLoopNeverRan : kWrongOrder;
        // signal() hands back the disposition it replaces.
        return signal(SIGHUP, SIG_DFL) == SIG_IGN ? kChildPassed : kHandlingNotRestored;
    });
    EXPECT_EQ(kChildPassed, result);
}

TEST(CarbonEventLoop, MoreQuitSignalsThanThePipeHoldsStillEndTheLoop) {
    int result = InChild([](pid_t) {
        // None is read meanwhile: the handler must drop what does not fit, not wait for room.
        AddMainTimer(0, [](CFRunLoopTimerRef, void*) {
            for (int i = 0; i < 70000; ++i)
                kill(getpid(), SIGTERM);
        });
        RunApplicationEventLoop();
        return kChildPassed;
    });
    EXPECT_EQ(kChildPassed, result);
}

// A quit signal caught in the run's last pass, after the pass has looked at the signals, ended
// nothing; the next run must not take it for its own quit.
TEST(CarbonEventLoop, QuitSignalCaughtAsTheLoopEndsDoesNotEndTheNextRun) {
    int result = InChild([](pid_t) {
        static int step = 0;
        static CFRunLoopTimerRef late = AddMainTimer(1000, [](CFRunLoopTimerRef, void*) {
            step = step == 1 ? 2 : -1;
            kill(getpid(), SIGTERM);
        });
        // Dated to now by the quit's call-out, the late timer fires in the pass that ends the run.
        AddMainTimer(0.01, [](CFRunLoopTimerRef, void*) {
            step = 1;
            QuitApplicationEventLoop();
            CFRunLoopTimerSetNextFireDate(late, CFAbsoluteTimeGetCurrent());
        });
        RunApplicationEventLoop();
        if (step != 2)
            return step == 0 ? kLoopNeverRan : kWrongOrder;
        AddMainTimer(0.05, [](CFRunLoopTimerRef, void*) {
            step = step == 2 ? 3 : -1;
            QuitApplicationEventLoop();
        });
        RunApplicationEventLoop();
        return step == 3 ? kChildPassed : kWrongOrder;
    });
    EXPECT_EQ(kChildPassed, result);
}

// A handler that ran on another thread as the last run ended may stop the host waits after
// that run resumed them; the next run must wait on the host again all the same.
TEST(CarbonEventLoop, HostWaitsStoppedAfterTheLastRunEndedAreBackInTheNextRun) {
    int result = InChild([](pid_t) {
        static int step = 0;
        AddMainTimer(0.01, [](CFRunLoopTimerRef, void*) {
            step = 1;
            QuitApplicationEventLoop();
        });
        RunApplicationEventLoop();
        if (step != 1)
            return kLoopNeverRan;
        tvb::wire::InterruptWaits(); // what the late handler does
        AddMainTimer(0.01, [](CFRunLoopTimerRef, void*) {
            step = tvb::wire::WaitsInterrupted() ? -1 : 2;
            QuitApplicationEventLoop();
        });
        RunApplicationEventLoop();
        return step == 2 ? kChildPassed : kHostWaitsStillInterrupted;
    });
    EXPECT_EQ(kChildPassed, result);
}

// A quit signal the loop cannot watch for would end the process by its default action, past
// everything that follows the loop: short of a descriptor for it, the loop ends the process with
// a failure and says why.
TEST(CarbonEventLoop, NoDescriptorsForTheQuitSignalsEndTheProcessWithAFailure) {
    int errors[2];
    ASSERT_EQ(0, pipe(errors));
    const int result = InChild([&errors](pid_t) {
        close(errors[0]);
        if (dup2(errors[1], STDERR_FILENO) < 0)
            return kSetUpFailed;
        close(errors[1]);
        // A source and a wait met once at the full limit: the sanitizers check a type they meet
        // for the first time through a pipe of their own.
        CFRunLoopSourceContext context{};
        CFRunLoopSourceRef early = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
        CFRunLoopAddSource(CFRunLoopGetMain(), early, kCFRunLoopCommonModes);
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, false);
        CFRunLoopSourceInvalidate(early);
        CFRelease(early);
        AddMainTimer(0.2, [](CFRunLoopTimerRef, void*) { QuitApplicationEventLoop(); });
        // One descriptor left where the quit signals' pipe needs two.
        const int lowest = dup(STDERR_FILENO);
        rlimit files{};
        if (lowest < 0 || close(lowest) != 0 || getrlimit(RLIMIT_NOFILE, &files) != 0)
            return kSetUpFailed;
        files.rlim_cur = static_cast<rlim_t>(lowest) + 1;
        if (setrlimit(RLIMIT_NOFILE, &files) != 0)
            return kSetUpFailed;
        RunApplicationEventLoop();
        return kRanWithoutWatchingQuits;
    });
    close(errors[1]);
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = read(errors[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    close(errors[0]);
    EXPECT_EQ(EXIT_FAILURE, result) << text;
    EXPECT_NE(std::string::npos, text.find("cannot watch the quit signals: Too many open files"))
        << text;
    EXPECT_EQ(std::string::npos, text.find("runtime error")) << text;
}

TEST(CarbonEventLoop, QuitFromATimerReturnsAfterEarlierStopsAreIgnored) {
    int result = InChild([](pid_t) {
        static int step = 0;
        // A plain run-loop stop is not a quit: the application loop keeps going.
        AddMainTimer(0.01, [](CFRunLoopTimerRef, void*) {
            step = 1;
            CFRunLoopStop(CFRunLoopGetCurrent());
        });
        AddMainTimer(0.1, [](CFRunLoopTimerRef, void*) {
            step = step == 1 ? 2 : -1;
            QuitApplicationEventLoop();
        });
        RunApplicationEventLoop();
        if (step != 2)
            return step == 0 ? kLoopNeverRan : kWrongOrder;
        return kChildPassed;
    });
    EXPECT_EQ(kChildPassed, result);
}

// A call-out that runs the loop again, as one waiting for a reply would, and a quit signal
// that arrives meanwhile: the nested run stops, and the application loop ends once the
// call-out has returned.
TEST(CarbonEventLoop, QuitDuringANestedRunEndsTheApplicationLoopAfterIt) {
    int result = InChild([](pid_t) {
        static int step = 0;
        AddMainTimer(0.01, [](CFRunLoopTimerRef, void*) {
            AddMainTimer(0.05, [](CFRunLoopTimerRef, void*) { kill(getpid(), SIGTERM); });
            step = 1;
            const SInt32 nested = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false);
            step = step == 1 && nested == kCFRunLoopRunStopped ? 2 : -1;
        });
        RunApplicationEventLoop();
        if (step != 2)
            return step == 0 ? kLoopNeverRan : kWrongOrder;
        return kChildPassed;
    });
    EXPECT_EQ(kChildPassed, result);
}

TEST(CarbonEventLoop, QuitFromAnotherThreadWakesTheSleepingLoop) {
    int result = InChild([](pid_t) {
        CFRunLoopRef main = CFRunLoopGetMain();
        std::thread quitter([main] {
            while (!CFRunLoopIsWaiting(main))
                usleep(1000);
            QuitApplicationEventLoop();
        });
        RunApplicationEventLoop();
        quitter.join();
        return kChildPassed;
    });
    EXPECT_EQ(kChildPassed, result);
}

TEST(CarbonEventLoop, QuitBeforeRunMakesTheNextRunReturnAtOnce) {
    int result = InChild([](pid_t) {
        QuitApplicationEventLoop();
        RunApplicationEventLoop();
        return kChildPassed;
    });
    EXPECT_EQ(kChildPassed, result);
}

TEST(CarbonEventLoop, EventLoopsAreTheirThreadsRunLoops) {
    EXPECT_EQ(GetMainEventLoop(), GetCurrentEventLoop());
    EXPECT_EQ(static_cast<CFTypeRef>(CFRunLoopGetMain()),
              GetCFRunLoopFromEventLoop(GetMainEventLoop()));
    EventLoopRef other = nullptr;
    CFTypeRef otherRunLoop = nullptr;
    std::thread thread([&] {
        other = GetCurrentEventLoop();
        otherRunLoop = CFRunLoopGetCurrent();
    });
    thread.join();
    EXPECT_NE(GetMainEventLoop(), other);
    EXPECT_EQ(otherRunLoop, GetCFRunLoopFromEventLoop(other));
    EXPECT_EQ(paramErr, QuitEventLoop(nullptr));
}

} // namespace
