// The Carbon File Manager over a POSIX file system: FSRef look-up, creation and deletion,
// data-fork I/O and the volume list.
//
// FSRef: as on Mac OS X, a reference names an object itself, never a path through a symbolic
// link. On this platform `hidden` holds the object's absolute path (UTF-8, NUL-terminated, at
// most 4040 bytes with its NUL, else bdNamErr) followed by the identity of the object and of
// the folder it was found in. FSPathMakeRef follows links in the path it is given and names
// what they lead to; FSMakeFSRefUnicode and the create calls name the child itself, so a
// reference can denote a symbolic link. Every call that acts on a reference reaches the object
// again relative to that folder without following any link and checks both are still the ones
// named: fnfErr when not (moved, removed, or a link or another item put in their place). A
// reference used as a parent that names a file or a symbolic link gives errFSNotAFolder. A
// reference whose `hidden` was not made by these calls is refused with errFSBadFSRef.
//
// Names are UTF-16 (UniChar), converted to UTF-8 paths. A name that is empty, "." or "..",
// holds '/' or NUL, or is not valid UTF-16 is refused with bdNamErr: a name never leaves
// its parent folder.
//
// Errors from the system map as follows: ENOENT fnfErr, EEXIST dupFNErr, EACCES and EPERM
// afpAccessDenied, ENOSPC/EFBIG/EDQUOT dskFulErr, ENOTDIR dirNFErr, ENAMETOOLONG bdNamErr,
// ENOTEMPTY/EBUSY fBsyErr, EROFS wPrErr, ELOOP and EISDIR notAFileErr (a symbolic link or a
// directory where a file was needed), EMFILE/ENFILE tmfoErr, ENOMEM memFullErr, anything
// else ioErr.
//
// Writing past RLIMIT_FSIZE raises SIGXFSZ, which kills the process by default; a caller
// that wants dskFulErr instead must ignore SIGXFSZ itself.
//
// Threading: every call may be made from any thread; the fork and volume tables are locked.
// Ownership: FSRefs and the other records are plain values owned by the caller. A fork
// reference number is owned by whoever opened it until FSCloseFork. The string vMDeviceID
// points to stays valid for the life of the process and must not be freed.
#pragma once

#include <MacTypes.h>
#include <Carbon/MacErrors.h>

typedef UInt32 TextEncoding;
typedef Ptr* Handle;

struct FSRef {
    UInt8 hidden[4096];
};
typedef struct FSRef FSRef;
typedef FSRef* FSRefPtr;

struct HFSUniStr255 {
    UInt16 length;
    UniChar unicode[255];
};
typedef struct HFSUniStr255 HFSUniStr255;
typedef const HFSUniStr255* ConstHFSUniStr255Param;

typedef SInt16 FSVolumeRefNum;
typedef SInt16 FSIORefNum;

enum { kFSInvalidVolumeRefNum = 0 };

#pragma pack(push, 2)
struct UTCDateTime {
    UInt16 highSeconds;
    UInt32 lowSeconds;
    UInt16 fraction;
};
#pragma pack(pop)
typedef struct UTCDateTime UTCDateTime;

// Only the name is filled in when an FSSpec is asked for; the rest is zero.
struct FSSpec {
    SInt16 vRefNum;
    SInt32 parID;
    Str63 name;
};
typedef struct FSSpec FSSpec;
typedef FSSpec* FSSpecPtr;

typedef UInt32 FSCatalogInfoBitmap;
enum { kFSCatInfoNone = 0x00000000 };

struct FSCatalogInfo {
    UInt16 nodeFlags;
    FSVolumeRefNum volume;
    UInt32 parentDirID;
    UInt32 nodeID;
    UInt8 sharingFlags;
    UInt8 userPrivileges;
    UInt8 reserved1;
    UInt8 reserved2;
    UTCDateTime createDate;
    UTCDateTime contentModDate;
    UTCDateTime attributeModDate;
    UTCDateTime accessDate;
    UTCDateTime backupDate;
    UInt32 permissions[4];
    UInt8 finderInfo[16];
    UInt8 extFinderInfo[16];
    UInt64 dataLogicalSize;
    UInt64 dataPhysicalSize;
    UInt64 rsrcLogicalSize;
    UInt64 rsrcPhysicalSize;
    UInt32 valence;
    TextEncoding textEncodingHint;
};
typedef struct FSCatalogInfo FSCatalogInfo;

// Fork permissions. Deny modes are accepted and not enforced.
enum {
    fsCurPerm = 0x00,
    fsRdPerm = 0x01,
    fsWrPerm = 0x02,
    fsRdWrPerm = 0x03,
    fsRdWrShPerm = 0x04,
    fsRdDenyPerm = 0x10,
    fsWrDenyPerm = 0x20,
};

// Position modes; the cache hints that may be or-ed in are accepted and ignored.
enum {
    fsAtMark = 0,
    fsFromStart = 1,
    fsFromLEOF = 2,
    fsFromMark = 3,
    pleaseCacheMask = 0x0004,
    noCacheMask = 0x0020,
};

struct FSVolumeInfo {
    UTCDateTime createDate;
    UTCDateTime modifyDate;
    UTCDateTime backupDate;
    UTCDateTime checkedDate;
    UInt32 fileCount;
    UInt32 folderCount;
    UInt64 totalBytes;
    UInt64 freeBytes;
    UInt32 blockSize;
    UInt32 totalBlocks;
    UInt32 freeBlocks;
    UInt32 nextAllocation;
    UInt32 rsrcClumpSize;
    UInt32 dataClumpSize;
    UInt32 nextCatalogID;
    UInt8 finderInfo[32];
    UInt16 flags;
    UInt16 filesystemID;
    UInt16 signature;
    UInt16 driveNumber;
    SInt16 driverRefNum;
};
typedef struct FSVolumeInfo FSVolumeInfo;

// Fields filled on this platform: Sizes (totalBytes, freeBytes), Blocks (blockSize,
// totalBlocks, freeBlocks, clamped to 32 bits), Flags (the lock bits for a read-only mount)
// and FSInfo (filesystemID 0, signature 'H+'). Other bits leave their fields untouched.
typedef UInt32 FSVolumeInfoBitmap;
enum {
    kFSVolInfoNone = 0x0000,
    kFSVolInfoCreateDate = 0x0001,
    kFSVolInfoModDate = 0x0002,
    kFSVolInfoBackupDate = 0x0004,
    kFSVolInfoCheckedDate = 0x0008,
    kFSVolInfoFileCount = 0x0010,
    kFSVolInfoDirCount = 0x0020,
    kFSVolInfoSizes = 0x0040,
    kFSVolInfoBlocks = 0x0080,
    kFSVolInfoNextAlloc = 0x0100,
    kFSVolInfoRsrcClump = 0x0200,
    kFSVolInfoDataClump = 0x0400,
    kFSVolInfoNextID = 0x0800,
    kFSVolInfoFinderInfo = 0x1000,
    kFSVolInfoFlags = 0x2000,
    kFSVolInfoFSInfo = 0x4000,
    kFSVolInfoDriveInfo = 0x8000,
    kFSVolInfoGettableInfo = 0xFFFF,
};

enum {
    kFSVolFlagHardwareLockedMask = 0x0080,
    kFSVolFlagSoftwareLockedMask = 0x8000,
};

enum { kHFSPlusSigWord = 0x482B };

// The parameter-block interface, as far as PBHGetVolParmsSync needs it: the I/O view only.
typedef struct QElem* QElemPtr;
typedef void (*IOCompletionUPP)(void* paramBlock);

struct HIOParam {
    QElemPtr qLink;
    SInt16 qType;
    SInt16 ioTrap;
    Ptr ioCmdAddr;
    IOCompletionUPP ioCompletion;
    volatile OSErr ioResult;
    StringPtr ioNamePtr;
    SInt16 ioVRefNum;
    SInt16 ioRefNum;
    SInt8 ioVersNum;
    SInt8 ioPermssn;
    Ptr ioMisc;
    Ptr ioBuffer;
    SInt32 ioReqCount;
    SInt32 ioActCount;
    SInt16 ioPosMode;
    SInt32 ioPosOffset;
};
typedef struct HIOParam HIOParam;

union HParamBlockRec {
    HIOParam ioParam;
};
typedef union HParamBlockRec HParamBlockRec;
typedef HParamBlockRec* HParmBlkPtr;

// Fields on this platform: vMVersion 4, vMMaxNameLength 255, vMDeviceID the volume's BSD
// device name or NULL; the rest 0. Only the first ioReqCount bytes are written, so pass
// sizeof(GetVolParmsInfoBuffer) to receive vMDeviceID.
struct GetVolParmsInfoBuffer {
    SInt16 vMVersion;
    SInt32 vMAttrib;
    Handle vMLocalHand;
    SInt32 vMServerAdr;
    SInt32 vMVolumeGrade;
    SInt16 vMForeignPrivID;
    SInt32 vMExtendedAttributes;
    void* vMDeviceID;
    UniCharCount vMMaxNameLength;
};
typedef struct GetVolParmsInfoBuffer GetVolParmsInfoBuffer;

#ifdef __cplusplus
extern "C" {
#endif

// Paths. FSPathMakeRef succeeds only for an existing item (noErr, else fnfErr or the mapped
// error); isDirectory may be NULL. FSRefMakePath gives bdNamErr when maxPathSize is too small.
OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory);
OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize);
// noErr when both name the same existing item (same device and inode; a reference to a
// symbolic link names the link), errFSRefsDifferent when they do not, fnfErr when either
// item is gone.
OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2);

// Look-up, creation and deletion by name in a parent folder. The text-encoding hint is
// ignored. Catalog information other than kFSCatInfoNone is refused with paramErr.
// Creation fails with dupFNErr when anything, a dangling symbolic link included, has the name.
OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                         TextEncoding textEncodingHint, FSRef* newRef);
OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                          FSRef* newRef, FSSpec* newSpec);
OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                               FSRef* newRef, FSSpec* newSpec, UInt32* newDirID);
// A file or symbolic link is removed itself (never a link's target); a directory only when
// empty (fBsyErr otherwise).
OSErr FSDeleteObject(const FSRef* ref);

// Data-fork I/O. Only the data fork (the empty name) exists; other names give
// errFSForkNotFound. Opening a directory, a symbolic link or any non-regular file gives
// notAFileErr. The mark is the file position. Writes are complete or report why not
// (dskFulErr when the disk or the file-size limit is reached) with actualCount set to what
// was written; a read that meets the end of the fork gives eofErr with what it read.
// FSCloseFork reports a failure of the system's close (a file system may report a failed
// write only then) with the mapped error; the fork is closed either way.
OSErr FSGetDataForkName(HFSUniStr255* dataForkName);
OSErr FSOpenFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar* forkName,
                 SInt8 permissions, FSIORefNum* forkRefNum);
OSErr FSWriteFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                  ByteCount requestCount, const void* buffer, ByteCount* actualCount);
OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void* buffer, ByteCount* actualCount);
OSErr FSCloseFork(FSIORefNum forkRefNum);

// Volumes: the machine's block-device mounts, then the device host's simulated volumes.
// With volumeIndex > 0 the volume is chosen by 1-based index (nsvErr past the last one),
// otherwise by its reference number. Reference numbers are negative and stable for the life
// of the process (while numbers last: a gone volume's may be given to another then). A file
// system mounted twice is one volume; one no longer mounted where the walk found it gives
// volOffLinErr. A simulated volume has no root directory: asking for it gives fnfErr.
OSErr FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex, FSVolumeRefNum* actualVolume,
                      FSVolumeInfoBitmap whichInfo, FSVolumeInfo* info, HFSUniStr255* volumeName,
                      FSRef* rootDirectory);
// Uses ioVRefNum (ioNamePtr is ignored); nsvErr for a volume that is not mounted.
OSErr PBHGetVolParmsSync(HParmBlkPtr paramBlock);

#ifdef __cplusplus
}
#endif
