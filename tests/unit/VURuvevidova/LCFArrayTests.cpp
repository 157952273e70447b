// LCFArray: 1-based positions, removal ranges, value ownership through call-back sets.
#include "VURuvevidova/LCFArray.h"

#include "WrapTestSupport.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdint.h>

#include <vector>

namespace {

// Values stored as they are: no retain, no release.
const CFArrayCallBacks kRawCallBacks = {0, NULL, NULL, NULL, NULL};

typedef LCFArrayTemplate<uintptr_t> NumberArray;

std::vector<uintptr_t> Contents(const NumberArray& array) {
    std::vector<uintptr_t> values;
    for (long position = 1; position <= static_cast<long>(array.GetCount()); ++position) {
        uintptr_t value = 0;
        EXPECT_TRUE(array.FetchItemAt(position, value));
        values.push_back(value);
    }
    return values;
}

// An array holding 1..count, value = original position.
void Fill(NumberArray& array, uintptr_t count) {
    for (uintptr_t value = 1; value <= count; ++value)
        array.AddItem(value);
}

typedef std::vector<uintptr_t> Values;

TEST(LCFArray, AddItemReturnsThePositionOfTheAddedValue) {
    LCFArrayTemplate<CFStringRef> array(0, NULL, NULL);
    EXPECT_EQ(array.GetCount(), 0u);
    EXPECT_EQ(array.AddItem(CFSTR("first")), 1);
    EXPECT_EQ(array.AddItem(CFSTR("second")), 2);
    CFStringRef value = NULL;
    ASSERT_TRUE(array.FetchItemAt(1, value));
    EXPECT_EQ(value, CFSTR("first"));
    EXPECT_EQ(array.GetCount(), 2u);
}

TEST(LCFArray, HoldsItsArrayWithOneRetain) {
    LCFArray array(0, NULL, NULL);
    ASSERT_NE(array.GetTypeRef(), nullptr);
    EXPECT_EQ(CFGetRetainCount(array.GetTypeRef()), 1);
}

TEST(LCFArray, FetchItemAtRejectsPositionsOutsideOneToCount) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 3);
    const uintptr_t untouched = 99;
    for (long position : {0L, -1L, 4L, LONG_MIN, LONG_MAX}) {
        uintptr_t value = untouched;
        EXPECT_FALSE(array.FetchItemAt(position, value)) << position;
        EXPECT_EQ(value, untouched) << position;
    }
    uintptr_t last = 0;
    ASSERT_TRUE(array.FetchItemAt(3, last));
    EXPECT_EQ(last, 3u);
}

TEST(LCFArray, RemovingOnePositionMovesTheNextValueDown) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 5);
    array.RemoveItemsAt(1, 3);
    EXPECT_EQ(Contents(array), (Values{1, 2, 4, 5}));
    array.RemoveItemsAt(1, 1);
    EXPECT_EQ(Contents(array), (Values{2, 4, 5}));
}

TEST(LCFArray, RemovingARangeInTheMiddleKeepsTheOrderOfTheRest) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 6);
    array.RemoveItemsAt(3, 2);
    EXPECT_EQ(Contents(array), (Values{1, 5, 6}));
}

TEST(LCFArray, RemovingAtTheLastPositionAndOnePastIt) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 4);
    array.RemoveItemsAt(1, static_cast<long>(array.GetCount()) + 1);
    EXPECT_EQ(Contents(array), (Values{1, 2, 3, 4}));
    array.RemoveItemsAt(1, static_cast<long>(array.GetCount()));
    EXPECT_EQ(Contents(array), (Values{1, 2, 3}));
}

TEST(LCFArray, RemovingThreeFromTheNextToLastSkipsTheMissingPosition) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 5);
    array.RemoveItemsAt(3, static_cast<long>(array.GetCount()) - 1);
    EXPECT_EQ(Contents(array), (Values{1, 2, 3}));
}

TEST(LCFArray, RemovingZeroItemsRemovesNothing) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 3);
    array.RemoveItemsAt(0, 1);
    array.RemoveItemsAt(0, 3);
    EXPECT_EQ(Contents(array), (Values{1, 2, 3}));
}

TEST(LCFArray, PositionsBelowOneAreSkipped) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 4);
    array.RemoveItemsAt(2, 0); // positions 0 and 1
    EXPECT_EQ(Contents(array), (Values{2, 3, 4}));
    array.RemoveItemsAt(3, -5); // positions -5 to -3
    EXPECT_EQ(Contents(array), (Values{2, 3, 4}));
}

TEST(LCFArray, HugeCountsRemoveOnlyExistingPositions) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 5);
    array.RemoveItemsAt(ULONG_MAX, 4);
    EXPECT_EQ(Contents(array), (Values{1, 2, 3}));
    array.RemoveItemsAt(5, LONG_MAX);
    EXPECT_EQ(Contents(array), (Values{1, 2, 3}));
    array.RemoveItemsAt(ULONG_MAX, LONG_MIN);
    EXPECT_EQ(array.GetCount(), 0u);
}

TEST(LCFArray, RemoveLastItemOnAnEmptyArrayStoresNothing) {
    NumberArray array(0, &kRawCallBacks, NULL);
    uintptr_t value = 7;
    EXPECT_FALSE(array.RemoveLastItem(value));
    EXPECT_EQ(value, 7u);
    void* slot = &value;
    EXPECT_FALSE(array.LCFArray::RemoveLastItem(&slot));
    EXPECT_EQ(slot, &value);
}

TEST(LCFArray, RemoveLastItemHandsOutValuesFromTheEnd) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 3);
    uintptr_t value = 0;
    ASSERT_TRUE(array.RemoveLastItem(value));
    EXPECT_EQ(value, 3u);
    const void* slot = NULL;
    ASSERT_TRUE(array.LCFArray::RemoveLastItem(&slot));
    EXPECT_EQ(slot, reinterpret_cast<const void*>(2));
    EXPECT_EQ(Contents(array), (Values{1}));
}

TEST(LCFArray, RemoveLastItemWithoutASlotRemovesNothing) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 2);
    EXPECT_FALSE(array.LCFArray::RemoveLastItem(static_cast<void*>(NULL)));
    EXPECT_EQ(array.GetCount(), 2u);
}

TEST(LCFArray, ValuesNarrowerThanAPointerSurviveTheRoundTrip) {
    LCFArrayTemplate<uint32_t> array(0, &kRawCallBacks, NULL);
    array.AddItem(0xDEADBEEFu);
    array.AddItem(7u);
    uint32_t value = 0;
    ASSERT_TRUE(array.RemoveLastItem(value));
    EXPECT_EQ(value, 7u);
    ASSERT_TRUE(array.FetchItemAt(1, value));
    EXPECT_EQ(value, 0xDEADBEEFu);
}

TEST(LCFArray, NullCallBacksRetainCoreFoundationValues) {
    CFMutableStringRef string = NewMutableString("serial");
    {
        LCFArrayTemplate<CFStringRef> array(0, NULL, NULL);
        array.AddItem(string);
        array.AddItem(string);
        EXPECT_EQ(CFGetRetainCount(string), 3);
        array.RemoveItemsAt(1, 1);
        EXPECT_EQ(CFGetRetainCount(string), 2);
        CFStringRef removed = NULL;
        ASSERT_TRUE(array.RemoveLastItem(removed));
        EXPECT_EQ(removed, static_cast<CFStringRef>(string));
        EXPECT_EQ(CFGetRetainCount(string), 1);
        array.AddItem(string);
    }
    // The destructor released what was left.
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFArray, DestructorReleasesValuesEvenWhileTheArrayIsRetainedElsewhere) {
    CFMutableStringRef string = NewMutableString("kept");
    CFArrayRef survivor;
    {
        LCFArray array(0, NULL, NULL);
        array.AddItem(string);
        survivor = static_cast<CFArrayRef>(CFRetain(array.GetTypeRef()));
    }
    EXPECT_EQ(CFGetRetainCount(string), 1);
    EXPECT_EQ(CFArrayGetCount(survivor), 0);
    EXPECT_EQ(CFGetRetainCount(survivor), 1);
    CFRelease(survivor);
    CFRelease(string);
}

TEST(LCFArray, WrapperWithoutItsArrayDoesNothing) {
    LCFArrayTemplate<CFStringRef> array(0, NULL, NULL);
    array.AddItem(CFSTR("gone"));
    array.Adopt(NULL);
    EXPECT_EQ(array.GetCount(), 0u);
    EXPECT_EQ(array.AddItem(CFSTR("new")), 0);
    CFStringRef value = NULL;
    EXPECT_FALSE(array.FetchItemAt(1, value));
    EXPECT_FALSE(array.RemoveLastItem(value));
    array.RemoveItemsAt(1, 1);
    EXPECT_EQ(value, nullptr);
}

TEST(LCFArray, WrapperMadeToHoldAnotherArrayLeavesThatArrayAlone) {
    CFMutableStringRef string = NewMutableString("foreign");
    CFMutableArrayRef foreign = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(foreign, string);
    {
        LCFArrayTemplate<CFStringRef> array(0, NULL, NULL);
        array.Adopt(foreign);
        EXPECT_EQ(array.AddItem(CFSTR("x")), 0);
        array.RemoveItemsAt(1, 1);
    }
    EXPECT_EQ(CFArrayGetCount(foreign), 1);
    EXPECT_EQ(CFGetRetainCount(foreign), 1);
    EXPECT_EQ(CFGetRetainCount(string), 2);
    CFRelease(foreign);
    CFRelease(string);
}

// A call-back set that counts what the array does with its values.
struct Counts {
    int retains = 0;
    int releases = 0;
};
Counts counts;

const void* CountRetain(CFAllocatorRef, const void* value) {
    ++counts.retains;
    return value;
}
void CountRelease(CFAllocatorRef, const void*) {
    ++counts.releases;
}

TEST(LCFArray, CallBackSetRunsOnEveryAddAndEveryRemoval) {
    counts = Counts();
    const CFArrayCallBacks counting = {0, CountRetain, CountRelease, NULL, NULL};
    {
        NumberArray array(0, &counting, NULL);
        Fill(array, 5);
        EXPECT_EQ(counts.retains, 5);
        array.RemoveItemsAt(2, 1);
        uintptr_t value;
        array.RemoveLastItem(value);
        EXPECT_EQ(counts.releases, 3);
    }
    EXPECT_EQ(counts.releases, 5);
}

typedef LCFArrayCallBacksTemplate<const void*> CFTypeCallBacks;

TEST(LCFArrayCallBacks, ConstructorFillsTheSetWithItsOwnCallBacks) {
    CFTypeCallBacks callBacks(NULL);
    CFArrayCallBacks* set = callBacks;
    EXPECT_EQ(set, &callBacks.context);
    EXPECT_EQ(set->version, 0);
    EXPECT_EQ(set->retain, &CFTypeCallBacks::ArrayRetainCallBack);
    EXPECT_EQ(set->release, &CFTypeCallBacks::ArrayReleaseCallBack);
    EXPECT_EQ(set->copyDescription, &CFTypeCallBacks::ArrayCopyDescriptionCallBack);
    EXPECT_EQ(set->equal, &CFTypeCallBacks::ArrayEqualCallBack);
}

TEST(LCFArrayCallBacks, CFTypeCallBacksForwardRetainAndRelease) {
    CFMutableStringRef string = NewMutableString("value");
    EXPECT_EQ(CFTypeCallBacks::ArrayRetainCallBack(NULL, string), string);
    EXPECT_EQ(CFGetRetainCount(string), 2);
    CFTypeCallBacks::ArrayReleaseCallBack(NULL, string);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

TEST(LCFArrayCallBacks, CFTypeCallBacksCompareAndDescribeByContent) {
    CFMutableStringRef same = NewMutableString("SN-1");
    EXPECT_TRUE(CFTypeCallBacks::ArrayEqualCallBack(same, CFSTR("SN-1")));
    EXPECT_FALSE(CFTypeCallBacks::ArrayEqualCallBack(same, CFSTR("SN-2")));
    CFStringRef description = CFTypeCallBacks::ArrayCopyDescriptionCallBack(same);
    EXPECT_EQ(Text(description), "SN-1");
    CFRelease(description);
    CFRelease(same);
}

TEST(LCFArrayCallBacks, ArrayBuiltWithTheCFTypeSetOwnsAndFindsItsValues) {
    CFTypeCallBacks callBacks(NULL);
    CFMutableStringRef string = NewMutableString("SN-7");
    {
        LCFArray array(0, callBacks, NULL);
        array.AddItem(string);
        EXPECT_EQ(CFGetRetainCount(string), 2);
        EXPECT_EQ(CFArrayGetFirstIndexOfValue(array, CFRangeMake(0, 1), CFSTR("SN-7")), 0);
    }
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

} // namespace
