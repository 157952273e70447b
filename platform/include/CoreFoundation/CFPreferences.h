// Application preferences: the current user's per-application property-list files,
// $HOME/Library/Preferences/<applicationID>.plist (XML or binary).
// Threading: every function may be called from any thread; pending values set with
// CFPreferencesSetAppValue are shared process-wide and guarded internally.
// Ownership: CFPreferencesCopyAppValue returns a new reference (Create/Copy rule);
// CFPreferencesSetAppValue retains the value until the domain is synchronized.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

// Domain names. AnyApplication is the global domain (".GlobalPreferences");
// CurrentApplication is the identifier of the running application's bundle.
extern const CFStringRef kCFPreferencesAnyApplication;
extern const CFStringRef kCFPreferencesCurrentApplication;
extern const CFStringRef kCFPreferencesAnyHost;
extern const CFStringRef kCFPreferencesCurrentHost;
extern const CFStringRef kCFPreferencesAnyUser;
extern const CFStringRef kCFPreferencesCurrentUser;

// The value of key in the application's domain, falling back to the global domain;
// NULL when neither holds it or the file cannot be read as a dictionary.
CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID);

// Sets (value non-NULL) or removes (value NULL) key in memory; visible to
// CFPreferencesCopyAppValue at once, written by CFPreferencesAppSynchronize.
void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID);

// Writes the pending values of the domain into its file (XML, replaced atomically, its mode
// kept; a link is followed and the file it names replaced). Other keys in the file stay.
// False, with the file left as it was and the pending values kept, when the file is there but
// cannot be read as a dictionary (damaged, over 8 MiB, not a regular file, unreadable), may
// not be written, would be too big or too deep to read back, or could not be written.
// Writers in other processes that use these functions take turns, so none loses another's keys.
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);

CF_EXTERN_C_END
