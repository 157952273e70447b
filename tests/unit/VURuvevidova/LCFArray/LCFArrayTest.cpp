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
    ASSERT_NE(array.GetTypeRef(), nullptr);
    EXPECT_EQ(CFGetRetainCount(array.GetTypeRef()), 1);
    EXPECT_EQ(array.GetCount(), 0u);
    EXPECT_EQ(array.AddItem(CFSTR("first")), 1);
    EXPECT_EQ(array.AddItem(CFSTR("second")), 2);
    CFStringRef value = NULL;
    ASSERT_TRUE(array.FetchItemAt(1, value));
    EXPECT_EQ(value, CFSTR("first"));
    EXPECT_EQ(array.GetCount(), 2u);
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

// Each case starts from 1..5 (value = original position).
struct RemovalCase {
    unsigned long count;
    long at;
    Values left;
};

TEST(LCFArray, RemoveItemsAtRemovesOnlyExistingPositionsOfTheRange) {
    const RemovalCase cases[] = {
        {1, 3, {1, 2, 4, 5}},      // one in the middle; the next moves down
        {1, 1, {2, 3, 4, 5}},      // first
        {2, 2, {1, 4, 5}},         // a range keeps the order of the rest
        {1, 5, {1, 2, 3, 4}},      // last
        {1, 6, {1, 2, 3, 4, 5}},   // one past the end
        {3, 4, {1, 2, 3}},         // from next-to-last: the missing third is skipped
        {0, 2, {1, 2, 3, 4, 5}},   // count 0
        {2, 0, {2, 3, 4, 5}},      // position 0 is skipped
        {3, -5, {1, 2, 3, 4, 5}},  // all below 1
        {ULONG_MAX, 4, {1, 2, 3}}, // a huge count neither overflows nor spins
        {5, LONG_MAX, {1, 2, 3, 4, 5}},
        {ULONG_MAX, LONG_MIN, {}},
    };
    for (const RemovalCase& c : cases) {
        NumberArray array(0, &kRawCallBacks, NULL);
        Fill(array, 5);
        array.RemoveItemsAt(c.count, c.at);
        EXPECT_EQ(Contents(array), c.left) << "RemoveItemsAt(" << c.count << ", " << c.at << ")";
    }
}

TEST(LCFArray, RemoveLastItemHandsOutValuesFromTheEndUntilEmpty) {
    NumberArray array(0, &kRawCallBacks, NULL);
    Fill(array, 2);
    EXPECT_FALSE(array.LCFArray::RemoveLastItem(static_cast<void*>(NULL)));
    EXPECT_EQ(array.GetCount(), 2u);
    uintptr_t value = 0;
    ASSERT_TRUE(array.RemoveLastItem(value));
    EXPECT_EQ(value, 2u);
    const void* slot = NULL;
    ASSERT_TRUE(array.LCFArray::RemoveLastItem(&slot));
    EXPECT_EQ(slot, reinterpret_cast<const void*>(1));
    value = 7;
    EXPECT_FALSE(array.RemoveLastItem(value));
    EXPECT_EQ(value, 7u);
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

TEST(LCFArray, AnArrayAtItsLengthLimitAddsNothingAndSaysSo) {
    CFMutableStringRef string = NewMutableString("third");
    {
        LCFArrayTemplate<CFStringRef> array(2, NULL, NULL);
        EXPECT_EQ(array.AddItem(CFSTR("first")), 1);
        EXPECT_EQ(array.AddItem(CFSTR("second")), 2);
        // Not the position of the value already last.
        EXPECT_EQ(array.AddItem(string), 0);
        EXPECT_EQ(array.GetCount(), 2u);
        EXPECT_EQ(CFGetRetainCount(string), 1);
        array.RemoveItemsAt(1, 1);
        EXPECT_EQ(array.AddItem(string), 2);
        EXPECT_EQ(CFGetRetainCount(string), 2);
    }
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

TEST(LCFArray, WrapperNoLongerHoldingItsOwnArrayDoesNothing) {
    LCFArrayTemplate<CFStringRef> empty(0, NULL, NULL);
    empty.Adopt(NULL);
    EXPECT_EQ(empty.GetCount(), 0u);
    EXPECT_EQ(empty.AddItem(CFSTR("new")), 0);
    CFStringRef value = NULL;
    EXPECT_FALSE(empty.FetchItemAt(1, value));
    EXPECT_FALSE(empty.RemoveLastItem(value));
    empty.RemoveItemsAt(1, 1);

    // Made to hold someone else's array: that array is neither changed nor emptied.
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

// Once released, the wrapper's old address can come back as another array (here the same
// one, kept alive by the test, as an allocator reusing the memory would hand it out). The
// wrapper then only shares it: it must neither change it nor empty it when destroyed.
TEST(LCFArray, AnArrayLetGoOfIsOnlySharedWhenItsAddressComesBack) {
    CFMutableStringRef string = NewMutableString("kept");
    CFArrayRef old = NULL;
    {
        LCFArrayTemplate<CFStringRef> array(0, NULL, NULL);
        array.AddItem(string);
        old = static_cast<CFArrayRef>(CFRetain(array.GetTypeRef()));
        array.Adopt(NULL);
        array.Adopt(old);
        EXPECT_EQ(array.GetCount(), 0u);
        EXPECT_EQ(array.AddItem(CFSTR("x")), 0);
        CFStringRef value = NULL;
        EXPECT_FALSE(array.RemoveLastItem(value));
    }
    EXPECT_EQ(CFArrayGetCount(old), 1);
    EXPECT_EQ(CFGetRetainCount(old), 1);
    EXPECT_EQ(CFGetRetainCount(string), 2);
    CFRelease(old);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    CFRelease(string);
}

typedef LCFArrayCallBacksTemplate<const void*> CFTypeCallBacks;

TEST(LCFArrayCallBacks, CFTypeCallBacksForwardToTheStandardSet) {
    CFMutableStringRef string = NewMutableString("SN-1");
    EXPECT_EQ(CFTypeCallBacks::ArrayRetainCallBack(NULL, string), string);
    EXPECT_EQ(CFGetRetainCount(string), 2);
    CFTypeCallBacks::ArrayReleaseCallBack(NULL, string);
    EXPECT_EQ(CFGetRetainCount(string), 1);
    EXPECT_TRUE(CFTypeCallBacks::ArrayEqualCallBack(string, CFSTR("SN-1")));
    EXPECT_FALSE(CFTypeCallBacks::ArrayEqualCallBack(string, CFSTR("SN-2")));
    CFStringRef description = CFTypeCallBacks::ArrayCopyDescriptionCallBack(string);
    EXPECT_EQ(Text(description), "SN-1");
    CFRelease(description);
    CFRelease(string);
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
