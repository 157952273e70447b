// Launch Services: opening an application bundle, optionally with documents.
//
// When a copy of the bundle already runs for this user (an application process of the bundle,
// as the Process Manager finds them), the documents go to that copy as an open-documents Apple
// event (kCoreEventClass/kAEOpenDocuments; with no documents, a reopen event), and its answer
// is the result: 0 when its handler took them, the handler's error, or errAEEventNotHandled
// when it has no handler. Copies are asked one at a time, each within its share of 2 s, so that
// a stopped one leaves time for the others. A copy that does not answer in time (not running
// its event loop, stopped, busy) counts as not running, and so does one that exits meanwhile.
// kLSLaunchNewInstance always starts a new copy.
//
// A new copy runs the bundle's executable detached from the caller (its own session,
// standard input on /dev/null, standard output and errors to the journal under the
// executable's name (control characters as '_') when journald runs and to /dev/null otherwise, no
// other inherited descriptors, default signal state, the caller's environment), with each
// document's path as one argument. A new copy that has not reached its exec within 5 s (stopped,
// stuck) makes the open fail with errAETimeout, as a launch that never checks in does on Mac OS X;
// should its process be continued later, the application still starts. A quit signal caught by
// the application event loop ends these waits at once, and an open made after it starts
// nothing: the open fails with userCanceledErr (an application's process already made is left
// to run). Threading: any thread; an open may wait up to the bounds for a running copy's answer
// and for a new copy's exec. Ownership: the caller keeps every FSRef it passes.
#pragma once

#include <MacTypes.h>
#include <Carbon/Files.h>
#include <Carbon/MacErrors.h>

#ifndef __OPTIONBITS_DEFINED
#define __OPTIONBITS_DEFINED
typedef UInt32 OptionBits;
#endif

struct AEDesc;
typedef struct AEDesc AEDesc;

// Launch Services result codes beyond those in MacErrors.h.
enum {
    kLSAppInTrashErr = -10660,
    kLSExecutableIncorrectFormat = -10661,
    kLSUnknownErr = -10810,
    kLSNotAnApplicationErr = -10811,
    kLSNotInitializedErr = -10812,
    kLSDataUnavailableErr = -10813,
    kLSUnknownTypeErr = -10815,
    kLSDataTooOldErr = -10816,
    kLSDataErr = -10817,
    kLSLaunchInProgressErr = -10818,
    kLSNotRegisteredErr = -10819,
    kLSAppDoesNotClaimTypeErr = -10820,
    kLSAppDoesNotSupportSchemeWarning = -10821,
    kLSServerCommunicationErr = -10822,
    kLSCannotSetInfoErr = -10823,
    kLSNoRegistrationInfoErr = -10824,
    kLSIncompatibleSystemVersionErr = -10825,
    kLSNoLaunchPermissionErr = -10826,
    kLSNoClassicEnvironmentErr = -10828,
    kLSMultipleSessionsNotSupportedErr = -10829
};

typedef OptionBits LSLaunchFlags;
// Accepted for source compatibility; only kLSLaunchNewInstance changes anything here.
enum {
    kLSLaunchDefaults = 0x00000001,
    kLSLaunchAndPrint = 0x00000002,
    kLSLaunchAndDisplayErrors = 0x00000040,
    kLSLaunchInhibitBGOnly = 0x00000080,
    kLSLaunchDontAddToRecents = 0x00000100,
    kLSLaunchDontSwitch = 0x00000200,
    kLSLaunchNoParams = 0x00000800,
    kLSLaunchAsync = 0x00010000,
    kLSLaunchStartClassic = 0x00020000,
    kLSLaunchInClassic = 0x00040000,
    kLSLaunchNewInstance = 0x00080000,
    kLSLaunchAndHide = 0x00100000,
    kLSLaunchAndHideOthers = 0x00200000,
    kLSLaunchHasUntrustedContents = 0x00400000
};

struct LSLaunchFSRefSpec {
    const FSRef* appRef;
    ItemCount numDocs;
    const FSRef* itemRefs;
    const AEDesc* passThruParams; // ignored
    LSLaunchFlags launchFlags;
    void* asyncRefCon; // ignored
};
typedef struct LSLaunchFSRefSpec LSLaunchFSRefSpec;

#ifdef __cplusplus
extern "C" {
#endif

// 0 only once the executable has really been started (exec succeeded), or a running copy
// has taken the documents.
// paramErr for a NULL launch request, NULL appRef, or documents without itemRefs;
// kLSApplicationNotFoundErr when appRef is not a bundle directory;
// kLSNoExecutableErr when its executable is missing or not executable;
// kLSExecutableIncorrectFormat when the kernel refuses to run it;
// kLSUnknownErr when the process made for it dies before its exec (of a signal, say).
// outLaunchedRef, when non-NULL, receives the application's reference.
OSStatus LSOpenFromRefSpec(const LSLaunchFSRefSpec* inLaunchSpec, FSRef* outLaunchedRef);

// An application is launched with no documents; anything else is not supported here.
OSStatus LSOpenFSRef(const FSRef* inRef, FSRef* outLaunchedRef);

#ifdef __cplusplus
}
#endif
