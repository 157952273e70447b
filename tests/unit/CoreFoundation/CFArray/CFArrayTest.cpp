#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

CFMutableArrayRef NewTypeArray(CFIndex capacity = 0) {
    return CFArrayCreateMutable(kCFAllocatorDefault, capacity, &kCFTypeArrayCallBacks);
}

std::vector<std::string> Texts(CFArrayRef array) {
    std::vector<std::string> texts;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i)
        texts.push_back(Text(static_cast<CFStringRef>(CFArrayGetValueAtIndex(array, i))));
    return texts;
}

// Call-backs that count what the array asks of them.
int gRetains = 0;
int gReleases = 0;
const void* CountingRetain(CFAllocatorRef, const void* value) {
    ++gRetains;
    return value;
}
void CountingRelease(CFAllocatorRef, const void*) {
    ++gReleases;
}

} // namespace

TEST(CFArray, TypeCallBacksRetainOnAppendAndReleaseOnRemoval) {
    auto value = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    CFMutableArrayRef array = NewTypeArray();
    CFArrayAppendValue(array, value.get());
    EXPECT_EQ(CFGetRetainCount(value.get()), 2);
    CFArrayAppendValue(array, value.get());
    EXPECT_EQ(CFGetRetainCount(value.get()), 3);
    CFArrayRemoveValueAtIndex(array, 0);
    EXPECT_EQ(CFGetRetainCount(value.get()), 2);
    CFArrayRemoveAllValues(array);
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
    CFArrayAppendValue(array, value.get());
    CFRelease(array);
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
}

TEST(CFArray, NullCallBacksStoreValuesRaw) {
    auto value = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    auto twin = Own(NewString(""));
    CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, nullptr);
    CFArrayAppendValue(array, value.get());
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
    // Equality is identity: an equal string that is another object is not found.
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array, CFRangeMake(0, 1), twin.get()), kCFNotFound);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array, CFRangeMake(0, 1), value.get()), 0);
    // Values that are not objects at all are fine too.
    CFArrayAppendValue(array, reinterpret_cast<const void*>(0x1234));
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), reinterpret_cast<const void*>(0x1234));
    CFRelease(array);
    EXPECT_EQ(CFGetRetainCount(value.get()), 1);
}

TEST(CFArray, TypeCallBacksFindValuesByEquality) {
    auto a = Own(NewString("serial-1"));
    auto b = Own(NewString("serial-1"));
    auto array = Own(NewTypeArray());
    CFArrayAppendValue(array.get(), a.get());
    ASSERT_NE(a.get(), b.get());
    EXPECT_TRUE(CFArrayContainsValue(array.get(), CFRangeMake(0, 1), b.get()));
    EXPECT_FALSE(CFArrayContainsValue(array.get(), CFRangeMake(0, 0), b.get()));
}

TEST(CFArray, KeepsItsOwnCopyOfTheCallBacks) {
    CFArrayCallBacks callBacks = {0, CountingRetain, CountingRelease, nullptr, nullptr};
    gRetains = gReleases = 0;
    CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, &callBacks);
    callBacks.retain = nullptr;
    callBacks.release = nullptr;
    CFArrayAppendValue(array, reinterpret_cast<const void*>(1));
    CFArrayAppendValue(array, reinterpret_cast<const void*>(2));
    CFArrayRemoveValueAtIndex(array, 0);
    CFRelease(array);
    EXPECT_EQ(gRetains, 2);
    EXPECT_EQ(gReleases, 2);
}

TEST(CFArray, SetValueRetainsTheNewValueBeforeReleasingTheOld) {
    auto first = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    auto second = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    auto array = Own(NewTypeArray());
    // When the array holds the only reference, releasing first would free the value.
    CFMutableStringRef sole = CFStringCreateMutable(kCFAllocatorDefault, 0);
    CFArrayAppendValue(array.get(), sole);
    CFRelease(sole);
    CFArraySetValueAtIndex(array.get(), 0, sole);
    EXPECT_EQ(CFGetRetainCount(CFArrayGetValueAtIndex(array.get(), 0)), 1);
    CFArraySetValueAtIndex(array.get(), 0, first.get());
    EXPECT_EQ(CFGetRetainCount(first.get()), 2);
    CFArraySetValueAtIndex(array.get(), 0, second.get());
    EXPECT_EQ(CFGetRetainCount(first.get()), 1);
    EXPECT_EQ(CFGetRetainCount(second.get()), 2);
    // Setting at the count appends.
    CFArraySetValueAtIndex(array.get(), 1, first.get());
    EXPECT_EQ(CFArrayGetCount(array.get()), 2);
    EXPECT_EQ(CFArrayGetValueAtIndex(array.get(), 1), first.get());
}

TEST(CFArray, BoundedArrayRefusesAppendsPastItsCapacity) {
    auto value = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    auto array = Own(NewTypeArray(2));
    CFArrayAppendValue(array.get(), value.get());
    CFArrayAppendValue(array.get(), value.get());
    testing::internal::CaptureStderr();
    CFArrayAppendValue(array.get(), value.get());
    CFArrayInsertValueAtIndex(array.get(), 0, value.get());
    std::string complaint = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CFArrayGetCount(array.get()), 2);
    EXPECT_EQ(CFGetRetainCount(value.get()), 3); // the refused value was not retained
    EXPECT_NE(complaint.find("capacity"), std::string::npos);
    // Room again after a removal.
    CFArrayRemoveValueAtIndex(array.get(), 0);
    CFArrayAppendValue(array.get(), value.get());
    EXPECT_EQ(CFArrayGetCount(array.get()), 2);
}

TEST(CFArray, InsertAndRemoveKeepTheOrderOfTheOtherValues) {
    auto a = Own(NewString("a"));
    auto b = Own(NewString("b"));
    auto c = Own(NewString("c"));
    auto d = Own(NewString("d"));
    auto array = Own(NewTypeArray());
    CFArrayAppendValue(array.get(), b.get());
    CFArrayInsertValueAtIndex(array.get(), 0, a.get());
    CFArrayInsertValueAtIndex(array.get(), 2, d.get());
    CFArrayInsertValueAtIndex(array.get(), 2, c.get());
    EXPECT_EQ(Texts(array.get()), (std::vector<std::string>{"a", "b", "c", "d"}));
    CFArrayRemoveValueAtIndex(array.get(), 1);
    EXPECT_EQ(Texts(array.get()), (std::vector<std::string>{"a", "c", "d"}));
    CFArrayRemoveValueAtIndex(array.get(), 2);
    EXPECT_EQ(Texts(array.get()), (std::vector<std::string>{"a", "c"}));
    CFArrayExchangeValuesAtIndices(array.get(), 0, 1);
    EXPECT_EQ(Texts(array.get()), (std::vector<std::string>{"c", "a"}));
}

TEST(CFArray, OutOfRangeIndicesAreRefusedWithoutTouchingTheArray) {
    auto value = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    auto array = Own(NewTypeArray());
    CFArrayAppendValue(array.get(), value.get());
    testing::internal::CaptureStderr();
    EXPECT_EQ(CFArrayGetValueAtIndex(array.get(), -1), nullptr);
    EXPECT_EQ(CFArrayGetValueAtIndex(array.get(), 1), nullptr);
    CFArrayRemoveValueAtIndex(array.get(), 1);
    CFArrayInsertValueAtIndex(array.get(), 2, value.get());
    CFArraySetValueAtIndex(array.get(), -1, value.get());
    EXPECT_FALSE(CFArrayContainsValue(array.get(), CFRangeMake(0, 2), value.get()));
    std::string complaints = testing::internal::GetCapturedStderr();
    EXPECT_NE(complaints.find("CFArrayGetValueAtIndex"), std::string::npos);
    EXPECT_NE(complaints.find("CFArrayRemoveValueAtIndex"), std::string::npos);
    EXPECT_EQ(CFArrayGetCount(array.get()), 1);
    EXPECT_EQ(CFGetRetainCount(value.get()), 2);
}

TEST(CFArray, ImmutableArrayRefusesChanges) {
    auto value = Own(NewString("x"));
    const void* values[] = {value.get()};
    auto array = Own(CFArrayCreate(kCFAllocatorDefault, values, 1, &kCFTypeArrayCallBacks));
    testing::internal::CaptureStderr();
    CFArrayAppendValue(const_cast<CFMutableArrayRef>(array.get()), value.get());
    CFArrayRemoveAllValues(const_cast<CFMutableArrayRef>(array.get()));
    std::string complaints = testing::internal::GetCapturedStderr();
    EXPECT_NE(complaints.find("immutable"), std::string::npos);
    EXPECT_EQ(CFArrayGetCount(array.get()), 1);
}

TEST(CFArray, CopiesShareValuesAndCallBacksButNotStorage) {
    auto value = Own(CFStringCreateMutable(kCFAllocatorDefault, 0));
    auto array = Own(NewTypeArray());
    CFArrayAppendValue(array.get(), value.get());
    auto copy = Own(CFArrayCreateCopy(kCFAllocatorDefault, array.get()));
    auto mutableCopy = Own(CFArrayCreateMutableCopy(kCFAllocatorDefault, 0, array.get()));
    EXPECT_EQ(CFGetRetainCount(value.get()), 4);
    CFArrayRemoveAllValues(array.get());
    EXPECT_EQ(CFArrayGetCount(copy.get()), 1);
    EXPECT_EQ(CFArrayGetValueAtIndex(mutableCopy.get(), 0), value.get());
    CFArrayAppendValue(mutableCopy.get(), value.get());
    EXPECT_EQ(CFArrayGetCount(copy.get()), 1);
    EXPECT_EQ(CFGetRetainCount(value.get()), 4);
    // A capacity below the count cannot hold the copy.
    testing::internal::CaptureStderr();
    EXPECT_EQ(CFArrayCreateMutableCopy(kCFAllocatorDefault, 1, mutableCopy.get()), nullptr);
    testing::internal::GetCapturedStderr();
}

TEST(CFArray, EqualityIsDeepAndOrdered) {
    auto a1 = Own(NewString("a"));
    auto a2 = Own(NewString("a"));
    auto b = Own(NewString("b"));
    auto left = Own(NewTypeArray());
    auto right = Own(NewTypeArray());
    CFArrayAppendValue(left.get(), a1.get());
    CFArrayAppendValue(left.get(), b.get());
    CFArrayAppendValue(right.get(), a2.get());
    CFArrayAppendValue(right.get(), b.get());
    EXPECT_TRUE(CFEqual(left.get(), right.get()));
    EXPECT_EQ(CFHash(left.get()), CFHash(right.get()));
    CFArrayExchangeValuesAtIndices(right.get(), 0, 1);
    EXPECT_FALSE(CFEqual(left.get(), right.get()));
    CFArrayRemoveValueAtIndex(right.get(), 0);
    EXPECT_FALSE(CFEqual(left.get(), right.get()));
}

TEST(CFArray, AppendingAnArrayToItselfDoublesIt) {
    auto a = Own(NewString("a"));
    auto b = Own(NewString("b"));
    auto array = Own(NewTypeArray());
    CFArrayAppendValue(array.get(), a.get());
    CFArrayAppendValue(array.get(), b.get());
    CFArrayAppendArray(array.get(), array.get(), CFRangeMake(0, 2));
    EXPECT_EQ(Texts(array.get()), (std::vector<std::string>{"a", "b", "a", "b"}));
    EXPECT_EQ(CFArrayGetCountOfValue(array.get(), CFRangeMake(0, 4), a.get()), 2);
    EXPECT_EQ(CFArrayGetLastIndexOfValue(array.get(), CFRangeMake(0, 4), a.get()), 2);
}

TEST(CFArray, DescriptionListsTheValues) {
    auto value = Own(NewString("serial-42"));
    auto array = Own(NewTypeArray());
    CFArrayAppendValue(array.get(), value.get());
    auto description = Own(CFCopyDescription(array.get()));
    std::string text = Text(description.get());
    EXPECT_NE(text.find("<CFArray"), std::string::npos);
    EXPECT_NE(text.find("count = 1"), std::string::npos);
    EXPECT_NE(text.find("serial-42"), std::string::npos);
}

TEST(CFArray, TypeIDIdentifiesArrays) {
    auto array = Own(NewTypeArray());
    auto string = Own(NewString("x"));
    EXPECT_EQ(CFGetTypeID(array.get()), CFArrayGetTypeID());
    EXPECT_NE(CFGetTypeID(string.get()), CFArrayGetTypeID());
    testing::internal::CaptureStderr();
    EXPECT_EQ(CFArrayGetCount(reinterpret_cast<CFArrayRef>(string.get())), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("not a CFArray"), std::string::npos);
}
