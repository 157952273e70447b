// The CFString object and the pieces its functions share: byte conversion for each
// supported encoding and the format engine.
// Threading: as CFString.h; the helpers here keep no state.
// Ownership: helpers fill caller-owned vectors; nothing here retains.
#pragma once

#include "CFRuntime_Internal.h"

#include <CoreFoundation/CFString.h>

#include <cstdarg>
#include <cstddef>
#include <string>
#include <vector>

using __CFUniChars = std::vector<UniChar>;

struct __CFString final : __CFRuntimeBase {
    __CFString(CFAllocatorRef allocator, __CFUniChars chars, bool isMutable, CFIndex maxLength);

    bool Equal(const __CFRuntimeBase* other) const override;
    CFHashCode Hash() const override;
    std::string Describe() const override;

    CFIndex Length() const { return static_cast<CFIndex>(mChars.size()); }

    __CFUniChars mChars;
    const bool mMutable;
    const CFIndex mMaxLength; // 0: no limit
    // Immutable all-ASCII strings keep their bytes so CFStringGetCStringPtr can hand them out.
    bool mHasASCII = false;
    std::string mASCII;
};

// Decodes bytes in encoding and appends the UTF-16 units to out. False (out unchanged)
// when the bytes are not valid in that encoding or the encoding is not supported.
bool __CFStringDecodeBytes(const UInt8* bytes, size_t numBytes, CFStringEncoding encoding,
                           bool isExternalRepresentation, __CFUniChars& out);

bool __CFStringEncodingSupported(CFStringEncoding encoding);

// Encodes the character at chars[index] (a surrogate pair counts as one character).
// Returns the UTF-16 units it took (1 or 2) and puts its bytes in out/outLength, or 0 when
// it has no form in the encoding. The host order is used for the unmarked UTF-16 and UTF-32.
size_t __CFStringEncodeCharacter(const UniChar* chars, size_t count, size_t index,
                                 CFStringEncoding encoding, UInt8 out[4], size_t* outLength);

// Bytes of a byte order mark in host order; 0 for encodings that do not carry one.
size_t __CFStringByteOrderMark(CFStringEncoding encoding, UInt8 out[4]);

// Appends one code point (at most U+10FFFF) as one UTF-16 unit or a surrogate pair.
void __CFStringAppendCodePoint(UInt32 codePoint, __CFUniChars& out);

// UTF-8 for printing: an unpaired surrogate becomes U+FFFD.
std::string __CFStringToUTF8(const UniChar* chars, size_t count);

// UTF-8 when the bytes are valid UTF-8, Mac Roman otherwise: never fails.
void __CFStringAppendLenientBytes(const char* bytes, size_t numBytes, __CFUniChars& out);

// Expands format with arguments and appends the result to out.
void __CFStringFormatAppend(const __CFUniChars& format, va_list arguments, __CFUniChars& out);
