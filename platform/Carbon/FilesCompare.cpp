#include <Carbon/Carbon.h>

#include <errno.h>
#include <sys/stat.h>

#include "Files_Internal.h"

OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2) {
    std::string path1;
    std::string path2;
    if (!tvb::files::RefPath(ref1, path1) || !tvb::files::RefPath(ref2, path2))
        return errFSBadFSRef;
    struct stat st1;
    struct stat st2;
    if (stat(path1.c_str(), &st1) != 0 || stat(path2.c_str(), &st2) != 0)
        return tvb::files::ErrorFromErrno(errno);
    if (st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino)
        return noErr;
    return errFSRefsDifferent;
}
