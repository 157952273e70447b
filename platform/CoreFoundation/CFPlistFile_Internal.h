// Reading property-list files that anyone may have written: preferences and bundles' Info.plist.
// libplist parses recursively, expands shared binary objects, accepts XML cut short after its
// root and aborts on strings holding NUL, so data is screened before it is handed over: nesting
// deeper than kCFPlistMaxDepth, a binary object graph with a cycle or one that would expand to
// more than kCFPlistMaxNodes nodes, a string with NUL, or XML not ending in </plist> is refused.
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

struct __CFPlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using __CFPlistPtr = std::unique_ptr<void, __CFPlistFree>;

// The contents of a regular file of at most maxBytes. Never blocks on a FIFO or device and
// never follows the read past maxBytes; false for anything else.
bool __CFReadRegularFile(const std::string& path, size_t maxBytes, std::string& contents);

// True when libplist may safely parse data (XML or binary) within the limits above.
bool __CFPlistDataIsSafe(const char* data, size_t length);

// The parsed property list in a file, or NULL when the file is missing, not a regular file,
// too big, unsafe or not a property list.
__CFPlistPtr __CFPlistReadFile(const std::string& path);

// The string's UTF-8 bytes; false for NULL or a string holding U+0000, which no path or key may.
bool __CFStringGetUTF8(CFStringRef string, std::string& utf8);
