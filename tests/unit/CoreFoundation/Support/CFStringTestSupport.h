// Helpers shared by the CFString tests: owning holders and UTF-8 round trips.
#pragma once

#include "CFTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline Owned<CFStringRef> MakeString(const char* utf8) {
    return Own(NewString(utf8));
}

inline Owned<CFMutableStringRef> MakeMutable(const char* utf8, CFIndex maxLength = 0) {
    Owned<CFMutableStringRef> string(CFStringCreateMutable(nullptr, maxLength));
    CFStringAppendCString(string.get(), utf8, kCFStringEncodingUTF8);
    return string;
}

// The whole string as UTF-8, or "<unencodable>" so a failure shows in the comparison.
inline std::string Utf8(CFStringRef string) {
    if (string == nullptr)
        return "<NULL>";
    CFRange all = CFRangeMake(0, CFStringGetLength(string));
    CFIndex needed = 0;
    if (CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &needed) !=
        all.length)
        return "<unencodable>";
    std::string text(static_cast<size_t>(needed), '\0');
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8*>(&text[0]), needed, nullptr);
    return text;
}

inline std::vector<UniChar> Units(CFStringRef string) {
    std::vector<UniChar> units(static_cast<size_t>(CFStringGetLength(string)));
    CFStringGetCharacters(string, CFRangeMake(0, CFStringGetLength(string)), units.data());
    return units;
}
