// Basic IOKit types: object handles, name buffers and counts.
// Every io_*_t is a 32-bit handle, named like a Mach port. A process sees one handle per
// object; each call that hands out an object adds one user reference to that handle, which
// the caller drops with IOObjectRelease. A handle released to zero is dead.
// Threading: plain types.
#pragma once

#include <MacTypes.h>
#include <mach/mach.h>

typedef UInt32 IOOptionBits;
typedef SInt32 IOFixed;
typedef UInt32 IOVersion;
typedef UInt32 IOItemCount;
typedef UInt32 IOCacheMode;
typedef UInt32 IOByteCount32;
typedef UInt64 IOByteCount64;
typedef IOByteCount32 IOByteCount;

typedef mach_port_t io_object_t;
typedef io_object_t io_connect_t;
typedef io_object_t io_enumerator_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_service_t;

typedef char io_name_t[128];
typedef char io_string_t[512];
typedef char io_struct_inband_t[4096];

#define IO_OBJECT_NULL ((io_object_t)0)

// Registry iteration options (IORegistryEntryCreateIterator).
enum { kIORegistryIterateRecursively = 0x00000001, kIORegistryIterateParents = 0x00000002 };
