#include "CFStringTestSupport.h"

#include <CoreFoundation/CFString.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(CFStringAccess, GetCStringNeedsRoomForTheNul) {
    auto string = MakeString("abc");
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_TRUE(CFStringGetCString(string.get(), buffer, 4, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "abc");

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(string.get(), buffer, 3, kCFStringEncodingUTF8));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(std::string(buffer + 3, 5), "#####"); // nothing past the buffer
}

TEST(CFStringAccess, GetCStringCountsEncodedBytesNotCharacters) {
    auto string = MakeString("\xC3\xA9t\xC3\xA9"); // 3 characters, 5 UTF-8 bytes
    char buffer[6];
    EXPECT_FALSE(CFStringGetCString(string.get(), buffer, 5, kCFStringEncodingUTF8));
    EXPECT_TRUE(CFStringGetCString(string.get(), buffer, 6, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "\xC3\xA9t\xC3\xA9");
    EXPECT_TRUE(CFStringGetCString(string.get(), buffer, 4, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buffer, "\x8Et\x8E");
}

TEST(CFStringAccess, GetCStringFailsWhenACharacterHasNoFormInTheEncoding) {
    auto euro = MakeString("5 \xE2\x82\xAC");
    char buffer[16] = "untouched";
    EXPECT_FALSE(CFStringGetCString(euro.get(), buffer, sizeof buffer, kCFStringEncodingASCII));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_FALSE(CFStringGetCString(euro.get(), buffer, sizeof buffer, kCFStringEncodingISOLatin1));
    EXPECT_TRUE(CFStringGetCString(euro.get(), buffer, sizeof buffer, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buffer, "5 \xDB");

    const UniChar lone[] = {'a', 0xD800};
    Owned<CFStringRef> broken(CFStringCreateWithCharacters(nullptr, lone, 2));
    EXPECT_FALSE(CFStringGetCString(broken.get(), buffer, sizeof buffer, kCFStringEncodingUTF8));
}

TEST(CFStringAccess, GetCStringWithZeroSizeWritesNothing) {
    auto string = MakeString("");
    char byte = '#';
    EXPECT_FALSE(CFStringGetCString(string.get(), &byte, 0, kCFStringEncodingUTF8));
    EXPECT_EQ(byte, '#');
    EXPECT_TRUE(CFStringGetCString(string.get(), &byte, 1, kCFStringEncodingUTF8));
    EXPECT_EQ(byte, '\0');
}

TEST(CFStringAccess, GetBytesStopsAtTheFirstUnconvertibleCharacterWithoutLossByte) {
    auto string = MakeString("ab\xE2\x82\xAC"
                             "cd");
    UInt8 buffer[8] = {};
    CFIndex used = -1;
    EXPECT_EQ(CFStringGetBytes(string.get(), CFRangeMake(0, 5), kCFStringEncodingASCII, 0, false,
                               buffer, sizeof buffer, &used),
              2);
    EXPECT_EQ(used, 2);
    EXPECT_EQ(CFStringGetBytes(string.get(), CFRangeMake(0, 5), kCFStringEncodingASCII, '?', false,
                               buffer, sizeof buffer, &used),
              5);
    EXPECT_EQ(used, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "ab?cd");
}

TEST(CFStringAccess, GetBytesNeverSplitsACharacterAcrossTheBufferEnd) {
    auto string = MakeString("a\xE2\x82\xAC\xF0\x9F\x98\x80"); // a, €, U+1F600 (two units)
    UInt8 buffer[8];
    CFIndex used = 0;
    EXPECT_EQ(CFStringGetBytes(string.get(), CFRangeMake(0, 4), kCFStringEncodingUTF8, 0, false,
                               buffer, 3, &used),
              1);
    EXPECT_EQ(used, 1);
    EXPECT_EQ(CFStringGetBytes(string.get(), CFRangeMake(0, 4), kCFStringEncodingUTF8, 0, false,
                               buffer, 7, &used),
              2);
    EXPECT_EQ(used, 4);
    EXPECT_EQ(CFStringGetBytes(string.get(), CFRangeMake(0, 4), kCFStringEncodingUTF8, 0, false,
                               nullptr, 0, &used),
              4);
    EXPECT_EQ(used, 8);
}

TEST(CFStringAccess, GetBytesExternalUTF16StartsWithAByteOrderMarkThatReadsBack) {
    auto string = MakeString("Hi");
    UInt8 buffer[6];
    CFIndex used = 0;
    EXPECT_EQ(CFStringGetBytes(string.get(), CFRangeMake(0, 2), kCFStringEncodingUTF16, 0, true,
                               buffer, sizeof buffer, &used),
              2);
    ASSERT_EQ(used, 6);
    Owned<CFStringRef> back(
        CFStringCreateWithBytes(nullptr, buffer, used, kCFStringEncodingUTF16, true));
    EXPECT_EQ(Utf8(back.get()), "Hi");

    EXPECT_EQ(CFStringGetBytes(string.get(), CFRangeMake(0, 2), kCFStringEncodingUTF16BE, 0, true,
                               buffer, sizeof buffer, &used),
              2);
    EXPECT_EQ(used, 4);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 'H');
}

TEST(CFStringAccess, OutOfRangeReadsLeaveTheBufferAlone) {
    auto string = MakeString("abc");
    UniChar buffer[4] = {7, 7, 7, 7};
    CFStringGetCharacters(string.get(), CFRangeMake(2, 2), buffer);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(CFStringGetCharacterAtIndex(string.get(), 3), 0);
    EXPECT_EQ(CFStringGetCharacterAtIndex(string.get(), -1), 0);
    CFIndex used = 9;
    EXPECT_EQ(CFStringGetBytes(string.get(), CFRangeMake(1, 5), kCFStringEncodingUTF8, 0, false,
                               nullptr, 0, &used),
              0);
    EXPECT_EQ(used, 0);
}

TEST(CFStringAccess, PascalStringNeedsTheLengthByteAndAtMost255Bytes) {
    auto string = MakeString("disk");
    unsigned char buffer[256];
    EXPECT_FALSE(CFStringGetPascalString(string.get(), buffer, 4, kCFStringEncodingMacRoman));
    EXPECT_EQ(buffer[0], 0);
    ASSERT_TRUE(CFStringGetPascalString(string.get(), buffer, 5, kCFStringEncodingMacRoman));
    EXPECT_EQ(buffer[0], 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 1), 4), "disk");

    auto longest = MakeString(std::string(255, 'x').c_str());
    auto tooLong = MakeString(std::string(256, 'x').c_str());
    EXPECT_TRUE(CFStringGetPascalString(longest.get(), buffer, 256, kCFStringEncodingMacRoman));
    EXPECT_EQ(buffer[0], 255);
    EXPECT_FALSE(CFStringGetPascalString(tooLong.get(), buffer, 256, kCFStringEncodingMacRoman));
}

TEST(CFStringAccess, CStringPtrOnlyForImmutableASCII) {
    auto ascii = MakeString("plain");
    auto accented = MakeString("caf\xC3\xA9");
    auto mutableString = MakeMutable("plain");
    const char* direct = CFStringGetCStringPtr(ascii.get(), kCFStringEncodingUTF8);
    ASSERT_NE(direct, nullptr);
    EXPECT_STREQ(direct, "plain");
    EXPECT_EQ(CFStringGetCStringPtr(accented.get(), kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFStringGetCStringPtr(mutableString.get(), kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFStringGetCStringPtr(ascii.get(), kCFStringEncodingUTF16), nullptr);
}

TEST(CFStringAccess, MaximumSizePerEncoding) {
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUTF8), 30);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUTF16), 20);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingMacRoman), 10);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(LONG_MAX / 2, kCFStringEncodingUTF8), kCFNotFound);
    EXPECT_FALSE(CFStringIsEncodingAvailable(kCFStringEncodingNonLossyASCII));
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "x", kCFStringEncodingNonLossyASCII), nullptr);
}

TEST(CFStringAccess, NumericValuesReadTheLeadingNumber) {
    EXPECT_EQ(CFStringGetIntValue(CFSTR("  -42 drives")), -42);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("99999999999")), INT_MAX);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("-99999999999")), INT_MIN);
    EXPECT_EQ(CFStringGetIntValue(CFSTR("none")), 0);
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(CFSTR(" 3.5e2")), 350.0);
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(CFSTR("+0.25x")), 0.25);
}

} // namespace
