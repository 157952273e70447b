#include "CFCollections_Internal.h"
#include "CFRuntime_Internal.h"

#include <sys/single_threaded.h>

#include <CoreFoundation/CFString.h>

#include <cstdio>

namespace {

struct AllocatorObject final : __CFRuntimeBase {
    explicit AllocatorObject(const char* name)
        : __CFRuntimeBase(__kCFAllocatorTypeID), mName(name) {
        MakeImmortal();
        mAllocator = reinterpret_cast<CFAllocatorRef>(static_cast<__CFRuntimeBase*>(this));
    }
    std::string Describe() const override { return std::string("allocator ") + mName; }
    const char* mName;
};

AllocatorObject systemDefaultAllocator("kCFAllocatorSystemDefault");
AllocatorObject mallocAllocator("kCFAllocatorMalloc");
AllocatorObject nullAllocator("kCFAllocatorNull");

const __CFRuntimeBase* Base(CFTypeRef cf) {
    return static_cast<const __CFRuntimeBase*>(cf);
}

} // namespace

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault =
    reinterpret_cast<CFAllocatorRef>(static_cast<__CFRuntimeBase*>(&systemDefaultAllocator));
const CFAllocatorRef kCFAllocatorMalloc =
    reinterpret_cast<CFAllocatorRef>(static_cast<__CFRuntimeBase*>(&mallocAllocator));
const CFAllocatorRef kCFAllocatorNull =
    reinterpret_cast<CFAllocatorRef>(static_cast<__CFRuntimeBase*>(&nullAllocator));

__CFRuntimeBase::~__CFRuntimeBase() = default;

std::string __CFRuntimeBase::Describe() const {
    return "";
}

const char* __CFTypeName(CFTypeID typeID) {
    switch (typeID) {
    case __kCFAllocatorTypeID:
        return "CFAllocator";
    case __kCFStringTypeID:
        return "CFString";
    case __kCFArrayTypeID:
        return "CFArray";
    case __kCFDictionaryTypeID:
        return "CFDictionary";
    case __kCFBooleanTypeID:
        return "CFBoolean";
    case __kCFNumberTypeID:
        return "CFNumber";
    case __kCFDataTypeID:
        return "CFData";
    case __kCFDateTypeID:
        return "CFDate";
    case __kCFURLTypeID:
        return "CFURL";
    case __kCFRunLoopTypeID:
        return "CFRunLoop";
    case __kCFRunLoopSourceTypeID:
        return "CFRunLoopSource";
    case __kCFRunLoopObserverTypeID:
        return "CFRunLoopObserver";
    case __kCFRunLoopTimerTypeID:
        return "CFRunLoopTimer";
    case __kCFBundleTypeID:
        return "CFBundle";
    case __kCFFileDescriptorTypeID:
        return "CFFileDescriptor";
    default:
        return "CFType";
    }
}

CFTypeID CFAllocatorGetTypeID(void) {
    return __kCFAllocatorTypeID;
}

CFAllocatorRef CFAllocatorGetDefault(void) {
    return kCFAllocatorSystemDefault;
}

CFTypeRef CFRetain(CFTypeRef cf) {
    // Mac OS X crashes on NULL; a stand-in that tests rely on should say so instead.
    if (cf == nullptr) {
        std::fputs("CFRetain() called with NULL\n", stderr);
        return nullptr;
    }
    auto* base = const_cast<__CFRuntimeBase*>(Base(cf));
    if (base->IsImmortal())
        return cf;
    // Alone, a process needs no locked instruction: no other thread can count at the same time.
    if (__libc_single_threaded)
        base->mRetainCount.store(base->mRetainCount.load(std::memory_order_relaxed) + 1,
                                 std::memory_order_relaxed);
    else
        base->mRetainCount.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf) {
    if (cf == nullptr) {
        std::fputs("CFRelease() called with NULL\n", stderr);
        return;
    }
    auto* base = const_cast<__CFRuntimeBase*>(Base(cf));
    if (base->IsImmortal())
        return;
    if (__libc_single_threaded) {
        const CFIndex count = base->mRetainCount.load(std::memory_order_relaxed);
        base->mRetainCount.store(count - 1, std::memory_order_relaxed);
        if (count == 1)
            delete base;
        return;
    }
    if (base->mRetainCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete base;
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    if (cf == nullptr)
        return 0;
    auto* base = Base(cf);
    // What Mac OS X reports for objects that are never freed.
    if (base->IsImmortal())
        return 0x0FFFFFFFFFFFFFFF;
    return base->mRetainCount.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    return cf ? Base(cf)->mTypeID : __kCFNotATypeID;
}

CFAllocatorRef CFGetAllocator(CFTypeRef cf) {
    if (cf == nullptr || Base(cf)->mAllocator == nullptr)
        return kCFAllocatorSystemDefault;
    return Base(cf)->mAllocator;
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    if (cf1 == cf2)
        return true;
    if (cf1 == nullptr || cf2 == nullptr)
        return false;
    if (Base(cf1)->mTypeID != Base(cf2)->mTypeID)
        return false;
    return Base(cf1)->Equal(Base(cf2));
}

CFHashCode CFHash(CFTypeRef cf) {
    return cf ? Base(cf)->Hash() : 0;
}

CFStringRef CFCopyTypeIDDescription(CFTypeID typeID) {
    return CFStringCreateWithCString(kCFAllocatorDefault, __CFTypeName(typeID),
                                     kCFStringEncodingUTF8);
}

CFStringRef CFCopyDescription(CFTypeRef cf) {
    if (cf == nullptr)
        return nullptr;
    auto* base = Base(cf);
    char frame[64];
    std::snprintf(frame, sizeof frame, "<%s %p [%p]>", __CFTypeName(base->mTypeID), cf,
                  static_cast<const void*>(CFGetAllocator(cf)));
    std::string text = frame;
    std::string body = base->Describe();
    if (!body.empty())
        text += "{" + body + "}";
    // Strings describe themselves as their own text.
    if (base->mTypeID == __kCFStringTypeID)
        return static_cast<CFStringRef>(CFRetain(cf));
    return CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
}

void CFShow(CFTypeRef obj) {
    CFStringRef description = CFCopyDescription(obj);
    if (description == nullptr) {
        std::fputs("(null)\n", stderr);
        return;
    }
    char buffer[4096];
    if (CFStringGetCString(description, buffer, sizeof buffer, kCFStringEncodingUTF8))
        std::fprintf(stderr, "%s\n", buffer);
    CFRelease(description);
}

void __CFComplain(const char* function, const char* message) {
    std::fprintf(stderr, "%s: %s\n", function, message);
}

bool __CFStringCopyUTF8(CFStringRef string, std::string& out) {
    out.clear();
    if (string == nullptr || CFGetTypeID(string) != CFStringGetTypeID())
        return false;
    CFRange all = CFRangeMake(0, CFStringGetLength(string));
    CFIndex needed = 0;
    if (CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &needed) !=
        all.length)
        return false;
    out.resize(static_cast<size_t>(needed));
    CFIndex used = 0;
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8*>(out.data()), needed, &used);
    out.resize(static_cast<size_t>(used));
    return true;
}

CFStringRef __CFStringCreateFromUTF8(CFAllocatorRef allocator, const std::string& bytes) {
    return CFStringCreateWithBytes(allocator, reinterpret_cast<const UInt8*>(bytes.data()),
                                   static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8,
                                   false);
}

std::string __CFDescribeValue(const void* value, CFStringRef (*copyDescription)(const void*)) {
    if (copyDescription != nullptr) {
        CFStringRef description = copyDescription(value);
        std::string text;
        bool ok = __CFStringCopyUTF8(description, text);
        if (description != nullptr)
            CFRelease(description);
        if (ok)
            return text;
    }
    char text[32];
    std::snprintf(text, sizeof text, "<%p>", value);
    return text;
}

CFStringRef __CFCopyFormattingDescription(CFTypeRef cf) {
    std::string text;
    if (cf != nullptr && Base(cf)->FormattingDescription(text))
        return CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    return CFCopyDescription(cf);
}
