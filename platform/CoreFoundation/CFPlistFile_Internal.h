// Reading property-list files that anyone may have written: preferences and bundles' Info.plist.
// libplist parses recursively, expands shared binary objects, accepts XML cut short after its
// root and aborts on strings holding NUL, so data is screened before it is handed over: nesting
// deeper than kCFPlistMaxDepth, a binary object graph with a cycle or one that would expand to
// more nodes than the data has bytes (or than kCFPlistMaxNodes), a string with NUL, or XML not
// ending in </plist> is refused.
// Threading: no shared state. Ownership: a returned __CFPlistPtr owns its tree.
#pragma once

#include <CoreFoundation/CFString.h>

#include <plist/plist.h>

#include <cstddef>
#include <memory>
#include <string>

constexpr size_t kCFPlistMaxFileBytes = 8u << 20;
constexpr size_t kCFPlistMaxDepth = 256;
constexpr size_t kCFPlistMaxNodes = 1u << 20;

// A tree parsed from a big file is hundreds of thousands of small blocks; once freed, the
// allocator keeps their pages below whatever was allocated after them (the values copied out)
// for the life of the process. Freeing a tree parsed from at least this many bytes hands the
// free pages back to the system.
constexpr size_t kCFPlistReturnMemoryBytes = 1u << 20;

struct __CFPlistFree {
    size_t parsedBytes = 0; // of the data the tree was parsed from, 0 when not parsed
    void operator()(void* node) const;
};
using __CFPlistPtr = std::unique_ptr<void, __CFPlistFree>;

// True when libplist may safely parse data (XML or binary) within the limits above.
bool __CFPlistDataIsSafe(const char* data, size_t length);

// The parsed property list in a file, or NULL when the file is missing, not a regular file,
// too big, unsafe or not a property list.
__CFPlistPtr __CFPlistReadFile(const std::string& path);
// The same for a file already open for reading.
__CFPlistPtr __CFPlistReadFd(int fd);

// The string's UTF-8 bytes; false for NULL or a string holding U+0000, which no path or key may.
bool __CFStringGetUTF8(CFStringRef string, std::string& utf8);
