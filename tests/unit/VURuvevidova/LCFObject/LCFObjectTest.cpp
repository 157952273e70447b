// Retain-count balance of the share / take-over operations, on mutable arrays whose
// retain count nothing else touches.
#include "VURuvevidova/LCFObject.h"

#include "WrapTestSupport.h"

#include <gtest/gtest.h>

namespace {

typedef LCFTemplate<CFMutableArrayRef> ArrayWrapper;

CFMutableArrayRef NewArray() {
    return CFArrayCreateMutable(kCFAllocatorDefault, 0, NULL);
}

TEST(LCFObject, ConstructingFromReferenceSharesItUntilDestroyed) {
    CFMutableArrayRef array = NewArray();
    {
        LCFObject wrapper(array);
        EXPECT_EQ(wrapper.GetTypeRef(), array);
        EXPECT_EQ(CFGetRetainCount(array), 2);
    }
    EXPECT_EQ(CFGetRetainCount(array), 1);
    CFRelease(array);
}

TEST(LCFObject, AdoptingTheHeldReferenceChangesNoRetainCount) {
    CFMutableArrayRef array = NewArray();
    ArrayWrapper wrapper;
    wrapper = array;
    wrapper = array;
    wrapper.AdoptTypeRef(array);
    EXPECT_EQ(CFGetRetainCount(array), 2);
    wrapper = static_cast<CFMutableArrayRef>(NULL);
    EXPECT_EQ(CFGetRetainCount(array), 1);
    CFRelease(array);
}

TEST(LCFObject, AdoptingNullReleasesTheHeldObjectAndEmptiesTheWrapper) {
    CFMutableArrayRef array = NewArray();
    ArrayWrapper wrapper;
    wrapper.Adopt(array);
    wrapper.Adopt(NULL);
    EXPECT_EQ(wrapper.GetTypeRef(), nullptr);
    EXPECT_EQ(CFGetRetainCount(array), 1);
    // Once more on the empty wrapper: nothing to release.
    wrapper.Adopt(NULL);
    EXPECT_EQ(wrapper.GetTypeRef(), nullptr);
    CFRelease(array);
}

TEST(LCFObject, AdoptingAnotherReferenceReleasesTheOldOne) {
    CFMutableArrayRef first = NewArray();
    CFMutableArrayRef second = NewArray();
    ArrayWrapper wrapper;
    wrapper = first;
    wrapper = second;
    EXPECT_EQ(static_cast<CFMutableArrayRef>(wrapper), second);
    EXPECT_EQ(CFGetRetainCount(first), 1);
    EXPECT_EQ(CFGetRetainCount(second), 2);
    CFRelease(first);
    CFRelease(second);
}

TEST(LCFObject, AdoptRetainsTheNewObjectBeforeReleasingTheOld) {
    // inner lives only through outer: releasing outer first would free inner.
    CFMutableArrayRef outer = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    CFMutableArrayRef inner = NewArray();
    CFArrayAppendValue(outer, inner);
    CFRelease(inner);
    ArrayWrapper wrapper;
    wrapper -= outer;
    wrapper = inner;
    EXPECT_EQ(CFGetRetainCount(inner), 1);
    EXPECT_EQ(CFArrayGetCount(wrapper), 0);
}

TEST(LCFObject, TakingOverConsumesTheCallersRetainAndReleasesTheOldObject) {
    CFMutableArrayRef old = NewArray();
    CFMutableArrayRef array = NewArray();
    CFRetain(array); // the test's own watch reference
    {
        ArrayWrapper wrapper;
        wrapper = old;
        wrapper -= array;
        EXPECT_EQ(CFGetRetainCount(array), 2);
        EXPECT_EQ(CFGetRetainCount(old), 1);
    }
    EXPECT_EQ(CFGetRetainCount(array), 1);
    CFRelease(array);
    CFRelease(old);
}

TEST(LCFObject, TakingOverTheHeldObjectKeepsItHeldOnce) {
    CFMutableArrayRef array = NewArray();
    ArrayWrapper wrapper;
    wrapper = array;
    CFRetain(array); // a second retain the caller hands over
    wrapper.Inherit(array);
    EXPECT_EQ(CFGetRetainCount(array), 2);
    CFRelease(array);
    EXPECT_EQ(CFGetRetainCount(array), 1);
}

TEST(LCFObject, TakingOverNullEmptiesTheWrapper) {
    CFMutableArrayRef array = NewArray();
    ArrayWrapper wrapper;
    wrapper = array;
    wrapper -= static_cast<CFMutableArrayRef>(NULL);
    EXPECT_EQ(wrapper.GetTypeRef(), nullptr);
    EXPECT_EQ(CFGetRetainCount(array), 1);
    CFRelease(array);
}

TEST(LCFObject, DefaultAllocatorMapsOnlyNullAndDefaultToDefault) {
    EXPECT_EQ(LCFObject::DefaultAllocator(NULL), kCFAllocatorDefault);
    EXPECT_EQ(LCFObject::DefaultAllocator(kCFAllocatorDefault), kCFAllocatorDefault);
    EXPECT_EQ(LCFObject::DefaultAllocator(kCFAllocatorMalloc), kCFAllocatorMalloc);
    EXPECT_EQ(LCFObject::DefaultAllocator(kCFAllocatorSystemDefault), kCFAllocatorSystemDefault);
}

TEST(LCFObject, GetAllocatorReportsTheHeldObjectsAllocatorOrTheDefault) {
    CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorMalloc, 0, NULL);
    LCFObject wrapper(array);
    CFRelease(array);
    EXPECT_EQ(wrapper.GetAllocator(), kCFAllocatorMalloc);
    EXPECT_EQ(LCFObject().GetAllocator(), kCFAllocatorDefault);
}

TEST(LCFObject, CreateXMLDataWritesTheHeldPropertyListOrNothing) {
    EXPECT_EQ(LCFObject().CreateXMLData(NULL), nullptr);
    LCFObject wrapper(CFSTR("poll & wait"));
    CFDataRef data = wrapper.CreateXMLData(NULL);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(CFGetRetainCount(data), 1);
    std::string xml(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                    static_cast<size_t>(CFDataGetLength(data)));
    EXPECT_NE(xml.find("<string>poll &amp; wait</string>"), std::string::npos) << xml;
    CFRelease(data);
}

} // namespace
