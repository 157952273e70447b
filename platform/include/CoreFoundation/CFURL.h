// CFURL: URLs, mainly file URLs built from file-system paths, and the percent
// escaping helpers.
// A URL is immutable: its string (CFURLGetString) and optional base URL are
// fixed at creation. File URLs are "file:///path" with percent escapes; a
// directory URL ends in a slash.
// Threading: immutable, safe to share between threads.
// Ownership: Create/Copy functions return a reference the caller releases;
// Get functions do not (CFURLGetString's string lives as long as the URL).
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef CFIndex CFURLPathStyle;
enum { kCFURLPOSIXPathStyle = 0, kCFURLHFSPathStyle = 1, kCFURLWindowsPathStyle = 2 };

typedef const struct __CFURL* CFURLRef;

CFTypeID CFURLGetTypeID(void);

// NULL when URLString is not a well-formed URL (for example a malformed escape).
CFURLRef CFURLCreateWithString(CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL);
// The bytes are read in encoding; unlike on Mac OS X, escapes are still read as UTF-8.
CFURLRef CFURLCreateWithBytes(CFAllocatorRef allocator, const UInt8* URLBytes, CFIndex length,
                              CFStringEncoding encoding, CFURLRef baseURL);
// Only kCFURLPOSIXPathStyle is supported. A relative path gives a URL relative to
// a base URL of the current directory; an empty path gives NULL.
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
                                       CFURLPathStyle pathStyle, Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory);
CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef allocator, CFURLRef url,
                                               CFStringRef pathComponent, Boolean isDirectory);
CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef allocator, CFURLRef url);
CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL);

struct FSRef;
// A file URL for the item an FSRef names (Carbon File Manager); NULL for NULL or a bad reference.
// Only the File Manager knows what an FSRef holds, so the Carbon stand-in defines this one: link
// Carbon to call it.
CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const struct FSRef* fsRef);

CFStringRef CFURLGetString(CFURLRef anURL);
CFURLRef CFURLGetBaseURL(CFURLRef anURL);
Boolean CFURLHasDirectoryPath(CFURLRef anURL);
CFStringRef CFURLCopyScheme(CFURLRef anURL);
// The path part with its escapes left in place.
CFStringRef CFURLCopyPath(CFURLRef anURL);
// The un-escaped path without its trailing slash ("/" stays "/"), not resolved
// against the base URL; an escaped slash (%2F) stays escaped. NULL when the path
// cannot be un-escaped, is not UTF-8 or holds an escaped NUL.
CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);
CFStringRef CFURLCopyLastPathComponent(CFURLRef url);
// The file-system path as NUL-terminated bytes, exactly those the URL was made from (they
// need not be UTF-8); false when it does not fit in maxBufLen or holds an escaped NUL.
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufLen);

// Decodes %XX escapes as UTF-8. Escapes of characters in charactersToLeaveEscaped
// stay; an empty string there means decode every escape, NULL means decode none.
// NULL on a malformed escape or on bytes that are not UTF-8.
CFStringRef CFURLCreateStringByReplacingPercentEscapes(CFAllocatorRef allocator,
                                                       CFStringRef originalString,
                                                       CFStringRef charactersToLeaveEscaped);
// Escapes every character a URL may not hold, plus those listed in
// legalURLCharactersToBeEscaped, except those in charactersToLeaveUnescaped
// ("%" too is escaped unless listed there). Escapes are uppercase hex of the
// encoded bytes.
CFStringRef CFURLCreateStringByAddingPercentEscapes(CFAllocatorRef allocator,
                                                    CFStringRef originalString,
                                                    CFStringRef charactersToLeaveUnescaped,
                                                    CFStringRef legalURLCharactersToBeEscaped,
                                                    CFStringEncoding encoding);

CF_EXTERN_C_END
