#include "CFPlistFile_Internal.h"

#include "BinaryPlistGuard.h"
#include <tvb/RegularFile.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include <malloc.h>

namespace {

// Where the terminator first appears at or after `from` outside double quotes, as libplist
// searches; just past it, or the end of the text when there is none.
size_t EndOutsideQuotes(std::string_view xml, size_t from, std::string_view terminator) {
    for (size_t i = from; i < xml.size(); ++i) {
        if (xml.compare(i, terminator.size(), terminator) == 0)
            return i + terminator.size();
        if (xml[i] == '"') {
            i = xml.find('"', i + 1);
            if (i == std::string_view::npos)
                break;
        }
    }
    return xml.size();
}

size_t EndOf(std::string_view xml, size_t from, std::string_view terminator) {
    size_t at = xml.find(terminator, from);
    return at == std::string_view::npos ? xml.size() : at + terminator.size();
}

// The markup that starts with the '<' at `at` ends where libplist looks for the next tag: it
// reads comments, CDATA, processing instructions, a DOCTYPE with its internal subset and the
// attributes of a tag without seeing any tag inside them, and skips '>' in double quotes.
size_t MarkupEnd(std::string_view xml, size_t at) {
    std::string_view markup = xml.substr(at);
    if (markup.compare(0, 4, "<!--") == 0)
        return EndOf(xml, at + 4, "-->");
    if (markup.compare(0, 9, "<![CDATA[") == 0)
        return EndOf(xml, at + 9, "]]>");
    if (markup.compare(0, 2, "<?") == 0)
        return EndOutsideQuotes(xml, at + 1, "?>");
    if (markup.compare(0, 2, "<!") == 0) {
        size_t declarationEnd = EndOutsideQuotes(xml, at + 2, ">");
        size_t subset = EndOutsideQuotes(xml.substr(0, declarationEnd), at + 2, "[");
        if (subset < declarationEnd)
            return EndOutsideQuotes(xml, subset - 1, "]>");
        return declarationEnd;
    }
    // A tag's name ends at white space; quotes count only after it.
    size_t nameEnd = xml.find_first_of(" \t\r\n<>", at + 1);
    if (nameEnd == std::string_view::npos)
        return xml.size();
    return xml[nameEnd] == '>' ? nameEnd + 1 : EndOutsideQuotes(xml, nameEnd, ">");
}

// +1 for a tag that opens an array or dictionary (a bare <array/> or <dict/> opens nothing),
// -1 for one that closes it, 0 for anything else.
int ContainerStep(std::string_view xml, size_t at) {
    size_t j = at + 1;
    bool closing = j < xml.size() && xml[j] == '/';
    if (closing)
        ++j;
    size_t nameStart = j;
    while (j < xml.size() && (std::isalnum(static_cast<unsigned char>(xml[j])) || xml[j] == '_' ||
                              xml[j] == ':' || xml[j] == '-'))
        ++j;
    std::string_view name = xml.substr(nameStart, j - nameStart);
    if (name != "array" && name != "dict")
        return 0;
    if (closing)
        return -1;
    while (j < xml.size() && std::isspace(static_cast<unsigned char>(xml[j])))
        ++j;
    return xml.compare(j, 2, "/>") == 0 ? 0 : 1;
}

// XML: libplist frees, copies and writes its trees recursively, once per level of <array> or
// <dict>. Every opening tag with those names counts, even where libplist sees none; a closing
// tag counts only where libplist sees it, so the count can only over-estimate the depth.
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
    std::string_view xml(data, length);
    size_t depth = 0;
    for (size_t at = xml.find('<'); at != std::string_view::npos;) {
        size_t markupEnd = MarkupEnd(xml, at);
        int step = ContainerStep(xml, at);
        if (step > 0 && ++depth > kCFPlistMaxDepth)
            return false;
        if (step < 0 && depth > 0)
            --depth;
        // A closing tag hidden in a comment or an attribute value must not undo an opening one.
        size_t outside = depth;
        for (size_t inner = xml.find('<', at + 1); inner < markupEnd;
             inner = xml.find('<', inner + 1)) {
            step = ContainerStep(xml, inner);
            if (step > 0 && ++depth > kCFPlistMaxDepth)
                return false;
            if (step < 0 && depth > outside)
                --depth;
        }
        at = xml.find('<', markupEnd);
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

bool __CFPlistDataIsSafe(const char* data, size_t length) {
    if (data == nullptr || length == 0 || length > UINT32_MAX)
        return false;
    if (length >= 8 && std::memcmp(data, "bplist00", 8) == 0)
        return tvb::plistguard::BinaryPlistIsSafe(reinterpret_cast<const uint8_t*>(data), length);
    return XmlIsSafe(data, length);
}

__CFPlistPtr __CFPlistReadFd(int fd) {
    std::string contents;
    if (!tvb::ReadRegularFd(fd, kCFPlistMaxFileBytes, contents) ||
        !__CFPlistDataIsSafe(contents.data(), contents.size()))
        return nullptr;
    plist_t root = nullptr;
    plist_from_memory(contents.data(), static_cast<uint32_t>(contents.size()), &root);
    return __CFPlistPtr(root, __CFPlistFree{contents.size()});
}

__CFPlistPtr __CFPlistReadFile(const std::string& path) {
    tvb::UniqueFd file = tvb::OpenRegularFile(path.c_str());
    return file ? __CFPlistReadFd(file.Get()) : nullptr;
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
