#include "CFNumber_Internal.h"
#include "CFRuntime_Internal.h"

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

__extension__ typedef __int128 Int128;

// Storage types. Integers above INT64_MAX (only from unsigned sources) are kept as
// 128-bit values and reported as SInt64, as Mac OS X does with its private SInt128 type.
enum StorageType { kSInt8, kSInt16, kSInt32, kSInt64, kFloat32, kFloat64, kSInt128 };

bool CanonicalType(CFNumberType type, StorageType& out) {
    switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
        out = kSInt8;
        return true;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
        out = kSInt16;
        return true;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
        out = kSInt32;
        return true;
    case kCFNumberLongType:
        out = sizeof(long) == 8 ? kSInt64 : kSInt32;
        return true;
    case kCFNumberSInt64Type:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType:
        out = kSInt64;
        return true;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
        out = kFloat32;
        return true;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType:
        out = kFloat64;
        return true;
    default:
        return false;
    }
}

bool IsFloat(StorageType type) {
    return type == kFloat32 || type == kFloat64;
}

template <typename T> bool StoreInteger(Int128 value, void* out) {
    auto converted = static_cast<T>(value);
    std::memcpy(out, &converted, sizeof converted);
    return static_cast<Int128>(converted) == value;
}

// Truncates toward zero and clamps to T's range; exact only for integral values in range.
template <typename T> bool StoreInteger(double value, void* out) {
    T converted;
    bool exact = true;
    if (std::isnan(value)) {
        converted = 0;
        exact = false;
    } else if (value <= static_cast<double>(std::numeric_limits<T>::min())) {
        converted = std::numeric_limits<T>::min();
        exact = value == static_cast<double>(converted);
    } else if (value >= std::ldexp(1.0, std::numeric_limits<T>::digits)) {
        converted = std::numeric_limits<T>::max();
        exact = false;
    } else {
        converted = static_cast<T>(value);
        exact = static_cast<double>(converted) == value;
    }
    std::memcpy(out, &converted, sizeof converted);
    return exact;
}

// Whether a float or double gives back exactly the number it was made from.
template <typename Float> bool Exact(Float stored, Int128 value) {
    return static_cast<long double>(stored) == static_cast<long double>(value);
}

template <typename Float> bool Exact(Float stored, double value) {
    return std::isnan(value) || static_cast<double>(stored) == value;
}

template <typename Float, typename Source> bool StoreFloat(Source value, void* out) {
    auto converted = static_cast<Float>(value);
    std::memcpy(out, &converted, sizeof converted);
    return Exact(converted, value);
}

// Stores an integer (Int128) or real (double) value as type; true when nothing was lost.
template <typename Source> bool Store(Source value, StorageType type, void* out) {
    switch (type) {
    case kSInt8:
        return StoreInteger<int8_t>(value, out);
    case kSInt16:
        return StoreInteger<int16_t>(value, out);
    case kSInt32:
        return StoreInteger<int32_t>(value, out);
    case kSInt64:
    case kSInt128:
        return StoreInteger<int64_t>(value, out);
    case kFloat32:
        return StoreFloat<float>(value, out);
    case kFloat64:
        return StoreFloat<double>(value, out);
    }
    return false;
}

struct NumberValue {
    bool isFloat;
    Int128 integer;
    double real;
};

// -1, 0, 1 with NaN equal to NaN and below every other number.
int CompareValues(const NumberValue& a, const NumberValue& b) {
    if (!a.isFloat && !b.isFloat)
        return a.integer < b.integer ? -1 : a.integer > b.integer ? 1 : 0;
    bool aNaN = a.isFloat && std::isnan(a.real);
    bool bNaN = b.isFloat && std::isnan(b.real);
    if (aNaN || bNaN)
        return aNaN && bNaN ? 0 : aNaN ? -1 : 1;
    // long double holds every 64-bit integer and every double exactly.
    auto wide = [](const NumberValue& v) {
        return v.isFloat ? static_cast<long double>(v.real) : static_cast<long double>(v.integer);
    };
    long double x = wide(a);
    long double y = wide(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

} // namespace

struct __CFNumber final : __CFRuntimeBase {
    __CFNumber(CFAllocatorRef allocator, StorageType type, Int128 integer, double real)
        : __CFRuntimeBase(__kCFNumberTypeID, allocator), mType(type), mInteger(integer),
          mReal(real) {}
    constexpr __CFNumber(StorageType type, double real)
        : __CFRuntimeBase(__kCFNumberTypeID, __kCFImmortal), mType(type), mInteger(0), mReal(real) {
    }

    NumberValue Value() const { return NumberValue{IsFloat(mType), mInteger, mReal}; }

    bool Equal(const __CFRuntimeBase* other) const override {
        return CompareValues(Value(), static_cast<const __CFNumber*>(other)->Value()) == 0;
    }

    // Integral reals hash like the integer they equal.
    CFHashCode Hash() const override {
        if (!IsFloat(mType))
            return static_cast<CFHashCode>(static_cast<uint64_t>(mInteger) ^
                                           static_cast<uint64_t>(mInteger >> 64));
        if (std::isnan(mReal))
            return 0x7FF8;
        if (std::trunc(mReal) == mReal && std::fabs(mReal) < 0x1p63)
            return static_cast<CFHashCode>(static_cast<int64_t>(mReal));
        uint64_t bits;
        std::memcpy(&bits, &mReal, sizeof bits);
        return static_cast<CFHashCode>(bits * 0x9E3779B97F4A7C15ull);
    }

    bool FormattingDescription(std::string& out) const override {
        char text[64];
        if (IsFloat(mType))
            std::snprintf(text, sizeof text, "%.*g", mType == kFloat32 ? 7 : 15, mReal);
        else if (mType == kSInt128)
            std::snprintf(text, sizeof text, "%" PRIu64, static_cast<uint64_t>(mInteger));
        else
            std::snprintf(text, sizeof text, "%" PRId64, static_cast<int64_t>(mInteger));
        out = text;
        return true;
    }
    std::string Describe() const override {
        char text[64];
        if (IsFloat(mType)) {
            std::snprintf(text, sizeof text, "value = %.17g, type = %s", mReal,
                          mType == kFloat32 ? "kCFNumberFloat32Type" : "kCFNumberFloat64Type");
        } else if (mType == kSInt128) {
            std::snprintf(text, sizeof text, "value = %" PRIu64 ", type = kCFNumberSInt128Type",
                          static_cast<uint64_t>(mInteger));
        } else {
            static const char* const names[] = {"kCFNumberSInt8Type", "kCFNumberSInt16Type",
                                                "kCFNumberSInt32Type", "kCFNumberSInt64Type"};
            std::snprintf(text, sizeof text, "value = %" PRId64 ", type = %s",
                          static_cast<int64_t>(mInteger), names[mType]);
        }
        return text;
    }

    const StorageType mType;
    const Int128 mInteger;
    const double mReal;
};

namespace {

__CFNumber positiveInfinity(kFloat64, std::numeric_limits<double>::infinity());
__CFNumber negativeInfinity(kFloat64, -std::numeric_limits<double>::infinity());
__CFNumber notANumber(kFloat64, std::numeric_limits<double>::quiet_NaN());

__CFNumber* AsNumber(CFNumberRef number) {
    auto* object = __CFCast<__CFNumber>(number, __kCFNumberTypeID);
    if (object == nullptr)
        std::fputs(number ? "CFNumber: not a CFNumber\n" : "CFNumber: NULL number\n", stderr);
    return object;
}

} // namespace

const CFNumberRef kCFNumberPositiveInfinity = &positiveInfinity;
const CFNumberRef kCFNumberNegativeInfinity = &negativeInfinity;
const CFNumberRef kCFNumberNaN = &notANumber;

CFTypeID CFNumberGetTypeID(void) {
    return __kCFNumberTypeID;
}

CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr) {
    StorageType type;
    if (valuePtr == nullptr || !CanonicalType(theType, type)) {
        std::fputs("CFNumberCreate: unknown type or NULL value\n", stderr);
        return nullptr;
    }
    Int128 integer = 0;
    double real = 0;
    switch (type) {
    case kSInt8:
        integer = *static_cast<const int8_t*>(valuePtr);
        break;
    case kSInt16: {
        int16_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        integer = v;
        break;
    }
    case kSInt32: {
        int32_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        integer = v;
        break;
    }
    case kSInt64: {
        int64_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        integer = v;
        break;
    }
    case kFloat32: {
        float v;
        std::memcpy(&v, valuePtr, sizeof v);
        real = v;
        break;
    }
    case kFloat64:
        std::memcpy(&real, valuePtr, sizeof real);
        break;
    case kSInt128:
        break;
    }
    return new __CFNumber(allocator, type, integer, real);
}

CFNumberRef __CFNumberCreateUnsigned64(CFAllocatorRef allocator, uint64_t value) {
    StorageType type = value > static_cast<uint64_t>(INT64_MAX) ? kSInt128 : kSInt64;
    return new __CFNumber(allocator, type, static_cast<Int128>(value), 0);
}

bool __CFNumberGetLargeUnsigned(CFNumberRef number, uint64_t* value) {
    auto* object = __CFCast<__CFNumber>(number, __kCFNumberTypeID);
    if (object == nullptr || object->mType != kSInt128)
        return false;
    if (value != nullptr)
        *value = static_cast<uint64_t>(object->mInteger);
    return true;
}

CFNumberType CFNumberGetType(CFNumberRef number) {
    auto* object = AsNumber(number);
    if (object == nullptr)
        return 0;
    static const CFNumberType publicTypes[] = {
        kCFNumberSInt8Type,   kCFNumberSInt16Type,  kCFNumberSInt32Type, kCFNumberSInt64Type,
        kCFNumberFloat32Type, kCFNumberFloat64Type, kCFNumberSInt64Type};
    return publicTypes[object->mType];
}

CFIndex CFNumberGetByteSize(CFNumberRef number) {
    auto* object = AsNumber(number);
    if (object == nullptr)
        return 0;
    static const CFIndex sizes[] = {1, 2, 4, 8, 4, 8, 8};
    return sizes[object->mType];
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
    auto* object = AsNumber(number);
    return object != nullptr && IsFloat(object->mType);
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    auto* object = AsNumber(number);
    StorageType type;
    if (object == nullptr || valuePtr == nullptr || !CanonicalType(theType, type))
        return false;
    if (IsFloat(object->mType))
        return Store(object->mReal, type, valuePtr);
    return Store(object->mInteger, type, valuePtr);
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void*) {
    auto* a = AsNumber(number);
    auto* b = AsNumber(otherNumber);
    if (a == nullptr || b == nullptr)
        return a == b         ? kCFCompareEqualTo
               : a == nullptr ? kCFCompareLessThan
                              : kCFCompareGreaterThan;
    int result = CompareValues(a->Value(), b->Value());
    return result < 0 ? kCFCompareLessThan : result > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

// CFBoolean lives here, as its declarations live in CFNumber.h.

struct __CFBoolean final : __CFRuntimeBase {
    constexpr explicit __CFBoolean(bool value)
        : __CFRuntimeBase(__kCFBooleanTypeID, __kCFImmortal), mValue(value) {}
    CFHashCode Hash() const override { return mValue ? 1 : 0; }
    std::string Describe() const override { return mValue ? "value = true" : "value = false"; }
    bool FormattingDescription(std::string& out) const override {
        out = mValue ? "true" : "false";
        return true;
    }
    const bool mValue;
};

namespace {
__CFBoolean trueObject(true);
__CFBoolean falseObject(false);
} // namespace

const CFBooleanRef kCFBooleanTrue = &trueObject;
const CFBooleanRef kCFBooleanFalse = &falseObject;

CFTypeID CFBooleanGetTypeID(void) {
    return __kCFBooleanTypeID;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    auto* object = __CFCast<__CFBoolean>(boolean, __kCFBooleanTypeID);
    if (object == nullptr) {
        std::fputs("CFBooleanGetValue: not a CFBoolean\n", stderr);
        return false;
    }
    return object->mValue;
}
