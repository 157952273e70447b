// libFuzzer entry for property-list reading (clang only, built with -DTVB_FUZZ=ON): the bytes as
// data handed to CFPropertyListCreateFromXMLData under each mutability option, and as a file
// read the way preferences and bundles read theirs. What it found is kept as regression cases in
// tests/unit/CoreFoundation/CFPropertyList/CFPropertyListBadInputTest.cpp.
#include "CFPlistFile_Internal.h"
#include "CFPropertyList_Internal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Whatever was read must be writable, copy equal and read back equal from what was written.
void Exercise(CFPropertyListRef plist, CFOptionFlags option) {
    CFDataRef xml = CFPropertyListCreateXMLData(nullptr, plist);
    if (xml == nullptr)
        __builtin_trap();
    CFPropertyListRef copy = CFPropertyListCreateDeepCopy(nullptr, plist, option);
    if (copy == nullptr || !CFEqual(copy, plist))
        __builtin_trap();
    CFPropertyListRef again = CFPropertyListCreateFromXMLData(nullptr, xml, option, nullptr);
    if (again == nullptr || !CFEqual(again, plist))
        __builtin_trap();
    CFRelease(again);
    CFRelease(copy);
    CFRelease(xml);
}

// The screen's promise about what it lets libplist build.
void Measure(plist_t node, size_t depth, size_t& deepest, size_t& nodes) {
    ++nodes;
    deepest = std::max(deepest, depth);
    if (plist_get_node_type(node) == PLIST_ARRAY) {
        plist_array_iter iter = nullptr;
        plist_array_new_iter(node, &iter);
        for (;;) {
            plist_t child = nullptr;
            plist_array_next_item(node, iter, &child);
            if (child == nullptr)
                break;
            Measure(child, depth + 1, deepest, nodes);
        }
        std::free(iter);
    } else if (plist_get_node_type(node) == PLIST_DICT) {
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char* key = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, iter, &key, &child);
            std::free(key);
            if (child == nullptr)
                break;
            Measure(child, depth + 1, deepest, nodes);
        }
        std::free(iter);
    }
}

// One scratch file per run, rewritten for every input.
std::string gScratchPath;

void RemoveScratch() {
    unlink(gScratchPath.c_str());
}

const std::string& ScratchPath() {
    if (gScratchPath.empty()) {
        char name[] = "/tmp/tvb-plist-fuzz-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0)
            std::abort();
        close(fd);
        gScratchPath = name;
        std::atexit(RemoveScratch);
    }
    return gScratchPath;
}

void ReadAsFile(const uint8_t* data, size_t size) {
    int fd = open(ScratchPath().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        std::abort();
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))
        std::abort();
    close(fd);
    __CFPlistPtr root = __CFPlistReadFile(ScratchPath());
    if (!root)
        return;
    size_t deepest = 0, nodes = 0;
    Measure(root.get(), 1, deepest, nodes);
    if (deepest > kCFPlistMaxDepth || nodes > std::min(kCFPlistMaxNodes, size))
        __builtin_trap();
    CFPropertyListRef plist = __CFPropertyListCreateFromPlistNode(root.get());
    if (plist != nullptr) {
        Exercise(plist, kCFPropertyListImmutable);
        CFRelease(plist);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CFDataRef bytes = CFDataCreate(nullptr, data, static_cast<CFIndex>(size));
    for (CFOptionFlags option : {kCFPropertyListImmutable, kCFPropertyListMutableContainers,
                                 kCFPropertyListMutableContainersAndLeaves}) {
        CFStringRef error = nullptr;
        CFPropertyListRef plist = CFPropertyListCreateFromXMLData(nullptr, bytes, option, &error);
        // Exactly one of the two comes back.
        if ((plist == nullptr) == (error == nullptr))
            __builtin_trap();
        if (plist != nullptr) {
            Exercise(plist, option);
            CFRelease(plist);
        }
        if (error != nullptr)
            CFRelease(error);
    }
    CFRelease(bytes);
    ReadAsFile(data, size);
    return 0;
}
