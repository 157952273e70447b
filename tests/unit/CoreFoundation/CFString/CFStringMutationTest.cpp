#include "CFStringTestSupport.h"

#include <CoreFoundation/CFString.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CFStringMutation, AppendFromEverySource) {
    auto string = MakeMutable("");
    const UniChar chars[] = {'-', 0x20AC};
    const unsigned char pascal[] = {2, 0x8E, '!', 'x'};
    CFStringAppend(string.get(), CFSTR("Vol"));
    CFStringAppendCharacters(string.get(), chars, 2);
    CFStringAppendCString(string.get(), " \xC3\xA9", kCFStringEncodingUTF8);
    CFStringAppendPascalString(string.get(), pascal, kCFStringEncodingMacRoman);
    EXPECT_EQ(Utf8(string.get()), "Vol-\xE2\x82\xAC \xC3\xA9\xC3\xA9!");
}

TEST(CFStringMutation, AppendOfInvalidBytesChangesNothing) {
    auto string = MakeMutable("keep");
    CFStringAppendCString(string.get(), "bad\xC0\x80", kCFStringEncodingUTF8);
    CFStringAppendCString(string.get(), "hi\xFF", kCFStringEncodingASCII);
    EXPECT_EQ(Utf8(string.get()), "keep");
}

TEST(CFStringMutation, AppendOfItselfDoublesIt) {
    auto string = MakeMutable("ab");
    CFStringAppend(string.get(), string.get());
    EXPECT_EQ(Utf8(string.get()), "abab");
}

TEST(CFStringMutation, InsertAtBothEndsAndRefusesPastTheEnd) {
    auto string = MakeMutable("b");
    CFStringInsert(string.get(), 0, CFSTR("a"));
    CFStringInsert(string.get(), 2, CFSTR("c"));
    EXPECT_EQ(Utf8(string.get()), "abc");
    CFStringInsert(string.get(), 4, CFSTR("X"));
    CFStringInsert(string.get(), -1, CFSTR("X"));
    EXPECT_EQ(Utf8(string.get()), "abc");
}

TEST(CFStringMutation, DeleteAtRangeEdges) {
    auto string = MakeMutable("abcdef");
    CFStringDelete(string.get(), CFRangeMake(0, 0));
    CFStringDelete(string.get(), CFRangeMake(6, 0));
    EXPECT_EQ(Utf8(string.get()), "abcdef");
    CFStringDelete(string.get(), CFRangeMake(5, 2)); // one past the end
    CFStringDelete(string.get(), CFRangeMake(-1, 1));
    CFStringDelete(string.get(), CFRangeMake(2, -1));
    EXPECT_EQ(Utf8(string.get()), "abcdef");
    CFStringDelete(string.get(), CFRangeMake(5, 1));
    CFStringDelete(string.get(), CFRangeMake(0, 1));
    EXPECT_EQ(Utf8(string.get()), "bcde");
    CFStringDelete(string.get(), CFRangeMake(0, CFStringGetLength(string.get())));
    EXPECT_EQ(CFStringGetLength(string.get()), 0);
}

TEST(CFStringMutation, ReplaceGrowsShrinksAndChecksItsRange) {
    auto string = MakeMutable("disk0s2");
    CFStringReplace(string.get(), CFRangeMake(0, 4), CFSTR("volume"));
    EXPECT_EQ(Utf8(string.get()), "volume0s2");
    CFStringReplace(string.get(), CFRangeMake(6, 3), CFSTR(""));
    EXPECT_EQ(Utf8(string.get()), "volume");
    CFStringReplace(string.get(), CFRangeMake(4, 3), CFSTR("X"));
    EXPECT_EQ(Utf8(string.get()), "volume");
    CFStringReplaceAll(string.get(), CFSTR("new"));
    EXPECT_EQ(Utf8(string.get()), "new");
}

TEST(CFStringMutation, FindAndReplaceCountsNonOverlappingMatchesInTheRange) {
    auto string = MakeMutable("aaaa");
    EXPECT_EQ(CFStringFindAndReplace(string.get(), CFSTR("aa"), CFSTR("b"), CFRangeMake(0, 4), 0),
              2);
    EXPECT_EQ(Utf8(string.get()), "bb");

    // Searching from the end pairs the matches from the end.
    auto odd = MakeMutable("aaa");
    EXPECT_EQ(CFStringFindAndReplace(odd.get(), CFSTR("aa"), CFSTR("b"), CFRangeMake(0, 3),
                                     kCFCompareBackwards),
              1);
    EXPECT_EQ(Utf8(odd.get()), "ab");

    auto path = MakeMutable("A/b/c/d");
    EXPECT_EQ(CFStringFindAndReplace(path.get(), CFSTR("/"), CFSTR("::"), CFRangeMake(2, 4), 0), 2);
    EXPECT_EQ(Utf8(path.get()), "A/b::c::d");

    auto mixed = MakeMutable("Tv tV tv");
    EXPECT_EQ(CFStringFindAndReplace(mixed.get(), CFSTR("TV"), CFSTR("x"), CFRangeMake(0, 8),
                                     kCFCompareCaseInsensitive | kCFCompareAnchored),
              1);
    EXPECT_EQ(Utf8(mixed.get()), "x tV tv");
    EXPECT_EQ(CFStringFindAndReplace(mixed.get(), CFSTR("zz"), CFSTR("y"), CFRangeMake(0, 7), 0),
              0);
}

TEST(CFStringMutation, ChangingAnImmutableStringIsRefusedWithAMessage) {
    auto string = MakeString("fixed");
    auto sneaky = const_cast<CFMutableStringRef>(string.get());
    testing::internal::CaptureStderr();
    CFStringAppend(sneaky, CFSTR("!"));
    CFStringDelete(sneaky, CFRangeMake(0, 1));
    CFStringTrimWhitespace(sneaky);
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Utf8(string.get()), "fixed");
    EXPECT_NE(messages.find("CFStringAppend"), std::string::npos) << messages;
    EXPECT_NE(messages.find("immutable"), std::string::npos) << messages;

    CFStringAppend(const_cast<CFMutableStringRef>(CFSTR("constant")), CFSTR("!"));
    EXPECT_EQ(Utf8(CFSTR("constant")), "constant");
}

TEST(CFStringMaxLength, AppendThatWouldPassTheLimitIsRefusedWhole) {
    Owned<CFMutableStringRef> string(CFStringCreateMutable(nullptr, 5));
    CFStringAppendCString(string.get(), "abc", kCFStringEncodingUTF8);
    testing::internal::CaptureStderr();
    CFStringAppendCString(string.get(), "def", kCFStringEncodingUTF8);
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Utf8(string.get()), "abc");
    EXPECT_NE(messages.find("maximum length"), std::string::npos) << messages;
    CFStringAppend(string.get(), CFSTR("de"));
    EXPECT_EQ(Utf8(string.get()), "abcde");
    const UniChar one[] = {'z'};
    CFStringAppendCharacters(string.get(), one, 1);
    EXPECT_EQ(Utf8(string.get()), "abcde");
}

TEST(CFStringMaxLength, EveryGrowingEditRespectsTheLimit) {
    Owned<CFMutableStringRef> string(CFStringCreateMutable(nullptr, 4));
    CFStringAppend(string.get(), CFSTR("abcd"));
    CFStringInsert(string.get(), 0, CFSTR("x"));
    CFStringReplace(string.get(), CFRangeMake(0, 1), CFSTR("xy"));
    CFStringReplaceAll(string.get(), CFSTR("12345"));
    CFStringAppendFormat(string.get(), nullptr, CFSTR("%d"), 7);
    EXPECT_EQ(CFStringFindAndReplace(string.get(), CFSTR("b"), CFSTR("bb"), CFRangeMake(0, 4), 0),
              0);
    EXPECT_EQ(Utf8(string.get()), "abcd");
    // Edits that keep within the limit still work.
    CFStringReplace(string.get(), CFRangeMake(0, 2), CFSTR("XY"));
    CFStringDelete(string.get(), CFRangeMake(3, 1));
    CFStringInsert(string.get(), 3, CFSTR("!"));
    EXPECT_EQ(Utf8(string.get()), "XYc!");
}

TEST(CFStringMaxLength, MutableCopyKeepsItsLimit) {
    Owned<CFMutableStringRef> copy(CFStringCreateMutableCopy(nullptr, 3, CFSTR("ab")));
    CFStringAppend(copy.get(), CFSTR("cd"));
    EXPECT_EQ(Utf8(copy.get()), "ab");
    CFStringAppend(copy.get(), CFSTR("c"));
    EXPECT_EQ(Utf8(copy.get()), "abc");
}

TEST(CFStringTrim, RemovesRepeatedWholeOccurrencesAtBothEnds) {
    auto string = MakeMutable("ababxabyab");
    CFStringTrim(string.get(), CFSTR("ab"));
    EXPECT_EQ(Utf8(string.get()), "xaby");

    auto overlapping = MakeMutable("aaa");
    CFStringTrim(overlapping.get(), CFSTR("aa"));
    EXPECT_EQ(Utf8(overlapping.get()), "a");

    auto only = MakeMutable("--");
    CFStringTrim(only.get(), CFSTR("-"));
    EXPECT_EQ(CFStringGetLength(only.get()), 0);

    auto partial = MakeMutable("abcab");
    CFStringTrim(partial.get(), CFSTR("abc"));
    EXPECT_EQ(Utf8(partial.get()), "ab");
    CFStringTrim(partial.get(), CFSTR(""));
    EXPECT_EQ(Utf8(partial.get()), "ab");
}

TEST(CFStringTrim, WhitespaceIncludesLineBreaksAndUnicodeSpaces) {
    auto string = MakeMutable(" \t\n\xC2\xA0\xE3\x80\x80"
                              "Backup  Drive\r\n\xE2\x80\xA8");
    CFStringTrimWhitespace(string.get());
    EXPECT_EQ(Utf8(string.get()), "Backup  Drive");

    auto blank = MakeMutable(" \r\n\t ");
    CFStringTrimWhitespace(blank.get());
    EXPECT_EQ(CFStringGetLength(blank.get()), 0);
}

TEST(CFStringCase, ChangesASCIILettersOnly) {
    auto string = MakeMutable("Caf\xC3\xA9 42");
    CFStringUppercase(string.get(), nullptr);
    EXPECT_EQ(Utf8(string.get()), "CAF\xC3\xA9 42");
    CFStringLowercase(string.get(), nullptr);
    EXPECT_EQ(Utf8(string.get()), "caf\xC3\xA9 42");
}

} // namespace
