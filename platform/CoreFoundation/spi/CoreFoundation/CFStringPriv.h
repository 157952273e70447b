// CFString's private interface for tests of callers' out-of-memory paths (target
// CoreFoundationSPI; not for the daemon).
// Threading: any thread.
#pragma once

// The next `count` CFStringCreateMutable calls give NULL, as when memory runs out, so callers'
// failure paths can be exercised. 0 ends it.
void __CFStringFailMutableCreationsForTesting(int count);
