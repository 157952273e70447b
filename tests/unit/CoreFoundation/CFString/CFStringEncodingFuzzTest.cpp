// Random bytes and UTF-16 units through every encoding's creation and conversion, held to what
// CFString.h promises: malformed input gives NULL (judged here by a validator of our own),
// whatever is created converts back to the same bytes, no conversion writes past the buffer it
// is given (each buffer is a heap block of exactly that size, so the sanitizer sees a byte too
// many), and the maximum size for an encoding is never exceeded. Device and volume names reach
// the poller as such text.
#include "CFStringTestSupport.h"

#include <CoreFoundation/CFString.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace {

// Well-formed UTF-8 as Unicode defines it: no overlong forms, surrogates or values past
// U+10FFFF, no cut sequences.
bool IsUtf8(const std::vector<UInt8>& b) {
    for (size_t i = 0; i < b.size();) {
        const UInt8 c = b[i];
        size_t n = c < 0x80             ? 1
                   : (c & 0xE0) == 0xC0 ? 2
                   : (c & 0xF0) == 0xE0 ? 3
                   : (c & 0xF8) == 0xF0 ? 4
                                        : 0;
        if (n == 0 || i + n > b.size())
            return false;
        uint32_t v = n == 1 ? c : c & (0xFF >> (n + 1));
        for (size_t k = 1; k < n; ++k) {
            if ((b[i + k] & 0xC0) != 0x80)
                return false;
            v = (v << 6) | (b[i + k] & 0x3F);
        }
        static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (v < kLeast[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

void AppendUtf8(std::vector<UInt8>& out, uint32_t v) {
    if (v < 0x80) {
        out.push_back(UInt8(v));
    } else if (v < 0x800) {
        out.insert(out.end(), {UInt8(0xC0 | v >> 6), UInt8(0x80 | (v & 0x3F))});
    } else if (v < 0x10000) {
        out.insert(out.end(), {UInt8(0xE0 | v >> 12), UInt8(0x80 | (v >> 6 & 0x3F)),
                               UInt8(0x80 | (v & 0x3F))});
    } else {
        out.insert(out.end(), {UInt8(0xF0 | v >> 18), UInt8(0x80 | (v >> 12 & 0x3F)),
                               UInt8(0x80 | (v >> 6 & 0x3F)), UInt8(0x80 | (v & 0x3F))});
    }
}

// Random text: characters near every boundary of UTF-8's forms, now and then one of the ways
// a sequence goes wrong or a random byte, so that one fault in otherwise good text is common.
std::vector<UInt8> RandomBytes(std::mt19937_64& rng) {
    static const uint32_t kEdges[] = {0,      0x7F,   0x80,   0x7FF,   0x800,    0xD7FF,
                                      0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF, 0xE9};
    static const std::vector<UInt8> kFaults[] = {{0xED, 0xA0, 0x80},
                                                 {0xED, 0xBF, 0xBF},
                                                 {0xC0, 0x80},
                                                 {0xC1, 0xBF},
                                                 {0xE0, 0x9F, 0xBF},
                                                 {0xF0, 0x8F, 0xBF, 0xBF},
                                                 {0xF4, 0x90, 0x80, 0x80},
                                                 {0xF5, 0x80, 0x80, 0x80},
                                                 {0x80},
                                                 {0xE2, 0x82},
                                                 {0xF0, 0x9F, 0x98},
                                                 {0xFF}};
    std::vector<UInt8> bytes;
    for (size_t n = rng() % 10; n > 0; --n) {
        const uint64_t r = rng() % 20;
        if (r == 0) {
            bytes.push_back(UInt8(rng()));
        } else if (r == 1) {
            const std::vector<UInt8>& fault = kFaults[rng() % std::size(kFaults)];
            bytes.insert(bytes.end(), fault.begin(), fault.end());
        } else {
            // Surrogates drawn here are encoded as they are: a fault too.
            AppendUtf8(bytes, r < 10 ? kEdges[rng() % std::size(kEdges)]
                                     : uint32_t(rng() % (rng() % 2 ? 0x800 : 0x110000)));
        }
    }
    return bytes;
}

// The string's bytes in `encoding` through an exact-size heap buffer; false when a character
// has no form there.
bool BytesOf(CFStringRef s, CFStringEncoding encoding, std::vector<UInt8>& out) {
    const CFRange all = CFRangeMake(0, CFStringGetLength(s));
    CFIndex needed = 0;
    if (CFStringGetBytes(s, all, encoding, 0, false, nullptr, 0, &needed) != all.length)
        return false;
    EXPECT_LE(needed, CFStringGetMaximumSizeForEncoding(all.length, encoding));
    std::unique_ptr<UInt8[]> exact(new UInt8[size_t(needed) + 1]);
    CFIndex used = 0;
    EXPECT_EQ(CFStringGetBytes(s, all, encoding, 0, false, exact.get(), needed, &used), all.length);
    EXPECT_EQ(used, needed);
    out.assign(exact.get(), exact.get() + used);
    return true;
}

const CFStringEncoding kEncodings[] = {kCFStringEncodingUTF8,     kCFStringEncodingASCII,
                                       kCFStringEncodingMacRoman, kCFStringEncodingISOLatin1,
                                       kCFStringEncodingUTF16LE,  kCFStringEncodingUTF16BE,
                                       kCFStringEncodingUTF32LE};

TEST(CFStringEncodingFuzz, BytesAreTakenOnlyWhenWellFormedAndComeBackAsTheyWent) {
    std::mt19937_64 rng(std::random_device{}());
    for (int round = 0; round < 20000; ++round) {
        const std::vector<UInt8> bytes = RandomBytes(rng);
        const CFStringEncoding encoding = kEncodings[rng() % std::size(kEncodings)];
        Owned<CFStringRef> s(
            CFStringCreateWithBytes(nullptr, bytes.data(), CFIndex(bytes.size()), encoding, false));
        bool wellFormed = true;
        if (encoding == kCFStringEncodingUTF8)
            wellFormed = IsUtf8(bytes);
        else if (encoding == kCFStringEncodingASCII)
            for (UInt8 b : bytes)
                wellFormed = wellFormed && b < 0x80;
        else if (encoding == kCFStringEncodingUTF16LE || encoding == kCFStringEncodingUTF16BE)
            wellFormed = bytes.size() % 2 == 0;
        else if (encoding == kCFStringEncodingUTF32LE)
            continue; // what a UTF-32 unit may hold is left to the implementation
        ASSERT_EQ(s != nullptr, wellFormed) << "encoding " << std::hex << encoding;
        if (!s)
            continue;
        std::vector<UInt8> back;
        ASSERT_TRUE(BytesOf(s.get(), encoding, back)) << std::hex << encoding;
        EXPECT_EQ(back, bytes) << std::hex << encoding;
    }
}

TEST(CFStringEncodingFuzz, AnyUnitsConvertWithinTheirBuffersAndPrefixesStayWhole) {
    std::mt19937_64 rng(std::random_device{}());
    static const UniChar kUnits[] = {'a',    0x00,   0x7F,   0xE9,   0x20AC, 0xD83D, 0xDE00,
                                     0xDBFF, 0xDC00, 0xFFFF, 0xFFFE, 0xF8FF, 0x02C7};
    for (int round = 0; round < 5000; ++round) {
        std::vector<UniChar> units(rng() % 16);
        for (UniChar& u : units)
            u = rng() % 2 ? kUnits[rng() % std::size(kUnits)] : UniChar(rng());
        Owned<CFStringRef> s(
            CFStringCreateWithCharacters(nullptr, units.data(), CFIndex(units.size())));
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(Units(s.get()), units);
        const CFStringEncoding encoding = kEncodings[rng() % std::size(kEncodings)];
        std::vector<UInt8> whole;
        const bool convertible = BytesOf(s.get(), encoding, whole);

        // A smaller buffer: a prefix of the whole conversion, never a byte past its end.
        const CFIndex room = CFIndex(rng() % (whole.size() + 2));
        std::unique_ptr<UInt8[]> small(new UInt8[size_t(room) + 1]);
        CFIndex used = -1;
        const CFIndex converted = CFStringGetBytes(s.get(), CFRangeMake(0, CFIndex(units.size())),
                                                   encoding, 0, false, small.get(), room, &used);
        EXPECT_LE(used, room);
        EXPECT_LE(converted, CFIndex(units.size()));
        if (convertible) {
            ASSERT_LE(size_t(used), whole.size());
            EXPECT_TRUE(std::equal(small.get(), small.get() + used, whole.begin()));
        }

        // A C string in a byte encoding: all of it and its NUL, or an empty buffer.
        if (encoding == kCFStringEncodingUTF16LE || encoding == kCFStringEncodingUTF16BE ||
            encoding == kCFStringEncodingUTF32LE)
            continue;
        const CFIndex size = CFIndex(rng() % (whole.size() + 3)) + 1;
        std::unique_ptr<char[]> text(new char[size_t(size)]);
        const bool fits = convertible && CFIndex(whole.size()) < size;
        ASSERT_EQ(bool(CFStringGetCString(s.get(), text.get(), size, encoding)), fits);
        if (fits) {
            EXPECT_TRUE(std::equal(whole.begin(), whole.end(), text.get(),
                                   [](UInt8 a, char b) { return a == UInt8(b); }));
            EXPECT_EQ(text[whole.size()], '\0');
        } else {
            EXPECT_EQ(text[0], '\0');
        }
    }
}

} // namespace
