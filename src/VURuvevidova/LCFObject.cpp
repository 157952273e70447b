#include "VURuvevidova/LCFObject.h"

#include <stdlib.h>

LCFObject::LCFObject() : mTypeRef(NULL) {}

LCFObject::LCFObject(CFTypeRef inTypeRef) : mTypeRef(NULL) {
    if (inTypeRef != NULL)
        mTypeRef = CFRetain(inTypeRef);
}

LCFObject::~LCFObject() {
    if (mTypeRef != NULL)
        CFRelease(mTypeRef);
}

CFAllocatorRef LCFObject::GetAllocator() const {
    if (mTypeRef == NULL)
        return kCFAllocatorDefault;
    return CFGetAllocator(mTypeRef);
}

void LCFObject::AdoptTypeRef(CFTypeRef inTypeRef) {
    if (inTypeRef == mTypeRef)
        return;
    // Retain first: the new object may be owned only through the old one.
    if (inTypeRef != NULL)
        CFRetain(inTypeRef);
    CFTypeRef old = mTypeRef;
    mTypeRef = inTypeRef;
    if (old != NULL)
        CFRelease(old);
}

CFDataRef LCFObject::CreateXMLData(CFAllocatorRef inAllocator) const {
    if (mTypeRef == NULL)
        return NULL;
    return CFPropertyListCreateXMLData(DefaultAllocator(inAllocator), mTypeRef);
}

CFAllocatorRef LCFObject::DefaultAllocator(CFAllocatorRef inAllocator) {
    if (inAllocator == NULL || inAllocator == kCFAllocatorDefault)
        return kCFAllocatorDefault;
    return inAllocator;
}

void* LCFObject::CFObjAlloc(CFIndex size, CFOptionFlags, void*) {
    if (size < 0)
        return NULL;
    return malloc(static_cast<size_t>(size));
}

void* LCFObject::CFObjRealloc(void* ptr, CFIndex newsize, CFOptionFlags, void*) {
    if (newsize < 0)
        return NULL;
    return realloc(ptr, static_cast<size_t>(newsize));
}

void LCFObject::CFObjDealloc(void* ptr, void*) {
    free(ptr);
}
