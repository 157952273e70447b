// Helpers shared by the File Manager, Folder Manager and volume code: what an FSRef holds and
// how its object is reached again, UTF-16 names <-> UTF-8, errno -> Carbon result codes.
//
// On Mac OS X an FSRef names an object itself (volume and catalog node), so no call made with
// one ever reaches through a symbolic link. Here `hidden` holds at its start the object's
// absolute path (UTF-8, NUL-terminated) and at its end a stamp: the identity (device, inode
// and birth time) of the object and of the folder it was found in. No link lies on that path before
// the object, because every reference is made from a resolved path or as a child of a folder
// reached without following one; the object itself may be a link, and then it is the link.
//
// Every call that acts on a reference walks the path again from "/" one component at a time
// with O_PATH|O_DIRECTORY|O_NOFOLLOW, checks the folder it reaches against the stamp, and acts
// relative to that folder's descriptor (fstatat, openat, mkdirat, unlinkat, never following a
// link at the last component) on the object, itself checked against the stamp. A link swapped
// in anywhere on the way, or another object put in the place of the one named, makes the call
// fail with fnfErr instead of acting elsewhere; a reference whose object is a file or a link
// used as a parent folder gives errFSNotAFolder. (An item that takes the object's name in the
// instant between the check and a deletion is deleted instead: it is in the same folder.)
//
// Why no descriptor is kept: an FSRef is a plain value (80 bytes on Mac OS X) that callers copy,
// store and drop without telling the File Manager, so it cannot own one; and a process-wide cache
// of folder descriptors keyed by device and inode would grow with every folder ever named and
// keep removed folders and mounted volumes busy. The price is a few system calls per use, and
// that a moved object is gone for its reference (fnfErr), where Mac OS X's would follow it.
//
// Threading: no shared state; any thread. Ownership: strings are returned by value; a
// UniqueFd closes the descriptor it holds.
#pragma once

#include <Carbon/Files.h>
#include <tvb/UniqueFd.h>

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace tvb::files {

// Which object. File systems hand a freed inode number to the next new item at once, so the
// birth time (nanoseconds, 0 where the file system keeps none) tells the two apart. An
// overlay gives an item the birth time of its copy once it is copied up, so there it is 0 as
// well, and only the inode number tells.
struct NodeID {
    UInt64 device = 0;
    UInt64 inode = 0;
    SInt64 birth = 0;
    bool operator==(const NodeID& other) const {
        return device == other.device && inode == other.inode && birth == other.birth;
    }
    bool operator!=(const NodeID& other) const { return !(*this == other); }
};

// A birth time as NodeID holds it, for any time a file system may give (the year 2446 and
// later included).
SInt64 BirthStamp(SInt64 seconds, UInt32 nanoseconds);

// The identity and type of `name` in `folder`, not following a link; with an empty name, of
// what `folder` itself refers to. False with errno set when it cannot be found.
bool Inspect(int folder, const std::string& name, NodeID& node, mode_t& mode);

// The object a reference was made for, found again.
struct Located {
    std::string path; // as the reference holds it
    std::string name; // its last component; empty for "/"
    UniqueFd folder;  // the folder it was found in (for "/", "/" itself)
    NodeID node;
    mode_t mode = 0; // the object's type now, not following a link
};

// The path an FSRef holds, or false when it holds no absolute NUL-terminated path. For handing
// a location on (Launch Services, URLs, FSRefMakePath), never for acting on the object.
bool RefPath(const FSRef* ref, std::string& path);

// A reference to the object at `path`, an absolute path with no symbolic link before its last
// component (as realpath gives). fnfErr when the object is missing or a link lies on the way,
// bdNamErr when the path does not fit. A NULL ref only checks.
OSErr StoreRef(const std::string& path, FSRef* ref);

// errFSBadFSRef for a malformed or unstamped reference; fnfErr when the object is no longer
// where and what it was.
OSErr LocateRef(const FSRef* ref, Located& found);

// The folder a reference names, opened for acting inside it; errFSNotAFolder when the object
// is a file or a symbolic link (never followed).
OSErr OpenRefFolder(const FSRef* ref, UniqueFd& folder, std::string& path, NodeID& node);

// The UTF-8 form of an item's name in a folder. bdNamErr for a name that is empty, "." or
// "..", holds '/' or NUL, is not valid UTF-16 or is longer than 255 units, and when the item's
// path would not fit an FSRef.
OSErr ChildName(const std::string& folderPath, UniCharCount nameLength, const UniChar* name,
                std::string& leaf);

// Stamps a reference to `leaf`, the object `node` in the folder at folderPath. A NULL ref is
// left alone.
OSErr StoreChildRef(const std::string& folderPath, const NodeID& folderNode,
                    const std::string& leaf, const NodeID& node, FSRef* ref);

OSErr ErrorFromErrno(int err);

// UTF-16 -> UTF-8; false for an unpaired surrogate.
bool Utf16ToUtf8(const UniChar* units, size_t count, std::string& out);
// UTF-8 -> UTF-16 with at most maxUnits units, cut only between characters; malformed bytes
// become U+FFFD. Returns the number of units written.
size_t Utf8ToUtf16(const std::string& text, UniChar* units, size_t maxUnits);

} // namespace tvb::files
