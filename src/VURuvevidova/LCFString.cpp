#include "VURuvevidova/LCFString.h"

#include <stdarg.h>

namespace {

bool RangeInside(CFRange range, CFIndex length) {
    return range.location >= 0 && range.length >= 0 && range.location <= length &&
           range.length <= length - range.location;
}

} // namespace

LCFString::LCFString() : mMutableStringRef(NULL), mMaxLength(0) {}

LCFString::LCFString(CFIndex inMaxLength, CFAllocatorRef inAllocator)
    : mMutableStringRef(NULL), mMaxLength(inMaxLength) {
    CFMutableStringRef created = CFStringCreateMutable(DefaultAllocator(inAllocator), inMaxLength);
    SetTypeRef(created);
    mMutableStringRef = created;
}

LCFString::LCFString(ConstStringPtr inPString, CFStringEncoding inEncoding,
                     CFAllocatorRef inAllocator)
    : mMutableStringRef(NULL), mMaxLength(0) {
    if (inPString != NULL)
        Inherit(
            CFStringCreateWithPascalString(DefaultAllocator(inAllocator), inPString, inEncoding));
}

LCFString::LCFString(const char* inCString, CFStringEncoding inEncoding, CFAllocatorRef inAllocator)
    : mMutableStringRef(NULL), mMaxLength(0) {
    if (inCString != NULL)
        Inherit(CFStringCreateWithCString(DefaultAllocator(inAllocator), inCString, inEncoding));
}

LCFString::LCFString(CFStringRef inStringRef)
    : LCFObject(inStringRef), mMutableStringRef(NULL), mMaxLength(GetLength()) {}

LCFString::LCFString(CFMutableStringRef inStringRef)
    : LCFObject(inStringRef), mMutableStringRef(inStringRef), mMaxLength(0) {}

LCFString::LCFString(CFURLRef inURLRef) : mMutableStringRef(NULL), mMaxLength(0) {
    if (inURLRef != NULL)
        Adopt(CFURLGetString(inURLRef));
}

LCFString::LCFString(const LCFString& inSource)
    : LCFObject(), mMutableStringRef(NULL), mMaxLength(inSource.mMaxLength) {
    CFStringRef source = inSource.GetTypeRef();
    if (source == NULL)
        return;
    CFAllocatorRef allocator = DefaultAllocator(inSource.GetAllocator());
    if (inSource.IsMutable()) {
        // A limit below the length is stale (left from an earlier string): never truncate.
        CFIndex capacity = inSource.mMaxLength;
        if (capacity != 0 && capacity < CFStringGetLength(source))
            capacity = 0;
        CFMutableStringRef copy = CFStringCreateMutableCopy(allocator, capacity, source);
        SetTypeRef(copy);
        mMutableStringRef = copy;
    } else {
        SetTypeRef(CFStringCreateCopy(allocator, source));
    }
}

LCFString::LCFString(const LCFString& inSource, CFRange fragment, CFAllocatorRef inAllocator)
    : mMutableStringRef(NULL), mMaxLength(0) {
    InitSubstring(inSource, fragment, inAllocator);
}

LCFString::LCFString(const LCFString& inSource, CFIndex offset, CFIndex length,
                     CFAllocatorRef inAllocator)
    : mMutableStringRef(NULL), mMaxLength(0) {
    if (length == 0)
        length = inSource.GetLength() - offset;
    InitSubstring(inSource, CFRangeMake(offset, length), inAllocator);
}

LCFString::~LCFString() {}

void LCFString::InitSubstring(const LCFString& inSource, CFRange fragment,
                              CFAllocatorRef inAllocator) {
    CFStringRef source = inSource.GetTypeRef();
    if (source == NULL || !RangeInside(fragment, CFStringGetLength(source)))
        return;
    Inherit(CFStringCreateWithSubstring(DefaultAllocator(inAllocator), source, fragment));
}

void LCFString::Adopt(CFStringRef inStringRef) {
    LCFObject::AdoptTypeRef(inStringRef);
    mMutableStringRef = NULL;
    mMaxLength = GetLength();
}

void LCFString::Adopt(CFMutableStringRef inMutableStringRef) {
    LCFObject::AdoptTypeRef(inMutableStringRef);
    mMutableStringRef = inMutableStringRef;
}

void LCFString::Inherit(CFStringRef inStringRef) {
    Adopt(inStringRef);
    if (inStringRef != NULL)
        CFRelease(inStringRef);
}

void LCFString::Inherit(CFMutableStringRef inMutableStringRef) {
    Adopt(inMutableStringRef);
    if (inMutableStringRef != NULL)
        CFRelease(inMutableStringRef);
}

LCFString& LCFString::operator=(CFStringRef inStringRef) {
    Adopt(inStringRef);
    return *this;
}

LCFString& LCFString::operator=(CFMutableStringRef inMutableStringRef) {
    Adopt(inMutableStringRef);
    return *this;
}

LCFString& LCFString::operator=(CFURLRef inURLRef) {
    Adopt(inURLRef != NULL ? CFURLGetString(inURLRef) : static_cast<CFStringRef>(NULL));
    return *this;
}

LCFString& LCFString::operator-=(CFStringRef inStringRef) {
    Inherit(inStringRef);
    return *this;
}

LCFString& LCFString::operator-=(CFMutableStringRef inMutableStringRef) {
    Inherit(inMutableStringRef);
    return *this;
}

LCFString& LCFString::operator=(const LCFString& inSource) {
    LCFString copy(inSource);
    CFTypeRef held = LCFObject::GetTypeRef();
    SetTypeRef(copy.LCFObject::GetTypeRef());
    copy.SetTypeRef(held);
    CFMutableStringRef mutableRef = mMutableStringRef;
    mMutableStringRef = copy.mMutableStringRef;
    copy.mMutableStringRef = mutableRef;
    CFIndex maxLength = mMaxLength;
    mMaxLength = copy.mMaxLength;
    copy.mMaxLength = maxLength;
    return *this;
}

void LCFString::AdoptTypeRef(CFTypeRef inTypeRef) {
    if (inTypeRef != NULL && CFGetTypeID(inTypeRef) != CFStringGetTypeID())
        return;
    LCFObject::AdoptTypeRef(inTypeRef);
    mMutableStringRef = NULL;
}

CFIndex LCFString::GetLength() const {
    CFStringRef held = GetTypeRef();
    return held != NULL ? CFStringGetLength(held) : 0;
}

bool LCFString::GetCString(char* outBuffer, CFIndex inBufferSize,
                           CFStringEncoding inEncoding) const {
    if (outBuffer == NULL || inBufferSize <= 0)
        return false;
    CFStringRef held = GetTypeRef();
    if (held == NULL) {
        outBuffer[0] = '\0';
        return false;
    }
    return CFStringGetCString(held, outBuffer, inBufferSize, inEncoding);
}

void LCFString::Append(CFStringRef inString, ...) {
    if (!IsMutable() || inString == NULL)
        return;
    va_list arguments;
    va_start(arguments, inString);
    CFStringAppendFormatAndArguments(mMutableStringRef, NULL, inString, arguments);
    va_end(arguments);
}

void LCFString::Append(const UniChar* inChars, CFIndex inNumChars) {
    if (!IsMutable() || inChars == NULL || inNumChars <= 0)
        return;
    CFStringAppendCharacters(mMutableStringRef, inChars, inNumChars);
}

void LCFString::Append(ConstStringPtr inPString, CFStringEncoding inEncoding) {
    if (!IsMutable() || inPString == NULL)
        return;
    CFStringAppendPascalString(mMutableStringRef, inPString, inEncoding);
}

void LCFString::Append(const char* inCString, CFStringEncoding inEncoding) {
    if (!IsMutable() || inCString == NULL)
        return;
    CFStringAppendCString(mMutableStringRef, inCString, inEncoding);
}

void LCFString::Insert(CFIndex inLocation, CFStringRef inString) {
    if (!IsMutable() || inString == NULL || !RangeInside(CFRangeMake(inLocation, 0), GetLength()))
        return;
    CFStringInsert(mMutableStringRef, inLocation, inString);
}

void LCFString::Delete(CFRange inRange) {
    if (!IsMutable() || !RangeInside(inRange, GetLength()))
        return;
    CFStringDelete(mMutableStringRef, inRange);
}

void LCFString::DeleteAll() {
    if (!IsMutable())
        return;
    CFStringDelete(mMutableStringRef, CFRangeMake(0, GetLength()));
}

void LCFString::Replace(CFRange inRange, CFStringRef inReplacementStr) {
    if (!IsMutable() || inReplacementStr == NULL || !RangeInside(inRange, GetLength()))
        return;
    CFStringReplace(mMutableStringRef, inRange, inReplacementStr);
}

void LCFString::ReplaceAll(CFStringRef inReplacementStr) {
    if (inReplacementStr == NULL)
        return;
    if (!IsMutable()) {
        CFMutableStringRef created = CFStringCreateMutable(kCFAllocatorDefault, 0);
        if (created == NULL)
            return;
        Inherit(created);
        mMaxLength = 0;
    }
    CFStringReplaceAll(mMutableStringRef, inReplacementStr);
}

void LCFString::Trim(CFStringRef trimString) {
    // An empty trim string would match forever.
    if (!IsMutable() || trimString == NULL || CFStringGetLength(trimString) == 0)
        return;
    CFStringTrim(mMutableStringRef, trimString);
}

void LCFString::TrimWhiteSpace() {
    if (!IsMutable())
        return;
    CFStringTrimWhitespace(mMutableStringRef);
}

bool LCFString::BeginsWith(CFStringRef srcString) const {
    CFStringRef held = GetTypeRef();
    if (held == NULL || srcString == NULL)
        return held == NULL && srcString == NULL;
    return CFStringHasPrefix(held, srcString);
}

bool LCFString::EndsWith(CFStringRef srcString) const {
    CFStringRef held = GetTypeRef();
    if (held == NULL || srcString == NULL)
        return held == NULL && srcString == NULL;
    return CFStringHasSuffix(held, srcString);
}

bool LCFString::DeEscapeURL() {
    CFStringRef held = GetTypeRef();
    if (held == NULL)
        return false;
    CFStringRef plain =
        CFURLCreateStringByReplacingPercentEscapes(kCFAllocatorDefault, held, CFSTR(""));
    if (plain == NULL)
        return false;
    Inherit(plain);
    return true;
}

bool LCFString::EscapeURL() {
    if (!DeEscapeURL())
        return false;
    CFStringRef escaped = CFURLCreateStringByAddingPercentEscapes(
        kCFAllocatorDefault, GetTypeRef(), NULL, NULL, kCFStringEncodingUTF8);
    if (escaped == NULL)
        return false;
    Inherit(escaped);
    return true;
}

CFComparisonResult SafeCFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                       CFOptionFlags compareOptions) {
    if (theString1 != NULL && theString2 != NULL)
        return CFStringCompare(theString1, theString2, compareOptions);
    if (theString1 != NULL)
        return kCFCompareGreaterThan;
    if (theString2 != NULL)
        return kCFCompareLessThan;
    return kCFCompareEqualTo;
}
