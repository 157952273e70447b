// LCFRunLoopTimer on the test thread's own run loop. Every run of the loop is guarded by a
// reaper timer that fails the test and stops the loop if the awaited call-out never comes.
#include "VURuvevidova/LCFRunloop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

CFRunLoopTimerRef RetainTimer(CFRunLoopTimerRef timer) {
    CFRetain(timer);
    return timer;
}

const CFStringRef kTestMode = CFSTR("LCFRunloopTestMode");

class Reaper {
public:
    Reaper(CFStringRef mode, CFTimeInterval seconds) {
        CFRunLoopTimerContext context = {0, this, NULL, NULL, NULL};
        mTimer = CFRunLoopTimerCreate(NULL, CFAbsoluteTimeGetCurrent() + seconds, 0, 0, 0, Fire,
                                      &context);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), mTimer, mode);
    }
    ~Reaper() {
        CFRunLoopTimerInvalidate(mTimer);
        CFRelease(mTimer);
    }
    bool Fired() const { return mFired; }

private:
    static void Fire(CFRunLoopTimerRef, void* info) {
        static_cast<Reaper*>(info)->mFired = true;
        ADD_FAILURE() << "reaper fired: the awaited call-out never came";
        CFRunLoopStop(CFRunLoopGetCurrent());
    }
    CFRunLoopTimerRef mTimer;
    bool mFired = false;
};

// Runs the current run loop in mode until a call-out stops it (or the reaper does).
void RunUntilStopped(CFStringRef mode) {
    Reaper reaper(mode, 20.0);
    CFRunLoopRunInMode(mode, 30.0, false);
    EXPECT_FALSE(reaper.Fired());
}

struct Firing {
    std::vector<CFRunLoopTimerRef> timers; // the timer of each call-out, in order
    std::vector<CFAbsoluteTime> times;
    int stopAfter = 1;
};

void RecordAndStop(CFRunLoopTimerRef timer, void* info) {
    Firing* firing = static_cast<Firing*>(info);
    firing->timers.push_back(timer);
    firing->times.push_back(CFAbsoluteTimeGetCurrent());
    if (static_cast<int>(firing->timers.size()) >= firing->stopAfter)
        CFRunLoopStop(CFRunLoopGetCurrent());
}

void NeverCalled(CFRunLoopTimerRef, void*) {
    ADD_FAILURE() << "unexpected call-out";
}

TEST(LCFRunLoopTimer, CreateRelativeMultiMakesARepeatingTimerDueAfterTheDelay) {
    LCFRunLoopTimer timer;
    LCFRunLoopTimerContext context(NULL);
    CFAbsoluteTime before = CFAbsoluteTimeGetCurrent();
    ASSERT_TRUE(timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL));
    CFAbsoluteTime after = CFAbsoluteTimeGetCurrent();
    CFRunLoopTimerRef held = timer.GetTypeRef();
    ASSERT_NE(held, nullptr);
    EXPECT_GE(CFRunLoopTimerGetNextFireDate(held), before + 500.0);
    EXPECT_LE(CFRunLoopTimerGetNextFireDate(held), after + 500.0);
    EXPECT_EQ(CFRunLoopTimerGetInterval(held), 3.0);
    EXPECT_TRUE(CFRunLoopTimerDoesRepeat(held));
    EXPECT_EQ(CFGetRetainCount(held), 1);
    EXPECT_FALSE(CFRunLoopContainsTimer(CFRunLoopGetCurrent(), held, kCFRunLoopDefaultMode));
}

TEST(LCFRunLoopTimer, CreatingTwiceReleasesTheFirstTimerThatWasNeverAdded) {
    LCFRunLoopTimer timer;
    LCFRunLoopTimerContext context(NULL);
    ASSERT_TRUE(timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL));
    CFRunLoopTimerRef first = RetainTimer(timer.GetTypeRef());
    ASSERT_TRUE(timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL));
    EXPECT_NE(timer.GetTypeRef(), first);
    EXPECT_EQ(CFGetRetainCount(first), 1);
    EXPECT_EQ(CFGetRetainCount(timer.GetTypeRef()), 1);
    CFRelease(first);
}

TEST(LCFRunLoopTimer, CreatingOnAScheduledWrapperTakesTheOldTimerOff) {
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    LCFRunLoopTimer timer;
    LCFRunLoopTimerContext context(NULL);
    timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL);
    timer.AddToRunLoop(runLoop, kCFRunLoopDefaultMode);
    CFRunLoopTimerRef old = RetainTimer(timer.GetTypeRef());
    ASSERT_TRUE(CFRunLoopContainsTimer(runLoop, old, kCFRunLoopDefaultMode));

    ASSERT_TRUE(timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL));
    EXPECT_FALSE(CFRunLoopContainsTimer(runLoop, old, kCFRunLoopDefaultMode));
    EXPECT_FALSE(CFRunLoopContainsTimer(runLoop, timer.GetTypeRef(), kCFRunLoopDefaultMode));
    EXPECT_EQ(CFGetRetainCount(old), 1);
    // Taken off, not invalidated.
    EXPECT_TRUE(CFRunLoopTimerIsValid(old));
    CFRelease(old);
}

TEST(LCFRunLoopTimer, AddToRunLoopWithNullUsesTheCurrentRunLoop) {
    Firing firing;
    LCFRunLoopTimer timer;
    LCFRunLoopTimerContext context(&firing);
    ASSERT_TRUE(timer.CreateRelativeMulti(0.0, 1000.0, RecordAndStop, context, NULL));
    timer.AddToRunLoop(NULL, kCFRunLoopDefaultMode);
    EXPECT_TRUE(
        CFRunLoopContainsTimer(CFRunLoopGetCurrent(), timer.GetTypeRef(), kCFRunLoopDefaultMode));
    RunUntilStopped(kCFRunLoopDefaultMode);
    ASSERT_EQ(firing.timers.size(), 1u);
    EXPECT_EQ(firing.timers[0], timer.GetTypeRef());
}

TEST(LCFRunLoopTimer, AddingInCommonModesFiresInTheDefaultMode) {
    Firing firing;
    LCFRunLoopTimer timer;
    LCFRunLoopTimerContext context(&firing);
    timer.CreateRelativeMulti(0.0, 1000.0, RecordAndStop, context, NULL);
    timer.AddToRunLoop(CFRunLoopGetCurrent(), kCFRunLoopCommonModes);
    RunUntilStopped(kCFRunLoopDefaultMode);
    EXPECT_EQ(firing.timers.size(), 1u);
}

TEST(LCFRunLoopTimer, AddingAgainMovesTheTimerToTheNewModeOnly) {
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFIndex runLoopCount = CFGetRetainCount(runLoop);
    LCFRunLoopTimer timer;
    LCFRunLoopTimerContext context(NULL);
    timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL);
    CFRunLoopTimerRef held = timer.GetTypeRef();
    timer.AddToRunLoop(runLoop, kCFRunLoopDefaultMode);
    CFIndex scheduledCount = CFGetRetainCount(held);
    EXPECT_GT(scheduledCount, 1);
    EXPECT_EQ(CFGetRetainCount(runLoop), runLoopCount + 1);

    timer.AddToRunLoop(runLoop, kTestMode);
    EXPECT_FALSE(CFRunLoopContainsTimer(runLoop, held, kCFRunLoopDefaultMode));
    EXPECT_TRUE(CFRunLoopContainsTimer(runLoop, held, kTestMode));
    EXPECT_EQ(CFGetRetainCount(held), scheduledCount);

    timer.AddToRunLoop(runLoop, kTestMode);
    EXPECT_EQ(CFGetRetainCount(held), scheduledCount);
    EXPECT_EQ(CFGetRetainCount(runLoop), runLoopCount + 1);
    timer.RemoveFromRunLoop();
    EXPECT_FALSE(CFRunLoopContainsTimer(runLoop, held, kTestMode));
    EXPECT_EQ(CFGetRetainCount(held), 1);
    // Off the run loop, the wrapper no longer keeps it.
    EXPECT_EQ(CFGetRetainCount(runLoop), runLoopCount);
}

// The poll cycle's pattern: every tick replaces the timer from inside its own call-out.
struct Replacer {
    LCFRunLoopTimer* wrapper;
    LCFRunLoopTimerContext* context;
    CFRunLoopTimerRef first = NULL; // retained by the test
    CFAbsoluteTime callStart = 0, callEnd = 0, nextFireDate = 0;
    std::vector<CFRunLoopTimerRef> timers;
    std::vector<CFAbsoluteTime> times;
};

const CFTimeInterval kRelative = 0.05;

void ReplaceFromCallOut(CFRunLoopTimerRef timer, void* info) {
    Replacer* replacer = static_cast<Replacer*>(info);
    replacer->timers.push_back(timer);
    replacer->times.push_back(CFAbsoluteTimeGetCurrent());
    if (replacer->timers.size() == 1) {
        replacer->first = RetainTimer(timer);
        replacer->callStart = CFAbsoluteTimeGetCurrent();
        replacer->wrapper->CreateRelativeMulti(kRelative, 1000.0, ReplaceFromCallOut,
                                               *replacer->context, NULL);
        replacer->callEnd = CFAbsoluteTimeGetCurrent();
        replacer->wrapper->AddToRunLoop(NULL, kCFRunLoopDefaultMode);
        replacer->nextFireDate = CFRunLoopTimerGetNextFireDate(replacer->wrapper->GetTypeRef());
        return;
    }
    CFRunLoopStop(CFRunLoopGetCurrent());
}

TEST(LCFRunLoopTimer, ReplacingFromItsOwnCallOutSchedulesFromTheMomentOfTheCall) {
    LCFRunLoopTimer wrapper;
    Replacer replacer;
    LCFRunLoopTimerContext context(&replacer);
    replacer.wrapper = &wrapper;
    replacer.context = &context;
    // The old timer would repeat every millisecond if it were left on the run loop.
    ASSERT_TRUE(wrapper.CreateRelativeMulti(0.0, 0.001, ReplaceFromCallOut, context, NULL));
    wrapper.AddToRunLoop(NULL, kCFRunLoopDefaultMode);
    RunUntilStopped(kCFRunLoopDefaultMode);

    ASSERT_EQ(replacer.timers.size(), 2u);
    ASSERT_NE(replacer.first, nullptr);
    EXPECT_EQ(replacer.timers[1], wrapper.GetTypeRef());
    EXPECT_NE(replacer.timers[1], replacer.first);
    EXPECT_GE(replacer.nextFireDate, replacer.callStart + kRelative);
    EXPECT_LE(replacer.nextFireDate, replacer.callEnd + kRelative);
    EXPECT_GE(replacer.times[1], replacer.callStart + kRelative);
    // The run loop and the wrapper have both let go of the replaced timer.
    EXPECT_FALSE(
        CFRunLoopContainsTimer(CFRunLoopGetCurrent(), replacer.first, kCFRunLoopDefaultMode));
    EXPECT_EQ(CFGetRetainCount(replacer.first), 1);
    CFRelease(replacer.first);
}

TEST(LCFRunLoopTimer, DestroyingAScheduledWrapperTakesTheTimerOffAndReleasesIt) {
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFIndex runLoopCount = CFGetRetainCount(runLoop);
    CFRunLoopTimerRef held;
    {
        LCFRunLoopTimer timer;
        LCFRunLoopTimerContext context(NULL);
        timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL);
        timer.AddToRunLoop(runLoop, kCFRunLoopCommonModes);
        held = RetainTimer(timer.GetTypeRef());
        EXPECT_TRUE(CFRunLoopContainsTimer(runLoop, held, kCFRunLoopCommonModes));
    }
    EXPECT_FALSE(CFRunLoopContainsTimer(runLoop, held, kCFRunLoopCommonModes));
    EXPECT_FALSE(CFRunLoopContainsTimer(runLoop, held, kCFRunLoopDefaultMode));
    EXPECT_EQ(CFGetRetainCount(held), 1);
    EXPECT_EQ(CFGetRetainCount(runLoop), runLoopCount);
    CFRelease(held);
}

TEST(LCFRunLoopTimer, RemovingAnUnscheduledTimerOrAddingNoTimerLeavesTheRunLoopAlone) {
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFIndex runLoopCount = CFGetRetainCount(runLoop);
    LCFRunLoopTimer empty;
    empty.AddToRunLoop(runLoop, kCFRunLoopDefaultMode);
    empty.AddToRunLoop(NULL, kCFRunLoopCommonModes);
    EXPECT_EQ(CFGetRetainCount(runLoop), runLoopCount);
    empty.RemoveFromRunLoop();
    EXPECT_EQ(empty.GetTypeRef(), nullptr);

    LCFRunLoopTimer timer;
    LCFRunLoopTimerContext context(NULL);
    timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL);
    timer.RemoveFromRunLoop();
    ASSERT_NE(timer.GetTypeRef(), nullptr);
    EXPECT_EQ(CFGetRetainCount(timer.GetTypeRef()), 1);
}

} // namespace

namespace {

TEST(LCFRunLoopTimer, ReplacingTheTimerThroughTheBaseTakesItOffItsRunLoopFirst) {
    typedef LCFTemplate<CFRunLoopTimerRef> Base;
    // Each way a caller holding the wrapper as one of its bases can replace the timer.
    const std::vector<void (*)(LCFRunLoopTimer&)> replacements = {
        [](LCFRunLoopTimer& w) { static_cast<LCFObject&>(w).AdoptTypeRef(NULL); },
        [](LCFRunLoopTimer& w) { static_cast<Base&>(w) = static_cast<CFRunLoopTimerRef>(NULL); },
        [](LCFRunLoopTimer& w) { static_cast<Base&>(w) -= static_cast<CFRunLoopTimerRef>(NULL); },
    };
    for (size_t way = 0; way < replacements.size(); ++way) {
        LCFRunLoopTimer wrapper;
        LCFRunLoopTimerContext context(nullptr);
        ASSERT_TRUE(wrapper.CreateRelativeMulti(1000, 1000, NeverCalled, context, NULL));
        wrapper.AddToRunLoop(NULL, kCFRunLoopDefaultMode);
        CFRunLoopTimerRef timer = RetainTimer(wrapper.GetTypeRef());
        ASSERT_TRUE(CFRunLoopContainsTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode));

        replacements[way](wrapper);
        EXPECT_EQ(wrapper.GetTypeRef(), nullptr) << way;
        EXPECT_FALSE(CFRunLoopContainsTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode))
            << way;
        EXPECT_EQ(CFGetRetainCount(timer), 1) << way << ": only the test holds the old timer now";
        CFRunLoopTimerInvalidate(timer);
        CFRelease(timer);
    }
}

TEST(LCFRunLoopTimer, TheTimerLeavesTheModeItWasAddedToAfterTheModeNameChanges) {
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFMutableStringRef mode = CFStringCreateMutable(kCFAllocatorDefault, 0);
    CFStringAppendCString(mode, "LCFRunloopMutableMode", kCFStringEncodingUTF8);
    CFRunLoopTimerRef held;
    {
        LCFRunLoopTimer timer;
        LCFRunLoopTimerContext context(NULL);
        ASSERT_TRUE(timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL));
        timer.AddToRunLoop(runLoop, mode);
        held = RetainTimer(timer.GetTypeRef());
        CFStringAppendCString(mode, "Renamed", kCFStringEncodingUTF8);
    }
    // Left on it, the timer would go on firing with an info pointer nobody keeps valid.
    EXPECT_FALSE(CFRunLoopContainsTimer(runLoop, held, CFSTR("LCFRunloopMutableMode")));
    EXPECT_EQ(CFGetRetainCount(held), 1);
    CFRunLoopTimerInvalidate(held);
    CFRelease(held);
    CFRelease(mode);
}

// A wrapper may hold the last retain on a run loop whose thread has ended; handing it that
// same run loop again must not let it go first.
TEST(LCFRunLoopTimer, AddingAgainToARunLoopThatOnlyTheWrapperStillHolds) {
    LCFRunLoopTimer timer;
    LCFRunLoopTimerContext context(NULL);
    ASSERT_TRUE(timer.CreateRelativeMulti(500.0, 3.0, NeverCalled, context, NULL));
    CFRunLoopRef ended = NULL;
    std::thread worker([&] {
        ended = CFRunLoopGetCurrent();
        timer.AddToRunLoop(ended, kCFRunLoopDefaultMode);
    });
    worker.join();
    ASSERT_EQ(CFGetRetainCount(ended), 1);

    timer.AddToRunLoop(ended, kTestMode);
    EXPECT_TRUE(CFRunLoopContainsTimer(ended, timer.GetTypeRef(), kTestMode));
    EXPECT_EQ(CFGetRetainCount(ended), 1);
    timer.RemoveFromRunLoop();
}

} // namespace
