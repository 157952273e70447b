// Absolute time: seconds since 1 January 2001 00:00:00 GMT, as a double.
// Threading: every function may be called from any thread.
// Ownership: CFDateCreate follows the Create rule; the times themselves are plain values.
//
// Test clock: when the environment variable TVB_CLOCK_SCALE holds a number k > 1 the first
// time the clock is read, CF time runs k times faster than real time from that moment on:
// CFAbsoluteTimeGetCurrent returns start + (now - start) * k, and the run loop turns fire
// dates back into real sleeps, so a 3 s timer fires after 3 / k real seconds. Scenario
// tests use it to run the daemon's ticks faster without changing the daemon. When the
// variable is unset, empty, not a number or not above 1, time is real time.
#pragma once

#include <CoreFoundation/CFBase.h>

typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;

typedef const struct __CFDate* CFDateRef;

CF_EXTERN_C_BEGIN

extern const CFTimeInterval kCFAbsoluteTimeIntervalSince1970;
extern const CFTimeInterval kCFAbsoluteTimeIntervalSince1904;

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);

CFTypeID CFDateGetTypeID(void);
CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);
CFTimeInterval CFDateGetTimeIntervalSinceDate(CFDateRef theDate, CFDateRef otherDate);
CFComparisonResult CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void* context);

CF_EXTERN_C_END
