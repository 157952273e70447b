#include "RunLoopTestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "TestProcess.h"

namespace {

double Steady() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs this test program again with TVB_CLOCK_SCALE set, limited to the child test below,
// which checks the clock against the scale it is told to expect. Returns its exit status.
int RunClockChild(const char* scale, const char* expected) {
    tvbtest::Environment env = tvbtest::InheritedEnvironment();
    if (scale != nullptr)
        env["TVB_CLOCK_SCALE"] = scale;
    else
        env.erase("TVB_CLOCK_SCALE");
    env["TVB_TEST_EXPECTED_SCALE"] = expected;
    // The time-out keeps a hung child from hanging the suite.
    const tvbtest::ProgramResult result =
        tvbtest::RunProgram("/proc/self/exe", {"--gtest_filter=CFAbsoluteTimeChild.*"}, 60000, env);
    if (result.exitCode != 0)
        std::fputs((result.out + result.err).c_str(), stderr);
    return result.exitCode;
}

TEST(CFAbsoluteTime, CountsSecondsSince2001) {
    CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
    double unix = static_cast<double>(std::time(nullptr));
    EXPECT_NEAR(unix - kCFAbsoluteTimeIntervalSince1970, now, 2.0);
    EXPECT_EQ(978307200.0, kCFAbsoluteTimeIntervalSince1970);
}

TEST(CFAbsoluteTime, ClockScaleSpeedsUpTimeAndTimersFire) {
    EXPECT_EQ(0, RunClockChild("50", "50"));
}

TEST(CFAbsoluteTime, UnusableClockScaleMeansRealTime) {
    for (const char* scale : {"", "0.5", "1", "fast", "20x", "nan", "-4"}) {
        SCOPED_TRACE(scale);
        EXPECT_EQ(0, RunClockChild(scale, "1"));
    }
    EXPECT_EQ(0, RunClockChild(nullptr, "1"));
}

// Only does something as the child of the tests above.
TEST(CFAbsoluteTimeChild, ClockRunsAtTheExpectedScale) {
    const char* expectedText = std::getenv("TVB_TEST_EXPECTED_SCALE");
    if (expectedText == nullptr)
        GTEST_SKIP() << "runs only as a child process of the clock-scale tests";
    const double k = std::atof(expectedText);

    CFAbsoluteTime first = CFAbsoluteTimeGetCurrent();
    EXPECT_NEAR(static_cast<double>(std::time(nullptr)) - kCFAbsoluteTimeIntervalSince1970, first,
                2.0);

    // CF time between two readings, bracketed by real time read outside and inside them.
    double outerStart = Steady();
    CFAbsoluteTime a = CFAbsoluteTimeGetCurrent();
    double innerStart = Steady();
    usleep(50000);
    double innerEnd = Steady();
    CFAbsoluteTime b = CFAbsoluteTimeGetCurrent();
    double outerEnd = Steady();
    EXPECT_GE(b - a, k * (innerEnd - innerStart) - 1e-3);
    EXPECT_LE(b - a, k * (outerEnd - outerStart) + 1e-3);

    if (k > 1) {
        // 5 CF seconds; an unscaled sleep would make the timer 5 * (k - 1) CF seconds late.
        Reaper reaper(20 * k);
        CFAbsoluteTime fireDate = CFAbsoluteTimeGetCurrent() + 5.0;
        CFAbsoluteTime firedAt = 0;
        CFRunLoopTimerContext context = {0, &firedAt, nullptr, nullptr, nullptr};
        CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
            kCFAllocatorDefault, fireDate, 0, 0, 0,
            [](CFRunLoopTimerRef, void* info) {
                *static_cast<CFAbsoluteTime*>(info) = CFAbsoluteTimeGetCurrent();
                CFRunLoopStop(CFRunLoopGetCurrent());
            },
            &context);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
        EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false));
        EXPECT_GE(firedAt, fireDate);
        EXPECT_LT(firedAt - fireDate, 2.0 * k) << "slept in CF seconds, not real ones";
        CFRelease(timer);
    }
}

} // namespace
