// How the Folder Manager reads the desktop's user-dirs.dirs, apart from finding the file.
// Threading: no shared state. Ownership: plain values.
#pragma once

#include <string>

namespace tvb::files {

// The value of `key` in the text of user-dirs.dirs: a double-quoted "$HOME/..." or absolute
// path, with backslash escapes. The last valid assignment wins; anything else is ignored, and
// empty means none.
std::string UserDirFromText(const std::string& text, const std::string& home,
                            const std::string& key);

} // namespace tvb::files
