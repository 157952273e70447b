#include "CFStringTestSupport.h"

#include <CoreFoundation/CFString.h>

#include <gtest/gtest.h>

namespace {

TEST(CFStringCompare, NoOptionsComparesUTF16UnitsExactly) {
    EXPECT_EQ(CFStringCompare(CFSTR("B"), CFSTR("a"), 0), kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(CFSTR("abc"), CFSTR("abcd"), 0), kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(CFSTR("abd"), CFSTR("abc"), 0), kCFCompareGreaterThan);
    EXPECT_EQ(CFStringCompare(CFSTR("abc"), MakeMutable("abc").get(), 0), kCFCompareEqualTo);
    // A character outside the BMP sorts by its high surrogate, below U+FFFD.
    EXPECT_EQ(CFStringCompare(CFSTR("\xF0\x9F\x98\x80"), CFSTR("\xEF\xBF\xBD"), 0),
              kCFCompareLessThan);
}

TEST(CFStringCompare, CaseInsensitiveFoldsASCIIAndLatin1Letters) {
    EXPECT_EQ(CFStringCompare(CFSTR("SERIAL-9"), CFSTR("serial-9"), kCFCompareCaseInsensitive),
              kCFCompareEqualTo);
    EXPECT_EQ(CFStringCompare(CFSTR("\xC3\x89T\xC3\x89"), CFSTR("\xC3\xA9t\xC3\xA9"),
                              kCFCompareCaseInsensitive),
              kCFCompareEqualTo);
    EXPECT_EQ(CFStringCompare(CFSTR("Apple"), CFSTR("banana"), kCFCompareCaseInsensitive),
              kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(CFSTR("Apple"), CFSTR("apple"), 0), kCFCompareLessThan);
}

TEST(CFStringCompare, NumericallyComparesDigitRunsByValue) {
    EXPECT_EQ(CFStringCompare(CFSTR("disk9"), CFSTR("disk10"), kCFCompareNumerically),
              kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(CFSTR("disk9"), CFSTR("disk10"), 0), kCFCompareGreaterThan);
    EXPECT_EQ(CFStringCompare(CFSTR("v2.10"), CFSTR("v2.9"), kCFCompareNumerically),
              kCFCompareGreaterThan);
    EXPECT_EQ(CFStringCompare(CFSTR("10a"), CFSTR("10b"), kCFCompareNumerically),
              kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(CFSTR("A7"), CFSTR("a12"),
                              kCFCompareNumerically | kCFCompareCaseInsensitive),
              kCFCompareLessThan);
}

TEST(CFStringCompare, WithOptionsComparesOnlyTheRangeOfTheFirstString) {
    EXPECT_EQ(CFStringCompareWithOptions(CFSTR("xxabcxx"), CFSTR("abc"), CFRangeMake(2, 3), 0),
              kCFCompareEqualTo);
    EXPECT_EQ(CFStringCompareWithOptions(CFSTR("xxabcxx"), CFSTR("abc"), CFRangeMake(2, 4), 0),
              kCFCompareGreaterThan);
    EXPECT_EQ(CFStringCompareWithOptions(CFSTR("xxABCxx"), CFSTR("abc"), CFRangeMake(2, 3),
                                         kCFCompareCaseInsensitive),
              kCFCompareEqualTo);
}

TEST(CFStringCompare, PrefixAndSuffixAreCaseSensitiveAndNeverEmpty) {
    EXPECT_TRUE(CFStringHasPrefix(CFSTR("LaunchBackup"), CFSTR("Launch")));
    EXPECT_FALSE(CFStringHasPrefix(CFSTR("LaunchBackup"), CFSTR("launch")));
    EXPECT_FALSE(CFStringHasPrefix(CFSTR("Launch"), CFSTR("LaunchBackup")));
    EXPECT_TRUE(CFStringHasSuffix(CFSTR("LaunchBackup"), CFSTR("Backup")));
    EXPECT_FALSE(CFStringHasSuffix(CFSTR("LaunchBackup"), CFSTR("Launch")));
    EXPECT_TRUE(CFStringHasSuffix(CFSTR("ab"), CFSTR("ab")));
    EXPECT_FALSE(CFStringHasPrefix(CFSTR("ab"), CFSTR("")));
    EXPECT_FALSE(CFStringHasSuffix(CFSTR("ab"), CFSTR("")));
}

TEST(CFStringFind, ForwardBackwardAndAnchored) {
    CFStringRef text = CFSTR("one two one");
    CFRange first = CFStringFind(text, CFSTR("one"), 0);
    CFRange last = CFStringFind(text, CFSTR("one"), kCFCompareBackwards);
    EXPECT_EQ(first.location, 0);
    EXPECT_EQ(first.length, 3);
    EXPECT_EQ(last.location, 8);
    EXPECT_EQ(CFStringFind(text, CFSTR("two"), kCFCompareAnchored).location, kCFNotFound);
    EXPECT_EQ(CFStringFind(text, CFSTR("one"), kCFCompareAnchored | kCFCompareBackwards).location,
              8);
    EXPECT_EQ(CFStringFind(text, CFSTR("TWO"), kCFCompareCaseInsensitive).location, 4);
    CFRange missing = CFStringFind(text, CFSTR("three"), 0);
    EXPECT_EQ(missing.location, kCFNotFound);
    EXPECT_EQ(missing.length, 0);
    EXPECT_EQ(CFStringFind(text, CFSTR(""), 0).location, kCFNotFound);
}

TEST(CFStringFind, WithOptionsSeesOnlyTheRange) {
    CFStringRef text = CFSTR("abcabc");
    CFRange result = CFRangeMake(-7, -7);
    EXPECT_TRUE(CFStringFindWithOptions(text, CFSTR("abc"), CFRangeMake(1, 5), 0, &result));
    EXPECT_EQ(result.location, 3);
    // The match would run past the end of the range.
    EXPECT_FALSE(CFStringFindWithOptions(text, CFSTR("abc"), CFRangeMake(1, 4), 0, &result));
    EXPECT_FALSE(CFStringFindWithOptions(text, CFSTR("abc"), CFRangeMake(4, 5), 0, &result));
}

} // namespace
