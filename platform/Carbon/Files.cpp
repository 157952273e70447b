// File Manager: references, names and the look-up, creation and deletion of items. How a
// reference names its object and why no link is ever followed: Files_Internal.h.
#include "Files_Internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <memory>

namespace tvb::files {

namespace {

// Kept at the end of `hidden`, after the path.
struct Stamp {
    UInt32 tag;
    UInt32 reserved;
    NodeID node;
    NodeID folder;
};
constexpr UInt32 kStampTag = 0x74764652; // 'tvFR'
static_assert(sizeof(Stamp) == 56, "the path's room in an FSRef is documented in Files.h");
constexpr size_t kStampOffset = sizeof(FSRef::hidden) - sizeof(Stamp);

constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// "/a/b" -> "/a" and "b"; "/a" -> "/" and "a"; "/" -> "/" and "".
void SplitPath(const std::string& path, std::string& folder, std::string& name) {
    size_t slash = path.find_last_of('/');
    folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    name = path.substr(slash + 1);
}

// Opens the folder at an absolute path one component at a time, following no link: a link or
// a file on the way means the folder is not there (fnfErr).
OSErr OpenFolderNoFollow(const std::string& path, UniqueFd& out) {
    UniqueFd folder(open("/", kWalkFlags));
    if (!folder)
        return ErrorFromErrno(errno);
    for (size_t start = 1; start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty())
            continue;
        if (component == "." || component == "..")
            return errFSBadFSRef;
        UniqueFd next(openat(folder.Get(), component.c_str(), kWalkFlags));
        if (!next)
            return errno == ENOTDIR || errno == ELOOP ? OSErr(fnfErr) : ErrorFromErrno(errno);
        folder = std::move(next);
    }
    out = std::move(folder);
    return noErr;
}

void WriteStamp(const std::string& path, const NodeID& node, const NodeID& folder, FSRef* ref) {
    Stamp stamp = {kStampTag, 0, node, folder};
    memset(ref->hidden, 0, sizeof ref->hidden);
    memcpy(ref->hidden, path.data(), path.size());
    memcpy(ref->hidden + kStampOffset, &stamp, sizeof stamp);
}

bool ReadStamp(const FSRef* ref, std::string& path, NodeID& node, NodeID& folder) {
    if (ref == nullptr || ref->hidden[0] != '/')
        return false;
    const void* end = memchr(ref->hidden, '\0', kStampOffset);
    if (end == nullptr)
        return false;
    Stamp stamp;
    memcpy(&stamp, ref->hidden + kStampOffset, sizeof stamp);
    if (stamp.tag != kStampTag)
        return false;
    path.assign(reinterpret_cast<const char*>(ref->hidden),
                static_cast<const UInt8*>(end) - ref->hidden);
    node = stamp.node;
    folder = stamp.folder;
    return true;
}

// Whether the item `info` tells of, in `folder` (or `folder` itself), lies on an overlay,
// which copies a lower item up when it or a child of it is first written: the same item
// then, with the birth time of its copy. A mount's root is never copied up, and any other
// item lies on its folder's file system. Overlays, as all file systems without a device,
// have major number 0, so others cost no look.
bool CopiesUp(int folder, const struct statx& info) {
    struct statfs fileSystem;
    return info.stx_dev_major == 0 && (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0 &&
           fstatfs(folder, &fileSystem) == 0 && fileSystem.f_type == OVERLAYFS_SUPER_MAGIC;
}

} // namespace

SInt64 BirthStamp(SInt64 seconds, UInt32 nanoseconds) {
    // Modulo 2^64: a drive's file system may carry any time, and only sameness counts.
    return static_cast<SInt64>(static_cast<UInt64>(seconds) * 1000000000u + nanoseconds);
}

bool Inspect(int folder, const std::string& name, NodeID& node, mode_t& mode) {
    struct statx info;
    int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    if (statx(folder, name.c_str(), flags, STATX_TYPE | STATX_INO | STATX_BTIME, &info) != 0)
        return false;
    node.device = (static_cast<UInt64>(info.stx_dev_major) << 32) | info.stx_dev_minor;
    node.inode = info.stx_ino;
    node.birth = (info.stx_mask & STATX_BTIME) != 0 && !CopiesUp(folder, info)
                     ? BirthStamp(info.stx_btime.tv_sec, info.stx_btime.tv_nsec)
                     : 0;
    mode = info.stx_mode;
    return true;
}

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
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed.size() + 1 > kStampOffset)
        return bdNamErr;
    std::string folderPath, name;
    SplitPath(trimmed, folderPath, name);
    UniqueFd folder;
    OSErr err = OpenFolderNoFollow(folderPath, folder);
    if (err != noErr)
        return err;
    NodeID folderNode, node;
    mode_t mode;
    if (!Inspect(folder.Get(), "", folderNode, mode) || !Inspect(folder.Get(), name, node, mode))
        return ErrorFromErrno(errno);
    if (ref != nullptr)
        WriteStamp(trimmed, node, folderNode, ref);
    return noErr;
}

OSErr LocateRef(const FSRef* ref, Located& found) {
    NodeID folderNode;
    if (!ReadStamp(ref, found.path, found.node, folderNode))
        return errFSBadFSRef;
    std::string folderPath;
    SplitPath(found.path, folderPath, found.name);
    if (found.name == "." || found.name == "..")
        return errFSBadFSRef;
    OSErr err = OpenFolderNoFollow(folderPath, found.folder);
    if (err != noErr)
        return err;
    NodeID now;
    if (!Inspect(found.folder.Get(), "", now, found.mode))
        return ErrorFromErrno(errno);
    if (now != folderNode)
        return fnfErr;
    if (!Inspect(found.folder.Get(), found.name, now, found.mode))
        return ErrorFromErrno(errno);
    return now == found.node ? OSErr(noErr) : OSErr(fnfErr);
}

OSErr OpenRefFolder(const FSRef* ref, UniqueFd& folder, std::string& path, NodeID& node) {
    Located found;
    OSErr err = LocateRef(ref, found);
    if (err != noErr)
        return err;
    if (!S_ISDIR(found.mode))
        return errFSNotAFolder;
    if (!found.name.empty()) {
        UniqueFd inner(openat(found.folder.Get(), found.name.c_str(), kWalkFlags));
        // Replaced since it was looked at: not the folder the reference names any more.
        if (!inner)
            return errno == ENOTDIR || errno == ELOOP ? OSErr(fnfErr) : ErrorFromErrno(errno);
        NodeID now;
        mode_t mode;
        if (!Inspect(inner.Get(), "", now, mode))
            return ErrorFromErrno(errno);
        if (now != found.node)
            return fnfErr;
        found.folder = std::move(inner);
    }
    folder = std::move(found.folder);
    path = found.path;
    node = found.node;
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

OSErr ChildName(const std::string& folderPath, UniCharCount nameLength, const UniChar* name,
                std::string& leaf) {
    if (name == nullptr && nameLength > 0)
        return paramErr;
    if (nameLength == 0 || nameLength > 255)
        return bdNamErr;
    if (!Utf16ToUtf8(name, nameLength, leaf))
        return bdNamErr;
    if (leaf == "." || leaf == ".." ||
        leaf.find_first_of(std::string("/\0", 2)) != std::string::npos)
        return bdNamErr;
    size_t pathSize = folderPath.size() + (folderPath == "/" ? 0 : 1) + leaf.size();
    return pathSize + 1 > kStampOffset ? OSErr(bdNamErr) : OSErr(noErr);
}

OSErr StoreChildRef(const std::string& folderPath, const NodeID& folderNode,
                    const std::string& leaf, const NodeID& node, FSRef* ref) {
    std::string path = folderPath == "/" ? "/" + leaf : folderPath + "/" + leaf;
    if (path.size() + 1 > kStampOffset)
        return bdNamErr;
    if (ref != nullptr)
        WriteStamp(path, node, folderNode, ref);
    return noErr;
}

} // namespace tvb::files

using namespace tvb::files;

namespace {

struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};

void FillSpec(const std::string& leaf, FSSpec* fsSpec) {
    if (fsSpec == nullptr)
        return;
    memset(fsSpec, 0, sizeof *fsSpec);
    size_t n = leaf.size() < 63 ? leaf.size() : 63;
    while (n > 0 && n < leaf.size() && (static_cast<uint8_t>(leaf[n]) & 0xC0) == 0x80)
        --n; // never cut a UTF-8 sequence
    fsSpec->name[0] = static_cast<unsigned char>(n);
    memcpy(fsSpec->name + 1, leaf.data(), n);
}

// Where a named child of a parent reference is looked up or made: the parent folder, opened
// without following a link, and the child's UTF-8 name.
struct ChildPlace {
    tvb::UniqueFd folder;
    std::string folderPath;
    NodeID folderNode;
    std::string leaf;

    OSErr Find(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name) {
        OSErr err = OpenRefFolder(parentRef, folder, folderPath, folderNode);
        if (err != noErr)
            return err;
        return ChildName(folderPath, nameLength, name, leaf);
    }
    // The child as it is now, not following a link.
    OSErr StoreRef(FSRef* ref, UInt32* inode = nullptr) const {
        NodeID node;
        mode_t mode;
        if (!Inspect(folder.Get(), leaf, node, mode))
            return ErrorFromErrno(errno);
        if (inode != nullptr)
            *inode = static_cast<UInt32>(node.inode);
        return StoreChildRef(folderPath, folderNode, leaf, node, ref);
    }
};

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
    ChildPlace place;
    OSErr err = place.Find(parentRef, nameLength, name);
    if (err != noErr)
        return err;
    return place.StoreRef(newRef);
}

OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo*, FSRef* newRef,
                          FSSpec* newSpec) {
    if (whichInfo != kFSCatInfoNone)
        return paramErr;
    ChildPlace place;
    OSErr err = place.Find(parentRef, nameLength, name);
    if (err != noErr)
        return err;
    // O_EXCL refuses any existing name, a dangling symbolic link included, without following it.
    tvb::UniqueFd file(openat(place.folder.Get(), place.leaf.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    NodeID node;
    mode_t mode;
    if (!file || !Inspect(file.Get(), "", node, mode))
        return ErrorFromErrno(errno);
    FillSpec(place.leaf, newSpec);
    return StoreChildRef(place.folderPath, place.folderNode, place.leaf, node, newRef);
}

OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo*, FSRef* newRef,
                               FSSpec* newSpec, UInt32* newDirID) {
    if (whichInfo != kFSCatInfoNone)
        return paramErr;
    ChildPlace place;
    OSErr err = place.Find(parentRef, nameLength, name);
    if (err != noErr)
        return err;
    if (mkdirat(place.folder.Get(), place.leaf.c_str(), 0777) != 0)
        return ErrorFromErrno(errno);
    FillSpec(place.leaf, newSpec);
    return place.StoreRef(newRef, newDirID);
}

OSErr FSDeleteObject(const FSRef* ref) {
    Located found;
    OSErr err = LocateRef(ref, found);
    if (err != noErr)
        return err;
    if (found.name.empty())
        return fBsyErr;
    // Without AT_REMOVEDIR a symbolic link is removed itself, never its target.
    int flags = S_ISDIR(found.mode) ? AT_REMOVEDIR : 0;
    if (unlinkat(found.folder.Get(), found.name.c_str(), flags) != 0)
        return errno == EEXIST ? OSErr(fBsyErr) : ErrorFromErrno(errno);
    return noErr;
}
