#include "CFPlistFile_Internal.h"
#include "CFPropertyList_Internal.h"
#include "CFRuntime_Internal.h"

#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CFBundlePriv.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>
#include <tvb/RegularFile.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

const CFStringRef kCFBundleInfoDictionaryVersionKey = CFSTR("CFBundleInfoDictionaryVersion");
const CFStringRef kCFBundleExecutableKey = CFSTR("CFBundleExecutable");
const CFStringRef kCFBundleIdentifierKey = CFSTR("CFBundleIdentifier");
const CFStringRef kCFBundleVersionKey = CFSTR("CFBundleVersion");
const CFStringRef kCFBundleNameKey = CFSTR("CFBundleName");

struct __CFBundle final : __CFRuntimeBase {
    __CFBundle(CFAllocatorRef allocator, std::string path, CFURLRef url, CFDictionaryRef info)
        : __CFRuntimeBase(__kCFBundleTypeID, allocator), mPath(std::move(path)), mURL(url),
          mInfo(info) {}
    ~__CFBundle() override {
        CFRelease(mURL);
        CFRelease(mInfo);
    }
    std::string Describe() const override { return "path = " + mPath; }

    const std::string mPath; // no trailing slash
    const CFURLRef mURL;
    const CFDictionaryRef mInfo;
};

namespace {

constexpr UInt32 kDefaultPackageType = 0x424E444C;    // 'BNDL'
constexpr UInt32 kUnknownPackageCreator = 0x3F3F3F3F; // '????'

__CFBundle* Bundle(CFBundleRef bundle) {
    return __CFCast<__CFBundle>(bundle, __kCFBundleTypeID);
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsRegularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Entries that do not convert (dates, invalid UTF-8, ...) are left out rather
// than spoiling the whole dictionary.
CFDictionaryRef LoadInfoDictionary(CFAllocatorRef allocator, const std::string& path) {
    CFMutableDictionaryRef info = CFDictionaryCreateMutable(
        allocator, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    __CFPlistPtr root = __CFPlistReadFile(path);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return info;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(root.get(), &iterator);
    for (;;) {
        char* key = nullptr;
        plist_t node = nullptr;
        plist_dict_next_item(root.get(), iterator, &key, &node);
        if (key == nullptr)
            break;
        CFStringRef name = CFStringCreateWithCString(allocator, key, kCFStringEncodingUTF8);
        std::free(key);
        CFPropertyListRef value = node ? __CFPropertyListCreateFromPlistNode(node) : nullptr;
        if (name != nullptr && value != nullptr)
            CFDictionarySetValue(info, name, value);
        if (name != nullptr)
            CFRelease(name);
        if (value != nullptr)
            CFRelease(value);
    }
    std::free(iterator);
    return info;
}

// A four-character code is four Mac Roman bytes, most significant first.
bool CodeFromString(CFTypeRef value, UInt32& code) {
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID())
        return false;
    auto string = static_cast<CFStringRef>(value);
    if (CFStringGetLength(string) != 4)
        return false;
    UInt8 bytes[4];
    CFIndex used = 0;
    if (CFStringGetBytes(string, CFRangeMake(0, 4), kCFStringEncodingMacRoman, 0, false, bytes, 4,
                         &used) != 4 ||
        used != 4)
        return false;
    code = UInt32{bytes[0]} << 24 | UInt32{bytes[1]} << 16 | UInt32{bytes[2]} << 8 | bytes[3];
    return true;
}

UInt32 CodeFromBytes(const char* bytes) {
    auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return UInt32{b[0]} << 24 | UInt32{b[1]} << 16 | UInt32{b[2]} << 8 | b[3];
}

std::string LastComponent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string __CFBundlePathForExecutable(const std::string& executable) {
    static const std::string marker = ".app/Contents/MacOS/";
    for (size_t at = executable.rfind(marker); at != std::string::npos && at > 0;
         at = executable.rfind(marker, at - 1)) {
        if (executable[at - 1] != '/' && at + marker.size() < executable.size())
            return executable.substr(0, at + 4);
    }
    return {};
}

CFBundleRef __CFBundleCreateWithPath(CFAllocatorRef allocator, const std::string& path) {
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        allocator, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()),
        true);
    if (url == nullptr)
        return nullptr;
    CFBundleRef bundle = CFBundleCreate(allocator, url);
    CFRelease(url);
    return bundle;
}

CFTypeID CFBundleGetTypeID(void) {
    return __kCFBundleTypeID;
}

CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL) {
    if (bundleURL == nullptr || CFGetTypeID(bundleURL) != CFURLGetTypeID())
        return nullptr;
    UInt8 buffer[4096];
    if (!CFURLGetFileSystemRepresentation(bundleURL, true, buffer, sizeof buffer))
        return nullptr;
    std::string path(reinterpret_cast<const char*>(buffer));
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.empty() || !IsDirectory(path))
        return nullptr;
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        allocator, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()),
        true);
    if (url == nullptr)
        return nullptr;
    CFDictionaryRef info = LoadInfoDictionary(allocator, path + "/Contents/Info.plist");
    return new __CFBundle(allocator, std::move(path), url, info);
}

CFBundleRef CFBundleGetMainBundle(void) {
    static CFBundleRef mainBundle = [] {
        char executable[4096];
        ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
        if (length <= 0)
            return CFBundleRef{nullptr};
        executable[length] = '\0';
        std::string path = __CFBundlePathForExecutable(executable);
        if (path.empty()) {
            // A plain tool: its folder stands in for a bundle, as on Mac OS X.
            path = executable;
            size_t slash = path.rfind('/');
            path.erase(slash == 0 ? 1 : slash);
        }
        return __CFBundleCreateWithPath(nullptr, path);
    }();
    return mainBundle;
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle) {
    __CFBundle* object = Bundle(bundle);
    return object ? static_cast<CFURLRef>(CFRetain(object->mURL)) : nullptr;
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle) {
    __CFBundle* object = Bundle(bundle);
    return object ? object->mInfo : nullptr;
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key) {
    __CFBundle* object = Bundle(bundle);
    if (object == nullptr || key == nullptr)
        return nullptr;
    return CFDictionaryGetValue(object->mInfo, key);
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) {
    CFTypeRef identifier = CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleIdentifierKey);
    if (identifier == nullptr || CFGetTypeID(identifier) != CFStringGetTypeID())
        return nullptr;
    return static_cast<CFStringRef>(identifier);
}

CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle) {
    __CFBundle* object = Bundle(bundle);
    if (object == nullptr)
        return nullptr;
    std::string name;
    CFTypeRef declared = CFDictionaryGetValue(object->mInfo, kCFBundleExecutableKey);
    if (declared != nullptr) {
        if (!__CFStringGetUTF8(static_cast<CFStringRef>(declared), name))
            return nullptr;
    } else {
        name = LastComponent(object->mPath);
        size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > 0)
            name.erase(dot);
    }
    // The executable lives in Contents/MacOS and nowhere else.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return nullptr;
    std::string path = object->mPath + "/Contents/MacOS/" + name;
    if (!IsRegularFile(path))
        return nullptr;
    return CFURLCreateFromFileSystemRepresentation(CFGetAllocator(bundle),
                                                   reinterpret_cast<const UInt8*>(path.data()),
                                                   static_cast<CFIndex>(path.size()), false);
}

void CFBundleGetPackageInfo(CFBundleRef bundle, UInt32* packageType, UInt32* packageCreator) {
    UInt32 type = kDefaultPackageType;
    UInt32 creator = kUnknownPackageCreator;
    __CFBundle* object = Bundle(bundle);
    if (object != nullptr) {
        bool haveType =
            CodeFromString(CFDictionaryGetValue(object->mInfo, CFSTR("CFBundlePackageType")), type);
        bool haveCreator = CodeFromString(
            CFDictionaryGetValue(object->mInfo, CFSTR("CFBundleSignature")), creator);
        std::string pkgInfo;
        if ((!haveType || !haveCreator) &&
            tvb::ReadRegularFile(object->mPath + "/Contents/PkgInfo", 4096, pkgInfo)) {
            if (!haveType && pkgInfo.size() >= 4)
                type = CodeFromBytes(pkgInfo.data());
            if (!haveCreator && pkgInfo.size() >= 8)
                creator = CodeFromBytes(pkgInfo.data() + 4);
        }
    }
    if (packageType != nullptr)
        *packageType = type;
    if (packageCreator != nullptr)
        *packageCreator = creator;
}
