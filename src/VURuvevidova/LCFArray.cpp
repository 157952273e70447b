#include "VURuvevidova/LCFArray.h"

LCFArray::LCFArray(CFIndex inMaxLength, const CFArrayCallBacks* callBacks,
                   CFAllocatorRef inAllocator)
    : mMutableArrayRef(NULL), mMaxLength(inMaxLength) {
    CFMutableArrayRef created =
        CFArrayCreateMutable(DefaultAllocator(inAllocator), inMaxLength,
                             callBacks != NULL ? callBacks : &kCFTypeArrayCallBacks);
    SetTypeRef(created);
    mMutableArrayRef = created;
}

LCFArray::~LCFArray() {
    // Empty it first so every value passes the release call-back even when someone else
    // still retains the array.
    CFMutableArrayRef array = MutableArray();
    if (array != NULL)
        CFArrayRemoveAllValues(array);
}

void LCFArray::AdoptTypeRef(CFTypeRef inTypeRef) {
    if (inTypeRef != mMutableArrayRef)
        mMutableArrayRef = NULL;
    LCFTemplate<CFArrayRef>::AdoptTypeRef(inTypeRef);
}

CFMutableArrayRef LCFArray::MutableArray() const {
    if (mMutableArrayRef == NULL || LCFObject::GetTypeRef() != mMutableArrayRef)
        return NULL;
    return mMutableArrayRef;
}

ItemCount LCFArray::GetCount() const {
    CFMutableArrayRef array = MutableArray();
    return array != NULL ? static_cast<ItemCount>(CFArrayGetCount(array)) : 0;
}

long LCFArray::AddItem(const void* value) {
    CFMutableArrayRef array = MutableArray();
    if (array == NULL)
        return 0;
    // A full array would refuse the value and the count would name the last one instead.
    const CFIndex count = CFArrayGetCount(array);
    if (mMaxLength > 0 && count >= mMaxLength)
        return 0;
    CFArrayAppendValue(array, value);
    return static_cast<long>(count + 1);
}

void LCFArray::RemoveItemsAt(unsigned long inCount, long inAtIndex) {
    CFMutableArrayRef array = MutableArray();
    if (array == NULL || inCount == 0)
        return;
    // Only positions 1..count can be removed; clip the range to them first so that a huge
    // inCount cannot overflow or spin.
    const long count = static_cast<long>(GetCount());
    if (inAtIndex > count)
        return;
    const unsigned long span = inCount - 1;
    // count - inAtIndex >= 0 here; unsigned arithmetic keeps it exact for any inAtIndex.
    const unsigned long room =
        static_cast<unsigned long>(count) - static_cast<unsigned long>(inAtIndex);
    const long last =
        span >= room ? count : static_cast<long>(static_cast<unsigned long>(inAtIndex) + span);
    const long first = inAtIndex < 1 ? 1 : inAtIndex;
    // Highest first, so the positions still to go stay where they were.
    for (long position = last; position >= first; --position)
        CFArrayRemoveValueAtIndex(array, position - 1);
}

bool LCFArray::RemoveLastItem(void* outItem) {
    CFMutableArrayRef array = MutableArray();
    if (array == NULL || outItem == NULL)
        return false;
    const CFIndex count = CFArrayGetCount(array);
    if (count == 0)
        return false;
    *static_cast<const void**>(outItem) = CFArrayGetValueAtIndex(array, count - 1);
    CFArrayRemoveValueAtIndex(array, count - 1);
    return true;
}

template <>
const void* LCFArrayCallBacksTemplate<const void*>::ArrayRetainCallBack(CFAllocatorRef allocator,
                                                                        const void* value) {
    if (kCFTypeArrayCallBacks.retain == NULL)
        return value;
    return kCFTypeArrayCallBacks.retain(allocator, value);
}

template <>
void LCFArrayCallBacksTemplate<const void*>::ArrayReleaseCallBack(CFAllocatorRef allocator,
                                                                  const void* value) {
    if (kCFTypeArrayCallBacks.release != NULL)
        kCFTypeArrayCallBacks.release(allocator, value);
}

template <>
CFStringRef
LCFArrayCallBacksTemplate<const void*>::ArrayCopyDescriptionCallBack(const void* value) {
    if (kCFTypeArrayCallBacks.copyDescription == NULL)
        return NULL;
    return kCFTypeArrayCallBacks.copyDescription(value);
}

template <>
Boolean LCFArrayCallBacksTemplate<const void*>::ArrayEqualCallBack(const void* value1,
                                                                   const void* value2) {
    if (kCFTypeArrayCallBacks.equal == NULL)
        return value1 == value2;
    return kCFTypeArrayCallBacks.equal(value1, value2) ? true : false;
}
