#include "CFCollections_Internal.h"

#include <CoreFoundation/CFData.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

struct __CFData final : __CFRuntimeBase {
    __CFData(CFAllocatorRef allocator, bool isMutable, CFIndex capacity)
        : __CFRuntimeBase(__kCFDataTypeID, allocator), mMutable(isMutable), mCapacity(capacity) {}

    ~__CFData() override {
        if (mExternal != nullptr && mDeallocator != kCFAllocatorNull)
            std::free(const_cast<UInt8*>(mExternal));
    }

    const UInt8* Bytes() const { return mExternal ? mExternal : mBytes.data(); }
    CFIndex Length() const {
        return mExternal ? mExternalLength : static_cast<CFIndex>(mBytes.size());
    }

    bool Equal(const __CFRuntimeBase* other) const override {
        auto* that = static_cast<const __CFData*>(other);
        return Length() == that->Length() &&
               (Length() == 0 || std::memcmp(Bytes(), that->Bytes(), Length()) == 0);
    }

    // FNV-1a over the length and at most the first 80 bytes: cheap for large data.
    CFHashCode Hash() const override {
        uint64_t hash = 14695981039346656037ull ^ static_cast<uint64_t>(Length());
        const UInt8* bytes = Bytes();
        for (CFIndex i = 0; i < std::min<CFIndex>(Length(), 80); ++i)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
        return static_cast<CFHashCode>(hash);
    }

    std::string Describe() const override {
        static const char digits[] = "0123456789abcdef";
        std::string text = "length = " + std::to_string(Length()) + ", bytes = 0x";
        const UInt8* bytes = Bytes();
        CFIndex shown = std::min<CFIndex>(Length(), 24);
        for (CFIndex i = 0; i < shown; ++i) {
            text += digits[bytes[i] >> 4];
            text += digits[bytes[i] & 15];
        }
        if (shown < Length())
            text += "...";
        return text;
    }

    const bool mMutable;
    const CFIndex mCapacity; // 0: no limit
    std::vector<UInt8> mBytes;
    // Bytes handed over by CFDataCreateWithBytesNoCopy; only immutable data has them.
    const UInt8* mExternal = nullptr;
    CFIndex mExternalLength = 0;
    CFAllocatorRef mDeallocator = nullptr;
};

namespace {

__CFData* AsData(CFDataRef data, const char* function) {
    auto* object = __CFCast<__CFData>(data, __kCFDataTypeID);
    if (object == nullptr)
        __CFComplain(function, data ? "not a CFData" : "NULL data");
    return object;
}

__CFData* AsMutableData(CFMutableDataRef data, const char* function) {
    auto* object = AsData(data, function);
    if (object != nullptr && !object->mMutable) {
        __CFComplain(function, "attempt to change immutable data");
        return nullptr;
    }
    return object;
}

bool FitsCapacity(const __CFData* data, CFIndex length, const char* function) {
    if (length < 0) {
        __CFComplain(function, "negative length");
        return false;
    }
    if (data->mCapacity != 0 && length > data->mCapacity) {
        __CFComplain(function, "length beyond the capacity; data unchanged");
        return false;
    }
    return true;
}

bool RangeIsValid(const __CFData* data, CFRange range, const char* function) {
    if (range.location < 0 || range.length < 0 || range.location > data->Length() ||
        range.length > data->Length() - range.location) {
        __CFComplain(function, "range out of bounds");
        return false;
    }
    return true;
}

__CFData* NewData(CFAllocatorRef allocator, bool isMutable, CFIndex capacity, const UInt8* bytes,
                  CFIndex length) {
    auto* data = new __CFData(allocator, isMutable, capacity);
    if (length > 0)
        data->mBytes.assign(bytes, bytes + length);
    return data;
}

} // namespace

CFTypeID CFDataGetTypeID(void) {
    return __kCFDataTypeID;
}

CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length) {
    if (length < 0 || (length > 0 && bytes == nullptr)) {
        __CFComplain(__func__, "bad bytes or length");
        return nullptr;
    }
    return NewData(allocator, false, 0, bytes, length);
}

CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator) {
    if (length < 0 || (length > 0 && bytes == nullptr)) {
        __CFComplain(__func__, "bad bytes or length");
        return nullptr;
    }
    auto* data = new __CFData(allocator, false, 0);
    data->mExternal = bytes;
    data->mExternalLength = length;
    // Every other allocator of ours allocates with malloc, so free() returns the bytes.
    data->mDeallocator = bytesDeallocator;
    return data;
}

CFDataRef CFDataCreateCopy(CFAllocatorRef allocator, CFDataRef theData) {
    auto* source = AsData(theData, __func__);
    return source ? NewData(allocator, false, 0, source->Bytes(), source->Length()) : nullptr;
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef allocator, CFIndex capacity) {
    if (capacity < 0) {
        __CFComplain(__func__, "negative capacity");
        return nullptr;
    }
    return new __CFData(allocator, true, capacity);
}

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                         CFDataRef theData) {
    auto* source = AsData(theData, __func__);
    if (source == nullptr)
        return nullptr;
    if (capacity < 0 || (capacity != 0 && capacity < source->Length())) {
        __CFComplain(__func__, "capacity smaller than the data to copy");
        return nullptr;
    }
    return NewData(allocator, true, capacity, source->Bytes(), source->Length());
}

CFIndex CFDataGetLength(CFDataRef theData) {
    auto* data = AsData(theData, __func__);
    return data ? data->Length() : 0;
}

const UInt8* CFDataGetBytePtr(CFDataRef theData) {
    auto* data = AsData(theData, __func__);
    return data ? data->Bytes() : nullptr;
}

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData) {
    auto* data = AsMutableData(theData, __func__);
    return data ? data->mBytes.data() : nullptr;
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer) {
    auto* data = AsData(theData, __func__);
    if (data == nullptr || !RangeIsValid(data, range, __func__) || range.length == 0)
        return;
    if (buffer == nullptr) {
        __CFComplain(__func__, "NULL buffer");
        return;
    }
    std::memcpy(buffer, data->Bytes() + range.location, static_cast<size_t>(range.length));
}

void CFDataSetLength(CFMutableDataRef theData, CFIndex length) {
    auto* data = AsMutableData(theData, __func__);
    if (data == nullptr || !FitsCapacity(data, length, __func__))
        return;
    data->mBytes.resize(static_cast<size_t>(length), 0);
}

void CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength) {
    auto* data = AsMutableData(theData, __func__);
    if (data == nullptr)
        return;
    if (extraLength < 0) {
        __CFComplain(__func__, "negative length");
        return;
    }
    CFDataSetLength(theData, data->Length() + extraLength);
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length) {
    auto* data = AsMutableData(theData, __func__);
    if (data == nullptr)
        return;
    if (length < 0 || (length > 0 && bytes == nullptr)) {
        __CFComplain(__func__, "bad bytes or length");
        return;
    }
    if (!FitsCapacity(data, data->Length() + length, __func__))
        return;
    // bytes may point into this very data, which insert handles only with a copy.
    std::vector<UInt8> appended(bytes, bytes + length);
    data->mBytes.insert(data->mBytes.end(), appended.begin(), appended.end());
}

void CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const UInt8* newBytes,
                        CFIndex newLength) {
    auto* data = AsMutableData(theData, __func__);
    if (data == nullptr || !RangeIsValid(data, range, __func__))
        return;
    if (newLength < 0 || (newLength > 0 && newBytes == nullptr)) {
        __CFComplain(__func__, "bad bytes or length");
        return;
    }
    if (!FitsCapacity(data, data->Length() - range.length + newLength, __func__))
        return;
    std::vector<UInt8> replacement(newBytes, newBytes + newLength);
    auto first = data->mBytes.begin() + range.location;
    data->mBytes.erase(first, first + range.length);
    data->mBytes.insert(data->mBytes.begin() + range.location, replacement.begin(),
                        replacement.end());
}

void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range) {
    CFDataReplaceBytes(theData, range, nullptr, 0);
}
