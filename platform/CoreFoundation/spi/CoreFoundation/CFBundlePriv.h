// CoreFoundation's private interface for the Process Manager and Launch Services, which find
// applications by path rather than by URL (target CoreFoundationSPI; not for the daemon).
// Threading: no shared state. Ownership: __CFBundleCreateWithPath returns a new reference.
#pragma once

#include <CoreFoundation/CFBundle.h>

#include <string>

// The innermost Name.app around an executable inside its Contents/MacOS; empty when there is
// none.
std::string __CFBundlePathForExecutable(const std::string& executable);

// CFBundleCreate for a file-system path; NULL when it names no directory.
CFBundleRef __CFBundleCreateWithPath(CFAllocatorRef allocator, const std::string& path);
