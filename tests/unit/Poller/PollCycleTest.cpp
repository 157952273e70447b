// What every tick leaves behind: the request flag consumed and the timer re-armed.
#include "PollerTestHost.h"

using namespace pollertest;

namespace {

TEST(PollCycle, TickRearmsTheTimerThreeSecondsOnInTheCommonModes) {
    updatePctFree = true;
    CFAbsoluteTime before = CFAbsoluteTimeGetCurrent();
    PollButtonDevices(NULL, NULL);
    CFRunLoopTimerRef timer = runLoopTimer.GetTypeRef();
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(updatePctFree);

    CFAbsoluteTime fire = CFRunLoopTimerGetNextFireDate(timer);
    EXPECT_GE(fire, before + 3.0);
    EXPECT_LE(fire, CFAbsoluteTimeGetCurrent() + 3.0);
    EXPECT_EQ(CFRunLoopTimerGetInterval(timer), 3.0);
    CFRunLoopRef mainLoop =
        static_cast<CFRunLoopRef>(const_cast<void*>(GetCFRunLoopFromEventLoop(GetMainEventLoop())));
    EXPECT_TRUE(CFRunLoopContainsTimer(mainLoop, timer, kCFRunLoopCommonModes));

    // Other tests run the main loop: no tick of ours may poll their drives.
    runLoopTimer.RemoveFromRunLoop();
    EXPECT_FALSE(CFRunLoopContainsTimer(mainLoop, timer, kCFRunLoopCommonModes));
}

} // namespace
