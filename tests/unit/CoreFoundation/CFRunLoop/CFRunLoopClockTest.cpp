// Setting the system clock moves CFAbsoluteTimeGetCurrent but must not move the run loop:
// timers and run time-outs keep to elapsed time.
#include "RunLoopTestSupport.h"

#include <CoreFoundation/CFDatePriv.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

double Steady() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs body on a fresh thread and watches it by elapsed time, since a reaper timer is itself
// dated by the clock under test: a run still going after `seconds` fails the test and is
// stopped until body returns.
template <typename Body> void OnThreadWatchedByElapsedTime(double seconds, Body body) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    CFRunLoopRef loop = nullptr;
    std::thread thread([&] {
        {
            std::lock_guard<std::mutex> guard(mutex);
            loop = CFRunLoopGetCurrent();
        }
        body();
        std::lock_guard<std::mutex> guard(mutex);
        done = true;
        finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    if (!finished.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done; })) {
        ADD_FAILURE() << "the run loop waited for the wall clock";
        // The loop lives until its thread ends, which cannot happen while we hold the lock.
        while (!done) {
            CFRunLoopStop(loop);
            finished.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    lock.unlock();
    thread.join();
}

// Puts the wall clock back where it was when the test ends.
class ClockSetter {
public:
    ~ClockSetter() { __CFAbsoluteTimeShiftWallClockForTesting(-mTotal); }
    void Shift(CFTimeInterval seconds) {
        mTotal += seconds;
        __CFAbsoluteTimeShiftWallClockForTesting(seconds);
    }

private:
    CFTimeInterval mTotal = 0;
};

struct Fires {
    ClockSetter* clock = nullptr;
    CFTimeInterval shift = 0;
    int shiftOnFire = 1;
    int stopAfter = 0;
    std::vector<double> at; // elapsed time
};

void RecordAndMaybeShift(CFRunLoopTimerRef, void* info) {
    auto* fires = static_cast<Fires*>(info);
    fires->at.push_back(Steady());
    const int count = static_cast<int>(fires->at.size());
    if (count == fires->shiftOnFire)
        fires->clock->Shift(fires->shift);
    if (count == fires->stopAfter)
        CFRunLoopStop(CFRunLoopGetCurrent());
}

CFRunLoopTimerRef AddTimer(CFTimeInterval delay, CFTimeInterval interval, Fires* fires) {
    CFRunLoopTimerContext context = {0, fires, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef timer =
        CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + delay, interval, 0,
                             0, &RecordAndMaybeShift, &context);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
    return timer;
}

void Discard(CFRunLoopTimerRef timer) {
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);
}

TEST(CFRunLoopClock, SettingTheClockEitherWayMovesNeitherTimersNorTimeOuts) {
    for (CFTimeInterval shift : {-3600.0, 3600.0}) {
        SCOPED_TRACE(shift);
        OnThreadWatchedByElapsedTime(20, [shift] {
            SCOPED_TRACE(shift); // a trace belongs to its thread
            ClockSetter clock;
            Reaper reaper;
            // The poll timer's case: set while the loop sleeps towards the next tick.
            Fires ticks{&clock, shift, 1, 0, {}};
            Fires pending{&clock, 0, 0, 1, {}};
            const double created = Steady();
            CFRunLoopTimerRef repeating = AddTimer(0.1, 0.1, &ticks);
            CFRunLoopTimerRef late = AddTimer(0.55, 0, &pending);
            EXPECT_EQ(kCFRunLoopRunStopped,
                      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false));
            ASSERT_EQ(1u, pending.at.size());
            EXPECT_GE(pending.at[0] - created, 0.5) << "fired when the clock was set";
            ASSERT_GE(ticks.at.size(), 3u);
            // The third fire is due 0.3 s after creation; a late second one (a loaded machine)
            // may bring it closer to the second, but never earlier.
            EXPECT_GE(ticks.at[2] - created, 0.29) << "fired in a burst";
            // The next fire date is told in the clock as it has been set.
            EXPECT_NEAR(CFAbsoluteTimeGetCurrent() + 0.1, CFRunLoopTimerGetNextFireDate(repeating),
                        0.5);
            Discard(repeating);
            CFRelease(late);

            Fires setter{&clock, shift, 1, 0, {}};
            CFRunLoopTimerRef oneShot = AddTimer(0.05, 0, &setter);
            const double runStart = Steady();
            EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, false));
            EXPECT_EQ(1u, setter.at.size());
            EXPECT_GE(Steady() - runStart, 0.29) << "the run ended when the clock was set";
            CFRelease(oneShot);
        });
    }
}

} // namespace
