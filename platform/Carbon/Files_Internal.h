// Helpers shared by the File Manager, Folder Manager and volume code: FSRef <-> path,
// UTF-16 names <-> UTF-8, errno -> Carbon result codes.
// Threading: pure functions. Ownership: strings are returned by value.
#pragma once

#include <Carbon/Files.h>

#include <string>

namespace tvb::files {

// The path an FSRef holds, or false when it holds no absolute NUL-terminated path.
bool RefPath(const FSRef* ref, std::string& path);
// Stores an absolute path; bdNamErr when it does not fit.
OSErr StoreRef(const std::string& path, FSRef* ref);

OSErr ErrorFromErrno(int err);

// UTF-16 -> UTF-8; false for an unpaired surrogate.
bool Utf16ToUtf8(const UniChar* units, size_t count, std::string& out);
// UTF-8 -> UTF-16 with at most maxUnits units, cut only between characters; malformed bytes
// become U+FFFD. Returns the number of units written.
size_t Utf8ToUtf16(const std::string& text, UniChar* units, size_t maxUnits);

// parent's path + "/" + the name, refusing names that would leave the parent.
OSErr ChildPath(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                std::string& path);

} // namespace tvb::files
