// The object model behind every CoreFoundation stand-in type.
// Every CF object is a C++ object derived from __CFRuntimeBase, created with
// new and destroyed by CFRelease when its retain count reaches zero.
// Threading: the retain count is atomic; nothing else is synchronised.
// Ownership: a new object starts with one retain, owned by its creator.
#pragma once

#include <CoreFoundation/CFBase.h>

#include <atomic>
#include <string>

// Fixed type identifiers; CFGetTypeID and the *GetTypeID functions return these.
enum : CFTypeID {
    __kCFNotATypeID = 0,
    __kCFTypeTypeID = 1,
    __kCFAllocatorTypeID = 2,
    __kCFStringTypeID = 7,
    __kCFArrayTypeID = 19,
    __kCFDictionaryTypeID = 18,
    __kCFBooleanTypeID = 21,
    __kCFNumberTypeID = 22,
    __kCFDataTypeID = 20,
    __kCFDateTypeID = 42,
    __kCFURLTypeID = 29,
    __kCFRunLoopTypeID = 43,
    __kCFRunLoopSourceTypeID = 44,
    __kCFRunLoopObserverTypeID = 45,
    __kCFRunLoopTimerTypeID = 46,
    __kCFBundleTypeID = 31,
    __kCFFileDescriptorTypeID = 47,
};

// Tag for the constant objects (booleans, special numbers) built at compile time, so
// that they are usable from any static initialiser.
struct __CFImmortalTag {};
inline constexpr __CFImmortalTag __kCFImmortal{};

struct __CFRuntimeBase {
    constexpr explicit __CFRuntimeBase(CFTypeID typeID, CFAllocatorRef allocator = nullptr)
        : mTypeID(typeID), mAllocator(allocator) {}
    constexpr __CFRuntimeBase(CFTypeID typeID, __CFImmortalTag)
        : mTypeID(typeID), mAllocator(nullptr), mImmortal(true) {}
    virtual ~__CFRuntimeBase();

    __CFRuntimeBase(const __CFRuntimeBase&) = delete;
    __CFRuntimeBase& operator=(const __CFRuntimeBase&) = delete;

    // Called only with another object of the same type ID.
    virtual bool Equal(const __CFRuntimeBase* other) const { return other == this; }
    virtual CFHashCode Hash() const { return reinterpret_cast<CFHashCode>(this); }
    // The body of CFCopyDescription, without the "<CFType 0x...>" frame.
    virtual std::string Describe() const;
    // What %@ shows when it is not the description (numbers and booleans show their value).
    virtual bool FormattingDescription(std::string& out) const {
        (void)out;
        return false;
    }

    // Constants (CFSTR strings, kCFBooleanTrue, allocators) ignore retain and release.
    void MakeImmortal() { mImmortal = true; }
    bool IsImmortal() const { return mImmortal; }

    std::atomic<CFIndex> mRetainCount{1};
    const CFTypeID mTypeID;
    CFAllocatorRef
        mAllocator; // NULL stands for the default allocator; read it through CFGetAllocator

private:
    bool mImmortal = false;
};

// Reports misuse of a stand-in call (NULL, wrong type, bad range) as one line on
// stderr, "function: message"; the call then changes nothing.
void __CFComplain(const char* function, const char* message);

// Checked downcast from a public reference; NULL when cf is NULL or of another type.
template <typename T> inline T* __CFCast(CFTypeRef cf, CFTypeID typeID) {
    auto* base = static_cast<const __CFRuntimeBase*>(cf);
    if (base == nullptr || base->mTypeID != typeID)
        return nullptr;
    return static_cast<T*>(const_cast<__CFRuntimeBase*>(base));
}

// Public reference of an object: the address of its __CFRuntimeBase.
inline CFTypeRef __CFRef(const __CFRuntimeBase* object) {
    return static_cast<const void*>(object);
}

// The name used in descriptions and CFCopyTypeIDDescription.
const char* __CFTypeName(CFTypeID typeID);

// The text %@ shows: the formatting description where the type has one, else
// CFCopyDescription. The caller releases it.
CFStringRef __CFCopyFormattingDescription(CFTypeRef cf);
