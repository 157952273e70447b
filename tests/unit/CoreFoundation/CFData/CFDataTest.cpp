#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {
const UInt8 kSample[] = {0x00, 0x01, 0xFE, 0xFF, 'a', 'b'};
}

TEST(CFData, CreateCopiesTheBytes) {
    UInt8 bytes[] = {1, 2, 3};
    auto data = Own(CFDataCreate(nullptr, bytes, 3));
    bytes[0] = 9;
    ASSERT_EQ(CFDataGetLength(data.get()), 3);
    EXPECT_EQ(CFDataGetBytePtr(data.get())[0], 1);
    auto empty = Own(CFDataCreate(nullptr, nullptr, 0));
    EXPECT_EQ(CFDataGetLength(empty.get()), 0);
}

TEST(CFData, NoCopyWithTheNullDeallocatorNeverFreesTheBytes) {
    // A stack buffer: freeing it would be caught by the address sanitizer.
    UInt8 bytes[] = {4, 5, 6};
    CFDataRef data = CFDataCreateWithBytesNoCopy(nullptr, bytes, 3, kCFAllocatorNull);
    EXPECT_EQ(CFDataGetBytePtr(data), bytes);
    CFRelease(data);
    EXPECT_EQ(bytes[2], 6);
}

TEST(CFData, NoCopyWithTheDefaultDeallocatorFreesTheBytes) {
    // Not freeing them would show as a leak under the leak sanitizer.
    auto* bytes = static_cast<UInt8*>(std::malloc(16));
    std::memset(bytes, 7, 16);
    CFDataRef data = CFDataCreateWithBytesNoCopy(nullptr, bytes, 16, kCFAllocatorDefault);
    EXPECT_EQ(CFDataGetBytePtr(data)[15], 7);
    CFRelease(data);
}

TEST(CFData, MutableDataGrowsZeroFilledAndShrinks) {
    auto data = Own(CFDataCreateMutable(nullptr, 0));
    CFDataAppendBytes(data.get(), kSample, sizeof kSample);
    CFDataSetLength(data.get(), 8);
    ASSERT_EQ(CFDataGetLength(data.get()), 8);
    EXPECT_EQ(CFDataGetBytePtr(data.get())[6], 0);
    EXPECT_EQ(CFDataGetBytePtr(data.get())[7], 0);
    CFDataGetMutableBytePtr(data.get())[0] = 0x42;
    CFDataSetLength(data.get(), 2);
    EXPECT_EQ(Bytes(data.get()), std::string("\x42\x01", 2));
    CFDataIncreaseLength(data.get(), 1);
    EXPECT_EQ(Bytes(data.get()), std::string("\x42\x01\x00", 3));
}

TEST(CFData, AppendingItsOwnBytesIsSafe) {
    auto data = Own(CFDataCreateMutable(nullptr, 0));
    CFDataAppendBytes(data.get(), kSample, sizeof kSample);
    for (int i = 0; i < 6; ++i)
        CFDataAppendBytes(data.get(), CFDataGetBytePtr(data.get()), CFDataGetLength(data.get()));
    ASSERT_EQ(CFDataGetLength(data.get()), 6 * 64);
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(data.get()) + 6 * 63, kSample, 6), 0);
}

TEST(CFData, BoundedDataRefusesToGrowPastItsCapacity) {
    auto data = Own(CFDataCreateMutable(nullptr, 4));
    CFDataAppendBytes(data.get(), kSample, 3);
    testing::internal::CaptureStderr();
    CFDataAppendBytes(data.get(), kSample, 2);
    CFDataSetLength(data.get(), 5);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("capacity"), std::string::npos);
    EXPECT_EQ(CFDataGetLength(data.get()), 3);
    CFDataAppendBytes(data.get(), kSample, 1);
    EXPECT_EQ(CFDataGetLength(data.get()), 4);
}

TEST(CFData, GetBytesCopiesARangeAndRefusesOneOutOfBounds) {
    auto data = Own(CFDataCreate(nullptr, kSample, sizeof kSample));
    UInt8 out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    CFDataGetBytes(data.get(), CFRangeMake(2, 2), out);
    EXPECT_EQ(out[0], 0xFE);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 0xAA);
    testing::internal::CaptureStderr();
    CFDataGetBytes(data.get(), CFRangeMake(5, 2), out);
    CFDataGetBytes(data.get(), CFRangeMake(-1, 1), out);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("range"), std::string::npos);
    EXPECT_EQ(out[0], 0xFE);
}

TEST(CFData, ReplaceAndDeleteEditInPlace) {
    auto data = Own(CFDataCreateMutable(nullptr, 0));
    CFDataAppendBytes(data.get(), reinterpret_cast<const UInt8*>("hello world"), 11);
    CFDataReplaceBytes(data.get(), CFRangeMake(0, 5), reinterpret_cast<const UInt8*>("bye"), 3);
    EXPECT_EQ(Bytes(data.get()), "bye world");
    CFDataDeleteBytes(data.get(), CFRangeMake(3, 6));
    EXPECT_EQ(Bytes(data.get()), "bye");
}

TEST(CFData, ImmutableDataRefusesChanges) {
    auto data = Own(CFDataCreate(nullptr, kSample, sizeof kSample));
    auto* asMutable = const_cast<CFMutableDataRef>(data.get());
    testing::internal::CaptureStderr();
    EXPECT_EQ(CFDataGetMutableBytePtr(asMutable), nullptr);
    CFDataAppendBytes(asMutable, kSample, 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("immutable"), std::string::npos);
    EXPECT_EQ(CFDataGetLength(data.get()), 6);
}

TEST(CFData, EqualityAndHashFollowTheBytes) {
    auto a = Own(CFDataCreate(nullptr, kSample, sizeof kSample));
    auto b = Own(CFDataCreateMutableCopy(nullptr, 0, a.get()));
    auto c = Own(CFDataCreateCopy(nullptr, a.get()));
    EXPECT_TRUE(CFEqual(a.get(), b.get()));
    EXPECT_TRUE(CFEqual(a.get(), c.get()));
    EXPECT_EQ(CFHash(a.get()), CFHash(b.get()));
    CFDataGetMutableBytePtr(b.get())[5] = 'c';
    EXPECT_FALSE(CFEqual(a.get(), b.get()));
    CFDataSetLength(b.get(), 5);
    auto prefix = Own(CFDataCreate(nullptr, kSample, 5));
    EXPECT_TRUE(CFEqual(prefix.get(), b.get()));
    EXPECT_FALSE(CFEqual(prefix.get(), a.get()));
}
