// The clock's private interface for tests of what happens when the system clock is set
// (target CoreFoundationSPI; not for the daemon). Threading: any thread.
#pragma once

#include <CoreFoundation/CFDate.h>

// From now on CFAbsoluteTimeGetCurrent reads `seconds` later (earlier when negative), as it
// would after someone set the system clock; the run loop's timers and time-outs, which keep
// to elapsed time, must not notice. Shifts add up.
void __CFAbsoluteTimeShiftWallClockForTesting(CFTimeInterval seconds);
