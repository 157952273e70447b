#include "IOKitMatching_Internal.h"

#include <CoreFoundation/CFString.h>

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace iokit {

std::optional<std::string> StringFromCF(CFTypeRef value) {
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID())
        return std::nullopt;
    auto string = static_cast<CFStringRef>(value);
    const CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<size_t>(capacity > 0 ? capacity : 1));
    if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()),
                            kCFStringEncodingUTF8))
        return std::nullopt;
    return std::string(buffer.data());
}

IOReturn ParseMatching(CFDictionaryRef matching, MatchCriteria& out) {
    if (matching == nullptr || CFGetTypeID(matching) != CFDictionaryGetTypeID())
        return kIOReturnBadArgument;
    const CFIndex count = CFDictionaryGetCount(matching);
    std::vector<const void*> keys(static_cast<size_t>(count));
    std::vector<const void*> values(static_cast<size_t>(count));
    if (count > 0)
        CFDictionaryGetKeysAndValues(matching, keys.data(), values.data());
    MatchCriteria criteria;
    for (CFIndex i = 0; i < count; ++i) {
        std::optional<std::string> key = StringFromCF(keys[static_cast<size_t>(i)]);
        if (!key)
            return kIOReturnBadArgument;
        std::optional<std::string> value = StringFromCF(values[static_cast<size_t>(i)]);
        if (*key == kIOProviderClassKey) {
            if (!value)
                return kIOReturnBadArgument;
            criteria.providerClass = std::move(value);
        } else if (*key == kIOBSDNameKey) {
            if (!value)
                return kIOReturnBadArgument;
            criteria.bsdName = std::move(value);
        } else {
            return kIOReturnUnsupported;
        }
    }
    out = std::move(criteria);
    return kIOReturnSuccess;
}

tvb::wire::Criteria ToWire(const MatchCriteria& criteria) {
    tvb::wire::Criteria out;
    out.hasClass = criteria.providerClass.has_value();
    out.className = criteria.providerClass.value_or("");
    out.hasBsdName = criteria.bsdName.has_value();
    out.bsdName = criteria.bsdName.value_or("");
    return out;
}

namespace {

// The keys are made once: matching dictionaries are made for every volume of every walk.
CFStringRef KeyString(const char* key) {
    return CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
}

// The value strings too, per thread: walks ask for the same few names over and over. An
// immutable string is shared by every dictionary that holds it.
class ValueStrings {
public:
    ~ValueStrings() { Clear(); }
    CFStringRef Copy(const char* value) {
        auto found = mStrings.find(std::string_view(value));
        if (found != mStrings.end())
            return static_cast<CFStringRef>(CFRetain(found->second));
        CFStringRef string = CFStringCreateWithCString(nullptr, value, kCFStringEncodingUTF8);
        if (string == nullptr)
            return nullptr;
        // The key is the string's own text, which lives as long as the map holds the string.
        const char* text = CFStringGetCStringPtr(string, kCFStringEncodingUTF8);
        if (text == nullptr || std::strcmp(text, value) != 0)
            return string;
        if (mStrings.size() >= kMaxStrings)
            Clear();
        mStrings.emplace(std::string_view(text), static_cast<CFStringRef>(CFRetain(string)));
        return string;
    }

private:
    void Clear() {
        for (auto& [text, string] : mStrings)
            CFRelease(string);
        mStrings.clear();
    }
    static constexpr size_t kMaxStrings = 4096;
    std::unordered_map<std::string_view, CFStringRef> mStrings;
};

CFMutableDictionaryRef MatchingWith(CFStringRef key, const char* value) {
    if (value == nullptr || key == nullptr)
        return nullptr;
    thread_local ValueStrings strings;
    CFStringRef string = strings.Copy(value);
    if (string == nullptr)
        return nullptr;
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    if (dictionary != nullptr)
        CFDictionarySetValue(dictionary, key, string);
    CFRelease(string);
    return dictionary;
}

} // namespace

} // namespace iokit

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    static const CFStringRef key = iokit::KeyString(kIOProviderClassKey);
    return iokit::MatchingWith(key, name);
}

CFMutableDictionaryRef IOBSDNameMatching(mach_port_t, uint32_t, const char* bsdName) {
    static const CFStringRef key = iokit::KeyString(kIOBSDNameKey);
    return iokit::MatchingWith(key, bsdName);
}
