#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// Stores value as one type and reads it back as another; a failed read shows as a failure.
template <typename Out, typename In> Out Convert(In value, CFNumberType from, CFNumberType to) {
    auto number = Own(CFNumberCreate(nullptr, from, &value));
    Out out{};
    EXPECT_TRUE(CFNumberGetValue(number.get(), to, &out));
    return out;
}

template <typename T> T RoundTrip(T value, CFNumberType type) {
    return Convert<T>(value, type, type);
}

} // namespace

TEST(CFNumber, IntegerTypesRoundTripAtTheirLimits) {
    EXPECT_EQ(RoundTrip<SInt8>(INT8_MIN, kCFNumberSInt8Type), INT8_MIN);
    EXPECT_EQ(RoundTrip<SInt16>(INT16_MAX, kCFNumberSInt16Type), INT16_MAX);
    EXPECT_EQ(RoundTrip<SInt32>(INT32_MIN, kCFNumberSInt32Type), INT32_MIN);
    EXPECT_EQ(RoundTrip<SInt64>(INT64_MAX, kCFNumberSInt64Type), INT64_MAX);
    EXPECT_EQ(RoundTrip<char>('A', kCFNumberCharType), 'A');
    EXPECT_EQ(RoundTrip<long>(LONG_MIN, kCFNumberLongType), LONG_MIN);
}

TEST(CFNumber, FloatTypesRoundTrip) {
    float f = 0.1f;
    double d = -1.0 / 3.0;
    EXPECT_EQ(Convert<float>(f, kCFNumberFloatType, kCFNumberFloat32Type), f);
    EXPECT_EQ(Convert<double>(d, kCFNumberFloat64Type, kCFNumberDoubleType), d);
    EXPECT_EQ(Convert<double>(f, kCFNumberFloatType, kCFNumberFloat64Type), static_cast<double>(f));
}

TEST(CFNumber, TypeAndSizeAreTheStorageType) {
    int i = 1;
    long long ll = 1;
    float f = 1;
    double d = 1;
    short s = 1;
    auto ni = Own(CFNumberCreate(nullptr, kCFNumberIntType, &i));
    auto nll = Own(CFNumberCreate(nullptr, kCFNumberLongLongType, &ll));
    auto nf = Own(CFNumberCreate(nullptr, kCFNumberFloatType, &f));
    auto nd = Own(CFNumberCreate(nullptr, kCFNumberCGFloatType, &d));
    auto ns = Own(CFNumberCreate(nullptr, kCFNumberShortType, &s));
    EXPECT_EQ(CFNumberGetType(ni.get()), kCFNumberSInt32Type);
    EXPECT_EQ(CFNumberGetType(nll.get()), kCFNumberSInt64Type);
    EXPECT_EQ(CFNumberGetType(nf.get()), kCFNumberFloat32Type);
    EXPECT_EQ(CFNumberGetType(nd.get()), kCFNumberFloat64Type);
    EXPECT_EQ(CFNumberGetType(ns.get()), kCFNumberSInt16Type);
    EXPECT_EQ(CFNumberGetByteSize(ni.get()), 4);
    EXPECT_EQ(CFNumberGetByteSize(nll.get()), 8);
    EXPECT_EQ(CFNumberGetByteSize(nf.get()), 4);
    EXPECT_EQ(CFNumberGetByteSize(ns.get()), 2);
    EXPECT_FALSE(CFNumberIsFloatType(ni.get()));
    EXPECT_TRUE(CFNumberIsFloatType(nf.get()));
}

TEST(CFNumber, LossyConversionsReportFalseAndStoreTheNearestValue) {
    SInt32 big = 300;
    auto nbig = Own(CFNumberCreate(nullptr, kCFNumberSInt32Type, &big));
    SInt8 small = 0;
    EXPECT_FALSE(CFNumberGetValue(nbig.get(), kCFNumberSInt8Type, &small));

    auto fraction = Own(NewDouble(-2.75));
    SInt32 truncated = 0;
    EXPECT_FALSE(CFNumberGetValue(fraction.get(), kCFNumberSInt32Type, &truncated));
    EXPECT_EQ(truncated, -2);

    auto whole = Own(NewDouble(2.0));
    SInt32 exact = 0;
    EXPECT_TRUE(CFNumberGetValue(whole.get(), kCFNumberSInt32Type, &exact));
    EXPECT_EQ(exact, 2);

    auto huge = Own(NewDouble(1e30));
    SInt64 clamped = 0;
    EXPECT_FALSE(CFNumberGetValue(huge.get(), kCFNumberSInt64Type, &clamped));
    EXPECT_EQ(clamped, INT64_MAX);

    auto odd = Own(NewInt((SInt64{1} << 53) + 1));
    double rounded = 0;
    EXPECT_FALSE(CFNumberGetValue(odd.get(), kCFNumberFloat64Type, &rounded));

    auto third = Own(NewDouble(1.0 / 3.0));
    float narrowed = 0;
    EXPECT_FALSE(CFNumberGetValue(third.get(), kCFNumberFloat32Type, &narrowed));
}

TEST(CFNumber, EqualNumbersOfDifferentTypesAreEqualAndHashAlike) {
    SInt8 one8 = 1;
    float oneF = 1.0f;
    auto a = Own(CFNumberCreate(nullptr, kCFNumberSInt8Type, &one8));
    auto b = Own(NewDouble(1.0));
    auto c = Own(CFNumberCreate(nullptr, kCFNumberFloat32Type, &oneF));
    auto d = Own(NewInt(1));
    auto half = Own(NewDouble(1.5));
    EXPECT_TRUE(CFEqual(a.get(), b.get()));
    EXPECT_TRUE(CFEqual(b.get(), c.get()));
    EXPECT_TRUE(CFEqual(a.get(), d.get()));
    EXPECT_EQ(CFHash(a.get()), CFHash(b.get()));
    EXPECT_EQ(CFHash(a.get()), CFHash(c.get()));
    EXPECT_FALSE(CFEqual(a.get(), half.get()));
    EXPECT_FALSE(CFEqual(a.get(), kCFBooleanTrue));
}

TEST(CFNumber, CompareIsExactBetweenLargeIntegersAndReals) {
    // INT64_MAX rounds to 2^63 as a double; a comparison through double would call them equal.
    auto maxInt = Own(NewInt(INT64_MAX));
    auto twoTo63 = Own(NewDouble(9223372036854775808.0));
    EXPECT_EQ(CFNumberCompare(maxInt.get(), twoTo63.get(), nullptr), kCFCompareLessThan);
    EXPECT_EQ(CFNumberCompare(twoTo63.get(), maxInt.get(), nullptr), kCFCompareGreaterThan);
    EXPECT_FALSE(CFEqual(maxInt.get(), twoTo63.get()));

    auto minusOne = Own(NewInt(-1));
    auto minusHalf = Own(NewDouble(-0.5));
    EXPECT_EQ(CFNumberCompare(minusOne.get(), minusHalf.get(), nullptr), kCFCompareLessThan);
}

TEST(CFNumber, NaNEqualsItselfAndSortsBelowEverything) {
    auto nan = Own(NewDouble(std::numeric_limits<double>::quiet_NaN()));
    auto lowest = Own(NewDouble(-std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(CFEqual(nan.get(), kCFNumberNaN));
    EXPECT_EQ(CFHash(nan.get()), CFHash(kCFNumberNaN));
    EXPECT_EQ(CFNumberCompare(nan.get(), lowest.get(), nullptr), kCFCompareLessThan);
    EXPECT_TRUE(CFEqual(lowest.get(), kCFNumberNegativeInfinity));
    EXPECT_EQ(CFNumberCompare(kCFNumberPositiveInfinity, lowest.get(), nullptr),
              kCFCompareGreaterThan);
}

TEST(CFNumber, CreateRefusesUnknownTypesAndNullValues) {
    int value = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(CFNumberCreate(nullptr, 0, &value), nullptr);
    EXPECT_EQ(CFNumberCreate(nullptr, kCFNumberMaxType + 1, &value), nullptr);
    EXPECT_EQ(CFNumberCreate(nullptr, kCFNumberIntType, nullptr), nullptr);
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
}

TEST(CFBoolean, ConstantsAreImmortalAndDistinct) {
    CFIndex before = CFGetRetainCount(kCFBooleanTrue);
    CFRetain(kCFBooleanTrue);
    CFRelease(kCFBooleanTrue);
    CFRelease(kCFBooleanTrue); // an extra release must not free a constant
    EXPECT_EQ(CFGetRetainCount(kCFBooleanTrue), before);
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
    EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
    EXPECT_NE(CFBooleanGetTypeID(), CFNumberGetTypeID());
}
