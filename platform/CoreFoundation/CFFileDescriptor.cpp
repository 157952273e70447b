#include "CFRunLoop_Internal.h"

#include <cstdio>

#include <unistd.h>

namespace {

__CFFileDescriptor* AsDescriptor(CFFileDescriptorRef f, const char* function) {
    auto* descriptor = __CFCast<__CFFileDescriptor>(f, __kCFFileDescriptorTypeID);
    if (descriptor == nullptr)
        __CFComplain(function, "called with an invalid file descriptor object");
    return descriptor;
}

constexpr CFOptionFlags kAllCallBacks =
    kCFFileDescriptorReadCallBack | kCFFileDescriptorWriteCallBack;

// Lock held. Takes the descriptor off every run loop and closes it if it is ours to close.
void Shutdown(__CFFileDescriptor* descriptor) {
    descriptor->mValid = false;
    descriptor->mEnabled = 0;
    if (__CFRunLoopSource* source = descriptor->mSource) {
        CFRetain(source);
        source->mValid = false;
        __CFRunLoopSourceRemoveFromAllLoops(source);
        CFRelease(source);
    }
    if (descriptor->mCloseOnInvalidate && descriptor->mFd >= 0)
        close(descriptor->mFd);
}

} // namespace

__CFFileDescriptor::~__CFFileDescriptor() {
    if (mValid) {
        std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
        Shutdown(this);
    }
    if (mContext.release != nullptr)
        mContext.release(mContext.info);
}

std::string __CFFileDescriptor::Describe() const {
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    char text[96];
    std::snprintf(text, sizeof text, "valid = %s, fd = %d, enabled = %lu", mValid ? "Yes" : "No",
                  mFd, static_cast<unsigned long>(mEnabled));
    return text;
}

CFTypeID CFFileDescriptorGetTypeID(void) {
    return __kCFFileDescriptorTypeID;
}

CFFileDescriptorRef CFFileDescriptorCreate(CFAllocatorRef allocator,
                                           CFFileDescriptorNativeDescriptor fd,
                                           Boolean closeOnInvalidate,
                                           CFFileDescriptorCallBack callout,
                                           const CFFileDescriptorContext* context) {
    if (fd < 0)
        return nullptr;
    auto* descriptor = new __CFFileDescriptor;
    descriptor->mAllocator = allocator;
    descriptor->mFd = fd;
    descriptor->mCloseOnInvalidate = closeOnInvalidate;
    descriptor->mCallout = callout;
    if (context != nullptr) {
        descriptor->mContext = *context;
        if (context->retain != nullptr)
            descriptor->mContext.info = context->retain(context->info);
    }
    return descriptor;
}

CFFileDescriptorNativeDescriptor CFFileDescriptorGetNativeDescriptor(CFFileDescriptorRef f) {
    __CFFileDescriptor* descriptor = AsDescriptor(f, __func__);
    return descriptor ? descriptor->mFd : -1;
}

void CFFileDescriptorGetContext(CFFileDescriptorRef f, CFFileDescriptorContext* context) {
    __CFFileDescriptor* descriptor = AsDescriptor(f, __func__);
    if (descriptor != nullptr && context != nullptr)
        *context = descriptor->mContext;
}

void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes) {
    __CFRunLoopLocked(AsDescriptor(f, __func__), [&](__CFFileDescriptor* descriptor) {
        if (!descriptor->mValid)
            return;
        descriptor->mEnabled |= callBackTypes & kAllCallBacks;
        // A loop sleeping on another thread must start watching the descriptor.
        if (descriptor->mSource != nullptr)
            __CFRunLoopSourceWakeLoops(descriptor->mSource);
    });
}

void CFFileDescriptorDisableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes) {
    __CFRunLoopLocked(AsDescriptor(f, __func__), [&](__CFFileDescriptor* descriptor) {
        descriptor->mEnabled &= ~callBackTypes;
    });
}

void CFFileDescriptorInvalidate(CFFileDescriptorRef f) {
    __CFRunLoopLocked(AsDescriptor(f, __func__), [](__CFFileDescriptor* descriptor) {
        if (!descriptor->mValid)
            return;
        CFRetain(descriptor);
        Shutdown(descriptor);
        CFRelease(descriptor);
    });
}

Boolean CFFileDescriptorIsValid(CFFileDescriptorRef f) {
    Boolean valid = false;
    __CFRunLoopLocked(AsDescriptor(f, __func__),
                      [&](__CFFileDescriptor* descriptor) { valid = descriptor->mValid; });
    return valid;
}

CFRunLoopSourceRef CFFileDescriptorCreateRunLoopSource(CFAllocatorRef allocator,
                                                       CFFileDescriptorRef f, CFIndex order) {
    __CFFileDescriptor* descriptor = AsDescriptor(f, __func__);
    if (descriptor == nullptr)
        return nullptr;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    if (!descriptor->mValid)
        return nullptr;
    if (descriptor->mSource != nullptr)
        return static_cast<CFRunLoopSourceRef>(const_cast<void*>(CFRetain(descriptor->mSource)));
    auto* source = new __CFRunLoopSource;
    source->mAllocator = allocator;
    source->mOrder = order;
    source->mContext.info = descriptor;
    // The source keeps its descriptor alive; the descriptor only points back.
    CFRetain(descriptor);
    source->mDescriptor = descriptor;
    descriptor->mSource = source;
    return source;
}
