// The Carbon Folder Manager: well-known folders of the current user.
// kUserDomain only. Documents is the XDG_DOCUMENTS_DIR of $XDG_CONFIG_HOME/user-dirs.dirs
// (default $HOME/.config/user-dirs.dirs) when it is set there, else $HOME/Documents; Desktop
// likewise with XDG_DESKTOP_DIR and $HOME/Desktop. Other folders and domains give fnfErr.
// With kCreateFolder a missing folder is created (missing parents included, mode 0777 & umask).
// Threading: any thread. Ownership: the FSRef is the caller's.
#pragma once

#include <Carbon/Files.h>

enum {
    kOnAppropriateDisk = -32767,
    kSystemDomain = -32766,
    kLocalDomain = -32765,
    kNetworkDomain = -32764,
    kUserDomain = -32763,
    kClassicDomain = -32762,
};

enum {
    kCreateFolder = true,
    kDontCreateFolder = false,
};

enum {
    kDesktopFolderType = 0x6465736B,   // 'desk'
    kDocumentsFolderType = 0x646F6373, // 'docs'
};

#ifdef __cplusplus
extern "C" {
#endif

OSErr FSFindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                   FSRef* foundRef);

#ifdef __cplusplus
}
#endif
