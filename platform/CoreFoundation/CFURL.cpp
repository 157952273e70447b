#include "CFCollections_Internal.h"
#include "CFString_Internal.h"

#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Units = std::vector<UniChar>;

// The pieces of a URL string (RFC 3986), each without its delimiter.
struct URLParts {
    bool hasScheme = false;
    std::string scheme;
    bool hasAuthority = false;
    std::string authority;
    std::string path;
    bool hasQuery = false;
    std::string query;
    bool hasFragment = false;
    std::string fragment;

    std::string Compose() const {
        std::string text;
        if (hasScheme)
            text += scheme + ":";
        if (hasAuthority)
            text += "//" + authority;
        text += path;
        if (hasQuery)
            text += "?" + query;
        if (hasFragment)
            text += "#" + fragment;
        return text;
    }
};

bool IsAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexValue(UniChar c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Characters that may stand unescaped in a URL: unreserved and reserved ones.
bool IsLegalURLCharacter(UniChar c) {
    if (c >= 128)
        return false;
    auto ch = static_cast<char>(c);
    return IsAlpha(ch) || IsDigit(ch) || (ch != '\0' && std::strchr("-_.!~*'();/?:@&=+$,#[]", ch));
}

// Escapes a UTF-8 byte string: every byte that is not a legal URL character, "%",
// and the characters in extra.
std::string EscapeUTF8(const std::string& text, const char* extra) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        if (IsLegalURLCharacter(byte) && !std::strchr(extra, ch)) {
            out += ch;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

bool IsValidURLText(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size() || HexValue(static_cast<unsigned char>(text[i + 1])) < 0 ||
                HexValue(static_cast<unsigned char>(text[i + 2])) < 0)
                return false;
            i += 2;
        } else if (!IsLegalURLCharacter(c)) {
            return false;
        }
    }
    return true;
}

URLParts Parse(const std::string& text) {
    URLParts parts;
    size_t pos = 0;
    if (!text.empty() && IsAlpha(text[0])) {
        size_t i = 1;
        while (i < text.size() && (IsAlpha(text[i]) || IsDigit(text[i]) || text[i] == '+' ||
                                   text[i] == '-' || text[i] == '.'))
            ++i;
        if (i < text.size() && text[i] == ':') {
            parts.hasScheme = true;
            parts.scheme = text.substr(0, i);
            pos = i + 1;
        }
    }
    if (text.compare(pos, 2, "//") == 0) {
        size_t end = text.find_first_of("/?#", pos + 2);
        if (end == std::string::npos)
            end = text.size();
        parts.hasAuthority = true;
        parts.authority = text.substr(pos + 2, end - pos - 2);
        pos = end;
    }
    size_t pathEnd = text.find_first_of("?#", pos);
    if (pathEnd == std::string::npos)
        pathEnd = text.size();
    parts.path = text.substr(pos, pathEnd - pos);
    pos = pathEnd;
    if (pos < text.size() && text[pos] == '?') {
        size_t end = text.find('#', pos);
        if (end == std::string::npos)
            end = text.size();
        parts.hasQuery = true;
        parts.query = text.substr(pos + 1, end - pos - 1);
        pos = end;
    }
    if (pos < text.size() && text[pos] == '#') {
        parts.hasFragment = true;
        parts.fragment = text.substr(pos + 1);
    }
    return parts;
}

std::string RemoveDotSegments(const std::string& path) {
    std::vector<std::string> segments;
    bool absolute = !path.empty() && path[0] == '/';
    size_t start = absolute ? 1 : 0;
    bool endsAsDirectory = false;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string segment = path.substr(start, end - start);
        bool last = end == path.size();
        if (segment == ".") {
            endsAsDirectory = last;
        } else if (segment == "..") {
            if (!segments.empty())
                segments.pop_back();
            endsAsDirectory = last;
        } else if (!last || !segment.empty()) {
            segments.push_back(segment);
            endsAsDirectory = false;
        } else {
            endsAsDirectory = true;
        }
        start = end + 1;
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0)
            out += '/';
        out += segments[i];
    }
    if (endsAsDirectory && !segments.empty())
        out += '/';
    return out;
}

bool CopyUnits(CFStringRef string, Units& out) {
    out.clear();
    if (string == nullptr || CFGetTypeID(string) != CFStringGetTypeID())
        return false;
    out.resize(static_cast<size_t>(CFStringGetLength(string)));
    if (!out.empty())
        CFStringGetCharacters(string, CFRangeMake(0, static_cast<CFIndex>(out.size())), out.data());
    return true;
}

bool Contains(const Units& set, UniChar c) {
    for (UniChar member : set) {
        if (member == c)
            return true;
    }
    return false;
}

// Decodes escapes per the rules of CFURLCreateStringByReplacingPercentEscapes; false on
// a malformed escape or on escaped bytes that are not UTF-8.
bool ReplaceEscapes(const Units& in, const Units& leaveEscaped, Units& out) {
    auto byteAt = [&in](size_t i, unsigned& byte) {
        if (i + 2 >= in.size() || in[i] != '%')
            return false;
        int high = HexValue(in[i + 1]);
        int low = HexValue(in[i + 2]);
        if (high < 0 || low < 0)
            return false;
        byte = static_cast<unsigned>(high * 16 + low);
        return true;
    };
    for (size_t i = 0; i < in.size();) {
        if (in[i] != '%') {
            out.push_back(in[i++]);
            continue;
        }
        unsigned lead;
        if (i + 2 >= in.size() || !byteAt(i, lead))
            return false;
        size_t more;
        UInt32 codePoint;
        if (lead < 0x80) {
            more = 0;
            codePoint = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            more = 1;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            more = 2;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            more = 3;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        size_t next = i + 3;
        for (size_t k = 0; k < more; ++k, next += 3) {
            unsigned byte;
            if (next + 2 >= in.size() || !byteAt(next, byte) || (byte & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (byte & 0x3F);
        }
        static const UInt32 smallest[] = {0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[more] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        if (codePoint < 0x10000 && Contains(leaveEscaped, static_cast<UniChar>(codePoint))) {
            out.insert(out.end(), in.begin() + static_cast<long>(i),
                       in.begin() + static_cast<long>(next));
        } else {
            __CFStringAppendCodePoint(codePoint, out);
        }
        i = next;
    }
    return true;
}

bool UnescapeUTF8(const std::string& text, const char* leaveEscaped, std::string& out) {
    Units in(text.begin(), text.end());
    Units leave(leaveEscaped, leaveEscaped + std::strlen(leaveEscaped));
    Units decoded;
    if (!ReplaceEscapes(in, leave, decoded))
        return false;
    CFStringRef string =
        CFStringCreateWithCharacters(nullptr, decoded.data(), static_cast<CFIndex>(decoded.size()));
    bool ok = __CFStringCopyUTF8(string, out);
    if (string != nullptr)
        CFRelease(string);
    return ok;
}

} // namespace

struct __CFURL final : __CFRuntimeBase {
    __CFURL(CFAllocatorRef allocator, CFStringRef string, std::string text, CFURLRef base)
        : __CFRuntimeBase(__kCFURLTypeID, allocator), mString(string), mText(std::move(text)),
          mParts(Parse(mText)), mBase(base) {
        if (mBase != nullptr)
            CFRetain(mBase);
    }
    ~__CFURL() override {
        CFRelease(mString);
        if (mBase != nullptr)
            CFRelease(mBase);
    }

    bool Equal(const __CFRuntimeBase* other) const override {
        auto* that = static_cast<const __CFURL*>(other);
        return mText == that->mText &&
               (mBase == that->mBase || (mBase && that->mBase && CFEqual(mBase, that->mBase)));
    }
    CFHashCode Hash() const override { return std::hash<std::string>()(mText); }
    std::string Describe() const override {
        std::string text = mText;
        if (mBase != nullptr)
            text += " -- " + static_cast<const __CFURL*>(static_cast<const void*>(mBase))->mText;
        return text;
    }

    CFStringRef mString; // owned; mText is its UTF-8 (all ASCII) form
    const std::string mText;
    const URLParts mParts;
    CFURLRef mBase; // owned, or NULL
};

namespace {

__CFURL* AsURL(CFURLRef url, const char* function) {
    auto* object = __CFCast<__CFURL>(url, __kCFURLTypeID);
    if (object == nullptr)
        __CFComplain(function, url ? "not a CFURL" : "NULL URL");
    return object;
}

// text must already be a valid URL string.
CFURLRef NewURL(CFAllocatorRef allocator, const std::string& text, CFURLRef base) {
    CFStringRef string = __CFStringCreateFromUTF8(allocator, text);
    if (string == nullptr)
        return nullptr;
    return new __CFURL(allocator, string, text, base);
}

// A file URL (or, for a relative path, a URL relative to the current directory).
CFURLRef CreateFileURL(CFAllocatorRef allocator, std::string path, bool isDirectory) {
    if (path.empty())
        return nullptr;
    if (isDirectory) {
        if (path.back() != '/')
            path += '/';
    } else {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
    }
    std::string escaped = EscapeUTF8(path, ";?#");
    if (path[0] == '/')
        return NewURL(allocator, "file://" + escaped, nullptr);
    // A colon in the first name of a relative path would make that name a scheme.
    for (size_t at = 0; at < escaped.size() && escaped[at] != '/'; ++at) {
        if (escaped[at] == ':')
            escaped.replace(at, 1, "%3A");
    }
    std::unique_ptr<char, void (*)(void*)> cwd(getcwd(nullptr, 0), std::free);
    if (cwd == nullptr)
        return nullptr;
    CFURLRef base = CreateFileURL(allocator, cwd.get(), true);
    if (base == nullptr)
        return nullptr;
    CFURLRef url = NewURL(allocator, escaped, base);
    CFRelease(base);
    return url;
}

URLParts Resolve(const __CFURL* url) {
    if (url->mBase == nullptr || url->mParts.hasScheme)
        return url->mParts;
    auto* base = static_cast<const __CFURL*>(static_cast<const void*>(url->mBase));
    URLParts b = Resolve(base);
    const URLParts& r = url->mParts;
    URLParts t;
    if (r.hasAuthority) {
        t.hasAuthority = true;
        t.authority = r.authority;
        t.path = RemoveDotSegments(r.path);
        t.hasQuery = r.hasQuery;
        t.query = r.query;
    } else {
        if (r.path.empty()) {
            t.path = b.path;
            t.hasQuery = r.hasQuery || b.hasQuery;
            t.query = r.hasQuery ? r.query : b.query;
        } else {
            if (r.path[0] == '/') {
                t.path = RemoveDotSegments(r.path);
            } else if (b.hasAuthority && b.path.empty()) {
                t.path = RemoveDotSegments("/" + r.path);
            } else {
                size_t slash = b.path.rfind('/');
                std::string directory =
                    slash == std::string::npos ? "" : b.path.substr(0, slash + 1);
                t.path = RemoveDotSegments(directory + r.path);
            }
            t.hasQuery = r.hasQuery;
            t.query = r.query;
        }
        t.hasAuthority = b.hasAuthority;
        t.authority = b.authority;
    }
    t.hasScheme = b.hasScheme;
    t.scheme = b.scheme;
    t.hasFragment = r.hasFragment;
    t.fragment = r.fragment;
    return t;
}

// The bytes the escaped path stands for, without its trailing slash. File names are bytes,
// not text, so escapes are not read as UTF-8 here: a name that is not UTF-8 comes back as it
// went in. An escaped slash is part of a name, not a separator, and stays escaped; an escaped
// NUL would cut the path short and name another file, so it fails.
bool FileSystemPath(const std::string& escapedPath, std::string& out) {
    out.clear();
    for (size_t i = 0; i < escapedPath.size(); ++i) {
        if (escapedPath[i] != '%') {
            out += escapedPath[i];
            continue;
        }
        if (i + 2 >= escapedPath.size())
            return false;
        int high = HexValue(static_cast<unsigned char>(escapedPath[i + 1]));
        int low = HexValue(static_cast<unsigned char>(escapedPath[i + 2]));
        if (high < 0 || low < 0 || (high == 0 && low == 0))
            return false;
        if (high * 16 + low == '/')
            out.append(escapedPath, i, 3);
        else
            out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return true;
}

} // namespace

CFTypeID CFURLGetTypeID(void) {
    return __kCFURLTypeID;
}

CFURLRef CFURLCreateWithString(CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL) {
    std::string text;
    if (!__CFStringCopyUTF8(URLString, text)) {
        __CFComplain(__func__, "NULL or unreadable string");
        return nullptr;
    }
    if (!IsValidURLText(text))
        return nullptr;
    if (baseURL != nullptr && AsURL(baseURL, __func__) == nullptr)
        return nullptr;
    // A URL with a scheme stands alone; the base would change nothing.
    return NewURL(allocator, text, Parse(text).hasScheme ? nullptr : baseURL);
}

CFURLRef CFURLCreateWithBytes(CFAllocatorRef allocator, const UInt8* URLBytes, CFIndex length,
                              CFStringEncoding encoding, CFURLRef baseURL) {
    if (URLBytes == nullptr || length < 0)
        return nullptr;
    CFStringRef string = CFStringCreateWithBytes(allocator, URLBytes, length, encoding, false);
    if (string == nullptr)
        return nullptr;
    CFURLRef url = CFURLCreateWithString(allocator, string, baseURL);
    CFRelease(string);
    return url;
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
                                       CFURLPathStyle pathStyle, Boolean isDirectory) {
    if (pathStyle != kCFURLPOSIXPathStyle) {
        __CFComplain(__func__, "only kCFURLPOSIXPathStyle is supported");
        return nullptr;
    }
    std::string path;
    if (!__CFStringCopyUTF8(filePath, path))
        return nullptr;
    return CreateFileURL(allocator, path, isDirectory);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory) {
    if (buffer == nullptr || bufLen <= 0)
        return nullptr;
    auto* end = static_cast<const UInt8*>(std::memchr(buffer, 0, static_cast<size_t>(bufLen)));
    // Any bytes: the escapes carry a name that is not UTF-8 through unchanged.
    std::string path(reinterpret_cast<const char*>(buffer),
                     end ? static_cast<size_t>(end - buffer) : static_cast<size_t>(bufLen));
    return CreateFileURL(allocator, path, isDirectory);
}

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef allocator, CFURLRef url,
                                               CFStringRef pathComponent, Boolean isDirectory) {
    auto* object = AsURL(url, __func__);
    std::string component;
    if (object == nullptr || !__CFStringCopyUTF8(pathComponent, component))
        return nullptr;
    URLParts parts = object->mParts;
    if (!parts.path.empty() && parts.path.back() != '/')
        parts.path += '/';
    else if (parts.path.empty() && parts.hasAuthority)
        parts.path = "/";
    parts.path += EscapeUTF8(component, ";?#");
    if (isDirectory && (parts.path.empty() || parts.path.back() != '/'))
        parts.path += '/';
    return NewURL(allocator, parts.Compose(), object->mBase);
}

CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef allocator, CFURLRef url) {
    auto* object = AsURL(url, __func__);
    if (object == nullptr)
        return nullptr;
    URLParts parts = object->mParts;
    std::string path = parts.path;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    parts.path = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    return NewURL(allocator, parts.Compose(), object->mBase);
}

CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL) {
    auto* object = AsURL(relativeURL, __func__);
    if (object == nullptr)
        return nullptr;
    if (object->mBase == nullptr)
        return static_cast<CFURLRef>(CFRetain(relativeURL));
    return NewURL(CFGetAllocator(relativeURL), Resolve(object).Compose(), nullptr);
}

CFStringRef CFURLGetString(CFURLRef anURL) {
    auto* object = AsURL(anURL, __func__);
    return object ? object->mString : nullptr;
}

CFURLRef CFURLGetBaseURL(CFURLRef anURL) {
    auto* object = AsURL(anURL, __func__);
    return object ? object->mBase : nullptr;
}

Boolean CFURLHasDirectoryPath(CFURLRef anURL) {
    auto* object = AsURL(anURL, __func__);
    return object != nullptr && !object->mParts.path.empty() && object->mParts.path.back() == '/';
}

CFStringRef CFURLCopyScheme(CFURLRef anURL) {
    auto* object = AsURL(anURL, __func__);
    if (object == nullptr)
        return nullptr;
    URLParts parts = Resolve(object);
    return parts.hasScheme ? __CFStringCreateFromUTF8(nullptr, parts.scheme) : nullptr;
}

CFStringRef CFURLCopyPath(CFURLRef anURL) {
    auto* object = AsURL(anURL, __func__);
    return object ? __CFStringCreateFromUTF8(nullptr, object->mParts.path) : nullptr;
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle) {
    auto* object = AsURL(anURL, __func__);
    if (object == nullptr)
        return nullptr;
    if (pathStyle != kCFURLPOSIXPathStyle) {
        __CFComplain(__func__, "only kCFURLPOSIXPathStyle is supported");
        return nullptr;
    }
    std::string path;
    if (!FileSystemPath(object->mParts.path, path))
        return nullptr;
    return __CFStringCreateFromUTF8(nullptr, path);
}

CFStringRef CFURLCopyLastPathComponent(CFURLRef url) {
    auto* object = AsURL(url, __func__);
    if (object == nullptr)
        return nullptr;
    // Split before un-escaping: an escaped slash belongs to the name.
    std::string path = object->mParts.path;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    if (path != "/" && slash != std::string::npos)
        path.erase(0, slash + 1);
    std::string name;
    if (!UnescapeUTF8(path, "", name))
        return nullptr;
    return __CFStringCreateFromUTF8(nullptr, name);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufLen) {
    auto* object = AsURL(url, __func__);
    if (object == nullptr || buffer == nullptr || maxBufLen <= 0)
        return false;
    URLParts parts = resolveAgainstBase ? Resolve(object) : object->mParts;
    if (parts.hasScheme && parts.scheme != "file")
        return false;
    std::string path;
    if (!FileSystemPath(parts.path, path) || static_cast<CFIndex>(path.size()) >= maxBufLen)
        return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

CFStringRef CFURLCreateStringByReplacingPercentEscapes(CFAllocatorRef allocator,
                                                       CFStringRef originalString,
                                                       CFStringRef charactersToLeaveEscaped) {
    Units in;
    if (!CopyUnits(originalString, in)) {
        __CFComplain(__func__, "NULL or non-string original");
        return nullptr;
    }
    // NULL leaves every escape alone.
    if (charactersToLeaveEscaped == nullptr)
        return CFStringCreateCopy(allocator, originalString);
    Units leave;
    CopyUnits(charactersToLeaveEscaped, leave);
    Units out;
    if (!ReplaceEscapes(in, leave, out))
        return nullptr;
    return CFStringCreateWithCharacters(allocator, out.data(), static_cast<CFIndex>(out.size()));
}

CFStringRef CFURLCreateStringByAddingPercentEscapes(CFAllocatorRef allocator,
                                                    CFStringRef originalString,
                                                    CFStringRef charactersToLeaveUnescaped,
                                                    CFStringRef legalURLCharactersToBeEscaped,
                                                    CFStringEncoding encoding) {
    static const char hex[] = "0123456789ABCDEF";
    Units in;
    if (!CopyUnits(originalString, in)) {
        __CFComplain(__func__, "NULL or non-string original");
        return nullptr;
    }
    Units leave;
    Units escapeToo;
    CopyUnits(charactersToLeaveUnescaped, leave);
    CopyUnits(legalURLCharactersToBeEscaped, escapeToo);
    Units out;
    for (size_t i = 0; i < in.size();) {
        UniChar c = in[i];
        size_t width = (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
                        in[i + 1] <= 0xDFFF)
                           ? 2
                           : 1;
        bool escape = (!IsLegalURLCharacter(c) || Contains(escapeToo, c)) &&
                      !(width == 1 && Contains(leave, c));
        if (!escape) {
            out.push_back(c);
            ++i;
            continue;
        }
        UInt8 bytes[16];
        CFIndex used = 0;
        CFRange range = CFRangeMake(static_cast<CFIndex>(i), static_cast<CFIndex>(width));
        if (CFStringGetBytes(originalString, range, encoding, 0, false, bytes, sizeof bytes,
                             &used) != range.length)
            return nullptr; // no form in that encoding
        for (CFIndex k = 0; k < used; ++k) {
            out.push_back('%');
            out.push_back(static_cast<UniChar>(hex[bytes[k] >> 4]));
            out.push_back(static_cast<UniChar>(hex[bytes[k] & 15]));
        }
        i += width;
    }
    return CFStringCreateWithCharacters(allocator, out.data(), static_cast<CFIndex>(out.size()));
}
