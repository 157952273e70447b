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

TEST(LCFString, EmptyWrapperHasNoLengthAndAnEmptyCString) {
    LCFString wrapper;
    EXPECT_EQ(wrapper.GetTypeRef(), nullptr);
    EXPECT_EQ(wrapper.GetLength(), 0);
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_FALSE(wrapper.GetCString(buffer, sizeof buffer, kCFStringEncodingUTF8));
    EXPECT_EQ(buffer[0], '\0');
}

TEST(LCFString, GetCStringReportsTextThatDoesNotFit) {
    LCFString wrapper("0123456789", kCFStringEncodingASCII, NULL);
    char small[5];
    EXPECT_FALSE(wrapper.GetCString(small, sizeof small, kCFStringEncodingASCII));
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
    }
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFString, TakingOverAsImmutableLeavesTheStringUnedited) {
    CFMutableStringRef string = NewMutableString("fixed");
    LCFString wrapper;
    wrapper -= static_cast<CFStringRef>(string);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    EXPECT_FALSE(AcceptsEdits(wrapper));
    EXPECT_EQ(Text(wrapper), "fixed");
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

TEST(LCFString, CopyOfAnImmutableWrapperBalancesRetains) {
    CFStringRef string = CFStringCreateWithCString(NULL, "frozen", kCFStringEncodingUTF8);
    LCFString source(string);
    {
        LCFString copy(source);
        EXPECT_EQ(Text(copy), "frozen");
        EXPECT_FALSE(AcceptsEdits(copy));
    }
    EXPECT_EQ(CFGetRetainCount(string), 2);
    CFRelease(string);
}

TEST(LCFString, CopyOfAnEmptyWrapperIsEmpty) {
    LCFString source;
    LCFString copy(source);
    EXPECT_EQ(copy.GetTypeRef(), nullptr);
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

TEST(LCFString, CopyAssignmentReleasesTheTargetsOldString) {
    CFMutableStringRef old = NewMutableString("old");
    LCFString target(old);
    LCFString source("source", kCFStringEncodingUTF8, NULL);
    target = source;
    EXPECT_EQ(CFGetRetainCount(old), 1);
    EXPECT_EQ(Text(target), "source");
    EXPECT_FALSE(AcceptsEdits(target));
    CFRelease(old);
}

TEST(LCFString, CopyAssignmentOfAMutableSourceGivesTheTargetItsOwnString) {
    LCFString source(0, NULL);
    source.Append("a", kCFStringEncodingUTF8);
    LCFString target;
    target = source;
    EXPECT_NE(target.GetTypeRef(), source.GetTypeRef());
    target.Append("b", kCFStringEncodingUTF8);
    EXPECT_EQ(Text(source), "a");
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

TEST(LCFString, AdoptTypeRefIgnoresObjectsThatAreNotStrings) {
    CFMutableStringRef string = NewMutableString("kept");
    LCFString wrapper(string);
    CFMutableArrayRef array = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks);
    wrapper.AdoptTypeRef(array);
    EXPECT_EQ(wrapper.GetTypeRef(), static_cast<CFStringRef>(string));
    EXPECT_EQ(CFGetRetainCount(array), 1);
    EXPECT_TRUE(AcceptsEdits(wrapper));
    CFRelease(array);
    CFRelease(string);
}

TEST(LCFString, AdoptTypeRefWithAStringHoldsItAsImmutable) {
    CFMutableStringRef string = NewMutableString("typed");
    LCFString wrapper(0, NULL);
    LCFObject& base = wrapper;
    base.AdoptTypeRef(string);
    EXPECT_EQ(wrapper.GetTypeRef(), static_cast<CFStringRef>(string));
    EXPECT_EQ(CFGetRetainCount(string), 2);
    EXPECT_FALSE(AcceptsEdits(wrapper));
    base.AdoptTypeRef(NULL);
    EXPECT_EQ(wrapper.GetTypeRef(), nullptr);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFString, CStringAndPascalStringConstructorsHoldTheirText) {
    LCFString fromC("Caf\xc3\xa9", kCFStringEncodingUTF8, NULL);
    EXPECT_EQ(Text(fromC), "Caf\xc3\xa9");
    EXPECT_EQ(fromC.GetLength(), 4);
    EXPECT_EQ(CFGetRetainCount(fromC.GetTypeRef()), 1);
    const unsigned char pascal[] = "\x05"
                                   "Drive";
    LCFString fromPascal(pascal, kCFStringEncodingMacRoman, NULL);
    EXPECT_EQ(Text(fromPascal), "Drive");
    EXPECT_FALSE(AcceptsEdits(fromPascal));
}

TEST(LCFString, UnconvertibleOrNullTextGivesAnEmptyWrapper) {
    LCFString badUTF8("\xff\xfe", kCFStringEncodingUTF8, NULL);
    EXPECT_EQ(badUTF8.GetTypeRef(), nullptr);
    LCFString nullC(static_cast<const char*>(NULL), kCFStringEncodingUTF8, NULL);
    EXPECT_EQ(nullC.GetTypeRef(), nullptr);
    LCFString nullPascal(static_cast<ConstStringPtr>(NULL), kCFStringEncodingMacRoman, NULL);
    EXPECT_EQ(nullPascal.GetTypeRef(), nullptr);
}

TEST(LCFString, MaxLengthConstructorMakesAnEmptyMutableString) {
    LCFString wrapper(0, kCFAllocatorDefault);
    ASSERT_NE(wrapper.GetTypeRef(), nullptr);
    EXPECT_EQ(wrapper.GetLength(), 0);
    EXPECT_EQ(CFGetRetainCount(wrapper.GetTypeRef()), 1);
    EXPECT_TRUE(AcceptsEdits(wrapper));
}

TEST(LCFString, URLConstructorAndAssignmentShareTheURLsString) {
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
    }
    EXPECT_EQ(CFGetRetainCount(urlString), before);
    CFRelease(url);
}

TEST(LCFString, NullURLGivesAndAssignsAnEmptyWrapper) {
    LCFString constructed(static_cast<CFURLRef>(NULL));
    EXPECT_EQ(constructed.GetTypeRef(), nullptr);
    CFMutableStringRef string = NewMutableString("before");
    LCFString assigned(string);
    assigned = static_cast<CFURLRef>(NULL);
    EXPECT_EQ(assigned.GetTypeRef(), nullptr);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFString, SubstringHoldsExactlyOneRetainOfANewString) {
    LCFString source("0123456789", kCFStringEncodingUTF8, NULL);
    CFStringRef part;
    {
        LCFString fragment(source, CFRangeMake(2, 3), NULL);
        EXPECT_EQ(Text(fragment), "234");
        part = fragment.GetTypeRef();
        EXPECT_EQ(CFGetRetainCount(part), 1);
        CFRetain(part);
    }
    EXPECT_EQ(CFGetRetainCount(part), 1);
    CFRelease(part);
}

TEST(LCFString, SubstringWithLengthZeroRunsToTheEnd) {
    LCFString source("0123456789", kCFStringEncodingUTF8, NULL);
    LCFString tail(source, 7, 0, NULL);
    EXPECT_EQ(Text(tail), "789");
    LCFString middle(source, 1, 2, NULL);
    EXPECT_EQ(Text(middle), "12");
    EXPECT_FALSE(AcceptsEdits(middle));
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

TEST(SafeCFStringCompare, NullSortsBeforeEveryStringAndEqualsOnlyNull) {
    EXPECT_EQ(SafeCFStringCompare(NULL, NULL, 0), kCFCompareEqualTo);
    EXPECT_EQ(SafeCFStringCompare(CFSTR("a"), NULL, 0), kCFCompareGreaterThan);
    EXPECT_EQ(SafeCFStringCompare(NULL, CFSTR("a"), 0), kCFCompareLessThan);
    EXPECT_EQ(SafeCFStringCompare(NULL, CFSTR(""), 0), kCFCompareLessThan);
}

TEST(SafeCFStringCompare, TwoStringsCompareWithTheGivenOptions) {
    EXPECT_EQ(SafeCFStringCompare(CFSTR("SN01"), CFSTR("SN02"), 0), kCFCompareLessThan);
    EXPECT_EQ(SafeCFStringCompare(CFSTR("sn01"), CFSTR("SN01"), 0), kCFCompareGreaterThan);
    EXPECT_EQ(SafeCFStringCompare(CFSTR("sn01"), CFSTR("SN01"), kCFCompareCaseInsensitive),
              kCFCompareEqualTo);
}

} // namespace
