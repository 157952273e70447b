// LCFObject: the root of the owning wrappers over CoreFoundation objects, and
// LCFTemplate<T>, which gives the held reference its CoreFoundation type.
//
// Ownership. A wrapper holds at most one CoreFoundation reference and owns exactly one
// retain on it for as long as it holds it; that retain is released when the wrapper lets
// go (replacement or destruction). There are two ways in:
//   share     (constructor from a reference, AdoptTypeRef, Adopt, operator=):
//             the wrapper retains the reference; the caller keeps and still owns its own.
//   take over (Inherit, operator-=): the wrapper ends up with the caller's retain; the
//             caller must not release the reference afterwards. Taking over the reference
//             already held drops the caller's extra retain and keeps the wrapper's own.
// Get functions hand out the held reference without a retain. Create functions hand out a
// new reference the caller owns. A NULL reference means "nothing held" everywhere; an
// empty wrapper reports kCFAllocatorDefault as its allocator and creates no XML data.
//
// Threading: none of the wrappers lock; use each one from a single thread.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

class LCFObject {
public:
    LCFObject();
    // Shares inTypeRef.
    LCFObject(CFTypeRef inTypeRef);
    virtual ~LCFObject();

    // The held reference, not retained; NULL when empty.
    CFTypeRef GetTypeRef() const { return mTypeRef; }
    // kCFAllocatorDefault when empty.
    CFAllocatorRef GetAllocator() const;

    // Replaces the held reference, sharing the new one; retains before it releases, so
    // adopting what is already held changes nothing.
    virtual void AdoptTypeRef(CFTypeRef inTypeRef);

    // XML property list of the held object; the caller owns the result. NULL when empty.
    CFDataRef CreateXMLData(CFAllocatorRef inAllocator) const;

    // kCFAllocatorDefault for NULL or kCFAllocatorDefault, otherwise inAllocator.
    static CFAllocatorRef DefaultAllocator(CFAllocatorRef inAllocator);

protected:
    // Raw store: no retain, no release. Only for moving a retain into an empty wrapper
    // (a fresh Create/Copy result) or exchanging references between two wrappers.
    void SetTypeRef(CFTypeRef inTypeRef) { mTypeRef = inTypeRef; }

    // Allocator-context call-backs on top of malloc, realloc and free.
    static void* CFObjAlloc(CFIndex size, CFOptionFlags hint, void* info);
    static void* CFObjRealloc(void* ptr, CFIndex newsize, CFOptionFlags hint, void* info);
    static void CFObjDealloc(void* ptr, void* info);

private:
    // Not copyable: a copy would need a second retain nobody asked for.
    LCFObject(const LCFObject&);
    LCFObject& operator=(const LCFObject&);

    CFTypeRef mTypeRef;
};

// T is a CoreFoundation reference type. Adopt and operator= share; Inherit and operator-=
// take over (see above).
template <typename T> class LCFTemplate : public LCFObject {
public:
    LCFTemplate() {}
    ~LCFTemplate() override {}

    T GetTypeRef() const { return (T)(LCFObject::GetTypeRef()); }
    operator T() const { return GetTypeRef(); }

    // Through the virtual slot, so a derived wrapper's own rule for replacing what it holds
    // applies also when it is reached as an LCFTemplate.
    void Adopt(T inTypeRef) { this->AdoptTypeRef(inTypeRef); }
    LCFTemplate& operator=(T inTypeRef) {
        Adopt(inTypeRef);
        return *this;
    }

    void Inherit(T inTypeRef) {
        this->AdoptTypeRef(inTypeRef);
        if (inTypeRef != NULL)
            CFRelease(inTypeRef);
    }
    LCFTemplate& operator-=(T inTypeRef) {
        Inherit(inTypeRef);
        return *this;
    }
};
