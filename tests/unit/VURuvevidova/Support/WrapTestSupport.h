// Small helpers shared by the wrapper tests.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <string>

// UTF-8 text of a string; "<null>" for NULL so a missing string never compares equal.
inline std::string Text(CFStringRef string) {
    if (string == NULL)
        return "<null>";
    char buffer[1024];
    if (!CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8))
        return "<unconvertible>";
    return buffer;
}

inline CFMutableStringRef NewMutableString(const char* text) {
    CFMutableStringRef string = CFStringCreateMutable(kCFAllocatorDefault, 0);
    CFStringAppendCString(string, text, kCFStringEncodingUTF8);
    return string;
}
