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
    std::string source;  // as the kernel shows it, e.g. /dev/sda1
    std::string bsdName; // the kernel's device name, e.g. sda1
};

// Parses the text of /proc/self/mountinfo, keeping mounts of /dev/ sources whose root is the
// file system's own root (bind mounts of a subtree are views of another volume). Malformed
// lines are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);

// The mounts of the running system, in mount-table order. The kernel's table is read again
// only when it says the table changed (poll on mountinfo reports POLLPRI then), so asking
// whether anything changed costs one poll and no parsing. Readings are numbered from 1.
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
// statvfs of the mount point; errno is left set on failure.
bool StatVolume(const std::string& mountPoint, VolumeSizes& sizes);

// Reads mounts from `path` instead of /proc/self/mountinfo; empty restores the default.
// For tests only.
void SetMountInfoPathForTesting(const std::string& path);

} // namespace tvb::files
