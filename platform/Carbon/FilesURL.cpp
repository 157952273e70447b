// CFURLCreateFromFSRef is declared with CFURL, where Apple has it, but lives here with the File
// Manager, the one place that knows what an FSRef holds: CoreFoundation does not know Carbon.
#include "Files_Internal.h"

#include <CoreFoundation/CFURL.h>

#include <string>

#include <sys/stat.h>

CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const struct FSRef* fsRef) {
    std::string path;
    if (!tvb::files::RefPath(fsRef, path))
        return nullptr;
    struct stat info;
    bool isDirectory = stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    return CFURLCreateFromFileSystemRepresentation(allocator,
                                                   reinterpret_cast<const UInt8*>(path.data()),
                                                   static_cast<CFIndex>(path.size()), isDirectory);
}
