// LCFString construction, ownership, copying and queries.
#include "VURuvevidova/LCFString.h"

#include "WrapTestSupport.h"

#include <gtest/gtest.h>

namespace {

// Whether the wrapper edits in place: only a mutable wrapper grows on Append.
bool AcceptsEdits(LCFString& wrapper) {
    CFIndex before = wrapper.GetLength();
    wrapper.Append("!", kCFStringEncodingUTF8);
    if (wrapper.GetLength() == before)
        return false;
    wrapper.Delete(CFRangeMake(before, 1));
    return true;
}

TEST(LCFString, GetCStringGivesEmptyTextForNoStringAndFailsWhenTextDoesNotFit) {
    LCFString empty;
    EXPECT_EQ(empty.GetLength(), 0);
    char buffer[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_FALSE(empty.GetCString(buffer, sizeof buffer, kCFStringEncodingUTF8));
    EXPECT_EQ(buffer[0], '\0');

    LCFString wrapper("0123456789", kCFStringEncodingASCII, NULL);
    EXPECT_FALSE(wrapper.GetCString(buffer, sizeof buffer, kCFStringEncodingASCII));
    char large[16];
    ASSERT_TRUE(wrapper.GetCString(large, sizeof large, kCFStringEncodingASCII));
    EXPECT_STREQ(large, "0123456789");
}

TEST(LCFString, SharingAStringAndDestroyingTheWrapperLeavesItsRetainCount) {
    CFMutableStringRef string = NewMutableString("serial");
    {
        LCFString wrapper(static_cast<CFStringRef>(string));
        EXPECT_EQ(CFGetRetainCount(string), 2);
        EXPECT_FALSE(AcceptsEdits(wrapper));
    }
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFString, SharingAMutableStringMakesTheWrapperMutable) {
    CFMutableStringRef string = NewMutableString("ab");
    {
        LCFString wrapper(string);
        EXPECT_EQ(CFGetRetainCount(string), 2);
        wrapper.Append("c", kCFStringEncodingUTF8);
        EXPECT_EQ(Text(string), "abc");
    }
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFString, TakingOverAFreshStringLeavesExactlyTheWrappersRetain) {
    CFMutableStringRef string = CFStringCreateMutable(kCFAllocatorDefault, 0);
    CFRetain(string); // watch reference
    {
        LCFString wrapper;
        wrapper -= string;
        EXPECT_EQ(CFGetRetainCount(string), 2);
        EXPECT_TRUE(AcceptsEdits(wrapper));
        // Taken over again as immutable: still one retain, no longer edited.
        CFRetain(string);
        wrapper -= static_cast<CFStringRef>(string);
        EXPECT_EQ(CFGetRetainCount(string), 2);
        EXPECT_FALSE(AcceptsEdits(wrapper));
    }
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFString, AdoptingTheHeldStringAgainChangesNoRetainCount) {
    CFMutableStringRef string = NewMutableString("same");
    LCFString wrapper(string);
    wrapper = string;
    wrapper.Adopt(static_cast<CFStringRef>(string));
    EXPECT_EQ(CFGetRetainCount(string), 2);
    wrapper = static_cast<CFStringRef>(NULL);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFString, AdoptingAReplacementReleasesTheOldString) {
    CFMutableStringRef old = NewMutableString("old");
    CFMutableStringRef fresh = NewMutableString("new");
    LCFString wrapper(old);
    wrapper = fresh;
    EXPECT_EQ(CFGetRetainCount(old), 1);
    EXPECT_EQ(CFGetRetainCount(fresh), 2);
    EXPECT_EQ(Text(wrapper), "new");
    CFRelease(old);
    CFRelease(fresh);
}

TEST(LCFString, CopyOfAMutableWrapperIsAnIndependentMutableString) {
    CFMutableStringRef string = NewMutableString("disk");
    LCFString source(string);
    LCFString copy(source);
    EXPECT_NE(copy.GetTypeRef(), static_cast<CFStringRef>(string));
    EXPECT_EQ(CFGetRetainCount(copy.GetTypeRef()), 1);
    EXPECT_EQ(CFGetRetainCount(string), 2);
    copy.Append(" two", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(copy), "disk two");
    EXPECT_EQ(Text(source), "disk");
    CFRelease(string);
}

TEST(LCFString, CopyOfAnImmutableOrEmptyWrapperBalancesRetains) {
    CFStringRef string = CFStringCreateWithCString(NULL, "frozen", kCFStringEncodingUTF8);
    LCFString source(string);
    {
        LCFString copy(source);
        EXPECT_EQ(Text(copy), "frozen");
        EXPECT_FALSE(AcceptsEdits(copy));
    }
    EXPECT_EQ(CFGetRetainCount(string), 2);
    CFRelease(string);
    LCFString empty;
    EXPECT_EQ(LCFString(empty).GetTypeRef(), nullptr);
}

TEST(LCFString, CopyOfALimitedMutableWrapperKeepsTheLimit) {
    LCFString source(4, NULL);
    source.Append("abcd", kCFStringEncodingUTF8);
    ASSERT_EQ(Text(source), "abcd");
    LCFString copy(source);
    copy.Append("e", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(copy), "abcd");
    copy.Delete(CFRangeMake(0, 1));
    copy.Append("e", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(copy), "bcde");
}

TEST(LCFString, CopyWithALimitLeftFromAnEarlierStringIsNotTruncated) {
    LCFString source(3, NULL);
    CFMutableStringRef longer = NewMutableString("0123456789");
    source -= longer; // a mutable string keeps the earlier limit of 3
    LCFString copy(source);
    ASSERT_NE(copy.GetTypeRef(), nullptr);
    EXPECT_EQ(Text(copy), "0123456789");
    EXPECT_TRUE(AcceptsEdits(copy));
}

// The limit a copy passes on: kept when a mutable string is taken over, taken from the
// length when an immutable string is held.
TEST(LCFString, LimitPassedToCopiesFollowsWhatTheWrapperLastHeld) {
    LCFString kept(8, NULL);
    kept -= NewMutableString("abc");
    LCFString keptCopy(kept);
    keptCopy.Append("defgh", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(keptCopy), "abcdefgh");
    keptCopy.Append("i", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(keptCopy), "abcdefgh") << "the limit of 8 came with the copy";

    LCFString fromLength(CFSTR("abcdef"));
    fromLength -= NewMutableString("ab");
    LCFString lengthCopy(fromLength);
    lengthCopy.Append("cdef", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(lengthCopy), "abcdef");
    lengthCopy.Append("g", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(lengthCopy), "abcdef")
        << "the limit is the length of the immutable string held before";
}

TEST(LCFString, CopyAssignmentReleasesTheTargetsOldStringAndCopiesTheSource) {
    CFMutableStringRef old = NewMutableString("old");
    LCFString target(old);
    LCFString immutable("source", kCFStringEncodingUTF8, NULL);
    target = immutable;
    EXPECT_EQ(CFGetRetainCount(old), 1);
    EXPECT_EQ(Text(target), "source");
    EXPECT_FALSE(AcceptsEdits(target));
    CFRelease(old);

    LCFString mutableSource(0, NULL);
    mutableSource.Append("a", kCFStringEncodingUTF8);
    target = mutableSource;
    EXPECT_NE(target.GetTypeRef(), mutableSource.GetTypeRef());
    target.Append("b", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(mutableSource), "a");
    EXPECT_EQ(Text(target), "ab");
}

TEST(LCFString, SelfAssignmentKeepsTheContentAndBalancesRetains) {
    CFMutableStringRef string = NewMutableString("self");
    LCFString wrapper(string);
    LCFString& alias = wrapper;
    wrapper = alias;
    EXPECT_EQ(Text(wrapper), "self");
    EXPECT_TRUE(AcceptsEdits(wrapper));
    // Either the wrapper still holds the string once, or it let go of it entirely.
    EXPECT_EQ(CFGetRetainCount(string), wrapper.GetTypeRef() == string ? 2 : 1);
    EXPECT_EQ(CFGetRetainCount(wrapper.GetTypeRef()), wrapper.GetTypeRef() == string ? 2 : 1);
    CFRelease(string);
}

TEST(LCFString, AdoptTypeRefTakesOnlyStringsAndHoldsThemAsImmutable) {
    CFMutableStringRef string = NewMutableString("typed");
    LCFString wrapper(0, NULL);
    LCFObject& base = wrapper;
    CFMutableArrayRef array = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks);
    base.AdoptTypeRef(array);
    EXPECT_EQ(CFGetRetainCount(array), 1);
    EXPECT_TRUE(AcceptsEdits(wrapper));
    CFRelease(array);

    base.AdoptTypeRef(string);
    EXPECT_EQ(wrapper.GetTypeRef(), static_cast<CFStringRef>(string));
    EXPECT_EQ(CFGetRetainCount(string), 2);
    EXPECT_FALSE(AcceptsEdits(wrapper));
    base.AdoptTypeRef(NULL);
    EXPECT_EQ(wrapper.GetTypeRef(), nullptr);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFString, TextConstructorsHoldTheirTextOrNothing) {
    LCFString fromC("Caf\xc3\xa9", kCFStringEncodingUTF8, NULL);
    EXPECT_EQ(Text(fromC), "Caf\xc3\xa9");
    EXPECT_EQ(fromC.GetLength(), 4);
    EXPECT_EQ(CFGetRetainCount(fromC.GetTypeRef()), 1);
    const unsigned char pascal[] = "\x05"
                                   "Drive";
    LCFString fromPascal(pascal, kCFStringEncodingMacRoman, NULL);
    EXPECT_EQ(Text(fromPascal), "Drive");
    EXPECT_FALSE(AcceptsEdits(fromPascal));

    EXPECT_EQ(LCFString("\xff\xfe", kCFStringEncodingUTF8, NULL).GetTypeRef(), nullptr);
    EXPECT_EQ(LCFString(static_cast<const char*>(NULL), kCFStringEncodingUTF8, NULL).GetTypeRef(),
              nullptr);
    EXPECT_EQ(
        LCFString(static_cast<ConstStringPtr>(NULL), kCFStringEncodingMacRoman, NULL).GetTypeRef(),
        nullptr);
}

TEST(LCFString, URLConstructorAndAssignmentShareTheURLsStringOrEmpty) {
    CFURLRef url = CFURLCreateWithString(NULL, CFSTR("file:///Volumes/Disk%201/"), NULL);
    ASSERT_NE(url, nullptr);
    CFStringRef urlString = CFURLGetString(url);
    CFIndex before = CFGetRetainCount(urlString);
    {
        LCFString wrapper(url);
        EXPECT_EQ(wrapper.GetTypeRef(), urlString);
        EXPECT_EQ(CFGetRetainCount(urlString), before + 1);
        LCFString assigned;
        assigned = url;
        EXPECT_EQ(Text(assigned), "file:///Volumes/Disk%201/");
        EXPECT_FALSE(AcceptsEdits(assigned));
        assigned = static_cast<CFURLRef>(NULL);
        EXPECT_EQ(assigned.GetTypeRef(), nullptr);
        EXPECT_EQ(CFGetRetainCount(urlString), before + 1);
    }
    EXPECT_EQ(CFGetRetainCount(urlString), before);
    CFRelease(url);
    EXPECT_EQ(LCFString(static_cast<CFURLRef>(NULL)).GetTypeRef(), nullptr);
}

TEST(LCFString, SubstringHoldsExactlyOneRetainOfANewString) {
    LCFString source("0123456789", kCFStringEncodingUTF8, NULL);
    CFStringRef part;
    {
        LCFString fragment(source, CFRangeMake(2, 3), NULL);
        EXPECT_EQ(Text(fragment), "234");
        EXPECT_FALSE(AcceptsEdits(fragment));
        part = fragment.GetTypeRef();
        EXPECT_EQ(CFGetRetainCount(part), 1);
        CFRetain(part);
    }
    EXPECT_EQ(CFGetRetainCount(part), 1);
    CFRelease(part);
    // Length 0 runs to the end.
    EXPECT_EQ(Text(LCFString(source, 7, 0, NULL)), "789");
    EXPECT_EQ(Text(LCFString(source, 1, 2, NULL)), "12");
}

TEST(LCFString, PartOfAnEmptyWrapperOrOutsideTheSourceIsEmpty) {
    LCFString empty;
    EXPECT_EQ(LCFString(empty, CFRangeMake(0, 0), NULL).GetTypeRef(), nullptr);
    EXPECT_EQ(LCFString(empty, 0, 0, NULL).GetTypeRef(), nullptr);
    LCFString source("abc", kCFStringEncodingUTF8, NULL);
    EXPECT_EQ(LCFString(source, CFRangeMake(2, 5), NULL).GetTypeRef(), nullptr);
    EXPECT_EQ(LCFString(source, CFRangeMake(-1, 1), NULL).GetTypeRef(), nullptr);
    EXPECT_EQ(LCFString(source, 4, 0, NULL).GetTypeRef(), nullptr);
}

TEST(SafeCFStringCompare, NullSortsBeforeEveryStringAndStringsCompareWithTheOptions) {
    EXPECT_EQ(SafeCFStringCompare(NULL, NULL, 0), kCFCompareEqualTo);
    EXPECT_EQ(SafeCFStringCompare(CFSTR("a"), NULL, 0), kCFCompareGreaterThan);
    EXPECT_EQ(SafeCFStringCompare(NULL, CFSTR(""), 0), kCFCompareLessThan);
    EXPECT_EQ(SafeCFStringCompare(CFSTR("SN01"), CFSTR("SN02"), 0), kCFCompareLessThan);
    EXPECT_EQ(SafeCFStringCompare(CFSTR("sn01"), CFSTR("SN01"), 0), kCFCompareGreaterThan);
    EXPECT_EQ(SafeCFStringCompare(CFSTR("sn01"), CFSTR("SN01"), kCFCompareCaseInsensitive),
              kCFCompareEqualTo);
}

} // namespace
