// The array call-back set for IOKit object handles: an LCFArray built with
// LCFArrayCallBacksIOObject holds io_object_t values.
//
// Ownership. Appending a handle takes one IOKit reference on it (IOObjectRetain); removing
// it, by any removal or the array's destruction, drops that reference (IOObjectRelease).
// The caller keeps its own reference. A handle that cannot be retained (0, or one whose
// last reference is gone) is stored as 0, which owns nothing. A handle's description is its
// IOKit class name, or the empty string when the class cannot be read; the caller owns the
// description.
//
// Threading: as the array it is used with.
#pragma once

#include "VURuvevidova/LCFArray.h"

#include <IOKit/IOKitLib.h>

typedef LCFArrayCallBacksTemplate<io_object_t> LCFArrayCallBacksIOObject;

template <>
inline const void* LCFArrayCallBacksTemplate<io_object_t>::ArrayRetainCallBack(CFAllocatorRef,
                                                                               const void* value) {
    // A handle that takes no reference (dead, or 0) is held as 0: releasing it later would
    // drop a reference the array never took, someone else's once the name is in use again.
    if (IOObjectRetain(LCFArrayValueTo<io_object_t>(value)) != 0)
        return LCFArrayValueFrom<io_object_t>(0);
    return value;
}

template <>
inline void LCFArrayCallBacksTemplate<io_object_t>::ArrayReleaseCallBack(CFAllocatorRef,
                                                                         const void* value) {
    IOObjectRelease(LCFArrayValueTo<io_object_t>(value));
}

template <>
inline CFStringRef
LCFArrayCallBacksTemplate<io_object_t>::ArrayCopyDescriptionCallBack(const void* value) {
    io_name_t className;
    CFStringRef description = NULL;
    if (IOObjectGetClass(LCFArrayValueTo<io_object_t>(value), className) == 0)
        description =
            CFStringCreateWithCString(kCFAllocatorDefault, className, kCFStringEncodingASCII);
    return description != NULL ? description : CFSTR("");
}

template <>
inline Boolean LCFArrayCallBacksTemplate<io_object_t>::ArrayEqualCallBack(const void* value1,
                                                                          const void* value2) {
    return IOObjectIsEqualTo(LCFArrayValueTo<io_object_t>(value1),
                             LCFArrayValueTo<io_object_t>(value2))
               ? true
               : false;
}
