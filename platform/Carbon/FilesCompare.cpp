#include <Carbon/Carbon.h>

#include "Files_Internal.h"

OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2) {
    tvb::files::Located first, second;
    OSErr err = tvb::files::LocateRef(ref1, first);
    if (err == noErr)
        err = tvb::files::LocateRef(ref2, second);
    if (err != noErr)
        return err;
    return first.node == second.node ? OSErr(noErr) : OSErr(errFSRefsDifferent);
}
