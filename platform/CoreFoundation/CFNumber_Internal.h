// Integer access to CFNumbers beyond the public API: property lists carry
// unsigned 64-bit integers, which a signed 64-bit number cannot hold.
// Threading: numbers are immutable. Ownership: the Create function returns a
// reference the caller releases.
#pragma once

#include <CoreFoundation/CFNumber.h>

#include <cstdint>

// A number holding value exactly; it reports kCFNumberSInt64Type like any integer.
CFNumberRef __CFNumberCreateUnsigned64(CFAllocatorRef allocator, uint64_t value);
// True when number is an integer above INT64_MAX (so only an unsigned 64-bit form holds it).
bool __CFNumberGetLargeUnsigned(CFNumberRef number, uint64_t* value);
