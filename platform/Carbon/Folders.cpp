// Folder Manager: the user's well-known folders, found the way the desktop finds them.
#include <Carbon/Folders.h>

#include "Files_Internal.h"
#include "Folders_Internal.h"

#include <tvb/RegularFile.h>

#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>

using namespace tvb::files;

namespace {

struct WellKnownFolder {
    OSType type;
    const char* key;      // in user-dirs.dirs
    const char* fallback; // under $HOME
};

constexpr WellKnownFolder kWellKnownFolders[] = {
    {kDocumentsFolderType, "XDG_DOCUMENTS_DIR", "/Documents"},
    {kDesktopFolderType, "XDG_DESKTOP_DIR", "/Desktop"},
};

std::string HomeDirectory() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    struct passwd pwd, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pwd, buf, sizeof buf, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return std::string();
}

// The desktop writes user-dirs.dirs as a few hundred bytes; anything far larger is not one.
constexpr size_t kUserDirsMaxBytes = 64 * 1024;

} // namespace

std::string tvb::files::UserDirFromText(const std::string& text, const std::string& home,
                                        const std::string& key) {
    std::string line, result;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        size_t i = line.find_first_not_of(" \t");
        if (i == std::string::npos || line.compare(i, key.size(), key) != 0)
            continue;
        i = line.find_first_not_of(" \t", i + key.size());
        if (i == std::string::npos || line[i] != '=')
            continue;
        i = line.find_first_not_of(" \t", i + 1);
        if (i == std::string::npos || line[i] != '"')
            continue;
        std::string value;
        bool closed = false;
        for (++i; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                value += line[++i];
            } else if (line[i] == '"') {
                closed = true;
                break;
            } else {
                value += line[i];
            }
        }
        if (!closed)
            continue;
        if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/'))
            result = home + value.substr(5);
        else if (!value.empty() && value[0] == '/')
            result = value;
    }
    return result;
}

namespace {

std::string UserDirFromConfig(const std::string& home, const std::string& key) {
    const char* configHome = getenv("XDG_CONFIG_HOME");
    std::string config =
        configHome != nullptr && configHome[0] == '/' ? std::string(configHome) : home + "/.config";
    std::string text;
    // Every look-up of a folder reads the file, the poll timer's among them.
    if (!tvb::ReadRegularFile(config + "/user-dirs.dirs", kUserDirsMaxBytes, text))
        return std::string();
    return UserDirFromText(text, home, key);
}

// Creates the folder at an absolute path (no "//", no trailing '/') and any missing folder
// above it, one component at a time from the top: the path comes from a file the user can
// edit, so its depth must cost neither stack nor memory.
OSErr MakeDirectories(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? OSErr(noErr) : OSErr(dirNFErr);
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string prefix = path.substr(0, end);
        if (stat(prefix.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return dirNFErr;
        } else if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            return ErrorFromErrno(errno);
        }
        if (end == std::string::npos)
            return noErr;
    }
}

} // namespace

OSErr FSFindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                   FSRef* foundRef) {
    if (foundRef == nullptr)
        return paramErr;
    if (vRefNum != kUserDomain)
        return fnfErr;
    const WellKnownFolder* folder = std::find_if(
        std::begin(kWellKnownFolders), std::end(kWellKnownFolders),
        [folderType](const WellKnownFolder& known) { return known.type == folderType; });
    if (folder == std::end(kWellKnownFolders))
        return fnfErr;
    std::string home = HomeDirectory();
    if (home.empty())
        return fnfErr;
    std::string path = UserDirFromConfig(home, folder->key);
    if (path.empty())
        path = home + folder->fallback;
    // "a//b" names what "a/b" does; only a path that is long without them is refused.
    path.erase(
        std::unique(path.begin(), path.end(), [](char a, char b) { return a == '/' && b == '/'; }),
        path.end());
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.size() >= PATH_MAX)
        return bdNamErr;

    if (createFolder) {
        OSErr err = MakeDirectories(path);
        if (err != noErr)
            return err;
    }
    Boolean isDirectory = FALSE;
    FSRef found;
    OSStatus status =
        FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &found, &isDirectory);
    if (status != noErr)
        return static_cast<OSErr>(status);
    if (!isDirectory)
        return dirNFErr;
    *foundRef = found;
    return noErr;
}
