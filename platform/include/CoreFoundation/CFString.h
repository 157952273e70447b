// CFString: immutable and mutable Unicode strings, held as UTF-16 code units.
// Indices and ranges count UTF-16 units (a character outside the BMP is two).
// Threading: a string may be read from several threads at once; a mutable string
// must not be read or changed while another thread changes it. CFSTR is thread-safe.
// Ownership: the Create/Copy rule of CFBase.h. CFSTR constants are immortal: they are
// never freed and CFRetain/CFRelease do nothing to them.
//
// Where Mac OS X would crash or assert on a misuse (NULL argument, range out of bounds,
// changing an immutable string) this stand-in prints one line to stderr and does nothing:
// the string is left unchanged and the function returns NULL, 0, false or kCFNotFound.
//
// Maximum length: a mutable string created with maxLength > 0 never holds more than
// maxLength UTF-16 units. An append, insert, replace or format that would go past the
// limit is refused as a whole (a message on stderr, the string unchanged), so a name is
// never cut in half. CFStringCreateMutableCopy with a maxLength smaller than the source
// returns NULL for the same reason.
#pragma once

#include <CoreFoundation/CFBase.h>

// Same spellings as the framework headers that declare them.
typedef const struct __CFDictionary* CFDictionaryRef;
typedef const struct __CFLocale* CFLocaleRef;

typedef UInt32 CFStringEncoding;

// Encodings this stand-in converts: Mac Roman, ASCII, ISO Latin 1, UTF-8, UTF-16
// (host order, BE, LE) and UTF-32 (host order, BE, LE). The others are listed for
// their names only; CFStringIsEncodingAvailable reports them as unavailable.
enum {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingWindowsLatin1 = 0x0500,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingNextStepLatin = 0x0B01,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUnicode = 0x0100,
    kCFStringEncodingUTF8 = 0x08000100,
    kCFStringEncodingNonLossyASCII = 0x0BFF,
    kCFStringEncodingUTF16 = 0x0100,
    kCFStringEncodingUTF16BE = 0x10000100,
    kCFStringEncodingUTF16LE = 0x14000100,
    kCFStringEncodingUTF32 = 0x0c000100,
    kCFStringEncodingUTF32BE = 0x18000100,
    kCFStringEncodingUTF32LE = 0x1c000100
};
typedef CFStringEncoding CFStringBuiltInEncodings;

#define kCFStringEncodingInvalidId (0xffffffffU)

typedef CFOptionFlags CFStringCompareFlags;
enum {
    kCFCompareCaseInsensitive = 1,
    kCFCompareBackwards = 4,
    kCFCompareAnchored = 8,
    kCFCompareNonliteral = 16,
    kCFCompareLocalized = 32,
    kCFCompareNumerically = 64,
    kCFCompareDiacriticInsensitive = 128,
    kCFCompareWidthInsensitive = 256,
    kCFCompareForcedOrdering = 512
};

// A compile-time constant string: the same text always gives the same object.
// Non-ASCII bytes in the literal are read as UTF-8 (as Mac Roman if not valid UTF-8).
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

CF_EXTERN_C_BEGIN

CFStringRef __CFStringMakeConstantString(const char* cStr);

CFTypeID CFStringGetTypeID(void);

// Creation. Bytes that are not valid in the given encoding give NULL: malformed UTF-8
// (overlong forms, encoded surrogates, truncated sequences, bytes above 0xF4), a byte
// above 0x7F in ASCII, an odd byte count in UTF-16. Mac Roman and ISO Latin 1 take any byte.
// For kCFStringEncodingUTF16/UTF32 a leading byte order mark is honoured and dropped;
// without one, an external representation is big-endian, otherwise host order.
CFStringRef CFStringCreateWithPascalString(CFAllocatorRef alloc, ConstStr255Param pStr,
                                           CFStringEncoding encoding);
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars,
                                         CFIndex numChars);
CFStringRef CFStringCreateWithSubstring(CFAllocatorRef alloc, CFStringRef str, CFRange range);
// An immutable source with the same allocator comes back retained rather than copied.
CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString);

// Formats: %@ (CFCopyDescription, "(null)" for NULL), %d %i %u %o %x %X %c %C %s (UTF-8)
// %S (NUL-terminated UniChar*) %p %f %F %e %E %g %G %a %A %%, with flags, width,
// precision, '*', the length modifiers hh h l ll q L z t j, and positions (%2$@).
// formatOptions is ignored. A malformed conversion is copied to the result as text and
// reads no argument.
CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                     CFStringRef format, ...);
CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef alloc,
                                                 CFDictionaryRef formatOptions, CFStringRef format,
                                                 va_list arguments);

// maxLength 0 means no limit.
CFMutableStringRef CFStringCreateMutable(CFAllocatorRef alloc, CFIndex maxLength);
CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength,
                                             CFStringRef theString);

// Access.
CFIndex CFStringGetLength(CFStringRef theString);
UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx);
void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer);
// False when the text and its NUL do not fit in bufferSize bytes or a character has no
// form in the encoding; then buffer[0] is NUL (if bufferSize > 0) and nothing is written
// past bufferSize.
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
// bufferSize counts the length byte; at most 256.
Boolean CFStringGetPascalString(CFStringRef theString, StringPtr buffer, CFIndex bufferSize,
                                CFStringEncoding encoding);
// Non-NULL only for immutable ASCII strings and an ASCII-compatible encoding.
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
// Non-NULL only for non-empty immutable strings.
const UniChar* CFStringGetCharactersPtr(CFStringRef theString);
// Converts the range until the buffer is full or a character cannot be converted
// (with lossByte 0; otherwise lossByte stands in for it). Returns the UTF-16 units
// converted; *usedBufLen gets the bytes written. A NULL buffer only measures.
CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
CFStringEncoding CFStringGetSystemEncoding(void);
Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding);
// Leading whitespace, optional sign and digits; 0 when there are none.
SInt32 CFStringGetIntValue(CFStringRef str);
double CFStringGetDoubleValue(CFStringRef str);

// Comparison. Options 0 compares UTF-16 units exactly. Case-insensitive folding covers
// ASCII and Latin-1 letters; kCFCompareNumerically compares runs of ASCII digits by value.
// Nonliteral, localized, diacritic- and width-insensitive comparison is literal here;
// kCFCompareBackwards and kCFCompareAnchored only matter to the Find functions.
CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions);
// Compares the range of theString1 with the whole of theString2.
CFComparisonResult CFStringCompareWithOptions(CFStringRef theString1, CFStringRef theString2,
                                              CFRange rangeToCompare,
                                              CFStringCompareFlags compareOptions);
// An empty stringToFind is never found. kCFCompareAnchored limits the match to the start
// of the range (to its end with kCFCompareBackwards).
Boolean CFStringFindWithOptions(CFStringRef theString, CFStringRef stringToFind,
                                CFRange rangeToSearch, CFStringCompareFlags searchOptions,
                                CFRange* result);
CFRange CFStringFind(CFStringRef theString, CFStringRef stringToFind,
                     CFStringCompareFlags compareOptions);
// As on Mac OS X, the empty string is neither a prefix nor a suffix.
Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix);
Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix);

// Mutation (CFMutableStringRef only).
void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString);
void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars, CFIndex numChars);
void CFStringAppendPascalString(CFMutableStringRef theString, ConstStr255Param pStr,
                                CFStringEncoding encoding);
void CFStringAppendCString(CFMutableStringRef theString, const char* cStr,
                           CFStringEncoding encoding);
void CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                          CFStringRef format, ...);
void CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                                      CFStringRef format, va_list arguments);
void CFStringInsert(CFMutableStringRef str, CFIndex idx, CFStringRef insertedStr);
void CFStringDelete(CFMutableStringRef theString, CFRange range);
void CFStringReplace(CFMutableStringRef theString, CFRange range, CFStringRef replacement);
void CFStringReplaceAll(CFMutableStringRef theString, CFStringRef replacement);
// Replaces non-overlapping matches within the range; returns how many were replaced.
CFIndex CFStringFindAndReplace(CFMutableStringRef theString, CFStringRef stringToFind,
                               CFStringRef replacementString, CFRange rangeToSearch,
                               CFStringCompareFlags compareOptions);
// Removes repeated whole occurrences of trimString from both ends.
void CFStringTrim(CFMutableStringRef theString, CFStringRef trimString);
// Removes Unicode white space and line breaks from both ends.
void CFStringTrimWhitespace(CFMutableStringRef theString);
// Case mapping of ASCII letters; locale is ignored.
void CFStringLowercase(CFMutableStringRef theString, CFLocaleRef locale);
void CFStringUppercase(CFMutableStringRef theString, CFLocaleRef locale);

// Prints the string and its storage details to stderr.
void CFShowStr(CFStringRef str);

CF_EXTERN_C_END
