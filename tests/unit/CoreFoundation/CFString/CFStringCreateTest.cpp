#include "CFStringTestSupport.h"

#include <CoreFoundation/CFString.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

Owned<CFStringRef> FromBytes(std::vector<UInt8> bytes, CFStringEncoding encoding,
                             bool external = false) {
    return Owned<CFStringRef>(CFStringCreateWithBytes(
        nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()), encoding, external));
}

TEST(CFStringCreate, CStringInUTF8BecomesUTF16Units) {
    auto string = MakeString("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"); // a é € U+1F600
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(Units(string.get()), (std::vector<UniChar>{'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_EQ(CFGetTypeID(string.get()), CFStringGetTypeID());
}

TEST(CFStringCreate, MacRomanHighBytesUseTheMacRomanTable) {
    auto string = FromBytes({0x80, 0xA5, 0xCA, 0xDB, 0xF0, 0xFF}, kCFStringEncodingMacRoman);
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(Units(string.get()),
              (std::vector<UniChar>{0x00C4, 0x2022, 0x00A0, 0x20AC, 0xF8FF, 0x02C7}));
}

TEST(CFStringCreate, EveryMacRomanByteRoundTrips) {
    std::vector<UInt8> all;
    for (int byte = 1; byte < 256; ++byte)
        all.push_back(static_cast<UInt8>(byte));
    auto string = FromBytes(all, kCFStringEncodingMacRoman);
    ASSERT_NE(string, nullptr);
    ASSERT_EQ(CFStringGetLength(string.get()), 255);
    std::vector<UInt8> back(255);
    CFIndex used = 0;
    EXPECT_EQ(CFStringGetBytes(string.get(), CFRangeMake(0, 255), kCFStringEncodingMacRoman, 0,
                               false, back.data(), 255, &used),
              255);
    EXPECT_EQ(used, 255);
    EXPECT_EQ(back, all);
}

TEST(CFStringCreate, MalformedUTF8GivesNull) {
    const std::vector<std::vector<UInt8>> malformed = {
        {0xC0, 0x80},             // overlong NUL
        {0xC1, 0xBF},             // overlong
        {0xE0, 0x80, 0x80},       // overlong three-byte
        {0xF0, 0x80, 0x80, 0x80}, // overlong four-byte
        {0xED, 0xA0, 0x80},       // encoded high surrogate
        {0xED, 0xBF, 0xBF},       // encoded low surrogate
        {'a', 0xE2, 0x82},        // cut short
        {0x80},                   // stray continuation
        {0xF4, 0x90, 0x80, 0x80}, // above U+10FFFF
        {0xF5, 0x80, 0x80, 0x80}, // byte above 0xF4
        {0xFF},
        {0xE2, 0x28, 0xA1}, // bad continuation
    };
    for (const auto& bytes : malformed)
        EXPECT_EQ(FromBytes(bytes, kCFStringEncodingUTF8), nullptr) << "bytes " << int(bytes[0]);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "ok\xC3", kCFStringEncodingUTF8), nullptr);
}

TEST(CFStringCreate, UTF8AtTheEdgesOfTheValidRangesIsAccepted) {
    auto lastBMPBeforeSurrogates = FromBytes({0xED, 0x9F, 0xBF}, kCFStringEncodingUTF8);
    auto lastCodePoint = FromBytes({0xF4, 0x8F, 0xBF, 0xBF}, kCFStringEncodingUTF8);
    auto firstThreeByte = FromBytes({0xE0, 0xA0, 0x80}, kCFStringEncodingUTF8);
    ASSERT_NE(lastBMPBeforeSurrogates, nullptr);
    ASSERT_NE(lastCodePoint, nullptr);
    ASSERT_NE(firstThreeByte, nullptr);
    EXPECT_EQ(Units(lastBMPBeforeSurrogates.get()), std::vector<UniChar>{0xD7FF});
    EXPECT_EQ(Units(lastCodePoint.get()), (std::vector<UniChar>{0xDBFF, 0xDFFF}));
    EXPECT_EQ(Units(firstThreeByte.get()), std::vector<UniChar>{0x0800});
}

TEST(CFStringCreate, ASCIIRejectsHighBytesWhileLatin1TakesThem) {
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "caf\xE9", kCFStringEncodingASCII), nullptr);
    auto latin = Owned<CFStringRef>(
        CFStringCreateWithCString(nullptr, "caf\xE9", kCFStringEncodingISOLatin1));
    ASSERT_NE(latin, nullptr);
    EXPECT_EQ(Utf8(latin.get()), "caf\xC3\xA9");
}

TEST(CFStringCreate, PascalStringUsesItsLengthByte) {
    const unsigned char pascal[] = {3, 'a', 'b', 'c', 'd', 'e'};
    Owned<CFStringRef> string(
        CFStringCreateWithPascalString(nullptr, pascal, kCFStringEncodingMacRoman));
    EXPECT_EQ(Utf8(string.get()), "abc");
    const unsigned char empty[] = {0};
    Owned<CFStringRef> none(
        CFStringCreateWithPascalString(nullptr, empty, kCFStringEncodingMacRoman));
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(CFStringGetLength(none.get()), 0);
}

TEST(CFStringCreate, UTF16ByteOrderMarkDecidesTheOrderAndIsDropped) {
    auto little = FromBytes({0xFF, 0xFE, 'A', 0, 'B', 0}, kCFStringEncodingUTF16);
    auto big = FromBytes({0xFE, 0xFF, 0, 'A', 0, 'B'}, kCFStringEncodingUTF16, true);
    auto externalNoMark = FromBytes({0, 'A', 0, 'B'}, kCFStringEncodingUTF16, true);
    auto explicitBig = FromBytes({0xFE, 0xFF, 0, 'A'}, kCFStringEncodingUTF16BE);
    EXPECT_EQ(Utf8(little.get()), "AB");
    EXPECT_EQ(Utf8(big.get()), "AB");
    EXPECT_EQ(Utf8(externalNoMark.get()), "AB");
    // With the order named, the mark is an ordinary character.
    EXPECT_EQ(Units(explicitBig.get()), (std::vector<UniChar>{0xFEFF, 'A'}));
    EXPECT_EQ(FromBytes({'A', 0, 'B'}, kCFStringEncodingUTF16LE), nullptr);
}

TEST(CFStringCreate, CharactersKeepEmbeddedNul) {
    const UniChar chars[] = {'a', 0, 'b'};
    Owned<CFStringRef> string(CFStringCreateWithCharacters(nullptr, chars, 3));
    EXPECT_EQ(CFStringGetLength(string.get()), 3);
    EXPECT_EQ(CFStringGetCharacterAtIndex(string.get(), 2), 'b');
}

TEST(CFStringCreate, SubstringChecksItsRange) {
    auto string = MakeString("button");
    Owned<CFStringRef> middle(
        CFStringCreateWithSubstring(nullptr, string.get(), CFRangeMake(1, 3)));
    Owned<CFStringRef> tail(CFStringCreateWithSubstring(nullptr, string.get(), CFRangeMake(6, 0)));
    EXPECT_EQ(Utf8(middle.get()), "utt");
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(CFStringGetLength(tail.get()), 0);
    EXPECT_EQ(CFGetRetainCount(middle.get()), 1);
    EXPECT_EQ(CFStringCreateWithSubstring(nullptr, string.get(), CFRangeMake(4, 3)), nullptr);
    EXPECT_EQ(CFStringCreateWithSubstring(nullptr, string.get(), CFRangeMake(-1, 2)), nullptr);
}

TEST(CFStringCreate, EveryCreateFunctionReturnsOneRetain) {
    const UniChar chars[] = {'x'};
    const unsigned char pascal[] = {1, 'x'};
    auto source = MakeString("x");
    std::vector<CFStringRef> created = {
        CFStringCreateWithCString(nullptr, "x", kCFStringEncodingUTF8),
        CFStringCreateWithPascalString(nullptr, pascal, kCFStringEncodingMacRoman),
        CFStringCreateWithCharacters(nullptr, chars, 1),
        CFStringCreateWithBytes(nullptr, pascal + 1, 1, kCFStringEncodingASCII, false),
        CFStringCreateWithSubstring(nullptr, source.get(), CFRangeMake(0, 1)),
        CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%s"), "x"),
        CFStringCreateMutable(nullptr, 0),
        CFStringCreateMutableCopy(nullptr, 0, source.get()),
    };
    for (CFStringRef string : created) {
        ASSERT_NE(string, nullptr);
        EXPECT_EQ(CFGetRetainCount(string), 1);
        CFRelease(string);
    }
}

TEST(CFStringCreate, CopyOfImmutableStringIsTheSameObjectRetained) {
    auto source = MakeString("serial");
    Owned<CFStringRef> copy(CFStringCreateCopy(nullptr, source.get()));
    EXPECT_EQ(copy.get(), source.get());
    EXPECT_EQ(CFGetRetainCount(source.get()), 2);
    copy.reset();
    EXPECT_EQ(CFGetRetainCount(source.get()), 1);

    Owned<CFStringRef> elsewhere(CFStringCreateCopy(kCFAllocatorMalloc, source.get()));
    EXPECT_NE(elsewhere.get(), source.get());
    EXPECT_EQ(CFGetRetainCount(elsewhere.get()), 1);
    EXPECT_EQ(CFGetAllocator(elsewhere.get()), kCFAllocatorMalloc);
}

TEST(CFStringCreate, CopyOfMutableStringIsIndependentAndImmutable) {
    auto source = MakeMutable("abc");
    Owned<CFStringRef> copy(CFStringCreateCopy(nullptr, source.get()));
    ASSERT_NE(copy.get(), source.get());
    EXPECT_EQ(CFGetRetainCount(copy.get()), 1);
    CFStringAppendCString(source.get(), "def", kCFStringEncodingUTF8);
    EXPECT_EQ(Utf8(copy.get()), "abc");
    CFStringAppendCString(const_cast<CFMutableStringRef>(copy.get()), "x", kCFStringEncodingUTF8);
    EXPECT_EQ(Utf8(copy.get()), "abc");
}

TEST(CFStringCreate, MutableCopyRefusesAMaximumBelowTheSourceLength) {
    auto source = MakeString("abcdef");
    EXPECT_EQ(CFStringCreateMutableCopy(nullptr, 5, source.get()), nullptr);
    Owned<CFMutableStringRef> fits(CFStringCreateMutableCopy(nullptr, 6, source.get()));
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(Utf8(fits.get()), "abcdef");
}

TEST(CFStringCreate, EqualAndHashIgnoreMutability) {
    auto immutable = MakeString("Drive 1");
    auto mutableString = MakeMutable("Drive 1");
    auto other = MakeString("Drive 2");
    EXPECT_TRUE(CFEqual(immutable.get(), mutableString.get()));
    EXPECT_EQ(CFHash(immutable.get()), CFHash(mutableString.get()));
    EXPECT_FALSE(CFEqual(immutable.get(), other.get()));
    CFStringAppendCString(mutableString.get(), "!", kCFStringEncodingUTF8);
    EXPECT_FALSE(CFEqual(immutable.get(), mutableString.get()));
}

TEST(CFStringConstant, SameTextGivesTheSameObject) {
    CFStringRef first = CFSTR("AppName");
    CFStringRef second = CFSTR("AppName");
    EXPECT_EQ(first, second);
    EXPECT_NE(first, CFSTR("AppNam"));
    EXPECT_EQ(Utf8(first), "AppName");
}

TEST(CFStringConstant, RetainAndReleaseDoNotFreeIt) {
    CFStringRef constant = CFSTR("immortal");
    CFIndex before = CFGetRetainCount(constant);
    for (int i = 0; i < 5; ++i)
        CFRelease(constant);
    CFRetain(constant);
    EXPECT_EQ(CFGetRetainCount(constant), before);
    EXPECT_EQ(Utf8(CFSTR("immortal")), "immortal");
    EXPECT_EQ(CFSTR("immortal"), constant);
}

TEST(CFStringConstant, NonASCIILiteralIsReadAsUTF8) {
    EXPECT_EQ(Units(CFSTR("For \xC3\xA9t\xC3\xA9")),
              (std::vector<UniChar>{'F', 'o', 'r', ' ', 0xE9, 't', 0xE9}));
}

TEST(CFStringConstant, ThreadsAskingAtOnceGetOneObject) {
    std::vector<CFStringRef> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = CFSTR("raced constant"); });
    for (auto& thread : threads)
        thread.join();
    for (CFStringRef string : seen)
        EXPECT_EQ(string, seen[0]);
}

} // namespace
