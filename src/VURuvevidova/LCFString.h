// LCFString: owns one CoreFoundation string, held as immutable or as mutable, plus
// in-place editing, prefix/suffix tests and URL percent-escaping.
//
// Ownership (vocabulary of LCFObject.h). The constructors from a CFStringRef,
// CFMutableStringRef or CFURLRef, Adopt and operator= share the string; Inherit and
// operator-= take it over. Strings the wrapper makes itself (from C or Pascal strings, a
// substring, a copy, escaping) are held with their creation's retain only. Copying a
// wrapper copies the string: the two wrappers never share one mutable string.
//
// States: empty (nothing held), immutable, mutable. The editing operations need the
// mutable state; ReplaceAll makes a mutable string when there is none; a successful
// EscapeURL or DeEscapeURL leaves the wrapper immutable.
//
// Where callers break a precondition the wrapper does the harmless thing instead:
//  - a NULL URL gives (or assigns) an empty wrapper;
//  - a part of an empty wrapper, or a range outside the source, gives an empty wrapper;
//  - editing an empty or immutable wrapper, a NULL argument or a position or range outside
//    the string changes nothing (ReplaceAll with NULL included);
//  - copying a mutable wrapper whose length limit is below its length (a limit left over
//    from an earlier string) copies without a limit, so a copy is never truncated.
//
// Positions are CoreFoundation's: 0-based UTF-16 indices and CFRange.
// Threading: single-threaded, no locks.
#pragma once

#include "VURuvevidova/LCFObject.h"

class LCFString : public LCFObject {
public:
    LCFString();
    // A new empty mutable string limited to inMaxLength characters (0: no limit).
    LCFString(CFIndex inMaxLength, CFAllocatorRef inAllocator);
    LCFString(ConstStringPtr inPString, CFStringEncoding inEncoding, CFAllocatorRef inAllocator);
    LCFString(const char* inCString, CFStringEncoding inEncoding, CFAllocatorRef inAllocator);
    // Share.
    LCFString(CFStringRef inStringRef);
    LCFString(CFMutableStringRef inStringRef);
    LCFString(CFURLRef inURLRef);
    LCFString(const LCFString& inSource);
    // Immutable substring of inSource.
    LCFString(const LCFString& inSource, CFRange fragment, CFAllocatorRef inAllocator);
    // inLength 0 means up to the end of inSource.
    LCFString(const LCFString& inSource, CFIndex offset, CFIndex length,
              CFAllocatorRef inAllocator);
    ~LCFString() override;

    // Share.
    void Adopt(CFStringRef inStringRef);
    void Adopt(CFMutableStringRef inMutableStringRef);
    // Take over.
    void Inherit(CFStringRef inStringRef);
    void Inherit(CFMutableStringRef inMutableStringRef);

    LCFString& operator=(CFStringRef inStringRef);
    LCFString& operator=(CFMutableStringRef inMutableStringRef);
    LCFString& operator=(CFURLRef inURLRef);
    LCFString& operator-=(CFStringRef inStringRef);
    LCFString& operator-=(CFMutableStringRef inMutableStringRef);
    // Copy and exchange: the target's old string is released.
    LCFString& operator=(const LCFString& inSource);

    // Accepts NULL or a CFString only (held as immutable); anything else is ignored.
    void AdoptTypeRef(CFTypeRef inTypeRef) override;

    CFStringRef GetTypeRef() const { return static_cast<CFStringRef>(LCFObject::GetTypeRef()); }
    operator CFStringRef() const { return GetTypeRef(); }
    CFIndex GetLength() const;
    // Empty wrapper: writes "" (when there is room) and returns false.
    bool GetCString(char* outBuffer, CFIndex inBufferSize, CFStringEncoding inEncoding) const;

    // Editing; see the list above for what is ignored.
    void Append(CFStringRef inString, ...);
    void Append(const UniChar* inChars, CFIndex inNumChars);
    void Append(ConstStringPtr inPString, CFStringEncoding inEncoding);
    void Append(const char* inCString, CFStringEncoding inEncoding);
    void Insert(CFIndex inLocation, CFStringRef inString);
    void Delete(CFRange inRange);
    void DeleteAll();
    void Replace(CFRange inRange, CFStringRef inReplacementStr);
    void ReplaceAll(CFStringRef inReplacementStr);
    void Trim(CFStringRef trimString);
    void TrimWhiteSpace();

    // Empty wrapper: true exactly when srcString is NULL. A held string never begins or
    // ends with NULL.
    bool BeginsWith(CFStringRef srcString) const;
    bool EndsWith(CFStringRef srcString) const;

    // Replaces every percent escape; false (string kept) when one is malformed.
    bool DeEscapeURL();
    // Un-escapes first, so existing escapes are not escaped twice; false when the string
    // cannot be un-escaped or escaped, keeping what it had at that point.
    bool EscapeURL();

private:
    void InitSubstring(const LCFString& inSource, CFRange fragment, CFAllocatorRef inAllocator);
    bool IsMutable() const { return mMutableStringRef != NULL; }

    CFMutableStringRef mMutableStringRef;
    CFIndex mMaxLength;
};

// NULL sorts before every string and equals only NULL.
CFComparisonResult SafeCFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                       CFOptionFlags compareOptions);
