#include "RunLoopTestSupport.h"

#include <cmath>
#include <limits>
#include <vector>

namespace {

struct Ticks {
    int count = 0;
    int stopAfter = 1;
    std::vector<CFAbsoluteTime> at;
};

void CountAndMaybeStop(CFRunLoopTimerRef, void* info) {
    auto* ticks = static_cast<Ticks*>(info);
    ticks->at.push_back(CFAbsoluteTimeGetCurrent());
    if (++ticks->count == ticks->stopAfter)
        CFRunLoopStop(CFRunLoopGetCurrent());
}

CFRunLoopTimerRef MakeTimer(CFAbsoluteTime fireDate, CFTimeInterval interval, Ticks* ticks,
                            CFIndex order = 0) {
    CFRunLoopTimerContext context = {0, ticks, nullptr, nullptr, nullptr};
    return CFRunLoopTimerCreate(kCFAllocatorDefault, fireDate, interval, 0, order,
                                &CountAndMaybeStop, &context);
}

TEST(CFRunLoopTimer, TimerInCommonModesFiresWhenRunningDefaultMode) {
    OnFreshThread([] {
        Reaper reaper;
        Ticks ticks;
        CFAbsoluteTime fireDate = CFAbsoluteTimeGetCurrent() + 0.05;
        CFRunLoopTimerRef timer = MakeTimer(fireDate, 0, &ticks);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);

        EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false));
        ASSERT_EQ(1, ticks.count);
        EXPECT_GE(ticks.at[0], fireDate);
        CFRelease(timer);
    });
}

TEST(CFRunLoopTimer, CommonModeItemsJoinModesMarkedCommonButNotOthers) {
    OnFreshThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        Ticks ticks;
        CFRunLoopTimerRef timer = MakeTimer(CFAbsoluteTimeGetCurrent() - 1, 0, &ticks);
        CFRunLoopAddTimer(rl, timer, kCFRunLoopCommonModes);

        // A mode that is not common never sees it, even with the timer overdue.
        Reaper privateModeItem(1000, CFSTR("Private"));
        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(CFSTR("Private"), 0.05, false));
        EXPECT_EQ(0, ticks.count);

        // Marked common after the fact: the common items join it.
        CFRunLoopAddCommonMode(rl, CFSTR("Tracking"));
        EXPECT_TRUE(CFRunLoopContainsTimer(rl, timer, CFSTR("Tracking")));
        Reaper reaper(10, CFSTR("Tracking"));
        EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(CFSTR("Tracking"), 10, false));
        EXPECT_EQ(1, ticks.count);
        CFRelease(timer);
    });
}

TEST(CFRunLoopTimer, RepeatingTimerSkipsMissedFiresInsteadOfPilingUp) {
    OnFreshThread([] {
        Reaper reaper;
        Ticks ticks;
        CFAbsoluteTime scheduled = CFAbsoluteTimeGetCurrent() - 10.5;
        CFRunLoopTimerRef timer = MakeTimer(scheduled, 1.0, &ticks);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);

        EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false));
        CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
        CFAbsoluteTime next = CFRunLoopTimerGetNextFireDate(timer);
        EXPECT_EQ(1, ticks.count);
        EXPECT_GT(next, ticks.at[0]);
        EXPECT_LE(next, now + 1.0);
        double periods = next - scheduled;
        EXPECT_NEAR(periods, std::round(periods), 1e-6) << "not on the timer's own schedule";
        EXPECT_TRUE(CFRunLoopTimerIsValid(timer));
        EXPECT_TRUE(CFRunLoopTimerDoesRepeat(timer));
        CFRunLoopTimerInvalidate(timer);
        CFRelease(timer);
    });
}

TEST(CFRunLoopTimer, OneShotTimerInvalidatesItselfAndTheEmptiedModeFinishes) {
    OnFreshThread([] {
        Ticks ticks;
        ticks.stopAfter = 0;
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        CFRunLoopTimerRef timer = MakeTimer(CFAbsoluteTimeGetCurrent(), 0, &ticks);
        CFRunLoopAddTimer(rl, timer, CFSTR("OneShot"));
        EXPECT_EQ(2, CFGetRetainCount(timer));

        EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(CFSTR("OneShot"), 10, false));
        EXPECT_EQ(1, ticks.count);
        EXPECT_FALSE(CFRunLoopTimerIsValid(timer));
        EXPECT_FALSE(CFRunLoopContainsTimer(rl, timer, CFSTR("OneShot")));
        EXPECT_EQ(1, CFGetRetainCount(timer));
        CFRelease(timer);
    });
}

TEST(CFRunLoopTimer, TimersDueTogetherFireByDateThenOrder) {
    OnFreshThread([] {
        Ticks first, second, third;
        third.stopAfter = 1;
        first.stopAfter = second.stopAfter = 0;
        CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
        CFRunLoopTimerRef timers[] = {MakeTimer(now - 1, 0, &third, 5),
                                      MakeTimer(now - 2, 0, &first, 9),
                                      MakeTimer(now - 1, 0, &second, 1)};
        for (auto* timer : timers)
            CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
        Reaper reaper;
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false);
        ASSERT_EQ(1, first.count);
        ASSERT_EQ(1, second.count);
        ASSERT_EQ(1, third.count);
        EXPECT_LE(first.at[0], second.at[0]);
        EXPECT_LE(second.at[0], third.at[0]);
        for (auto* timer : timers)
            CFRelease(timer);
    });
}

// The poll cycle's pattern: from inside its own call-out the timer is taken off the loop,
// released, and a new one is made relativeTime from now and added.
struct Replacer {
    CFRunLoopTimerRef current = nullptr;
    int calls = 0;
    int releases = 0;
    int releasesSeenInsideCallout = -1;
    CFAbsoluteTime replacedAt = 0;
    CFAbsoluteTime newFireDate = 0;
    CFAbsoluteTime secondCallAt = 0;
    bool oldTimerStillUsable = false;
};

void CountRelease(const void* info) {
    ++static_cast<Replacer*>(const_cast<void*>(info))->releases;
}

void ReplaceFromOwnCallout(CFRunLoopTimerRef timer, void* info) {
    auto* state = static_cast<Replacer*>(info);
    if (++state->calls == 2) {
        state->secondCallAt = CFAbsoluteTimeGetCurrent();
        CFRunLoopStop(CFRunLoopGetCurrent());
        return;
    }
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    CFRunLoopRemoveTimer(rl, state->current, kCFRunLoopCommonModes);
    CFRelease(state->current);
    // Both the run loop and its owner have let go; it must survive until we return.
    state->oldTimerStillUsable =
        CFRunLoopTimerIsValid(timer) && CFRunLoopTimerGetInterval(timer) == 0.05;
    state->releasesSeenInsideCallout = state->releases;

    const CFTimeInterval relativeTime = 0.3;
    state->replacedAt = CFAbsoluteTimeGetCurrent();
    state->newFireDate = state->replacedAt + relativeTime;
    CFRunLoopTimerContext context = {0, state, nullptr, &CountRelease, nullptr};
    state->current = CFRunLoopTimerCreate(kCFAllocatorDefault, state->newFireDate, 3.0, 0, 0,
                                          &ReplaceFromOwnCallout, &context);
    CFRunLoopAddTimer(rl, state->current, kCFRunLoopCommonModes);
}

TEST(CFRunLoopTimer, TimerReplacedFromItsOwnCalloutFiresRelativeTimeAfterTheCall) {
    OnFreshThread([] {
        Reaper reaper;
        Replacer state;
        CFRunLoopTimerContext context = {0, &state, nullptr, &CountRelease, nullptr};
        // The old schedule would fire every 0.05 s; the replacement must not.
        state.current = CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent(), 0.05,
                                             0, 0, &ReplaceFromOwnCallout, &context);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), state.current, kCFRunLoopCommonModes);

        EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false));
        EXPECT_EQ(2, state.calls);
        EXPECT_TRUE(state.oldTimerStillUsable);
        EXPECT_EQ(0, state.releasesSeenInsideCallout);
        EXPECT_EQ(1, state.releases) << "the replaced timer was not freed after its call-out";
        EXPECT_GE(state.secondCallAt, state.newFireDate);
        EXPECT_DOUBLE_EQ(state.newFireDate + 3.0, CFRunLoopTimerGetNextFireDate(state.current));

        CFRunLoopRemoveTimer(CFRunLoopGetCurrent(), state.current, kCFRunLoopCommonModes);
        EXPECT_EQ(1, CFGetRetainCount(state.current));
        CFRelease(state.current);
        EXPECT_EQ(2, state.releases);
    });
}

void RemoveSelfOnThirdTick(CFRunLoopTimerRef timer, void* info) {
    if (++static_cast<Ticks*>(info)->count == 3)
        CFRunLoopRemoveTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
}

TEST(CFRunLoopTimer, RemovedTimerStopsFiring) {
    OnFreshThread([] {
        // Keeps the mode busy so the run lasts its whole time-out.
        Reaper reaper(1000);
        Ticks ticks;
        CFRunLoopTimerContext context = {0, &ticks, nullptr, nullptr, nullptr};
        CFRunLoopTimerRef timer =
            CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent(), 0.01, 0, 0,
                                 &RemoveSelfOnThirdTick, &context);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);

        EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, false));
        EXPECT_EQ(3, ticks.count);
        EXPECT_FALSE(CFRunLoopContainsTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode));
        EXPECT_TRUE(CFRunLoopTimerIsValid(timer));
        EXPECT_EQ(1, CFGetRetainCount(timer));
        CFRelease(timer);
    });
}

TEST(CFRunLoopTimer, InvalidatedTimerLeavesEveryModeAndCannotBeAddedAgain) {
    OnFreshThread([] {
        CFRunLoopRef rl = CFRunLoopGetCurrent();
        Ticks ticks;
        CFRunLoopTimerRef timer = MakeTimer(CFAbsoluteTimeGetCurrent() - 1, 1.0, &ticks);
        CFRunLoopAddTimer(rl, timer, kCFRunLoopCommonModes);
        CFRunLoopAddTimer(rl, timer, CFSTR("Other"));
        EXPECT_EQ(4, CFGetRetainCount(timer)); // ours, common items, default mode, "Other"

        CFRunLoopTimerInvalidate(timer);
        EXPECT_FALSE(CFRunLoopTimerIsValid(timer));
        EXPECT_EQ(1, CFGetRetainCount(timer));
        CFRunLoopAddTimer(rl, timer, kCFRunLoopDefaultMode);
        EXPECT_FALSE(CFRunLoopContainsTimer(rl, timer, kCFRunLoopDefaultMode));

        EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1, false));
        EXPECT_EQ(0, ticks.count);
        CFRelease(timer);
    });
}

TEST(CFRunLoopTimer, DatesAndIntervalsOutsideTheNumbersNeitherStallNorRepeatWrongly) {
    OnFreshThread([] {
        Reaper reaper;
        const double inf = std::numeric_limits<double>::infinity();
        const double nan = std::numeric_limits<double>::quiet_NaN();
        // Due since forever: fires at once and then keeps its interval.
        Ticks always;
        always.stopAfter = 3;
        CFRunLoopTimerRef sinceForever = MakeTimer(-inf, 0.02, &always);
        // Not a number: fires at once; an interval that is no number fires only once.
        Ticks once;
        once.stopAfter = 0;
        CFRunLoopTimerRef noNumber = MakeTimer(nan, nan, &once);
        Ticks never;
        CFRunLoopTimerRef atInfinity = MakeTimer(inf, 1.0, &never);
        for (auto* timer : {sinceForever, noNumber, atInfinity})
            CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);

        EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false));
        EXPECT_EQ(3, always.count);
        const CFAbsoluteTime next = CFRunLoopTimerGetNextFireDate(sinceForever);
        EXPECT_TRUE(std::isfinite(next));
        EXPECT_NEAR(CFAbsoluteTimeGetCurrent(), next, 1.0);
        EXPECT_EQ(1, once.count);
        EXPECT_FALSE(CFRunLoopTimerIsValid(noNumber));
        EXPECT_EQ(0, never.count);
        for (auto* timer : {sinceForever, noNumber, atInfinity}) {
            CFRunLoopTimerInvalidate(timer);
            CFRelease(timer);
        }
    });
}

struct ContextCounts {
    int retains = 0;
    int releases = 0;
};

const void* CountRetain(const void* info) {
    ++static_cast<ContextCounts*>(const_cast<void*>(info))->retains;
    return info;
}

void CountContextRelease(const void* info) {
    ++static_cast<ContextCounts*>(const_cast<void*>(info))->releases;
}

TEST(CFRunLoopTimer, CreationCopiesAndRetainsTheContextAndDeallocationReleasesIt) {
    ContextCounts counts;
    CFRunLoopTimerContext context = {0, &counts, &CountRetain, &CountContextRelease, nullptr};
    CFRunLoopTimerRef timer =
        CFRunLoopTimerCreate(kCFAllocatorDefault, 0, 2.5, 0, 7, &CountAndMaybeStop, &context);
    context.info = nullptr; // the timer kept its own copy
    CFRunLoopTimerContext copy{};
    CFRunLoopTimerGetContext(timer, &copy);
    EXPECT_EQ(&counts, copy.info);
    EXPECT_EQ(1, counts.retains);
    EXPECT_EQ(2.5, CFRunLoopTimerGetInterval(timer));
    EXPECT_EQ(7, CFRunLoopTimerGetOrder(timer));
    EXPECT_EQ(CFRunLoopTimerGetTypeID(), CFGetTypeID(timer));

    CFRunLoopTimerInvalidate(timer);
    EXPECT_EQ(0, counts.releases) << "released before deallocation";
    CFRelease(timer);
    EXPECT_EQ(1, counts.releases);
}

void PostponeFarAway(CFRunLoopTimerRef timer, void* info) {
    static_cast<Ticks*>(info)->count++;
    CFRunLoopTimerSetNextFireDate(timer, CFAbsoluteTimeGetCurrent() + 1000);
    CFRunLoopStop(CFRunLoopGetCurrent());
}

TEST(CFRunLoopTimer, FireDateSetDuringCalloutIsKept) {
    OnFreshThread([] {
        Reaper reaper;
        Ticks ticks;
        CFRunLoopTimerContext context = {0, &ticks, nullptr, nullptr, nullptr};
        CFRunLoopTimerRef timer =
            CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent(), 0.01, 0, 0,
                                 &PostponeFarAway, &context);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false);
        EXPECT_EQ(1, ticks.count);
        EXPECT_GT(CFRunLoopTimerGetNextFireDate(timer), CFAbsoluteTimeGetCurrent() + 900);
        CFRunLoopTimerInvalidate(timer);
        CFRelease(timer);
    });
}

TEST(CFRunLoopTimer, ThreadEndReleasesItsLoopsTimers) {
    Ticks ticks;
    CFRunLoopTimerRef timer = MakeTimer(CFAbsoluteTimeGetCurrent() + 1000, 1.0, &ticks);
    OnFreshThread([timer] {
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
        EXPECT_EQ(3, CFGetRetainCount(timer));
    });
    EXPECT_EQ(1, CFGetRetainCount(timer));
    CFRelease(timer);
}

} // namespace
