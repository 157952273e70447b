// LCFArray: owns one mutable CoreFoundation array with 1-based positions (position p is
// index p - 1). LCFArrayTemplate<T> gives the values a pointer-sized type T.
// LCFArrayCallBacksTemplate<T> is a call-back set built from its own static functions, so
// that an array can hold values that are not CoreFoundation objects.
//
// Ownership. The wrapper creates its array and holds it with the creation's retain only.
// What happens to the values is up to the call-back set given at construction (NULL means
// kCFTypeArrayCallBacks, which retains CoreFoundation objects): the retain call-back runs
// on every AddItem, the release call-back on every removal, the destructor's included.
// Values handed out by FetchItemAt and RemoveLastItem carry no retain of their own; with
// releasing call-backs a removed value has already been released when the caller sees it.
//
// A wrapper whose array could not be created (or that was made to hold something other
// than its own array through Adopt, even if it takes its old array back later) counts 0,
// adds nothing, removes nothing and fetches nothing. RemoveLastItem with a NULL slot does nothing
// and returns false. An array at the length limit given at construction adds nothing.
//
// Threading: single-threaded; a walk and a removal must not interleave across threads.
#pragma once

#include "VURuvevidova/LCFObject.h"

#include <stdint.h>

#include <type_traits>

class LCFArray : public LCFTemplate<CFArrayRef> {
public:
    // inMaxLength 0: no limit. callBacks NULL: kCFTypeArrayCallBacks.
    LCFArray(CFIndex inMaxLength, const CFArrayCallBacks* callBacks, CFAllocatorRef inAllocator);
    ~LCFArray() override;

    ItemCount GetCount() const;
    // Appends and returns the new count, which is the new value's position; 0 (nothing
    // added, no retain) when there is no array or it is at its length limit.
    long AddItem(const void* value);
    // Removes positions inAtIndex to inAtIndex + inCount - 1 that exist; the rest are
    // skipped. Values after the range move down and keep their order.
    virtual void RemoveItemsAt(unsigned long inCount, long inAtIndex);
    // Stores the last value into the pointer-sized slot outItem points to, then removes it.
    // False (nothing stored) when the array is empty.
    virtual bool RemoveLastItem(void* outItem);

    // Letting go of the wrapper's own array ends its claim on that array for good: the
    // address may name another array later, which the wrapper only shares.
    void AdoptTypeRef(CFTypeRef inTypeRef) override;

protected:
    // The held array while it is still the one this wrapper created; NULL otherwise.
    CFMutableArrayRef MutableArray() const;

    CFMutableArrayRef mMutableArrayRef;
    CFIndex mMaxLength;
};

// Conversions between an array slot (const void*) and a pointer-sized value type T,
// which may be a pointer or an integer handle.
template <typename T> inline const void* LCFArrayValueFrom(const T& inItem) {
    if constexpr (std::is_pointer<T>::value)
        return (const void*)(inItem);
    else
        return reinterpret_cast<const void*>(static_cast<uintptr_t>(inItem));
}

template <typename T> inline T LCFArrayValueTo(const void* inValue) {
    if constexpr (std::is_pointer<T>::value)
        return (T)(inValue);
    else
        return static_cast<T>(reinterpret_cast<uintptr_t>(inValue));
}

template <typename T> class LCFArrayTemplate : public LCFArray {
public:
    LCFArrayTemplate(CFIndex inMaxLength, const CFArrayCallBacks* callBacks,
                     CFAllocatorRef inAllocator)
        : LCFArray(inMaxLength, callBacks, inAllocator) {}
    ~LCFArrayTemplate() override {}

    // Position outside 1 to GetCount(): false, obj untouched.
    bool FetchItemAt(long index, T& obj) const {
        CFArrayRef array = MutableArray();
        if (array == NULL || index < 1 || index > static_cast<long>(GetCount()))
            return false;
        obj = LCFArrayValueTo<T>(CFArrayGetValueAtIndex(array, index - 1));
        return true;
    }

    long AddItem(const T& inItem) { return LCFArray::AddItem(LCFArrayValueFrom<T>(inItem)); }

    using LCFArray::RemoveLastItem;
    virtual bool RemoveLastItem(T& outItem) {
        // Through a full slot: T may be narrower than a pointer.
        void* slot = NULL;
        if (!LCFArray::RemoveLastItem(&slot))
            return false;
        outItem = LCFArrayValueTo<T>(slot);
        return true;
    }
};

// A call-back set for values of type T. Each instantiation defines the four static
// call-backs; this library defines them for const void* (plain forwarders to
// kCFTypeArrayCallBacks) and, in LCFArrayIOObject.h, for io_object_t.
template <typename T> class LCFArrayCallBacksTemplate {
public:
    // infoIn is not kept: an array call-back set has no info field.
    LCFArrayCallBacksTemplate(void* infoIn) {
        (void)infoIn;
        context.version = 0;
        context.retain = ArrayRetainCallBack;
        context.release = ArrayReleaseCallBack;
        context.copyDescription = ArrayCopyDescriptionCallBack;
        context.equal = ArrayEqualCallBack;
    }
    virtual ~LCFArrayCallBacksTemplate() {}

    operator CFArrayCallBacks*() { return &context; }

    static const void* ArrayRetainCallBack(CFAllocatorRef allocator, const void* value);
    static void ArrayReleaseCallBack(CFAllocatorRef allocator, const void* value);
    // The caller owns the returned string.
    static CFStringRef ArrayCopyDescriptionCallBack(const void* value);
    static Boolean ArrayEqualCallBack(const void* value1, const void* value2);

    CFArrayCallBacks context;
};

template <>
const void* LCFArrayCallBacksTemplate<const void*>::ArrayRetainCallBack(CFAllocatorRef allocator,
                                                                        const void* value);
template <>
void LCFArrayCallBacksTemplate<const void*>::ArrayReleaseCallBack(CFAllocatorRef allocator,
                                                                  const void* value);
template <>
CFStringRef LCFArrayCallBacksTemplate<const void*>::ArrayCopyDescriptionCallBack(const void* value);
template <>
Boolean LCFArrayCallBacksTemplate<const void*>::ArrayEqualCallBack(const void* value1,
                                                                   const void* value2);
