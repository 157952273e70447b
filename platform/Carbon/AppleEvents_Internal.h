// Private side of the Apple Event Manager: events made and dispatched in this process, the
// application event loop's listener, and the sender Launch Services uses.
//
// Transport: while its application event loop runs, a process listens on a Unix
// seqpacket socket named by its pid in a private folder of its user (mode 0700, owned by
// the user: $XDG_RUNTIME_DIR/tvb-appleevents, else /tmp/tvb-appleevents-UID). A sender finds
// the socket from the target's pid (in the other folder when a target started in another
// environment is not in its own, or the sender has none: /tmp's, or that of /run/user/UID),
// checks the listener's credentials (same user, that pid), sends one packet (class, ID,
// documents' paths) and waits for one packet (the status). The listener refuses connections
// from other users, answers on the main run loop and drops an event whose sender has already
// given up. It never waits on a connection: it reads one when its packet is there, keeping at
// most 8 unfinished ones (the oldest silent one goes first) for 2 s each.
// Threading: the listener lives on the thread that runs the application event loop; the
// sender may be used from any thread. Ownership: callers own every descriptor they pass.
#pragma once

#include <Carbon/AEDataModel.h>
#include <CoreFoundation/CoreFoundation.h>

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

// A new, empty Apple event of that class and ID (no target, no parameters).
OSErr __AECreateEvent(AEEventClass eventClass, AEEventID eventID, AppleEvent* result);
// Calls the installed handler with a fresh reply and returns its status, or
// errAEEventNotHandled when none matches.
OSErr __AEDispatch(const AppleEvent* event);

// Called by RunApplicationEventLoop around its run.
void __AEStartServing(CFRunLoopRef loop);
void __AEStopServing();

namespace tvb::appleevents {

// The folder of the current user's event sockets, made when asked and missing; empty when
// it cannot be made or is not private to the user.
std::string EventsFolder(bool create);
// The socket a process listens on; empty when the folder is unusable.
std::string SocketPathFor(const std::string& folder, pid_t pid);

struct Answer {
    bool answered = false; // false: no listener, wrong credentials, or no answer in time
    OSErr status = noErr;  // the handler's status when answered
};

// Sends (eventClass, eventID) with the documents as typeFSRef items of keyDirectObject (no
// parameter when there are none) to pid, waiting until deadline at most.
Answer SendEvent(pid_t pid, AEEventClass eventClass, AEEventID eventID,
                 const std::vector<std::string>& documents,
                 std::chrono::steady_clock::time_point deadline);

} // namespace tvb::appleevents
