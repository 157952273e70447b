#include "CFString_Internal.h"

#include <CoreFoundation/CFStringPriv.h>

#include <atomic>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

const __CFString* AsString(CFTypeRef cf, const char* function) {
    if (cf == nullptr) {
        __CFComplain(function, "NULL string");
        return nullptr;
    }
    const __CFString* string = __CFCast<const __CFString>(cf, __kCFStringTypeID);
    if (string == nullptr)
        __CFComplain(function, "not a CFString");
    return string;
}

__CFString* AsMutable(CFMutableStringRef cf, const char* function) {
    const __CFString* string = AsString(cf, function);
    if (string == nullptr)
        return nullptr;
    if (!string->mMutable) {
        __CFComplain(function, "attempt to mutate an immutable string; left unchanged");
        return nullptr;
    }
    return const_cast<__CFString*>(string);
}

bool RangeFits(CFRange range, CFIndex length) {
    return range.location >= 0 && range.length >= 0 && range.location <= length &&
           range.length <= length - range.location;
}

bool CheckRange(CFRange range, CFIndex length, const char* function) {
    if (RangeFits(range, length))
        return true;
    char problem[128];
    std::snprintf(problem, sizeof problem, "range {%ld, %ld} out of bounds of length %ld",
                  range.location, range.length, length);
    __CFComplain(function, problem);
    return false;
}

CFStringRef NewString(CFAllocatorRef allocator, __CFUniChars chars) {
    return new __CFString(allocator, std::move(chars), false, 0);
}

// Every change of a mutable string goes through here so the maximum length holds
// for all of them; a change that would pass it is refused whole.
bool ReplaceUnits(__CFString* string, CFRange range, __CFUniChars units, const char* function) {
    if (!CheckRange(range, string->Length(), function))
        return false;
    CFIndex newLength = string->Length() - range.length + static_cast<CFIndex>(units.size());
    if (string->mMaxLength > 0 && newLength > string->mMaxLength) {
        char problem[160];
        std::snprintf(problem, sizeof problem,
                      "result of %ld characters exceeds the maximum length %ld; left unchanged",
                      newLength, string->mMaxLength);
        __CFComplain(function, problem);
        return false;
    }
    auto first = string->mChars.begin() + range.location;
    string->mChars.erase(first, first + range.length);
    string->mChars.insert(string->mChars.begin() + range.location, units.begin(), units.end());
    return true;
}

bool AppendUnits(__CFString* string, __CFUniChars units, const char* function) {
    return ReplaceUnits(string, CFRangeMake(string->Length(), 0), std::move(units), function);
}

UniChar FoldCase(UniChar c) {
    if (c >= 'A' && c <= 'Z')
        return static_cast<UniChar>(c + 0x20);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return static_cast<UniChar>(c + 0x20);
    return c;
}

bool IsDigit(UniChar c) {
    return c >= '0' && c <= '9';
}

CFComparisonResult Order(long difference) {
    return difference < 0 ? kCFCompareLessThan
                          : (difference > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

CFComparisonResult CompareUnits(const UniChar* a, size_t na, const UniChar* b, size_t nb,
                                CFOptionFlags options) {
    bool fold = (options & kCFCompareCaseInsensitive) != 0;
    bool numeric = (options & kCFCompareNumerically) != 0;
    size_t i = 0, j = 0;
    while (i < na && j < nb) {
        if (numeric && IsDigit(a[i]) && IsDigit(b[j])) {
            // Runs of digits compare by value: leading zeros do not count, then the
            // longer run is larger, then the first differing digit decides.
            while (i < na && a[i] == '0')
                ++i;
            while (j < nb && b[j] == '0')
                ++j;
            size_t si = i, sj = j;
            while (i < na && IsDigit(a[i]))
                ++i;
            while (j < nb && IsDigit(b[j]))
                ++j;
            size_t la = i - si, lb = j - sj;
            if (la != lb)
                return la < lb ? kCFCompareLessThan : kCFCompareGreaterThan;
            for (size_t k = 0; k < la; ++k)
                if (a[si + k] != b[sj + k])
                    return Order(long(a[si + k]) - long(b[sj + k]));
            continue;
        }
        UniChar ca = fold ? FoldCase(a[i]) : a[i];
        UniChar cb = fold ? FoldCase(b[j]) : b[j];
        if (ca != cb)
            return Order(long(ca) - long(cb));
        ++i;
        ++j;
    }
    return Order(long(na - i) - long(nb - j));
}

bool UnitsMatch(const UniChar* a, const UniChar* b, size_t count, bool fold) {
    for (size_t k = 0; k < count; ++k) {
        UniChar ca = fold ? FoldCase(a[k]) : a[k];
        UniChar cb = fold ? FoldCase(b[k]) : b[k];
        if (ca != cb)
            return false;
    }
    return true;
}

// Assumes a valid range; the empty needle is never found.
bool FindUnits(const __CFUniChars& haystack, const __CFUniChars& needle, CFRange range,
               CFOptionFlags options, CFRange* result) {
    CFIndex count = static_cast<CFIndex>(needle.size());
    if (count == 0 || count > range.length)
        return false;
    bool fold = (options & kCFCompareCaseInsensitive) != 0;
    bool backwards = (options & kCFCompareBackwards) != 0;
    bool anchored = (options & kCFCompareAnchored) != 0;
    CFIndex first = range.location;
    CFIndex last = range.location + range.length - count;
    for (CFIndex step = 0; step <= last - first; ++step) {
        CFIndex at = backwards ? last - step : first + step;
        if (UnitsMatch(haystack.data() + at, needle.data(), needle.size(), fold)) {
            if (result != nullptr)
                *result = CFRangeMake(at, count);
            return true;
        }
        if (anchored)
            break;
    }
    return false;
}

bool IsWhitespace(UniChar c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

size_t LeadingWhitespace(const __CFUniChars& chars) {
    size_t count = 0;
    while (count < chars.size() && IsWhitespace(chars[count]))
        ++count;
    return count;
}

bool IsASCIICompatible(CFStringEncoding encoding) {
    return encoding == kCFStringEncodingASCII || encoding == kCFStringEncodingUTF8 ||
           encoding == kCFStringEncodingMacRoman || encoding == kCFStringEncodingISOLatin1;
}

// The whole string in an encoding; false when a character has no form in it.
bool EncodeAll(const __CFString* string, CFStringEncoding encoding, std::string& bytes) {
    const UniChar* chars = string->mChars.data();
    size_t count = string->mChars.size();
    UInt8 buffer[4];
    size_t length = 0;
    for (size_t i = 0; i < count;) {
        size_t used = __CFStringEncodeCharacter(chars, count, i, encoding, buffer, &length);
        if (used == 0)
            return false;
        bytes.append(reinterpret_cast<const char*>(buffer), length);
        i += used;
    }
    return true;
}

bool DecodeOrComplain(const UInt8* bytes, size_t count, CFStringEncoding encoding, bool external,
                      __CFUniChars& out, const char* function) {
    if (__CFStringDecodeBytes(bytes, count, encoding, external, out))
        return true;
    if (!__CFStringEncodingSupported(encoding))
        __CFComplain(function, "unsupported encoding");
    return false;
}

// False, with a complaint, for a NULL Pascal or C string.
bool Present(const void* bytes, const char* problem, const char* function) {
    if (bytes == nullptr)
        __CFComplain(function, problem);
    return bytes != nullptr;
}

CFStringRef CreateDecoded(CFAllocatorRef allocator, const UInt8* bytes, size_t count,
                          CFStringEncoding encoding, bool external, const char* function) {
    __CFUniChars chars;
    if (!DecodeOrComplain(bytes, count, encoding, external, chars, function))
        return nullptr;
    return NewString(allocator, std::move(chars));
}

void AppendDecoded(__CFString* string, const UInt8* bytes, size_t count, CFStringEncoding encoding,
                   const char* function) {
    __CFUniChars chars;
    if (!DecodeOrComplain(bytes, count, encoding, false, chars, function)) {
        __CFComplain(function, "bytes not valid in the encoding; left unchanged");
        return;
    }
    AppendUnits(string, std::move(chars), function);
}

const UInt8* CStringBytes(const char* cStr) {
    return reinterpret_cast<const UInt8*>(cStr);
}

// A missing string sorts first; two missing ones are equal.
CFComparisonResult CompareMissing(const __CFString* a, const __CFString* b) {
    return a == b ? kCFCompareEqualTo : (a == nullptr ? kCFCompareLessThan : kCFCompareGreaterThan);
}

struct ConstantTable {
    std::mutex lock;
    std::unordered_map<std::string, const __CFString*> strings;
};

// Never destroyed: constants must outlive every static object that holds one.
ConstantTable& Constants() {
    static ConstantTable* table = new ConstantTable;
    return *table;
}

} // namespace

__CFString::__CFString(CFAllocatorRef allocator, __CFUniChars chars, bool isMutable,
                       CFIndex maxLength)
    : __CFRuntimeBase(__kCFStringTypeID, allocator), mChars(std::move(chars)), mMutable(isMutable),
      mMaxLength(maxLength) {
    if (!mMutable) {
        mHasASCII = true;
        for (UniChar c : mChars)
            mHasASCII = mHasASCII && c < 0x80;
        if (mHasASCII)
            mASCII.assign(mChars.begin(), mChars.end());
    }
}

bool __CFString::Equal(const __CFRuntimeBase* other) const {
    return mChars == static_cast<const __CFString*>(other)->mChars;
}

CFHashCode __CFString::Hash() const {
    // FNV-1a over the UTF-16 units: equal strings hash equal, mutable or not.
    CFHashCode hash = 14695981039346656037ull;
    for (UniChar c : mChars) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string __CFString::Describe() const {
    return __CFStringToUTF8(mChars.data(), mChars.size());
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    if (cStr == nullptr)
        cStr = "";
    ConstantTable& table = Constants();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.strings.find(cStr);
    if (found != table.strings.end())
        return found->second;
    __CFUniChars chars;
    __CFStringAppendLenientBytes(cStr, std::strlen(cStr), chars);
    auto* string = new __CFString(nullptr, std::move(chars), false, 0);
    string->MakeImmortal();
    table.strings.emplace(cStr, string);
    return string;
}

CFTypeID CFStringGetTypeID(void) {
    return __kCFStringTypeID;
}

CFStringRef CFStringCreateWithPascalString(CFAllocatorRef alloc, ConstStr255Param pStr,
                                           CFStringEncoding encoding) {
    if (!Present(pStr, "NULL Pascal string", __func__))
        return nullptr;
    return CreateDecoded(alloc, pStr + 1, pStr[0], encoding, false, __func__);
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding) {
    if (!Present(cStr, "NULL C string", __func__))
        return nullptr;
    return CreateDecoded(alloc, CStringBytes(cStr), std::strlen(cStr), encoding, false, __func__);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) {
    if (numBytes < 0 || (bytes == nullptr && numBytes > 0)) {
        __CFComplain(__func__, "bad byte buffer");
        return nullptr;
    }
    return CreateDecoded(alloc, bytes, static_cast<size_t>(numBytes), encoding,
                         isExternalRepresentation != 0, __func__);
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars,
                                         CFIndex numChars) {
    if (numChars < 0 || (chars == nullptr && numChars > 0)) {
        __CFComplain(__func__, "bad character buffer");
        return nullptr;
    }
    return NewString(alloc, __CFUniChars(chars, chars + numChars));
}

CFStringRef CFStringCreateWithSubstring(CFAllocatorRef alloc, CFStringRef str, CFRange range) {
    const __CFString* source = AsString(str, __func__);
    if (source == nullptr || !CheckRange(range, source->Length(), __func__))
        return nullptr;
    auto first = source->mChars.begin() + range.location;
    return NewString(alloc, __CFUniChars(first, first + range.length));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString) {
    const __CFString* source = AsString(theString, __func__);
    if (source == nullptr)
        return nullptr;
    CFAllocatorRef wanted = alloc != nullptr ? alloc : kCFAllocatorSystemDefault;
    if (!source->mMutable && CFGetAllocator(theString) == wanted)
        return static_cast<CFStringRef>(CFRetain(theString));
    return NewString(alloc, source->mChars);
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                     CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CFStringRef result =
        CFStringCreateWithFormatAndArguments(alloc, formatOptions, format, arguments);
    va_end(arguments);
    return result;
}

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef alloc, CFDictionaryRef,
                                                 CFStringRef format, va_list arguments) {
    const __CFString* pattern = AsString(format, __func__);
    if (pattern == nullptr)
        return nullptr;
    __CFUniChars chars;
    __CFStringFormatAppend(pattern->mChars, arguments, chars);
    return NewString(alloc, std::move(chars));
}

namespace {
std::atomic<int> gFailingMutableCreations{0};
}

void __CFStringFailMutableCreationsForTesting(int count) {
    gFailingMutableCreations = count;
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef alloc, CFIndex maxLength) {
    if (gFailingMutableCreations.load(std::memory_order_relaxed) > 0 &&
        gFailingMutableCreations.fetch_sub(1) > 0)
        return nullptr;
    if (maxLength < 0) {
        __CFComplain(__func__, "negative maximum length");
        return nullptr;
    }
    return new __CFString(alloc, __CFUniChars(), true, maxLength);
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength,
                                             CFStringRef theString) {
    const __CFString* source = AsString(theString, __func__);
    if (source == nullptr)
        return nullptr;
    if (maxLength < 0) {
        __CFComplain(__func__, "negative maximum length");
        return nullptr;
    }
    if (maxLength > 0 && source->Length() > maxLength) {
        __CFComplain(__func__, "source is longer than the maximum length");
        return nullptr;
    }
    return new __CFString(alloc, source->mChars, true, maxLength);
}

CFIndex CFStringGetLength(CFStringRef theString) {
    const __CFString* string = AsString(theString, __func__);
    return string ? string->Length() : 0;
}

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
    const __CFString* string = AsString(theString, __func__);
    if (string == nullptr || !CheckRange(CFRangeMake(idx, 1), string->Length(), __func__))
        return 0;
    return string->mChars[static_cast<size_t>(idx)];
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer) {
    const __CFString* string = AsString(theString, __func__);
    if (string == nullptr || !CheckRange(range, string->Length(), __func__))
        return;
    if (buffer == nullptr) {
        if (range.length > 0)
            __CFComplain(__func__, "NULL buffer");
        return;
    }
    std::copy_n(string->mChars.begin() + range.location, range.length, buffer);
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    if (buffer == nullptr || bufferSize <= 0)
        return false;
    buffer[0] = '\0';
    const __CFString* string = AsString(theString, __func__);
    if (string == nullptr)
        return false;
    std::string bytes;
    if (!EncodeAll(string, encoding, bytes))
        return false;
    if (static_cast<CFIndex>(bytes.size()) >= bufferSize)
        return false;
    std::memcpy(buffer, bytes.data(), bytes.size());
    buffer[bytes.size()] = '\0';
    return true;
}

Boolean CFStringGetPascalString(CFStringRef theString, StringPtr buffer, CFIndex bufferSize,
                                CFStringEncoding encoding) {
    if (buffer == nullptr || bufferSize <= 0)
        return false;
    buffer[0] = 0;
    const __CFString* string = AsString(theString, __func__);
    if (string == nullptr)
        return false;
    std::string bytes;
    if (!EncodeAll(string, encoding, bytes))
        return false;
    if (bytes.size() > 255 || static_cast<CFIndex>(bytes.size()) >= bufferSize)
        return false;
    buffer[0] = static_cast<unsigned char>(bytes.size());
    std::memcpy(buffer + 1, bytes.data(), bytes.size());
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
    const __CFString* string = AsString(theString, __func__);
    if (string == nullptr || !string->mHasASCII || !IsASCIICompatible(encoding))
        return nullptr;
    return string->mASCII.c_str();
}

const UniChar* CFStringGetCharactersPtr(CFStringRef theString) {
    const __CFString* string = AsString(theString, __func__);
    if (string == nullptr || string->mMutable || string->mChars.empty())
        return nullptr;
    return string->mChars.data();
}

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen) {
    if (usedBufLen != nullptr)
        *usedBufLen = 0;
    const __CFString* string = AsString(theString, __func__);
    if (string == nullptr || !CheckRange(range, string->Length(), __func__))
        return 0;
    if (!__CFStringEncodingSupported(encoding)) {
        __CFComplain(__func__, "unsupported encoding");
        return 0;
    }
    if (buffer == nullptr)
        maxBufLen = LONG_MAX;
    const UniChar* chars = string->mChars.data() + range.location;
    const size_t count = static_cast<size_t>(range.length);
    UInt8 bytes[4];
    size_t length = 0;
    CFIndex used = 0;
    if (isExternalRepresentation) {
        length = __CFStringByteOrderMark(encoding, bytes);
        if (static_cast<CFIndex>(length) > maxBufLen)
            return 0;
        if (buffer != nullptr)
            std::memcpy(buffer, bytes, length);
        used = static_cast<CFIndex>(length);
    }
    size_t converted = 0;
    while (converted < count) {
        size_t taken = __CFStringEncodeCharacter(chars, count, converted, encoding, bytes, &length);
        if (taken == 0) {
            if (lossByte == 0)
                break;
            bytes[0] = lossByte;
            length = 1;
            taken = 1;
        }
        if (static_cast<CFIndex>(length) > maxBufLen - used)
            break;
        if (buffer != nullptr)
            std::memcpy(buffer + used, bytes, length);
        used += static_cast<CFIndex>(length);
        converted += taken;
    }
    if (usedBufLen != nullptr)
        *usedBufLen = used;
    return static_cast<CFIndex>(converted);
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (length < 0 || !__CFStringEncodingSupported(encoding))
        return kCFNotFound;
    CFIndex perUnit = 1;
    if (encoding == kCFStringEncodingUTF8)
        perUnit = 3;
    else if (encoding == kCFStringEncodingUTF16 || encoding == kCFStringEncodingUTF16BE ||
             encoding == kCFStringEncodingUTF16LE)
        perUnit = 2;
    else if (encoding == kCFStringEncodingUTF32 || encoding == kCFStringEncodingUTF32BE ||
             encoding == kCFStringEncodingUTF32LE)
        perUnit = 4;
    if (length > LONG_MAX / perUnit)
        return kCFNotFound;
    return length * perUnit;
}

CFStringEncoding CFStringGetSystemEncoding(void) {
    return kCFStringEncodingMacRoman;
}

Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding) {
    return __CFStringEncodingSupported(encoding);
}

SInt32 CFStringGetIntValue(CFStringRef str) {
    const __CFString* string = AsString(str, __func__);
    if (string == nullptr)
        return 0;
    const __CFUniChars& c = string->mChars;
    size_t i = LeadingWhitespace(c);
    bool negative = false;
    if (i < c.size() && (c[i] == '-' || c[i] == '+'))
        negative = c[i++] == '-';
    long long value = 0;
    for (; i < c.size() && IsDigit(c[i]); ++i) {
        value = value * 10 + (c[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            break;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<SInt32>(value);
}

double CFStringGetDoubleValue(CFStringRef str) {
    const __CFString* string = AsString(str, __func__);
    if (string == nullptr)
        return 0.0;
    const __CFUniChars& c = string->mChars;
    size_t i = LeadingWhitespace(c);
    std::string text;
    if (i < c.size() && c[i] == '+')
        ++i;
    for (; i < c.size() && c[i] < 0x80 && c[i] > 0x20; ++i)
        text += static_cast<char>(c[i]);
    double value = 0.0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    return error == std::errc() ? value : 0.0;
}

CFComparisonResult CFStringCompareWithOptions(CFStringRef theString1, CFStringRef theString2,
                                              CFRange rangeToCompare,
                                              CFStringCompareFlags compareOptions) {
    const __CFString* a = AsString(theString1, __func__);
    const __CFString* b = AsString(theString2, __func__);
    if (a == nullptr || b == nullptr)
        return CompareMissing(a, b);
    if (!CheckRange(rangeToCompare, a->Length(), __func__))
        return kCFCompareLessThan;
    return CompareUnits(a->mChars.data() + rangeToCompare.location,
                        static_cast<size_t>(rangeToCompare.length), b->mChars.data(),
                        b->mChars.size(), compareOptions);
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions) {
    const __CFString* a = AsString(theString1, __func__);
    const __CFString* b = AsString(theString2, __func__);
    if (a == nullptr || b == nullptr)
        return CompareMissing(a, b);
    return CompareUnits(a->mChars.data(), a->mChars.size(), b->mChars.data(), b->mChars.size(),
                        compareOptions);
}

Boolean CFStringFindWithOptions(CFStringRef theString, CFStringRef stringToFind,
                                CFRange rangeToSearch, CFStringCompareFlags searchOptions,
                                CFRange* result) {
    const __CFString* haystack = AsString(theString, __func__);
    const __CFString* needle = AsString(stringToFind, __func__);
    if (haystack == nullptr || needle == nullptr ||
        !CheckRange(rangeToSearch, haystack->Length(), __func__))
        return false;
    return FindUnits(haystack->mChars, needle->mChars, rangeToSearch, searchOptions, result);
}

CFRange CFStringFind(CFStringRef theString, CFStringRef stringToFind,
                     CFStringCompareFlags compareOptions) {
    CFRange found = CFRangeMake(kCFNotFound, 0);
    const __CFString* haystack = AsString(theString, __func__);
    const __CFString* needle = AsString(stringToFind, __func__);
    if (haystack == nullptr || needle == nullptr)
        return found;
    FindUnits(haystack->mChars, needle->mChars, CFRangeMake(0, haystack->Length()), compareOptions,
              &found);
    return found;
}

Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix) {
    const __CFString* string = AsString(theString, __func__);
    const __CFString* start = AsString(prefix, __func__);
    if (string == nullptr || start == nullptr)
        return false;
    return FindUnits(string->mChars, start->mChars, CFRangeMake(0, string->Length()),
                     kCFCompareAnchored, nullptr);
}

Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix) {
    const __CFString* string = AsString(theString, __func__);
    const __CFString* end = AsString(suffix, __func__);
    if (string == nullptr || end == nullptr)
        return false;
    return FindUnits(string->mChars, end->mChars, CFRangeMake(0, string->Length()),
                     kCFCompareAnchored | kCFCompareBackwards, nullptr);
}

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
    __CFString* string = AsMutable(theString, __func__);
    const __CFString* tail = AsString(appendedString, __func__);
    if (string == nullptr || tail == nullptr)
        return;
    AppendUnits(string, tail->mChars, __func__);
}

void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars,
                              CFIndex numChars) {
    __CFString* string = AsMutable(theString, __func__);
    if (string == nullptr)
        return;
    if (numChars < 0 || (chars == nullptr && numChars > 0)) {
        __CFComplain(__func__, "bad character buffer");
        return;
    }
    AppendUnits(string, __CFUniChars(chars, chars + numChars), __func__);
}

void CFStringAppendPascalString(CFMutableStringRef theString, ConstStr255Param pStr,
                                CFStringEncoding encoding) {
    __CFString* string = AsMutable(theString, __func__);
    if (string != nullptr && Present(pStr, "NULL Pascal string", __func__))
        AppendDecoded(string, pStr + 1, pStr[0], encoding, __func__);
}

void CFStringAppendCString(CFMutableStringRef theString, const char* cStr,
                           CFStringEncoding encoding) {
    __CFString* string = AsMutable(theString, __func__);
    if (string != nullptr && Present(cStr, "NULL C string", __func__))
        AppendDecoded(string, CStringBytes(cStr), std::strlen(cStr), encoding, __func__);
}

void CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                          CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CFStringAppendFormatAndArguments(theString, formatOptions, format, arguments);
    va_end(arguments);
}

void CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef,
                                      CFStringRef format, va_list arguments) {
    __CFString* string = AsMutable(theString, __func__);
    const __CFString* pattern = AsString(format, __func__);
    if (string == nullptr || pattern == nullptr)
        return;
    // Expanded apart first: the arguments may include theString itself.
    __CFUniChars chars;
    __CFStringFormatAppend(pattern->mChars, arguments, chars);
    AppendUnits(string, std::move(chars), __func__);
}

void CFStringInsert(CFMutableStringRef str, CFIndex idx, CFStringRef insertedStr) {
    __CFString* string = AsMutable(str, __func__);
    const __CFString* inserted = AsString(insertedStr, __func__);
    if (string == nullptr || inserted == nullptr)
        return;
    ReplaceUnits(string, CFRangeMake(idx, 0), inserted->mChars, __func__);
}

void CFStringDelete(CFMutableStringRef theString, CFRange range) {
    __CFString* string = AsMutable(theString, __func__);
    if (string == nullptr)
        return;
    ReplaceUnits(string, range, __CFUniChars(), __func__);
}

void CFStringReplace(CFMutableStringRef theString, CFRange range, CFStringRef replacement) {
    __CFString* string = AsMutable(theString, __func__);
    const __CFString* with = AsString(replacement, __func__);
    if (string == nullptr || with == nullptr)
        return;
    ReplaceUnits(string, range, with->mChars, __func__);
}

void CFStringReplaceAll(CFMutableStringRef theString, CFStringRef replacement) {
    __CFString* string = AsMutable(theString, __func__);
    const __CFString* with = AsString(replacement, __func__);
    if (string == nullptr || with == nullptr)
        return;
    ReplaceUnits(string, CFRangeMake(0, string->Length()), with->mChars, __func__);
}

CFIndex CFStringFindAndReplace(CFMutableStringRef theString, CFStringRef stringToFind,
                               CFStringRef replacementString, CFRange rangeToSearch,
                               CFStringCompareFlags compareOptions) {
    __CFString* string = AsMutable(theString, __func__);
    const __CFString* needle = AsString(stringToFind, __func__);
    const __CFString* with = AsString(replacementString, __func__);
    if (string == nullptr || needle == nullptr || with == nullptr ||
        !CheckRange(rangeToSearch, string->Length(), __func__))
        return 0;
    // Collect the matches first, then rebuild the searched range in one step so a refused
    // change (maximum length) leaves the string as it was.
    std::vector<CFIndex> matches;
    CFRange remaining = rangeToSearch;
    bool backwards = (compareOptions & kCFCompareBackwards) != 0;
    CFRange found;
    while (FindUnits(string->mChars, needle->mChars, remaining, compareOptions, &found)) {
        matches.push_back(found.location);
        if (compareOptions & kCFCompareAnchored)
            break;
        if (backwards) {
            remaining.length = found.location - remaining.location;
        } else {
            CFIndex end = remaining.location + remaining.length;
            remaining.location = found.location + found.length;
            remaining.length = end - remaining.location;
        }
    }
    if (matches.empty())
        return 0;
    if (backwards)
        std::reverse(matches.begin(), matches.end());
    __CFUniChars rebuilt;
    CFIndex cursor = rangeToSearch.location;
    const CFIndex needleLength = needle->Length();
    for (CFIndex at : matches) {
        rebuilt.insert(rebuilt.end(), string->mChars.begin() + cursor, string->mChars.begin() + at);
        rebuilt.insert(rebuilt.end(), with->mChars.begin(), with->mChars.end());
        cursor = at + needleLength;
    }
    rebuilt.insert(rebuilt.end(), string->mChars.begin() + cursor,
                   string->mChars.begin() + rangeToSearch.location + rangeToSearch.length);
    if (!ReplaceUnits(string, rangeToSearch, std::move(rebuilt), __func__))
        return 0;
    return static_cast<CFIndex>(matches.size());
}

void CFStringTrim(CFMutableStringRef theString, CFStringRef trimString) {
    __CFString* string = AsMutable(theString, __func__);
    const __CFString* trim = AsString(trimString, __func__);
    if (string == nullptr || trim == nullptr || trim->mChars.empty())
        return;
    const size_t step = trim->mChars.size();
    const UniChar* chars = string->mChars.data();
    size_t begin = 0, end = string->mChars.size();
    while (end - begin >= step && UnitsMatch(chars + begin, trim->mChars.data(), step, false))
        begin += step;
    while (end - begin >= step && UnitsMatch(chars + end - step, trim->mChars.data(), step, false))
        end -= step;
    string->mChars.erase(string->mChars.begin() + static_cast<CFIndex>(end), string->mChars.end());
    string->mChars.erase(string->mChars.begin(),
                         string->mChars.begin() + static_cast<CFIndex>(begin));
}

void CFStringTrimWhitespace(CFMutableStringRef theString) {
    __CFString* string = AsMutable(theString, __func__);
    if (string == nullptr)
        return;
    __CFUniChars& chars = string->mChars;
    size_t end = chars.size();
    while (end > 0 && IsWhitespace(chars[end - 1]))
        --end;
    size_t begin = 0;
    while (begin < end && IsWhitespace(chars[begin]))
        ++begin;
    chars.erase(chars.begin() + static_cast<CFIndex>(end), chars.end());
    chars.erase(chars.begin(), chars.begin() + static_cast<CFIndex>(begin));
}

namespace {

// ASCII letters only: other scripts keep their case.
void ShiftCase(CFMutableStringRef theString, UniChar from, int shift, const char* function) {
    __CFString* string = AsMutable(theString, function);
    if (string == nullptr)
        return;
    for (UniChar& c : string->mChars)
        if (c >= from && c < from + 26)
            c = static_cast<UniChar>(c + shift);
}

} // namespace

void CFStringLowercase(CFMutableStringRef theString, CFLocaleRef) {
    ShiftCase(theString, 'A', 0x20, __func__);
}

void CFStringUppercase(CFMutableStringRef theString, CFLocaleRef) {
    ShiftCase(theString, 'a', -0x20, __func__);
}

void CFShowStr(CFStringRef str) {
    const __CFString* string = AsString(str, __func__);
    if (string == nullptr)
        return;
    std::fprintf(stderr,
                 "Length %ld\nIsMutable %d\nMaxLength %ld\nRetainCount %ld\nContents \"%s\"\n",
                 string->Length(), string->mMutable ? 1 : 0, string->mMaxLength,
                 CFGetRetainCount(str), string->Describe().c_str());
}
