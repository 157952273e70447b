// Process Manager: the running application processes of the current user.
// An application process is one whose executable lies inside an application bundle
// (Name.app/Contents/MacOS/...), or that was started through a bundle's executable which is a
// symbolic link to the program it runs, or, for a script bundle, an interpreter running a
// script (#!) that lies there, as the kernel starts it (/proc/PID/cmdline: the interpreter, the
// #! line's argument if any, the script); its signature is the bundle's creator code. A
// process that hides its executable (set-id, capable, or made undumpable) is judged by the
// path it was started by and its command name.
// Process serial numbers are {0, pid} (pids 1 and 2 are never listed: {0, 1} and {0, 2} mean
// the system and the current process). Walks run in pid order; a process that exits during a
// walk is not returned again, yet the one GetNextProcess just returned still answers
// GetProcessInformation with what it was, so a walk is never cut short by a process quitting.
// Threading: any thread. Ownership: callers own every buffer they pass in.
#pragma once

#include <MacTypes.h>
#include <sys/types.h>

struct FSRef;

struct ProcessSerialNumber {
    UInt32 highLongOfPSN;
    UInt32 lowLongOfPSN;
};
typedef struct ProcessSerialNumber ProcessSerialNumber;
typedef ProcessSerialNumber* ProcessSerialNumberPtr;

// Values of lowLongOfPSN with highLongOfPSN 0.
enum { kNoProcess = 0, kSystemProcess = 1, kCurrentProcess = 2 };

// processMode bits.
enum {
    modeDeskAccessory = 0x00020000,
    modeMultiLaunch = 0x00010000,
    modeNeedSuspendResume = 0x00004000,
    modeCanBackground = 0x00001000,
    modeDoesActivateOnFGSwitch = 0x00000800,
    modeOnlyBackground = 0x00000400,
    modeGetFrontClicks = 0x00000200,
    modeGetAppDiedMsg = 0x00000100,
    mode32BitCompatible = 0x00000080,
    modeHighLevelEventAware = 0x00000040,
    modeLocalAndRemoteHLEvents = 0x00000020,
    modeStationeryAware = 0x00000010,
    modeUseTextEditServices = 0x00000008,
    modeDisplayManagerAware = 0x00000004
};

// Set processInfoLength to sizeof(ProcessInfoRec) before asking. processName, when
// non-NULL, receives a Pascal string of up to 31 characters (a Str31 buffer);
// processAppSpec, when non-NULL, receives the application bundle.
struct ProcessInfoRec {
    UInt32 processInfoLength;
    StringPtr processName;
    ProcessSerialNumber processNumber;
    UInt32 processType;
    OSType processSignature;
    UInt32 processMode;
    Ptr processLocation;
    UInt32 processSize;
    UInt32 processFreeMem;
    ProcessSerialNumber processLauncher;
    UInt32 processLaunchDate; // ticks (1/60 s) since boot
    UInt32 processActiveTime;
    struct FSRef* processAppSpec;
};
typedef struct ProcessInfoRec ProcessInfoRec;
typedef ProcessInfoRec* ProcessInfoRecPtr;

#ifdef __cplusplus
extern "C" {
#endif

// Advances *PSN to the next application process; start with {0, kNoProcess}.
// procNotFound after the last one.
OSErr GetNextProcess(ProcessSerialNumber* PSN);

// paramErr when info is NULL or its processInfoLength is too small; procNotFound
// when PSN names no running application process (kCurrentProcess always works).
OSErr GetProcessInformation(const ProcessSerialNumber* PSN, ProcessInfoRec* info);

OSErr GetCurrentProcess(ProcessSerialNumber* PSN);
OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid);
OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn);
OSErr SameProcess(const ProcessSerialNumber* PSN1, const ProcessSerialNumber* PSN2,
                  Boolean* result);

#ifdef __cplusplus
}
#endif
