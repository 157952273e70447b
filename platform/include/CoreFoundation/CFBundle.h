// Bundles: a directory with Contents/Info.plist, Contents/PkgInfo and Contents/MacOS/<executable>.
// Threading: a bundle is immutable after creation and may be read from any thread.
// Ownership: CFBundleCreate and CFBundleCopy* return new references; CFBundleGet* results
// belong to the bundle and live as long as it does.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

typedef struct __CFBundle* CFBundleRef;

CF_EXTERN_C_BEGIN

extern const CFStringRef kCFBundleInfoDictionaryVersionKey;
extern const CFStringRef kCFBundleExecutableKey;
extern const CFStringRef kCFBundleIdentifierKey;
extern const CFStringRef kCFBundleVersionKey;
extern const CFStringRef kCFBundleNameKey;

CFTypeID CFBundleGetTypeID(void);

// The bundle holding the running executable (Name.app/Contents/MacOS/...), or else the
// executable's folder, whose identifier is then NULL. Created once; never released.
CFBundleRef CFBundleGetMainBundle(void);

// NULL unless bundleURL names an existing directory. A directory without an
// Info.plist is still a bundle, with an empty info dictionary.
CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);

// Never NULL for a valid bundle (possibly empty).
CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle);
CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);

// Contents/MacOS/<CFBundleExecutable> (or the bundle's name without extension when
// the key is missing); NULL when that file does not exist.
CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle);

// Four-character codes, e.g. 'APPL'. Each comes from Info.plist (CFBundlePackageType,
// CFBundleSignature) or else from Contents/PkgInfo; otherwise 'BNDL' and '????'.
// Either pointer may be NULL.
void CFBundleGetPackageInfo(CFBundleRef bundle, UInt32* packageType, UInt32* packageCreator);

CF_EXTERN_C_END
