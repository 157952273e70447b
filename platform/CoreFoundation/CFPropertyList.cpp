#include "CFCollections_Internal.h"
#include "CFNumber_Internal.h"
#include "CFPlistFile_Internal.h"
#include "CFPropertyList_Internal.h"

#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Deeper trees are refused rather than risking the stack (a container may even hold itself).
constexpr int kMaxDepth = 512;

struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};
using MallocString = std::unique_ptr<char, MallocDeleter>;

bool IsValid(CFTypeRef cf, CFPropertyListFormat format, int depth) {
    if (cf == nullptr || depth > kMaxDepth)
        return false;
    CFTypeID type = CFGetTypeID(cf);
    if (type == CFStringGetTypeID() || type == CFDataGetTypeID())
        return true;
    if (type == CFNumberGetTypeID() || type == CFBooleanGetTypeID())
        return format != kCFPropertyListOpenStepFormat;
    if (type == CFArrayGetTypeID()) {
        auto array = static_cast<CFArrayRef>(cf);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            if (!IsValid(CFArrayGetValueAtIndex(array, i), format, depth + 1))
                return false;
        }
        return true;
    }
    if (type == CFDictionaryGetTypeID()) {
        auto* dict = __CFCast<__CFDictionary>(cf, __kCFDictionaryTypeID);
        for (const auto& entry : dict->mEntries) {
            if (entry.key == nullptr || CFGetTypeID(entry.key) != CFStringGetTypeID() ||
                !IsValid(entry.value, format, depth + 1))
                return false;
        }
        return true;
    }
    return false;
}

// XML writing, in the layout CoreFoundation writes.

void AppendIndent(std::string& out, int indent) {
    out.append(static_cast<size_t>(indent), '\t');
}

bool AppendEscapedText(std::string& out, CFStringRef string) {
    std::string text;
    if (!__CFStringCopyUTF8(string, text))
        return false;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return true;
}

// Base64 in lines of at most 76 characters, the indentation counting 8 per tab.
void AppendBase64(std::string& out, const UInt8* bytes, CFIndex length, int indent) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    int tabs = std::min(indent, 8);
    size_t lineLength = static_cast<size_t>(76 - 8 * tabs);
    std::string encoded;
    for (CFIndex i = 0; i < length; i += 3) {
        UInt32 chunk = static_cast<UInt32>(bytes[i]) << 16;
        if (i + 1 < length)
            chunk |= static_cast<UInt32>(bytes[i + 1]) << 8;
        if (i + 2 < length)
            chunk |= bytes[i + 2];
        encoded += table[(chunk >> 18) & 63];
        encoded += table[(chunk >> 12) & 63];
        encoded += i + 1 < length ? table[(chunk >> 6) & 63] : '=';
        encoded += i + 2 < length ? table[chunk & 63] : '=';
    }
    for (size_t pos = 0; pos < encoded.size(); pos += lineLength) {
        AppendIndent(out, tabs);
        out.append(encoded, pos, lineLength);
        out += '\n';
    }
}

bool AppendNumber(std::string& out, CFNumberRef number) {
    char text[64];
    if (CFNumberIsFloatType(number)) {
        double value = 0;
        CFNumberGetValue(number, kCFNumberFloat64Type, &value);
        if (std::isnan(value))
            std::snprintf(text, sizeof text, "nan");
        else if (std::isinf(value))
            std::snprintf(text, sizeof text, value > 0 ? "+infinity" : "-infinity");
        else if (value == 0.0)
            std::snprintf(text, sizeof text, "0.0");
        else
            std::snprintf(text, sizeof text, "%.17g", value);
        out += "<real>";
        out += text;
        out += "</real>\n";
        return true;
    }
    uint64_t large;
    if (__CFNumberGetLargeUnsigned(number, &large)) {
        std::snprintf(text, sizeof text, "%" PRIu64, large);
    } else {
        int64_t value = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &value);
        std::snprintf(text, sizeof text, "%" PRId64, value);
    }
    out += "<integer>";
    out += text;
    out += "</integer>\n";
    return true;
}

CFComparisonResult CompareKeys(const void* a, const void* b) {
    return CFStringCompare(static_cast<CFStringRef>(a), static_cast<CFStringRef>(b), 0);
}

bool AppendXML(std::string& out, CFTypeRef cf, int indent) {
    CFTypeID type = CFGetTypeID(cf);
    if (type == CFStringGetTypeID()) {
        out += "<string>";
        if (!AppendEscapedText(out, static_cast<CFStringRef>(cf)))
            return false;
        out += "</string>\n";
        return true;
    }
    if (type == CFBooleanGetTypeID()) {
        out += CFBooleanGetValue(static_cast<CFBooleanRef>(cf)) ? "<true/>\n" : "<false/>\n";
        return true;
    }
    if (type == CFNumberGetTypeID())
        return AppendNumber(out, static_cast<CFNumberRef>(cf));
    if (type == CFDataGetTypeID()) {
        auto data = static_cast<CFDataRef>(cf);
        out += "<data>\n";
        AppendBase64(out, CFDataGetBytePtr(data), CFDataGetLength(data), indent);
        AppendIndent(out, indent);
        out += "</data>\n";
        return true;
    }
    if (type == CFArrayGetTypeID()) {
        auto array = static_cast<CFArrayRef>(cf);
        CFIndex count = CFArrayGetCount(array);
        if (count == 0) {
            out += "<array/>\n";
            return true;
        }
        out += "<array>\n";
        for (CFIndex i = 0; i < count; ++i) {
            AppendIndent(out, indent + 1);
            if (!AppendXML(out, CFArrayGetValueAtIndex(array, i), indent + 1))
                return false;
        }
        AppendIndent(out, indent);
        out += "</array>\n";
        return true;
    }
    if (type == CFDictionaryGetTypeID()) {
        auto* dict = __CFCast<__CFDictionary>(cf, __kCFDictionaryTypeID);
        if (dict->mEntries.empty()) {
            out += "<dict/>\n";
            return true;
        }
        std::vector<const __CFDictionary::Entry*> entries;
        for (const auto& entry : dict->mEntries)
            entries.push_back(&entry);
        std::stable_sort(entries.begin(), entries.end(), [](auto* a, auto* b) {
            return CompareKeys(a->key, b->key) == kCFCompareLessThan;
        });
        out += "<dict>\n";
        for (auto* entry : entries) {
            AppendIndent(out, indent + 1);
            out += "<key>";
            if (!AppendEscapedText(out, static_cast<CFStringRef>(entry->key)))
                return false;
            out += "</key>\n";
            AppendIndent(out, indent + 1);
            if (!AppendXML(out, entry->value, indent + 1))
                return false;
        }
        AppendIndent(out, indent);
        out += "</dict>\n";
        return true;
    }
    return false;
}

// libplist to CF.

CFPropertyListRef FromNode(plist_t node, CFOptionFlags options, int depth);

CFStringRef StringFromUTF8(const char* text, CFOptionFlags options) {
    if (text == nullptr)
        return nullptr;
    CFStringRef string = __CFStringCreateFromUTF8(nullptr, text);
    if (string == nullptr || options != kCFPropertyListMutableContainersAndLeaves)
        return string;
    CFMutableStringRef mutableString = CFStringCreateMutableCopy(nullptr, 0, string);
    CFRelease(string);
    return mutableString;
}

// libplist 2.2 keeps integers as 64 bits plus a private width flag that tells a huge
// unsigned value from a negative one; its XML writer is the only public way to read it.
bool NodeIsNegative(plist_t node) {
    plist_t copy = plist_copy(node);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(copy, &xml, &length);
    plist_free(copy);
    bool negative = xml != nullptr && std::strstr(xml, "<integer>-") != nullptr;
    std::free(xml);
    return negative;
}

// Containers are built mutable; an immutable tree gets a frozen copy in their place.
template <typename Ref>
CFPropertyListRef Finished(Ref built, CFOptionFlags options, Ref (*copy)(CFAllocatorRef, Ref)) {
    if (options != kCFPropertyListImmutable)
        return built;
    Ref frozen = copy(nullptr, built);
    CFRelease(built);
    return frozen;
}

CFPropertyListRef ArrayFromNode(plist_t node, CFOptionFlags options, int depth) {
    // In order, not by index: plist_array_get_item walks an array read from binary data from its
    // first item, so reading every item by index takes time quadratic in the array's length.
    plist_array_iter rawIter = nullptr;
    plist_array_new_iter(node, &rawIter);
    std::unique_ptr<void, MallocDeleter> iter(rawIter);
    if (iter == nullptr)
        return nullptr;
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (;;) {
        plist_t child = nullptr;
        plist_array_next_item(node, iter.get(), &child);
        if (child == nullptr)
            break;
        CFPropertyListRef item = FromNode(child, options, depth + 1);
        if (item == nullptr) {
            CFRelease(array);
            return nullptr;
        }
        CFArrayAppendValue(array, item);
        CFRelease(item);
    }
    return Finished<CFArrayRef>(array, options, CFArrayCreateCopy);
}

CFPropertyListRef DictionaryFromNode(plist_t node, CFOptionFlags options, int depth) {
    CFMutableDictionaryRef dict = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    bool ok = iter != nullptr;
    while (ok) {
        char* rawKey = nullptr;
        plist_t child = nullptr;
        plist_dict_next_item(node, iter, &rawKey, &child);
        MallocString key(rawKey);
        if (child == nullptr)
            break;
        CFStringRef cfKey = __CFStringCreateFromUTF8(nullptr, key ? key.get() : "");
        CFPropertyListRef value = FromNode(child, options, depth + 1);
        if (cfKey != nullptr && value != nullptr)
            CFDictionarySetValue(dict, cfKey, value);
        else
            ok = false;
        if (cfKey != nullptr)
            CFRelease(cfKey);
        if (value != nullptr)
            CFRelease(value);
    }
    std::free(iter);
    if (!ok) {
        CFRelease(dict);
        return nullptr;
    }
    return Finished<CFDictionaryRef>(dict, options, CFDictionaryCreateCopy);
}

CFPropertyListRef FromNode(plist_t node, CFOptionFlags options, int depth) {
    if (node == nullptr || depth > kMaxDepth)
        return nullptr;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value ? kCFBooleanTrue : kCFBooleanFalse;
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        if (value > static_cast<uint64_t>(INT64_MAX) && !NodeIsNegative(node))
            return __CFNumberCreateUnsigned64(nullptr, value);
        auto signedValue = static_cast<int64_t>(value);
        return CFNumberCreate(nullptr, kCFNumberSInt64Type, &signedValue);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return CFNumberCreate(nullptr, kCFNumberFloat64Type, &value);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char* raw = nullptr;
        if (plist_get_node_type(node) == PLIST_STRING)
            plist_get_string_val(node, &raw);
        else
            plist_get_key_val(node, &raw);
        MallocString text(raw);
        return StringFromUTF8(text.get(), options);
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        MallocString bytes(raw);
        if (bytes == nullptr && length > 0)
            return nullptr;
        auto* start = reinterpret_cast<const UInt8*>(bytes.get());
        if (options == kCFPropertyListMutableContainersAndLeaves) {
            CFMutableDataRef data = CFDataCreateMutable(nullptr, 0);
            CFDataAppendBytes(data, start, static_cast<CFIndex>(length));
            return data;
        }
        return CFDataCreate(nullptr, start, static_cast<CFIndex>(length));
    }
    case PLIST_ARRAY:
        return ArrayFromNode(node, options, depth);
    case PLIST_DICT:
        return DictionaryFromNode(node, options, depth);
    default:
        return nullptr;
    }
}

// CF to libplist.

plist_t LargeUnsignedNode(uint64_t value) {
    // plist_new_uint marks every value as signed; the XML reader marks large ones unsigned.
    char xml[160];
    int length = std::snprintf(xml, sizeof xml,
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist "
                               "version=\"1.0\"><integer>%" PRIu64 "</integer></plist>",
                               value);
    plist_t node = nullptr;
    plist_from_xml(xml, static_cast<uint32_t>(length), &node);
    return node;
}

plist_t ToNode(CFTypeRef cf, int depth) {
    if (cf == nullptr || depth > kMaxDepth)
        return nullptr;
    CFTypeID type = CFGetTypeID(cf);
    if (type == CFStringGetTypeID()) {
        std::string text;
        if (!__CFStringCopyUTF8(static_cast<CFStringRef>(cf), text))
            return nullptr;
        return plist_new_string(text.c_str());
    }
    if (type == CFBooleanGetTypeID())
        return plist_new_bool(CFBooleanGetValue(static_cast<CFBooleanRef>(cf)));
    if (type == CFNumberGetTypeID()) {
        auto number = static_cast<CFNumberRef>(cf);
        if (CFNumberIsFloatType(number)) {
            double value = 0;
            CFNumberGetValue(number, kCFNumberFloat64Type, &value);
            return plist_new_real(value);
        }
        uint64_t large;
        if (__CFNumberGetLargeUnsigned(number, &large))
            return LargeUnsignedNode(large);
        int64_t value = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &value);
        return plist_new_uint(static_cast<uint64_t>(value));
    }
    if (type == CFDataGetTypeID()) {
        auto data = static_cast<CFDataRef>(cf);
        return plist_new_data(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                              static_cast<uint64_t>(CFDataGetLength(data)));
    }
    if (type == CFArrayGetTypeID()) {
        auto array = static_cast<CFArrayRef>(cf);
        __CFPlistNodePtr node(plist_new_array());
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            plist_t item = ToNode(CFArrayGetValueAtIndex(array, i), depth + 1);
            if (item == nullptr)
                return nullptr;
            plist_array_append_item(node.get(), item);
        }
        return node.release();
    }
    if (type == CFDictionaryGetTypeID()) {
        auto* dict = __CFCast<__CFDictionary>(cf, __kCFDictionaryTypeID);
        __CFPlistNodePtr node(plist_new_dict());
        for (const auto& entry : dict->mEntries) {
            std::string key;
            if (entry.key == nullptr || CFGetTypeID(entry.key) != CFStringGetTypeID() ||
                !__CFStringCopyUTF8(static_cast<CFStringRef>(entry.key), key))
                return nullptr;
            plist_t value = ToNode(entry.value, depth + 1);
            if (value == nullptr)
                return nullptr;
            plist_dict_set_item(node.get(), key.c_str(), value);
        }
        return node.release();
    }
    return nullptr;
}

CFPropertyListRef DeepCopy(CFAllocatorRef allocator, CFTypeRef cf, CFOptionFlags options,
                           int depth) {
    if (cf == nullptr || depth > kMaxDepth)
        return nullptr;
    CFTypeID type = CFGetTypeID(cf);
    bool mutableLeaves = options == kCFPropertyListMutableContainersAndLeaves;
    if (type == CFStringGetTypeID()) {
        auto string = static_cast<CFStringRef>(cf);
        return mutableLeaves ? CFStringCreateMutableCopy(allocator, 0, string)
                             : CFStringCreateCopy(allocator, string);
    }
    if (type == CFNumberGetTypeID() || type == CFBooleanGetTypeID())
        return CFRetain(cf);
    if (type == CFDataGetTypeID()) {
        auto data = static_cast<CFDataRef>(cf);
        return mutableLeaves ? CFDataCreateMutableCopy(allocator, 0, data)
                             : CFDataCreateCopy(allocator, data);
    }
    if (type == CFArrayGetTypeID()) {
        auto array = static_cast<CFArrayRef>(cf);
        CFIndex count = CFArrayGetCount(array);
        std::vector<CFTypeRef> items;
        bool ok = true;
        for (CFIndex i = 0; i < count && ok; ++i) {
            CFTypeRef item =
                DeepCopy(allocator, CFArrayGetValueAtIndex(array, i), options, depth + 1);
            ok = item != nullptr;
            if (ok)
                items.push_back(item);
        }
        CFTypeRef result = nullptr;
        if (ok && options == kCFPropertyListImmutable) {
            result = CFArrayCreate(allocator, items.data(), count, &kCFTypeArrayCallBacks);
        } else if (ok) {
            CFMutableArrayRef copy = CFArrayCreateMutable(allocator, 0, &kCFTypeArrayCallBacks);
            for (CFTypeRef item : items)
                CFArrayAppendValue(copy, item);
            result = copy;
        }
        for (CFTypeRef item : items)
            CFRelease(item);
        return result;
    }
    if (type == CFDictionaryGetTypeID()) {
        auto* dict = __CFCast<__CFDictionary>(cf, __kCFDictionaryTypeID);
        CFMutableDictionaryRef copy = CFDictionaryCreateMutable(
            allocator, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (const auto& entry : dict->mEntries) {
            if (entry.key == nullptr || CFGetTypeID(entry.key) != CFStringGetTypeID()) {
                CFRelease(copy);
                return nullptr;
            }
            // Keys stay immutable whatever the options, as CoreFoundation keeps them.
            CFStringRef key = CFStringCreateCopy(allocator, static_cast<CFStringRef>(entry.key));
            CFTypeRef value = DeepCopy(allocator, entry.value, options, depth + 1);
            if (value != nullptr)
                CFDictionarySetValue(copy, key, value);
            CFRelease(key);
            if (value == nullptr) {
                CFRelease(copy);
                return nullptr;
            }
            CFRelease(value);
        }
        if (options != kCFPropertyListImmutable)
            return copy;
        CFDictionaryRef frozen = CFDictionaryCreateCopy(allocator, copy);
        CFRelease(copy);
        return frozen;
    }
    return nullptr;
}

} // namespace

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList) {
    if (!IsValid(propertyList, kCFPropertyListXMLFormat_v1_0, 0))
        return nullptr;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n";
    if (!AppendXML(xml, propertyList, 0))
        return nullptr;
    xml += "</plist>\n";
    return CFDataCreate(allocator, reinterpret_cast<const UInt8*>(xml.data()),
                        static_cast<CFIndex>(xml.size()));
}

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption,
                                                  CFStringRef* errorString) {
    auto fail = [errorString](const char* why) -> CFPropertyListRef {
        if (errorString != nullptr)
            *errorString = __CFStringCreateFromUTF8(nullptr, why);
        return nullptr;
    };
    if (errorString != nullptr)
        *errorString = nullptr;
    if (xmlData == nullptr || CFGetTypeID(xmlData) != CFDataGetTypeID())
        return fail("no data");
    CFIndex length = CFDataGetLength(xmlData);
    if (length <= 0 || length > static_cast<CFIndex>(UINT32_MAX))
        return fail("empty or oversized data");
    auto* bytes = reinterpret_cast<const char*>(CFDataGetBytePtr(xmlData));
    // libplist itself would recurse without bound or expand shared objects forever.
    if (!__CFPlistDataIsSafe(bytes, static_cast<size_t>(length)))
        return fail("malformed, too deep or too large property list");
    plist_t root = nullptr;
    plist_from_memory(bytes, static_cast<uint32_t>(length), &root);
    __CFPlistNodePtr node(root);
    if (node == nullptr)
        return fail("malformed property list");
    CFPropertyListRef result = FromNode(node.get(), mutabilityOption, 0);
    if (result == nullptr)
        return fail("property list holds an unsupported type or invalid text");
    return result;
}

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef allocator,
                                               CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption) {
    return DeepCopy(allocator, propertyList, mutabilityOption, 0);
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
    return IsValid(plist, format, 0);
}

CFPropertyListRef __CFPropertyListCreateFromPlistNode(plist_t node) {
    return FromNode(node, kCFPropertyListImmutable, 0);
}

CFPropertyListRef __CFPropertyListCreateFromPlistNodeWithOptions(plist_t node,
                                                                 CFOptionFlags mutabilityOption) {
    return FromNode(node, mutabilityOption, 0);
}

plist_t __CFPropertyListCopyPlistNode(CFPropertyListRef plist) {
    return ToNode(plist, 0);
}
