// CFURLCreateFromFSRef belongs to CFURL's interface but knows the File Manager's FSRef, which on
// this platform starts with the absolute, NUL-terminated UTF-8 path of the item it names.
#include <Carbon/Files.h>
#include <CoreFoundation/CFURL.h>

#include <cstring>

#include <sys/stat.h>

CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const struct FSRef* fsRef) {
    if (fsRef == nullptr)
        return nullptr;
    const char* path = reinterpret_cast<const char*>(fsRef->hidden);
    size_t length = strnlen(path, sizeof fsRef->hidden);
    if (length == 0 || length == sizeof fsRef->hidden || path[0] != '/')
        return nullptr;
    struct stat info;
    bool isDirectory = stat(path, &info) == 0 && S_ISDIR(info.st_mode);
    return CFURLCreateFromFileSystemRepresentation(allocator, fsRef->hidden,
                                                   static_cast<CFIndex>(length), isDirectory);
}
