// File Manager volumes: the real mounts, then the device host's simulated volumes, each with a
// reference number that stays the same for the life of the process.
#include "Files_Internal.h"
#include "Volumes_Internal.h"

#include <TvbSession.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <mutex>
#include <set>

using namespace tvb::files;

namespace {

struct Volume {
    std::string key; // identity for the reference-number table
    std::string name;
    std::string bsdName; // empty: none
    std::string mountPoint;
    bool simulated = false;
    bool unreadable = false;
    uint64_t totalBytes = 0, freeBytes = 0; // simulated volumes only
};

class VolumeTable {
public:
    // The volume's number, given on first sight; 0 once the numbers have run out.
    FSVolumeRefNum RefNumFor(const std::string& key) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mRefNums.find(key);
        if (it != mRefNums.end())
            return it->second;
        if (mNext == 0)
            return 0;
        FSVolumeRefNum refNum = mNext;
        mNext = mNext == INT16_MIN ? 0 : mNext - 1;
        mRefNums.emplace(key, refNum);
        return refNum;
    }
    bool KeyFor(FSVolumeRefNum refNum, std::string& key) {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const auto& [k, n] : mRefNums)
            if (n == refNum) {
                key = k;
                return true;
            }
        return false;
    }
    // A copy of the name that lives as long as the process.
    const char* Intern(const std::string& name) {
        std::lock_guard<std::mutex> lock(mMutex);
        return mNames.insert(name).first->c_str();
    }

private:
    std::mutex mMutex;
    std::map<std::string, FSVolumeRefNum> mRefNums;
    std::set<std::string> mNames;
    FSVolumeRefNum mNext = -100;
};

VolumeTable& Table() {
    static VolumeTable* table = new VolumeTable; // interned names must outlive every caller
    return *table;
}

std::vector<Volume> RealVolumes() {
    std::vector<Volume> volumes;
    for (const MountEntry& mount : ListBlockDeviceMounts()) {
        Volume v;
        v.key = "mount\n" + mount.bsdName + "\n" + mount.mountPoint;
        v.name = VolumeNameForMountPoint(mount.mountPoint);
        v.bsdName = mount.bsdName;
        v.mountPoint = mount.mountPoint;
        volumes.push_back(std::move(v));
    }
    return volumes;
}

std::vector<Volume> FromHost(const tvb::wire::VolumeInfos& fetched) {
    std::vector<Volume> volumes;
    for (const auto& sim : fetched) {
        Volume v;
        v.key = "host\n" + std::to_string(sim.id) + "\n" + sim.bsdName + "\n" + sim.name;
        v.name = sim.name;
        v.bsdName = sim.bsdName;
        v.simulated = true;
        v.unreadable = sim.unreadable;
        v.totalBytes = sim.totalBytes;
        v.freeBytes = std::min(sim.freeBytes, sim.totalBytes);
        volumes.push_back(std::move(v));
    }
    return volumes;
}

// The host's volumes (all, or only `id`), through the process's one session; false when no
// host answers. `generation` is the registry generation the answer carries.
bool AskHost(uint64_t id, std::vector<Volume>& out, uint64_t& generation) {
    tvb::wire::VolumesRequest request;
    request.volume = id;
    tvb::wire::VolumesAnswer answer;
    tvb::wire::HostSession::Seen seen;
    if (tvb::wire::HostSession::Shared().Call(request, answer, tvb::wire::kRequestTimeoutMs, {},
                                              &seen) != tvb::wire::kStatusSuccess)
        return false;
    out = FromHost(answer.volumes);
    generation = seen.generation;
    return true;
}

// The volume list as one walk sees it. Index 1 starts a walk and takes a fresh list; later
// indexes reuse it while it is recent, so a walk over N volumes reads the mount table and asks
// the device host at most once instead of N times. The host's part is kept while the registry
// generation the host publishes has not moved, so that walks over an unchanged registry ask the
// host nothing. A volume that came or went since is seen by the next walk.
class WalkSnapshot {
public:
    bool Find(ItemCount index, Volume& found) {
        std::lock_guard<std::mutex> lock(mMutex);
        if (index == 1 || Clock::now() - mTaken > kMaxAge) {
            mVolumes = RealVolumes();
            const uint64_t current = tvb::wire::HostSession::Shared().CurrentGeneration();
            if (current == 0 || current != mGeneration) {
                mSimulated.clear();
                mGeneration = 0;
                if (!AskHost(0, mSimulated, mGeneration))
                    mSimulated.clear();
            }
            mVolumes.insert(mVolumes.end(), mSimulated.begin(), mSimulated.end());
            mTaken = Clock::now();
        }
        if (index == 0 || index > mVolumes.size())
            return false;
        found = mVolumes[index - 1];
        return true;
    }

    // A simulated volume of the current walk, while the registry is still at the generation
    // the walk's list came with (the host publishes it; reading it asks nothing).
    bool FindSimulated(const std::string& key, Volume& found) {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mGeneration == 0 || Clock::now() - mTaken > kMaxAge ||
            tvb::wire::HostSession::Shared().CurrentGeneration() != mGeneration)
            return false;
        for (const Volume& v : mVolumes)
            if (v.key == key) {
                found = v;
                return true;
            }
        return false;
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kMaxAge{1000};

    std::mutex mMutex;
    std::vector<Volume> mVolumes;
    std::vector<Volume> mSimulated; // the host's part, as of mGeneration
    Clock::time_point mTaken;
    uint64_t mGeneration = 0; // of the host's part of the list; 0: none
};

WalkSnapshot& Snapshot() {
    static WalkSnapshot* snapshot = new WalkSnapshot;
    return *snapshot;
}

// A volume by reference number, as it is now: only its own source is asked, and the host
// only about that one volume.
bool FindByRefNum(FSVolumeRefNum refNum, Volume& found) {
    std::string key;
    if (!Table().KeyFor(refNum, key))
        return false;
    std::vector<Volume> candidates;
    if (key.rfind("host\n", 0) == 0) {
        if (Snapshot().FindSimulated(key, found))
            return true;
        uint64_t generation = 0;
        AskHost(std::strtoull(key.c_str() + 5, nullptr, 10), candidates, generation);
    } else {
        candidates = RealVolumes();
    }
    for (Volume& v : candidates)
        if (v.key == key) {
            found = std::move(v);
            return true;
        }
    return false;
}

OSErr FindVolume(FSVolumeRefNum refNum, ItemCount index, Volume& found, FSVolumeRefNum& actual) {
    bool present =
        index > 0 ? Snapshot().Find(index, found) : refNum < 0 && FindByRefNum(refNum, found);
    if (!present)
        return nsvErr;
    actual = Table().RefNumFor(found.key);
    return actual != 0 ? OSErr(noErr) : OSErr(ioErr);
}

UInt32 Clamp32(uint64_t value) {
    return value > UINT32_MAX ? UINT32_MAX : static_cast<UInt32>(value);
}

} // namespace

OSErr FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex, FSVolumeRefNum* actualVolume,
                      FSVolumeInfoBitmap whichInfo, FSVolumeInfo* info, HFSUniStr255* volumeName,
                      FSRef* rootDirectory) {
    Volume v;
    FSVolumeRefNum actual = 0;
    OSErr err = FindVolume(volume, volumeIndex, v, actual);
    if (err != noErr)
        return err;
    if (v.unreadable)
        return ioErr;

    VolumeSizes sizes;
    if (v.simulated) {
        sizes.totalBytes = v.totalBytes;
        sizes.freeBytes = v.freeBytes;
        sizes.blockSize = 4096;
        sizes.totalBlocks = v.totalBytes / 4096;
        sizes.freeBlocks = v.freeBytes / 4096;
    } else if (info != nullptr &&
               (whichInfo & (kFSVolInfoSizes | kFSVolInfoBlocks | kFSVolInfoFlags)) != 0) {
        if (!StatVolume(v.mountPoint, sizes))
            return ErrorFromErrno(errno);
    }

    FSRef root;
    if (rootDirectory != nullptr) {
        if (v.simulated)
            return fnfErr;
        err = StoreRef(v.mountPoint, &root);
        if (err != noErr)
            return err;
    }

    // Everything is known: only now are the caller's records written.
    if (info != nullptr) {
        if (whichInfo & kFSVolInfoSizes) {
            info->totalBytes = sizes.totalBytes;
            info->freeBytes = sizes.freeBytes;
        }
        if (whichInfo & kFSVolInfoBlocks) {
            info->blockSize = sizes.blockSize;
            info->totalBlocks = Clamp32(sizes.totalBlocks);
            info->freeBlocks = Clamp32(sizes.freeBlocks);
        }
        if (whichInfo & kFSVolInfoFlags)
            info->flags = sizes.readOnly ? UInt16(kFSVolFlagHardwareLockedMask) : UInt16(0);
        if (whichInfo & kFSVolInfoFSInfo) {
            info->filesystemID = 0;
            info->signature = kHFSPlusSigWord;
        }
    }
    if (volumeName != nullptr)
        volumeName->length = static_cast<UInt16>(Utf8ToUtf16(v.name, volumeName->unicode, 255));
    if (rootDirectory != nullptr)
        *rootDirectory = root;
    if (actualVolume != nullptr)
        *actualVolume = actual;
    return noErr;
}

OSErr PBHGetVolParmsSync(HParmBlkPtr paramBlock) {
    if (paramBlock == nullptr)
        return paramErr;
    HIOParam& io = paramBlock->ioParam;
    io.ioActCount = 0;
    const auto finish = [&](OSErr err) {
        io.ioResult = err;
        return err;
    };
    if (io.ioReqCount < 0 || (io.ioBuffer == nullptr && io.ioReqCount > 0))
        return finish(paramErr);
    Volume v;
    FSVolumeRefNum actual = 0;
    OSErr err = FindVolume(io.ioVRefNum, 0, v, actual);
    if (err != noErr)
        return finish(err);

    GetVolParmsInfoBuffer parms;
    memset(&parms, 0, sizeof parms);
    parms.vMVersion = 4;
    parms.vMMaxNameLength = 255;
    parms.vMDeviceID = v.bsdName.empty() ? nullptr : const_cast<char*>(Table().Intern(v.bsdName));
    size_t count = std::min(static_cast<size_t>(io.ioReqCount), sizeof parms);
    memcpy(io.ioBuffer, &parms, count);
    io.ioActCount = static_cast<SInt32>(count);
    return finish(noErr);
}
