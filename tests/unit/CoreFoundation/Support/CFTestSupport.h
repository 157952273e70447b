// Helpers shared by the CoreFoundation stand-in tests.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <string>
#include <type_traits>

// Releases its object when the test ends, even after a failed assertion.
struct CFReleaser {
    void operator()(const void* cf) const {
        if (cf != nullptr)
            CFRelease(cf);
    }
};
template <typename T> using Owned = std::unique_ptr<std::remove_pointer_t<T>, CFReleaser>;

template <typename T> Owned<T> Own(T cf) {
    return Owned<T>(cf);
}

inline CFStringRef NewString(const char* utf8) {
    return CFStringCreateWithCString(kCFAllocatorDefault, utf8, kCFStringEncodingUTF8);
}

// UTF-8 text of a string; "<null>" for NULL so that a missing string never matches.
inline std::string Text(CFStringRef string) {
    if (string == nullptr)
        return "<null>";
    CFIndex length = CFStringGetLength(string);
    CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<size_t>(size), '\0');
    if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8))
        return "<unconvertible>";
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

inline std::string Bytes(CFDataRef data) {
    if (data == nullptr)
        return "<null>";
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<size_t>(CFDataGetLength(data)));
}

inline CFNumberRef NewInt(SInt64 value) {
    return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
}

inline CFNumberRef NewDouble(double value) {
    return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
}
