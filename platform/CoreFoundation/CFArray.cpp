#include "CFCollections_Internal.h"

#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <utility>

namespace {

const void* TypeRetain(CFAllocatorRef, const void* value) {
    return CFRetain(value);
}
void TypeRelease(CFAllocatorRef, const void* value) {
    CFRelease(value);
}

__CFArray* AsArray(CFArrayRef array, const char* function) {
    auto* object = __CFCast<__CFArray>(array, __kCFArrayTypeID);
    if (object == nullptr)
        __CFComplain(function, array ? "not a CFArray" : "NULL array");
    return object;
}

__CFArray* AsMutableArray(CFMutableArrayRef array, const char* function) {
    auto* object = AsArray(array, function);
    if (object != nullptr && !object->mMutable) {
        __CFComplain(function, "attempt to change an immutable array");
        return nullptr;
    }
    return object;
}

bool RangeIsValid(const __CFArray* array, CFRange range, const char* function) {
    auto count = static_cast<CFIndex>(array->mValues.size());
    if (range.location < 0 || range.length < 0 || range.location > count ||
        range.length > count - range.location) {
        __CFComplain(function, "range out of bounds");
        return false;
    }
    return true;
}

bool HasRoomFor(const __CFArray* array, CFIndex more, const char* function) {
    if (array->mCapacity == 0 ||
        static_cast<CFIndex>(array->mValues.size()) + more <= array->mCapacity)
        return true;
    __CFComplain(function, "array is at its capacity; value not added");
    return false;
}

} // namespace

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, TypeRetain, TypeRelease, CFCopyDescription,
                                                CFEqual};

__CFArray::__CFArray(CFAllocatorRef allocator, const CFArrayCallBacks* callBacks, bool isMutable,
                     CFIndex capacity)
    : __CFRuntimeBase(__kCFArrayTypeID, allocator), mCallBacks(), mMutable(isMutable),
      mCapacity(capacity) {
    if (callBacks != nullptr)
        mCallBacks = *callBacks;
}

__CFArray::~__CFArray() {
    // Release after detaching, so a release call-back never sees a half-emptied array.
    std::vector<const void*> values;
    values.swap(mValues);
    for (const void* value : values)
        ReleaseValue(value);
}

const void* __CFArray::RetainValue(const void* value) const {
    return mCallBacks.retain ? mCallBacks.retain(CFGetAllocator(this), value) : value;
}

void __CFArray::ReleaseValue(const void* value) const {
    if (mCallBacks.release)
        mCallBacks.release(CFGetAllocator(this), value);
}

bool __CFArray::ValuesEqual(const void* a, const void* b) const {
    return a == b || (mCallBacks.equal && mCallBacks.equal(a, b));
}

bool __CFArray::Equal(const __CFRuntimeBase* other) const {
    auto* that = static_cast<const __CFArray*>(other);
    if (mValues.size() != that->mValues.size())
        return false;
    for (size_t i = 0; i < mValues.size(); ++i) {
        if (!ValuesEqual(mValues[i], that->mValues[i]))
            return false;
    }
    return true;
}

// Equal arrays must hash alike whatever their values' hashes, so only the count counts.
CFHashCode __CFArray::Hash() const {
    return mValues.size();
}

std::string __CFArray::Describe() const {
    std::string text = mMutable ? "type = mutable" : "type = immutable";
    text += ", count = " + std::to_string(mValues.size()) + ", values = (";
    for (size_t i = 0; i < mValues.size(); ++i) {
        text += "\n\t" + std::to_string(i) + " : " +
                __CFDescribeValue(mValues[i], mCallBacks.copyDescription);
    }
    text += mValues.empty() ? ")" : "\n)";
    return text;
}

CFTypeID CFArrayGetTypeID(void) {
    return __kCFArrayTypeID;
}

CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks) {
    if (numValues < 0 || (numValues > 0 && values == nullptr)) {
        __CFComplain(__func__, "bad value list");
        return nullptr;
    }
    auto* array = new __CFArray(allocator, callBacks, false, 0);
    array->mValues.reserve(static_cast<size_t>(numValues));
    for (CFIndex i = 0; i < numValues; ++i)
        array->mValues.push_back(array->RetainValue(values[i]));
    return array;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks) {
    if (capacity < 0) {
        __CFComplain(__func__, "negative capacity");
        return nullptr;
    }
    return new __CFArray(allocator, callBacks, true, capacity);
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef allocator, CFArrayRef theArray) {
    auto* source = AsArray(theArray, __func__);
    if (source == nullptr)
        return nullptr;
    auto* copy = new __CFArray(allocator, &source->mCallBacks, false, 0);
    copy->mValues.reserve(source->mValues.size());
    for (const void* value : source->mValues)
        copy->mValues.push_back(copy->RetainValue(value));
    return copy;
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                           CFArrayRef theArray) {
    auto* source = AsArray(theArray, __func__);
    if (source == nullptr)
        return nullptr;
    if (capacity < 0 ||
        (capacity != 0 && capacity < static_cast<CFIndex>(source->mValues.size()))) {
        __CFComplain(__func__, "capacity smaller than the array to copy");
        return nullptr;
    }
    auto* copy = new __CFArray(allocator, &source->mCallBacks, true, capacity);
    copy->mValues.reserve(source->mValues.size());
    for (const void* value : source->mValues)
        copy->mValues.push_back(copy->RetainValue(value));
    return copy;
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    auto* array = AsArray(theArray, __func__);
    return array ? static_cast<CFIndex>(array->mValues.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    auto* array = AsArray(theArray, __func__);
    if (array == nullptr)
        return nullptr;
    if (idx < 0 || idx >= static_cast<CFIndex>(array->mValues.size())) {
        __CFComplain(__func__, "index out of bounds");
        return nullptr;
    }
    return array->mValues[static_cast<size_t>(idx)];
}

void CFArrayGetValues(CFArrayRef theArray, CFRange range, const void** values) {
    auto* array = AsArray(theArray, __func__);
    if (array == nullptr || !RangeIsValid(array, range, __func__) || values == nullptr)
        return;
    std::copy_n(array->mValues.begin() + range.location, range.length, values);
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    auto* array = AsArray(theArray, __func__);
    if (array == nullptr || !RangeIsValid(array, range, __func__))
        return kCFNotFound;
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        if (array->ValuesEqual(value, array->mValues[static_cast<size_t>(i)]))
            return i;
    }
    return kCFNotFound;
}

CFIndex CFArrayGetLastIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    auto* array = AsArray(theArray, __func__);
    if (array == nullptr || !RangeIsValid(array, range, __func__))
        return kCFNotFound;
    for (CFIndex i = range.location + range.length - 1; i >= range.location; --i) {
        if (array->ValuesEqual(value, array->mValues[static_cast<size_t>(i)]))
            return i;
    }
    return kCFNotFound;
}

CFIndex CFArrayGetCountOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    auto* array = AsArray(theArray, __func__);
    if (array == nullptr || !RangeIsValid(array, range, __func__))
        return 0;
    CFIndex count = 0;
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        if (array->ValuesEqual(value, array->mValues[static_cast<size_t>(i)]))
            ++count;
    }
    return count;
}

Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value) {
    return CFArrayGetFirstIndexOfValue(theArray, range, value) != kCFNotFound;
}

void CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier,
                          void* context) {
    auto* array = AsArray(theArray, __func__);
    if (array == nullptr || !RangeIsValid(array, range, __func__) || applier == nullptr)
        return;
    for (CFIndex i = range.location; i < range.location + range.length; ++i)
        applier(array->mValues[static_cast<size_t>(i)], context);
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
    auto* array = AsMutableArray(theArray, __func__);
    if (array == nullptr || !HasRoomFor(array, 1, __func__))
        return;
    array->mValues.push_back(array->RetainValue(value));
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    auto* array = AsMutableArray(theArray, __func__);
    if (array == nullptr)
        return;
    if (idx < 0 || idx > static_cast<CFIndex>(array->mValues.size())) {
        __CFComplain(__func__, "index out of bounds");
        return;
    }
    if (!HasRoomFor(array, 1, __func__))
        return;
    array->mValues.insert(array->mValues.begin() + idx, array->RetainValue(value));
}

void CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    auto* array = AsMutableArray(theArray, __func__);
    if (array == nullptr)
        return;
    auto count = static_cast<CFIndex>(array->mValues.size());
    if (idx < 0 || idx > count) {
        __CFComplain(__func__, "index out of bounds");
        return;
    }
    // Setting at the count appends, as on Mac OS X.
    if (idx == count) {
        CFArrayAppendValue(theArray, value);
        return;
    }
    // Retain before release: setting the value already there must not free it.
    const void* retained = array->RetainValue(value);
    std::swap(array->mValues[static_cast<size_t>(idx)], retained);
    array->ReleaseValue(retained);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx) {
    auto* array = AsMutableArray(theArray, __func__);
    if (array == nullptr)
        return;
    if (idx < 0 || idx >= static_cast<CFIndex>(array->mValues.size())) {
        __CFComplain(__func__, "index out of bounds");
        return;
    }
    const void* removed = array->mValues[static_cast<size_t>(idx)];
    array->mValues.erase(array->mValues.begin() + idx);
    array->ReleaseValue(removed);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
    auto* array = AsMutableArray(theArray, __func__);
    if (array == nullptr)
        return;
    std::vector<const void*> removed;
    removed.swap(array->mValues);
    for (const void* value : removed)
        array->ReleaseValue(value);
}

void CFArrayAppendArray(CFMutableArrayRef theArray, CFArrayRef otherArray, CFRange otherRange) {
    auto* array = AsMutableArray(theArray, __func__);
    auto* other = AsArray(otherArray, __func__);
    if (array == nullptr || other == nullptr || !RangeIsValid(other, otherRange, __func__) ||
        !HasRoomFor(array, otherRange.length, __func__))
        return;
    // Copy first: otherArray may be theArray itself.
    std::vector<const void*> values(other->mValues.begin() + otherRange.location,
                                    other->mValues.begin() + otherRange.location +
                                        otherRange.length);
    for (const void* value : values)
        array->mValues.push_back(array->RetainValue(value));
}

void CFArrayExchangeValuesAtIndices(CFMutableArrayRef theArray, CFIndex idx1, CFIndex idx2) {
    auto* array = AsMutableArray(theArray, __func__);
    if (array == nullptr)
        return;
    auto count = static_cast<CFIndex>(array->mValues.size());
    if (idx1 < 0 || idx1 >= count || idx2 < 0 || idx2 >= count) {
        __CFComplain(__func__, "index out of bounds");
        return;
    }
    std::swap(array->mValues[static_cast<size_t>(idx1)], array->mValues[static_cast<size_t>(idx2)]);
}
