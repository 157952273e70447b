// libFuzzer entry for string encodings (clang only, built with -DTVB_FUZZ=ON). The first byte
// picks the encoding the rest is read in and whether it is an external representation; the
// string that comes back is then written out in every encoding, into buffers of exactly the
// size asked for, so that the sanitizer sees any byte written or read past them.
#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr CFStringEncoding kEncodings[] = {
    kCFStringEncodingMacRoman, kCFStringEncodingASCII,         kCFStringEncodingISOLatin1,
    kCFStringEncodingUTF8,     kCFStringEncodingUTF16,         kCFStringEncodingUTF16BE,
    kCFStringEncodingUTF16LE,  kCFStringEncodingUTF32,         kCFStringEncodingUTF32BE,
    kCFStringEncodingUTF32LE,  kCFStringEncodingNonLossyASCII,
};
constexpr size_t kEncodingCount = sizeof kEncodings / sizeof kEncodings[0];

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// memcmp, for empty buffers too (whose pointers may be NULL).
bool SameBytes(const void* a, const void* b, size_t count) {
    return count == 0 || std::memcmp(a, b, count) == 0;
}

bool Unmarked(CFStringEncoding encoding) {
    return encoding == kCFStringEncodingUTF16 || encoding == kCFStringEncodingUTF32;
}

// Whether bytes in an unmarked encoding begin with a byte order mark in either order.
bool BeginsWithMark(const uint8_t* data, size_t size, CFStringEncoding encoding) {
    if (encoding == kCFStringEncodingUTF16)
        return size >= 2 &&
               ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0xFF && data[1] == 0xFE));
    if (encoding == kCFStringEncodingUTF32)
        return size >= 4 && ((std::memcmp(data, "\0\0\xFE\xFF", 4) == 0) ||
                             (std::memcmp(data, "\xFF\xFE\0\0", 4) == 0));
    return false;
}

// The bytes CFStringGetBytes gives for the whole string, measured first, then written into a
// buffer of just that size and into one a byte short.
struct Written {
    CFIndex converted = 0;
    std::vector<UInt8> bytes;
};

Written WriteOut(CFStringRef string, CFStringEncoding encoding, UInt8 lossByte, bool external) {
    const CFIndex length = CFStringGetLength(string);
    CFIndex measured = -1;
    const CFIndex converted = CFStringGetBytes(string, CFRangeMake(0, length), encoding, lossByte,
                                               external, nullptr, 0, &measured);
    Check(converted >= 0 && converted <= length && measured >= 0);
    if (!external && lossByte == 0) {
        CFIndex most = CFStringGetMaximumSizeForEncoding(converted, encoding);
        Check(most == kCFNotFound || measured <= most);
    }
    Written out;
    std::unique_ptr<UInt8[]> exact(new UInt8[static_cast<size_t>(measured) + 1]);
    CFIndex used = -1;
    Check(CFStringGetBytes(string, CFRangeMake(0, length), encoding, lossByte, external,
                           exact.get(), measured, &used) == converted);
    Check(used == measured);
    out.converted = converted;
    out.bytes.assign(exact.get(), exact.get() + used);
    if (measured > 0) {
        std::unique_ptr<UInt8[]> shorter(new UInt8[static_cast<size_t>(measured) - 1 + 1]);
        CFIndex less = -1;
        CFIndex part = CFStringGetBytes(string, CFRangeMake(0, length), encoding, lossByte,
                                        external, shorter.get(), measured - 1, &less);
        Check(part <= converted && less < measured);
        Check(SameBytes(shorter.get(), out.bytes.data(), static_cast<size_t>(less)));
    }
    return out;
}

// CFStringGetCString and CFStringGetPascalString in a buffer that just fits and one a byte short.
void WriteCStrings(CFStringRef string, CFStringEncoding encoding, const Written& whole,
                   bool complete) {
    const size_t size = whole.bytes.size();
    std::unique_ptr<char[]> fits(new char[size + 1]);
    const bool available = CFStringIsEncodingAvailable(encoding);
    Boolean ok = CFStringGetCString(string, fits.get(), static_cast<CFIndex>(size + 1), encoding);
    Check(!available || ok == complete);
    if (ok)
        Check(SameBytes(fits.get(), whole.bytes.data(), size) && fits[size] == '\0');
    else
        Check(fits[0] == '\0');
    if (size > 0) {
        std::unique_ptr<char[]> tight(new char[size]);
        Check(!CFStringGetCString(string, tight.get(), static_cast<CFIndex>(size), encoding));
        Check(tight[0] == '\0');
    }
    if (size < 255) {
        std::unique_ptr<UInt8[]> pascal(new UInt8[size + 1]);
        Boolean pascalOk =
            CFStringGetPascalString(string, pascal.get(), static_cast<CFIndex>(size + 1), encoding);
        Check(!available || pascalOk == complete);
        if (pascalOk)
            Check(pascal[0] == size && SameBytes(pascal.get() + 1, whole.bytes.data(), size));
    }
    const char* direct = CFStringGetCStringPtr(string, encoding);
    if (direct != nullptr)
        Check(ok && std::strlen(direct) == std::strlen(fits.get()) &&
              std::strcmp(direct, fits.get()) == 0);
}

void Exercise(CFStringRef string, const uint8_t* data, size_t size, CFStringEncoding encoding,
              bool external, UInt8 lossByte) {
    const CFIndex length = CFStringGetLength(string);
    std::unique_ptr<UniChar[]> units(new UniChar[static_cast<size_t>(length) + 1]);
    CFStringGetCharacters(string, CFRangeMake(0, length), units.get());
    for (CFIndex i = 0; i < length; ++i)
        Check(units[i] == CFStringGetCharacterAtIndex(string, i));
    const UniChar first = length > 0 ? units[0] : 0;

    // Bytes read without a mark in an encoding that has one form per character come back
    // unchanged: a read that was lossy would show here.
    if (!external && !BeginsWithMark(data, size, encoding)) {
        Written again = WriteOut(string, encoding, 0, false);
        Check(again.converted == length);
        Check(again.bytes.size() == size && SameBytes(again.bytes.data(), data, size));
    }

    for (CFStringEncoding target : kEncodings) {
        for (bool mark : {false, true}) {
            Written out = WriteOut(string, target, lossByte, mark);
            const bool complete = out.converted == length;
            if (!mark && lossByte == 0)
                WriteCStrings(string, target, out, complete);
            if (!complete || lossByte != 0 || !CFStringIsEncodingAvailable(target))
                continue;
            // A string written whole reads back equal, in the same form. Only a leading
            // U+FEFF or U+FFFE written unmarked in host order reads as a byte order mark, and
            // a leading U+FEFF in UTF-8 as an external representation's.
            if (!mark && Unmarked(target) && (first == 0xFEFF || first == 0xFFFE))
                continue;
            if (mark && target == kCFStringEncodingUTF8 && first == 0xFEFF)
                continue;
            CFStringRef back = CFStringCreateWithBytes(
                nullptr, out.bytes.data(), static_cast<CFIndex>(out.bytes.size()), target, mark);
            Check(back != nullptr && CFEqual(back, string) && CFHash(back) == CFHash(string));
            CFRelease(back);
        }
    }

    // Two halves appended to a mutable copy of the first make the whole again.
    CFIndex half = length / 2;
    CFStringRef head = CFStringCreateWithSubstring(nullptr, string, CFRangeMake(0, half));
    CFStringRef tail =
        CFStringCreateWithSubstring(nullptr, string, CFRangeMake(half, length - half));
    CFMutableStringRef joined = CFStringCreateMutableCopy(nullptr, 0, head);
    CFStringAppend(joined, tail);
    Check(CFEqual(joined, string) && CFHash(joined) == CFHash(string));
    Check(CFStringCompare(joined, string, 0) == kCFCompareEqualTo);
    CFRelease(joined);
    CFRelease(tail);
    CFRelease(head);
    (void)CFStringGetIntValue(string);
    (void)CFStringGetDoubleValue(string);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const CFStringEncoding encoding = kEncodings[(data[0] & 0x3F) % kEncodingCount];
    const bool external = (data[0] & 0x80) != 0;
    const UInt8 lossByte = (data[0] & 0x40) != 0 ? '?' : 0;
    ++data;
    --size;

    CFStringRef string =
        CFStringCreateWithBytes(nullptr, data, static_cast<CFIndex>(size), encoding, external);
    if (encoding == kCFStringEncodingMacRoman || encoding == kCFStringEncodingISOLatin1)
        Check(string != nullptr);
    if (!CFStringIsEncodingAvailable(encoding))
        Check(string == nullptr);
    // The same bytes as a Pascal string or, up to a NUL, as a C string read the same way.
    if (!external && size <= 255) {
        std::unique_ptr<UInt8[]> pascal(new UInt8[size + 1]);
        pascal[0] = static_cast<UInt8>(size);
        if (size > 0)
            std::memcpy(pascal.get() + 1, data, size);
        CFStringRef same = CFStringCreateWithPascalString(nullptr, pascal.get(), encoding);
        Check((same == nullptr) == (string == nullptr));
        if (same != nullptr) {
            Check(CFEqual(same, string));
            CFRelease(same);
        }
    }
    std::unique_ptr<char[]> text(new char[size + 1]);
    if (size > 0)
        std::memcpy(text.get(), data, size);
    text[size] = '\0';
    CFStringRef fromC = CFStringCreateWithCString(nullptr, text.get(), encoding);
    if (fromC != nullptr)
        CFRelease(fromC);

    if (string != nullptr) {
        Exercise(string, data, size, encoding, external, lossByte);
        CFRelease(string);
    }
    return 0;
}
