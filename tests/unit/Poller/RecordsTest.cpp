// Byte layouts of the driver records and the rule that makes an answer a press.
#include <gtest/gtest.h>

#include <cstring>

#include "TarvelleButtonPoller.h"

namespace {

template <typename T> std::vector<uint8_t> Bytes(const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(p, p + sizeof value);
}

// Constructs a T over bytes already in `storage` and returns the bytes afterwards. The
// compiler may treat the bytes under a newly constructed object as undefined and drop the
// stores before it (GCC does at -O3); the barriers make it keep them and read them back, as
// a driver's buffer is read.
template <typename T, size_t N>
std::vector<uint8_t> BytesAfterConstruction(unsigned char (&storage)[N]) {
    static_assert(N == sizeof(T));
    asm volatile("" : : "r"(storage) : "memory");
    new (storage) T;
    asm volatile("" : : "r"(storage) : "memory");
    return std::vector<uint8_t>(storage, storage + N);
}

TEST(BigEndianTypes, SixteenBitValueIsStoredHighByteFirst) {
    BEuint16_t v;
    v = 0x0102;
    EXPECT_EQ(Bytes(v), (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_EQ(static_cast<uint16_t>(v), 0x0102);
}

TEST(BigEndianTypes, ThirtyTwoBitValueIsStoredMostSignificantByteFirst) {
    BEuint32_t v;
    v = 0x01020304u;
    EXPECT_EQ(Bytes(v), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(static_cast<uint32_t>(v), 0x01020304u);
    v = 0xFFFFFFFFu;
    EXPECT_EQ(static_cast<uint32_t>(v), 0xFFFFFFFFu);
}

TEST(BigEndianTypes, ArithmeticWorksOnTheNativeValue) {
    BEuint32_t v(0x0000FFFFu);
    v += 1;
    EXPECT_EQ(Bytes(v), (std::vector<uint8_t>{0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(v++, 0x00010000u);
    EXPECT_EQ(static_cast<uint32_t>(v), 0x00010001u);
    EXPECT_EQ(v--, 0x00010001u);
    EXPECT_EQ(static_cast<uint32_t>(v), 0x00010000u);
}

TEST(BigEndianTypes, DefaultConstructionLeavesTheBytesAlone) {
    alignas(BEuint32_t) unsigned char storage[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(BytesAfterConstruction<BEuint32_t>(storage),
              (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xDD}));
}

TEST(DriverRecords, ResponseEnumerationTravelsAsFourBigEndianBytes) {
    BEuint32_tEnum<OstrelTVBClientResponse> response(kOstrelTVBClientResponseFailedConfigError);
    EXPECT_EQ(Bytes(response), (std::vector<uint8_t>{0, 0, 0, 3}));
    EXPECT_EQ(static_cast<OstrelTVBClientResponse>(response),
              kOstrelTVBClientResponseFailedConfigError);
    response = kOstrelTVBClientResponseForceLong;
    EXPECT_EQ(Bytes(response), (std::vector<uint8_t>{0x7F, 0xFF, 0xFF, 0xFF}));
}

TEST(DriverRecords, FreshButtonMapResponseStartsWithSuccess) {
    alignas(ButtonMapResponse) unsigned char storage[sizeof(ButtonMapResponse)];
    std::memset(storage, 0xEE, sizeof storage);
    const std::vector<uint8_t> bytes = BytesAfterConstruction<ButtonMapResponse>(storage);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[3], 0);
    EXPECT_EQ(bytes[4], 0xEE) << "the serial is left unset";
}

ButtonMapResponse Answer(std::vector<uint8_t> clientResponse, std::vector<uint8_t> buttonMap) {
    ButtonMapResponse response;
    std::memset(static_cast<void*>(&response), 0, sizeof response);
    std::memcpy(reinterpret_cast<uint8_t*>(&response), clientResponse.data(), 4);
    std::memcpy(reinterpret_cast<uint8_t*>(&response) + 20, buttonMap.data(), 4);
    return response;
}

TEST(PressRule, AnyNonZeroButtonMapOfASuccessfulQueryIsAPress) {
    EXPECT_TRUE(IsButtonPressed(kIOReturnSuccess, Answer({0, 0, 0, 0}, {0, 0, 0, 1})));
    EXPECT_TRUE(IsButtonPressed(kIOReturnSuccess, Answer({0, 0, 0, 0}, {0x80, 0, 0, 0})));
    EXPECT_FALSE(IsButtonPressed(kIOReturnSuccess, Answer({0, 0, 0, 0}, {0, 0, 0, 0})));
}

TEST(PressRule, ClientResponseIsIgnored) {
    EXPECT_TRUE(IsButtonPressed(kIOReturnSuccess, Answer({0, 0, 0, 2}, {0, 0, 0, 1})));
    EXPECT_FALSE(IsButtonPressed(kIOReturnSuccess, Answer({0, 0, 0, 2}, {0, 0, 0, 0})));
}

TEST(PressRule, AFailedQueryIsNeverAPress) {
    EXPECT_FALSE(IsButtonPressed(kIOReturnError, Answer({0, 0, 0, 0}, {0, 0, 0, 1})));
    EXPECT_FALSE(
        IsButtonPressed(kIOReturnNotResponding, Answer({0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF})));
}

} // namespace
