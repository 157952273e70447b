// libFuzzer entry for preferences (clang only, built with -DTVB_FUZZ=ON): the bytes as a
// domain's file that someone else wrote, then one value set and synchronized over it. Nothing
// the file held may be lost: a synchronization that succeeds keeps every other key's value,
// and one that fails leaves the file as it was.
#include "CFPlistFile_Internal.h"
#include "CFPropertyList_Internal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// A home of its own for the run, removed at exit.
std::string gHome;

void RemoveHome() {
    std::string command = "rm -rf '" + gHome + "'";
    if (std::system(command.c_str()) != 0)
        std::abort();
}

const std::string& DomainPath() {
    static const std::string path = [] {
        char name[] = "/tmp/tvb-prefs-fuzz-XXXXXX";
        if (mkdtemp(name) == nullptr)
            std::abort();
        gHome = name;
        std::atexit(RemoveHome);
        setenv("HOME", name, 1);
        if (mkdir((gHome + "/Library").c_str(), 0700) != 0 ||
            mkdir((gHome + "/Library/Preferences").c_str(), 0700) != 0)
            std::abort();
        return gHome + "/Library/Preferences/org.tvb.fuzz.plist";
    }();
    return path;
}

std::string Contents(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[8192];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    close(fd);
    return text;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)))
        std::abort();
    close(fd);
}

// Every key of the file with what it reads as; NULL for a value that does not convert.
std::map<std::string, CFPropertyListRef> ReadKeys(const std::string& path) {
    std::map<std::string, CFPropertyListRef> keys;
    __CFPlistPtr root = __CFPlistReadFile(path);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return keys;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root.get(), &iter);
    for (;;) {
        char* key = nullptr;
        plist_t node = nullptr;
        plist_dict_next_item(root.get(), iter, &key, &node);
        if (key == nullptr)
            break;
        CFPropertyListRef& slot = keys[key];
        if (slot != nullptr)
            CFRelease(slot);
        slot = node != nullptr ? __CFPropertyListCreateFromPlistNode(node) : nullptr;
        std::free(key);
    }
    std::free(iter);
    return keys;
}

void Release(const std::map<std::string, CFPropertyListRef>& keys) {
    for (const auto& entry : keys)
        if (entry.second != nullptr)
            CFRelease(entry.second);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = DomainPath();
    const CFStringRef domain = CFSTR("org.tvb.fuzz");
    const CFStringRef ownKey = CFSTR("TvbFuzzSetting");
    WriteFile(path, data, size);
    const std::string before = Contents(path);
    std::map<std::string, CFPropertyListRef> keys = ReadKeys(path);

    CFPreferencesSetAppValue(ownKey, CFSTR("set"), domain);
    if (CFPreferencesAppSynchronize(domain)) {
        CFPropertyListRef own = CFPreferencesCopyAppValue(ownKey, domain);
        Check(own != nullptr && CFEqual(own, CFSTR("set")));
        CFRelease(own);
        std::map<std::string, CFPropertyListRef> after = ReadKeys(path);
        for (const auto& entry : keys) {
            if (entry.first == "TvbFuzzSetting")
                continue;
            auto kept = after.find(entry.first);
            Check(kept != after.end());
            if (entry.second != nullptr)
                Check(kept->second != nullptr && CFEqual(kept->second, entry.second));
        }
        Release(after);
    } else {
        Check(Contents(path) == before);
        // The value stays pending until a write succeeds; one over no file does.
        unlink(path.c_str());
        Check(CFPreferencesAppSynchronize(domain));
    }
    Release(keys);
    return 0;
}
