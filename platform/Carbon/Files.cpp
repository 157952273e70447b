// File Manager: references, names and the look-up, creation and deletion of items.
#include "Files_Internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace tvb::files {

bool RefPath(const FSRef* ref, std::string& path) {
    if (ref == nullptr)
        return false;
    const void* end = memchr(ref->hidden, '\0', sizeof ref->hidden);
    if (end == nullptr || ref->hidden[0] != '/')
        return false;
    path.assign(reinterpret_cast<const char*>(ref->hidden),
                static_cast<const UInt8*>(end) - ref->hidden);
    return true;
}

OSErr StoreRef(const std::string& path, FSRef* ref) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos)
        return bdNamErr;
    if (path.size() + 1 > sizeof ref->hidden)
        return bdNamErr;
    if (ref != nullptr) {
        memset(ref->hidden, 0, sizeof ref->hidden);
        memcpy(ref->hidden, path.data(), path.size());
    }
    return noErr;
}

OSErr ErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return noErr;
    case ENOENT:
        return fnfErr;
    case EEXIST:
        return dupFNErr;
    case EACCES:
    case EPERM:
        return afpAccessDenied;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
        return dskFulErr;
    case ENOTDIR:
        return dirNFErr;
    case ENAMETOOLONG:
        return bdNamErr;
    case ENOTEMPTY:
    case EBUSY:
        return fBsyErr;
    case EROFS:
        return wPrErr;
    case ELOOP:
    case EISDIR:
        return notAFileErr;
    case EMFILE:
    case ENFILE:
        return tmfoErr;
    case ENOMEM:
        return memFullErr;
    default:
        return ioErr;
    }
}

bool Utf16ToUtf8(const UniChar* units, size_t count, std::string& out) {
    out.clear();
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= count || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

namespace {

// Decodes one UTF-8 character at text[i]; advances i. Malformed input yields U+FFFD for
// one byte, so any byte string converts.
uint32_t DecodeUtf8(const std::string& text, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t lead = byte(i);
    size_t len;
    uint32_t c, min;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2, c = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3, c = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4, c = lead & 0x07, min = 0x10000;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + len > text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += len;
    return c;
}

} // namespace

size_t Utf8ToUtf16(const std::string& text, UniChar* units, size_t maxUnits) {
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        uint32_t c = DecodeUtf8(text, i);
        if (c >= 0x10000) {
            if (n + 2 > maxUnits)
                break;
            c -= 0x10000;
            units[n++] = static_cast<UniChar>(0xD800 + (c >> 10));
            units[n++] = static_cast<UniChar>(0xDC00 + (c & 0x3FF));
        } else {
            if (n + 1 > maxUnits)
                break;
            units[n++] = static_cast<UniChar>(c);
        }
    }
    return n;
}

OSErr ChildPath(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                std::string& path) {
    std::string parent;
    if (!RefPath(parentRef, parent))
        return errFSBadFSRef;
    if (name == nullptr && nameLength > 0)
        return paramErr;
    if (nameLength == 0 || nameLength > 255)
        return bdNamErr;
    std::string leaf;
    if (!Utf16ToUtf8(name, nameLength, leaf))
        return bdNamErr;
    if (leaf == "." || leaf == ".." ||
        leaf.find_first_of(std::string("/\0", 2)) != std::string::npos)
        return bdNamErr;
    path = parent;
    if (path.back() != '/')
        path += '/';
    path += leaf;
    if (path.size() + 1 > sizeof parentRef->hidden)
        return bdNamErr;
    return noErr;
}

} // namespace tvb::files

using namespace tvb::files;

namespace {

struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};

void FillSpec(const std::string& path, FSSpec* fsSpec) {
    if (fsSpec == nullptr)
        return;
    memset(fsSpec, 0, sizeof *fsSpec);
    std::string leaf = path.substr(path.rfind('/') + 1);
    size_t n = leaf.size() < 63 ? leaf.size() : 63;
    while (n > 0 && n < leaf.size() && (static_cast<uint8_t>(leaf[n]) & 0xC0) == 0x80)
        --n; // never cut a UTF-8 sequence
    fsSpec->name[0] = static_cast<unsigned char>(n);
    memcpy(fsSpec->name + 1, leaf.data(), n);
}

bool MakeEmptyFile(const std::string& path) {
    // O_EXCL refuses any existing name, a dangling symbolic link included, without following it.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// What creating a file and creating a folder share: `make` creates the item at its path, or
// returns false with errno set.
template <typename Make>
OSErr CreateItem(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                 FSCatalogInfoBitmap whichInfo, FSRef* newRef, FSSpec* newSpec, Make make) {
    if (whichInfo != kFSCatInfoNone)
        return paramErr;
    std::string path;
    OSErr err = ChildPath(parentRef, nameLength, name, path);
    if (err != noErr)
        return err;
    if (!make(path))
        return ErrorFromErrno(errno);
    FillSpec(path, newSpec);
    return StoreRef(path, newRef);
}

} // namespace

OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory) {
    if (path == nullptr)
        return paramErr;
    const char* p = reinterpret_cast<const char*>(path);
    struct stat st;
    if (stat(p, &st) != 0)
        return ErrorFromErrno(errno);
    std::unique_ptr<char, FreeDeleter> resolved(realpath(p, nullptr));
    if (!resolved)
        return ErrorFromErrno(errno);
    OSErr err = StoreRef(resolved.get(), ref);
    if (err == noErr && isDirectory != nullptr)
        *isDirectory = S_ISDIR(st.st_mode) ? TRUE : FALSE;
    return err;
}

OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize) {
    std::string p;
    if (!RefPath(ref, p))
        return errFSBadFSRef;
    if (path == nullptr)
        return paramErr;
    if (p.size() + 1 > maxPathSize)
        return bdNamErr;
    memcpy(path, p.c_str(), p.size() + 1);
    return noErr;
}

OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                         TextEncoding, FSRef* newRef) {
    std::string path;
    OSErr err = ChildPath(parentRef, nameLength, name, path);
    if (err != noErr)
        return err;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return ErrorFromErrno(errno);
    return StoreRef(path, newRef);
}

OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo*, FSRef* newRef,
                          FSSpec* newSpec) {
    return CreateItem(parentRef, nameLength, name, whichInfo, newRef, newSpec, MakeEmptyFile);
}

OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo*, FSRef* newRef,
                               FSSpec* newSpec, UInt32* newDirID) {
    return CreateItem(parentRef, nameLength, name, whichInfo, newRef, newSpec,
                      [newDirID](const std::string& path) {
                          if (mkdir(path.c_str(), 0777) != 0)
                              return false;
                          if (newDirID != nullptr) {
                              struct stat st;
                              *newDirID = lstat(path.c_str(), &st) == 0
                                              ? static_cast<UInt32>(st.st_ino)
                                              : 0;
                          }
                          return true;
                      });
}

OSErr FSDeleteObject(const FSRef* ref) {
    std::string path;
    if (!RefPath(ref, path))
        return errFSBadFSRef;
    if (path == "/")
        return fBsyErr;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return ErrorFromErrno(errno);
    if (S_ISDIR(st.st_mode)) {
        if (rmdir(path.c_str()) != 0)
            return errno == EEXIST ? OSErr(fBsyErr) : ErrorFromErrno(errno);
        return noErr;
    }
    // unlink removes a symbolic link itself, never its target.
    if (unlink(path.c_str()) != 0)
        return ErrorFromErrno(errno);
    return noErr;
}
