#include "CFRunLoop_Internal.h"

#include <CoreFoundation/CFDate.h>

#include <CoreFoundation/CFDatePriv.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;
const CFTimeInterval kCFAbsoluteTimeIntervalSince1904 = 3061152000.0;

namespace {

double Seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double ScaleFromEnvironment() {
    const char* text = std::getenv("TVB_CLOCK_SCALE");
    if (text == nullptr || *text == '\0')
        return 1.0;
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(value) || value <= 1.0)
        return 1.0;
    return value;
}

// Fixed at first use: the scale and the moment scaled time starts from.
struct Clock {
    double scale = ScaleFromEnvironment();
    double startAbsolute = Seconds(CLOCK_REALTIME) - kCFAbsoluteTimeIntervalSince1970;
    double startMonotonic = Seconds(CLOCK_MONOTONIC);
};

const Clock& TheClock() {
    static const Clock clock;
    return clock;
}

// What a test has set the wall clock forward (or, negative, back) by.
std::atomic<double> gWallClockShift{0};

struct Date final : __CFRuntimeBase {
    explicit Date(CFAllocatorRef allocator, CFAbsoluteTime at)
        : __CFRuntimeBase(__kCFDateTypeID, allocator), mTime(at) {}
    bool Equal(const __CFRuntimeBase* other) const override {
        return static_cast<const Date*>(other)->mTime == mTime;
    }
    CFHashCode Hash() const override { return std::hash<double>()(mTime); }
    std::string Describe() const override {
        char text[64];
        std::snprintf(text, sizeof text, "%.6f", mTime);
        return text;
    }
    const CFAbsoluteTime mTime;
};

const Date* AsDate(CFDateRef date) {
    return __CFCast<Date>(date, __kCFDateTypeID);
}

} // namespace

double __CFClockScale() {
    return TheClock().scale;
}

double __CFTimerClockGetCurrent() {
    const Clock& clock = TheClock();
    return (Seconds(CLOCK_MONOTONIC) - clock.startMonotonic) * clock.scale;
}

void __CFAbsoluteTimeShiftWallClockForTesting(CFTimeInterval seconds) {
    gWallClockShift.store(gWallClockShift.load() + seconds);
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
    const Clock& clock = TheClock();
    const double shift = gWallClockShift.load(std::memory_order_relaxed);
    if (clock.scale == 1.0)
        return Seconds(CLOCK_REALTIME) - kCFAbsoluteTimeIntervalSince1970 + shift;
    return clock.startAbsolute + __CFTimerClockGetCurrent() + shift;
}

CFTypeID CFDateGetTypeID(void) {
    return __kCFDateTypeID;
}

CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at) {
    return static_cast<CFDateRef>(__CFRef(new Date(allocator, at)));
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate) {
    const Date* date = AsDate(theDate);
    return date ? date->mTime : 0.0;
}

CFTimeInterval CFDateGetTimeIntervalSinceDate(CFDateRef theDate, CFDateRef otherDate) {
    return CFDateGetAbsoluteTime(theDate) - CFDateGetAbsoluteTime(otherDate);
}

CFComparisonResult CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void*) {
    CFAbsoluteTime a = CFDateGetAbsoluteTime(theDate);
    CFAbsoluteTime b = CFDateGetAbsoluteTime(otherDate);
    if (a < b)
        return kCFCompareLessThan;
    if (a > b)
        return kCFCompareGreaterThan;
    return kCFCompareEqualTo;
}
