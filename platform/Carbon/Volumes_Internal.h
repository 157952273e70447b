// The volume list behind FSGetVolumeInfo and PBHGetVolParmsSync: the machine's block-device
// mounts (Volumes_Linux.cpp) followed by the device host's simulated volumes.
// Threading: the functions are safe from any thread. Ownership: plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tvb::files {

// One whole-file-system mount of a block device.
struct MountEntry {
    std::string mountPoint;
    std::string source;   // as the kernel shows it, e.g. /dev/sda1
    std::string bsdName;  // the kernel's device name, e.g. sda1
    uint64_t mountId = 0; // the kernel's number for this mount; 0: not checked
    std::string device;   // the file system's major:minor
};

// Parses the text of /proc/self/mountinfo, keeping mounts of /dev/ sources whose root is the
// file system's own root (bind mounts of a subtree are views of another volume). Malformed
// lines are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);

// Whether the path `mountPoint` leads to the mount `mountId` (0: any) now. A mount hidden
// beneath a later one, or unmounted, leaves a folder that belongs to another volume; where
// the kernel cannot tell, the answer is yes.
bool MountedAt(const std::string& mountPoint, uint64_t mountId);

// The mounts of the running system, in mount-table order, one for each file system: the
// first of its mounts that can be reached (the same file system mounted twice, or bound
// whole elsewhere, is one volume, as on the Mac). The kernel's table is read again
// only when it says the table changed (poll on mountinfo reports POLLPRI then), so asking
// whether anything changed costs one poll and no parsing. Readings are numbered from 1.
// A table named for tests is taken as it is, its mount numbers cleared.
// Threading: safe from any thread.
class MountList {
public:
    // Whether the table may differ from reading `version` (0: none yet).
    bool Changed(uint64_t version);
    // The current mounts; `version` gets the reading's number.
    std::vector<MountEntry> Read(uint64_t& version);
};
MountList& BlockDeviceMounts();

// The name a mount's volume shows: the mount point's last component, the host name for "/".
std::string VolumeNameForMountPoint(const std::string& mountPoint);

struct VolumeSizes {
    uint64_t totalBytes = 0, freeBytes = 0;
    uint32_t blockSize = 0;
    uint64_t totalBlocks = 0, freeBlocks = 0;
    bool readOnly = false;
};
// statvfs of the volume mounted at mountPoint as `mountId` (0: whatever is there); errno is
// left set on failure, ESTALE when that mount is no longer what the path leads to.
bool StatVolume(const std::string& mountPoint, uint64_t mountId, VolumeSizes& sizes);

// The BSD names PBHGetVolParmsSync may still hand out or has handed out lately. For tests only.
size_t InternedDeviceNamesForTesting();

// Reads mounts from `path` instead of /proc/self/mountinfo; empty restores the default, read
// afresh (a descriptor opened earlier shows the mount namespace it was opened in).
// For tests only.
void SetMountInfoPathForTesting(const std::string& path);

} // namespace tvb::files
