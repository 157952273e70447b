// Big-endian unsigned integers made only of bytes, for records shared with the bridge driver.
// The value is stored most significant byte first whatever the processor's byte order,
// and the types have alignment 1 so records built from them have no gaps.
// Default construction writes nothing: the bytes keep what the storage held.
#pragma once

#include <stdint.h>

struct BEuint16_t {
    uint8_t hi;
    uint8_t lo;

    BEuint16_t() {}
    BEuint16_t(uint16_t v) { *this = v; }
    BEuint16_t(const BEuint16_t& other) = default;
    BEuint16_t& operator=(const BEuint16_t& other) = default;

    BEuint16_t operator=(uint16_t v) {
        lo = static_cast<uint8_t>(v & 0xFF);
        hi = static_cast<uint8_t>(v >> 8);
        return *this;
    }
    operator uint16_t() const { return static_cast<uint16_t>((hi << 8) | lo); }
};

struct BEuint32_t {
    BEuint16_t hi;
    BEuint16_t lo;

    BEuint32_t() {}
    BEuint32_t(uint32_t v) { *this = v; }
    BEuint32_t(const BEuint32_t& other) = default;
    BEuint32_t& operator=(const BEuint32_t& other) = default;

    BEuint32_t operator=(uint32_t v) {
        lo = static_cast<uint16_t>(v & 0xFFFF);
        hi = static_cast<uint16_t>(v >> 16);
        return *this;
    }
    operator uint32_t() const {
        return (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16) | static_cast<uint16_t>(lo);
    }
    BEuint32_t operator+=(uint32_t v) { return *this = static_cast<uint32_t>(*this) + v; }
    uint32_t operator++(int) {
        uint32_t old = *this;
        *this = old + 1;
        return old;
    }
    uint32_t operator--(int) {
        uint32_t old = *this;
        *this = old - 1;
        return old;
    }
};

// An enumeration carried on the wire as a big-endian 32-bit value.
template <typename E> struct BEuint32_tEnum {
    BEuint32_tEnum(E e) : datum() { datum = static_cast<uint32_t>(e); }
    BEuint32_tEnum(const BEuint32_tEnum& other) = default;
    BEuint32_tEnum& operator=(const BEuint32_tEnum& other) = default;

    BEuint32_tEnum& operator=(E e) {
        datum = static_cast<uint32_t>(e);
        return *this;
    }
    operator E() const { return static_cast<E>(static_cast<uint32_t>(datum)); }

private:
    BEuint32_t datum;
};

static_assert(sizeof(BEuint16_t) == 2 && alignof(BEuint16_t) == 1, "BEuint16_t must be two bytes");
static_assert(sizeof(BEuint32_t) == 4 && alignof(BEuint32_t) == 1, "BEuint32_t must be four bytes");
