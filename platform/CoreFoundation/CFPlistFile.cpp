#include "CFPlistFile_Internal.h"

#include "BinaryPlistGuard.h"
#include <tvb/UniqueFd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// XML: libplist recurses once per open <array> or <dict>. Counting every opening tag with
// those names and every closing tag of either can only over-estimate its depth.
bool XmlIsSafe(const char* data, size_t length) {
    // libplist keeps a NUL byte inside a string and later aborts on it; XML never holds one.
    if (std::memchr(data, '\0', length) != nullptr)
        return false;
    // libplist also accepts a document cut short after its root; a truncated file is corrupt.
    size_t end = length;
    while (end > 0 && std::isspace(static_cast<unsigned char>(data[end - 1])))
        --end;
    static const std::string_view rootEnd = "</plist>";
    if (end < rootEnd.size() ||
        std::string_view(data + end - rootEnd.size(), rootEnd.size()) != rootEnd)
        return false;
    size_t depth = 0;
    for (size_t i = 0; i < length; ++i) {
        if (data[i] != '<')
            continue;
        size_t j = i + 1;
        bool closing = j < length && data[j] == '/';
        if (closing)
            ++j;
        size_t nameStart = j;
        while (j < length && (std::isalnum(static_cast<unsigned char>(data[j])) || data[j] == '_' ||
                              data[j] == ':' || data[j] == '-'))
            ++j;
        std::string_view name(data + nameStart, j - nameStart);
        if (name != "array" && name != "dict")
            continue;
        if (closing) {
            if (depth > 0)
                --depth;
            continue;
        }
        // Only a bare <array/> or <dict/> opens nothing; a tag with anything more counts.
        size_t k = j;
        while (k < length && std::isspace(static_cast<unsigned char>(data[k])))
            ++k;
        if (k + 1 < length && data[k] == '/' && data[k + 1] == '>')
            continue;
        if (++depth > kCFPlistMaxDepth)
            return false;
    }
    return true;
}

} // namespace

void __CFPlistFree::operator()(void* node) const {
    plist_free(static_cast<plist_t>(node));
#ifdef __GLIBC__
    if (parsedBytes >= kCFPlistReturnMemoryBytes)
        malloc_trim(0);
#endif
}

bool __CFReadRegularFile(const std::string& path, size_t maxBytes, std::string& contents) {
    contents.clear();
    // O_NONBLOCK: a FIFO planted at the path must not hold us up in open().
    tvb::UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file)
        return false;
    struct stat info;
    if (fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) > maxBytes)
        return false;
    contents.reserve(static_cast<size_t>(info.st_size));
    // The file may grow while it is read: the cap holds for what is read, not for what stat said.
    char chunk[65536];
    for (;;) {
        ssize_t got = read(file.Get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return true;
        if (contents.size() + static_cast<size_t>(got) > maxBytes)
            return false;
        contents.append(chunk, static_cast<size_t>(got));
    }
}

bool __CFPlistDataIsSafe(const char* data, size_t length) {
    if (data == nullptr || length == 0 || length > UINT32_MAX)
        return false;
    if (length >= 8 && std::memcmp(data, "bplist00", 8) == 0)
        return tvb::plistguard::BinaryPlistIsSafe(reinterpret_cast<const uint8_t*>(data), length);
    return XmlIsSafe(data, length);
}

__CFPlistPtr __CFPlistReadFile(const std::string& path) {
    std::string contents;
    if (!__CFReadRegularFile(path, kCFPlistMaxFileBytes, contents) ||
        !__CFPlistDataIsSafe(contents.data(), contents.size()))
        return nullptr;
    plist_t root = nullptr;
    plist_from_memory(contents.data(), static_cast<uint32_t>(contents.size()), &root);
    return __CFPlistPtr(root, __CFPlistFree{contents.size()});
}

bool __CFStringGetUTF8(CFStringRef string, std::string& utf8) {
    utf8.clear();
    if (string == nullptr || CFGetTypeID(string) != CFStringGetTypeID())
        return false;
    CFIndex length = CFStringGetLength(string);
    CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8);
    if (size < 0)
        return false;
    utf8.resize(static_cast<size_t>(size));
    CFIndex used = 0;
    CFIndex converted = CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0,
                                         false, reinterpret_cast<UInt8*>(&utf8[0]), size, &used);
    if (converted != length) {
        utf8.clear();
        return false;
    }
    utf8.resize(static_cast<size_t>(used));
    return utf8.find('\0') == std::string::npos;
}
