// File Manager volumes: the real mounts, then the device host's simulated volumes, each with a
// reference number that stays the same for the life of the process (a host volume's for as
// long as the host lists it, a mount's until new mounts would find no number left; the number
// is given out again, late, once the volume is gone).
#include "Files_Internal.h"
#include "Volumes_Internal.h"

#include <TvbSession.h>

#include "tvb/Lock.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_set>
#include <unordered_map>

using namespace tvb::files;

namespace {

// What a caller learns of a volume. Every walk copies each volume out of the snapshot twice,
// so the texts are shared rather than copied.
struct Volume {
    std::shared_ptr<const std::string> name = Empty();
    const char* deviceId = nullptr; // the interned BSD name; null: none
    std::shared_ptr<const std::string> mountPoint = Empty();
    bool simulated = false;
    bool unreadable = false;
    uint64_t mountId = 0;                   // real volumes only; 0: not checked
    uint64_t totalBytes = 0, freeBytes = 0; // simulated volumes only
    FSVolumeRefNum refNum = 0;              // 0: the numbers have run out

    static std::shared_ptr<const std::string> Text(std::string text) {
        return std::make_shared<const std::string>(std::move(text));
    }
    static std::shared_ptr<const std::string> Empty() {
        static const auto empty = std::make_shared<const std::string>();
        return empty;
    }
};

// A volume with the identity its reference number is kept under.
struct KeyedVolume {
    std::string key;
    Volume volume;
};

constexpr char kHostKeyPrefix[] = "host\n";
constexpr char kMountKeyPrefix[] = "mount\n";

class VolumeTable {
public:
    // The volume's number, given on first sight; 0 once the numbers have run out. Numbers
    // given back are handed out again, the longest returned first, only once no fresh one is
    // left, so a number names another volume as late as it can.
    FSVolumeRefNum RefNumFor(const std::string& key) {
        std::lock_guard<tvb::Lock> lock(mMutex);
        auto it = mRefNums.find(key);
        if (it != mRefNums.end())
            return it->second;
        FSVolumeRefNum refNum = mNext;
        if (refNum != 0) {
            mNext = mNext == INT16_MIN ? 0 : mNext - 1;
        } else if (!mReturned.empty()) {
            refNum = mReturned.front();
            mReturned.pop_front();
        } else {
            return 0;
        }
        mRefNums.emplace(key, refNum);
        mKeys.emplace(refNum, key);
        return refNum;
    }
    // A host volume never comes back under its id once gone from the host's list, but every
    // drive that arrives brings new ids: without this, a poller that sees drives come and go
    // for long enough would run out of numbers, and hold every key it ever saw.
    void ForgetHostVolumesExcept(const std::vector<KeyedVolume>& current) {
        std::unordered_set<std::string_view> kept;
        for (const KeyedVolume& v : current)
            kept.insert(v.key);
        std::lock_guard<tvb::Lock> lock(mMutex);
        GiveBackNumbers(kHostKeyPrefix, kept);
    }
    // A mount keeps its number while it is gone, so a volume that comes back is known again;
    // but where mounts come and go under paths of their own (a disk mounted for each job)
    // that would use up the numbers. Once `current` needs more than are left, the numbers
    // of mounts it no longer holds are given back.
    void ReclaimGoneMountsIfShort(const std::vector<std::string>& current) {
        std::lock_guard<tvb::Lock> lock(mMutex);
        size_t wanted = 0;
        for (const std::string& key : current)
            wanted += mRefNums.count(key) == 0 ? 1 : 0;
        size_t left =
            (mNext == 0 ? 0 : static_cast<size_t>(mNext - INT16_MIN + 1)) + mReturned.size();
        if (wanted <= left)
            return;
        std::unordered_set<std::string_view> kept(current.begin(), current.end());
        GiveBackNumbers(kMountKeyPrefix, kept);
    }
    bool KeyFor(FSVolumeRefNum refNum, std::string& key) {
        std::lock_guard<tvb::Lock> lock(mMutex);
        auto it = mKeys.find(refNum);
        if (it == mKeys.end())
            return false;
        key = it->second;
        return true;
    }
    // A copy of the name that PBHGetVolParmsSync hands out. It outlives its volume by
    // kKeptGoneNames other names going: drives that come and go bring new BSD names (disk2,
    // disk3, ...), which would otherwise be kept for the life of the process.
    const char* Intern(const std::string& name) {
        std::lock_guard<tvb::Lock> lock(mMutex);
        auto it = mNames.try_emplace(name).first;
        if (it->second != 0)
            MarkGoneLocked(it); // named again while gone: its time starts afresh
        return it->first.c_str();
    }
    // The names of `listed` are in use; the others go once kKeptGoneNames have gone after them.
    void KeepNamesOf(const std::vector<KeyedVolume>& listed) {
        std::unordered_set<const char*> inUse;
        for (const KeyedVolume& v : listed)
            if (v.volume.deviceId != nullptr)
                inUse.insert(v.volume.deviceId);
        std::lock_guard<tvb::Lock> lock(mMutex);
        std::vector<Names::iterator> gone;
        for (auto it = mNames.begin(); it != mNames.end(); ++it) {
            if (inUse.count(it->first.c_str()) != 0)
                it->second = 0;
            else if (it->second == 0)
                gone.push_back(it);
        }
        // Only once every name in use is marked so: marking may let go of the oldest gone.
        for (Names::iterator it : gone)
            MarkGoneLocked(it);
    }
    size_t NameCount() {
        std::lock_guard<tvb::Lock> lock(mMutex);
        return mNames.size();
    }

private:
    // Numbers of the volumes of one kind (key prefix) that `kept` no longer holds go back to be
    // given out again. The caller holds mMutex.
    void GiveBackNumbers(const char* prefix, const std::unordered_set<std::string_view>& kept) {
        for (auto it = mRefNums.begin(); it != mRefNums.end();) {
            if (it->first.rfind(prefix, 0) != 0 || kept.count(it->first) != 0) {
                ++it;
                continue;
            }
            mKeys.erase(it->second);
            mReturned.push_back(it->second);
            it = mRefNums.erase(it);
        }
    }

    // Name -> when it went (a count of goings), 0 while in use; a map, so a name's text stays
    // where it is while others come and go.
    using Names = std::map<std::string, uint64_t>;
    void MarkGoneLocked(Names::iterator it) {
        it->second = ++mGoings;
        mGone.emplace_back(it, it->second);
        while (mGone.size() > kKeptGoneNames) {
            const auto [oldest, since] = mGone.front();
            mGone.pop_front();
            // Only its latest going counts: one in use since, or gone again later, stays.
            if (oldest->second == since)
                mNames.erase(oldest);
        }
    }

    static constexpr size_t kKeptGoneNames = 1024;
    tvb::Lock mMutex;
    std::unordered_map<std::string, FSVolumeRefNum> mRefNums;
    std::unordered_map<FSVolumeRefNum, std::string> mKeys;
    Names mNames;
    std::deque<std::pair<Names::iterator, uint64_t>> mGone; // oldest first
    uint64_t mGoings = 0;
    FSVolumeRefNum mNext = -100;
    std::deque<FSVolumeRefNum> mReturned;
};

VolumeTable& Table() {
    static VolumeTable* table = new VolumeTable; // interned names must outlive every caller
    return *table;
}

KeyedVolume Keyed(std::string key, Volume v, const std::string& bsdName) {
    v.deviceId = bsdName.empty() ? nullptr : Table().Intern(bsdName);
    v.refNum = Table().RefNumFor(key);
    return KeyedVolume{std::move(key), std::move(v)};
}

std::vector<KeyedVolume> RealVolumes(const std::vector<MountEntry>& mounts) {
    std::vector<std::string> keys;
    for (const MountEntry& mount : mounts)
        keys.push_back(kMountKeyPrefix + mount.bsdName + "\n" + mount.mountPoint);
    Table().ReclaimGoneMountsIfShort(keys);
    std::vector<KeyedVolume> volumes;
    for (size_t i = 0; i < mounts.size(); ++i) {
        Volume v;
        v.name = Volume::Text(VolumeNameForMountPoint(mounts[i].mountPoint));
        v.mountPoint = Volume::Text(mounts[i].mountPoint);
        v.mountId = mounts[i].mountId;
        volumes.push_back(Keyed(std::move(keys[i]), std::move(v), mounts[i].bsdName));
    }
    return volumes;
}

std::vector<KeyedVolume> FromHost(const tvb::wire::VolumeInfos& fetched) {
    std::vector<KeyedVolume> volumes;
    for (const auto& sim : fetched) {
        Volume v;
        v.name = Volume::Text(sim.name);
        v.simulated = true;
        v.unreadable = sim.unreadable;
        v.totalBytes = sim.totalBytes;
        v.freeBytes = std::min(sim.freeBytes, sim.totalBytes);
        volumes.push_back(
            Keyed(kHostKeyPrefix + std::to_string(sim.id) + "\n" + sim.bsdName + "\n" + sim.name,
                  std::move(v), sim.bsdName));
    }
    return volumes;
}

// The host's volumes (all, or only `id`), through the process's one session; false when no
// host answers. `stamp` is the host run and registry generation the answer belongs to.
bool AskHost(uint64_t id, std::vector<KeyedVolume>& out, tvb::wire::HostSession::Stamp& stamp) {
    tvb::wire::VolumesRequest request;
    request.volume = id;
    tvb::wire::VolumesAnswer answer;
    tvb::wire::HostSession::Seen seen;
    if (tvb::wire::HostSession::Shared().Call(request, answer, tvb::wire::kRequestTimeoutMs, {},
                                              &seen) != tvb::wire::kStatusSuccess)
        return false;
    out = FromHost(answer.volumes);
    stamp = {seen.instance, seen.generation};
    return true;
}

// The volume list as one walk sees it. Index 1 starts a walk and looks again; later indexes
// reuse the list while it is recent. The machine's part is read again only when the kernel
// says the mount table changed, and the host's part is kept while the registry generation the
// host publishes has not moved, so walks over an unchanged system ask nobody anything and
// reference numbers are looked up in the list itself. A volume that came or went is seen by
// the next walk.
class WalkSnapshot {
public:
    bool Find(ItemCount index, Volume& found) {
        std::lock_guard<tvb::Lock> lock(mMutex);
        if (index == 1 || Clock::now() - mTaken > kMaxAge)
            RefreshLocked();
        if (index == 0 || index > mVolumes.size())
            return false;
        found = mVolumes[index - 1].volume;
        return true;
    }

    // A volume of the current list by number, while its source still stands as the list has
    // it: the mount table unchanged for the machine's, the registry generation for the host's.
    bool FindByRefNum(FSVolumeRefNum refNum, Volume& found) {
        std::lock_guard<tvb::Lock> lock(mMutex);
        auto at = mByRefNum.find(refNum);
        if (at == mByRefNum.end() || Clock::now() - mTaken > kMaxAge)
            return false;
        const Volume& v = mVolumes[at->second].volume;
        if (v.simulated ? !mHostStamp.Valid() ||
                              tvb::wire::HostSession::Shared().CurrentStamp() != mHostStamp
                        : BlockDeviceMounts().Changed(mMountVersion))
            return false;
        found = v;
        return true;
    }

private:
    // Ages of a second need no finer clock than the kernel's tick, which costs less to read.
    struct Clock {
        using time_point = std::chrono::steady_clock::time_point;
        static time_point now() {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
            return time_point(std::chrono::seconds(now.tv_sec) +
                              std::chrono::nanoseconds(now.tv_nsec));
        }
    };
    static constexpr std::chrono::milliseconds kMaxAge{1000};

    void RefreshLocked() {
        bool changed = false;
        MountList& mounts = BlockDeviceMounts();
        if (mounts.Changed(mMountVersion)) {
            mReal = RealVolumes(mounts.Read(mMountVersion));
            changed = true;
        }
        const tvb::wire::HostSession::Stamp current =
            tvb::wire::HostSession::Shared().CurrentStamp();
        if (!current.Valid() || current != mHostStamp) {
            mSimulated.clear();
            mHostStamp = {};
            if (AskHost(0, mSimulated, mHostStamp))
                Table().ForgetHostVolumesExcept(mSimulated);
            else
                mSimulated.clear();
            changed = true;
        }
        if (changed) {
            mVolumes = mReal;
            mVolumes.insert(mVolumes.end(), mSimulated.begin(), mSimulated.end());
            mByRefNum.clear();
            for (size_t i = 0; i < mVolumes.size(); ++i)
                if (mVolumes[i].volume.refNum != 0)
                    mByRefNum.emplace(mVolumes[i].volume.refNum, i);
            Table().KeepNamesOf(mVolumes);
        }
        mTaken = Clock::now();
    }

    tvb::Lock mMutex;
    std::vector<KeyedVolume> mVolumes;
    std::unordered_map<FSVolumeRefNum, size_t> mByRefNum; // into mVolumes
    std::vector<KeyedVolume> mReal;
    uint64_t mMountVersion = 0;               // of mReal; 0: never read
    std::vector<KeyedVolume> mSimulated;      // the host's part, as of mHostStamp
    tvb::wire::HostSession::Stamp mHostStamp; // invalid: no host part
    Clock::time_point mTaken;
};

WalkSnapshot& Snapshot() {
    static WalkSnapshot* snapshot = new WalkSnapshot;
    return *snapshot;
}

// A volume by reference number, as it is now: from the walk's list while that is current,
// else only its own source is asked, and the host only about that one volume.
bool FindByRefNum(FSVolumeRefNum refNum, Volume& found) {
    if (Snapshot().FindByRefNum(refNum, found))
        return true;
    std::string key;
    if (!Table().KeyFor(refNum, key))
        return false;
    std::vector<KeyedVolume> candidates;
    if (key.rfind(kHostKeyPrefix, 0) == 0) {
        tvb::wire::HostSession::Stamp stamp;
        AskHost(std::strtoull(key.c_str() + sizeof kHostKeyPrefix - 1, nullptr, 10), candidates,
                stamp);
    } else {
        uint64_t version = 0;
        candidates = RealVolumes(BlockDeviceMounts().Read(version));
    }
    for (KeyedVolume& v : candidates)
        if (v.key == key) {
            found = std::move(v.volume);
            return true;
        }
    return false;
}

OSErr FindVolume(FSVolumeRefNum refNum, ItemCount index, Volume& found, FSVolumeRefNum& actual) {
    bool present =
        index > 0 ? Snapshot().Find(index, found) : refNum < 0 && FindByRefNum(refNum, found);
    if (!present)
        return nsvErr;
    actual = found.refNum;
    return actual != 0 ? OSErr(noErr) : OSErr(ioErr);
}

UInt32 Clamp32(uint64_t value) {
    return value > UINT32_MAX ? UINT32_MAX : static_cast<UInt32>(value);
}

} // namespace

size_t tvb::files::InternedDeviceNamesForTesting() {
    return Table().NameCount();
}

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
        if (!StatVolume(*v.mountPoint, v.mountId, sizes))
            return errno == ESTALE ? OSErr(volOffLinErr) : ErrorFromErrno(errno);
    }

    FSRef root;
    if (rootDirectory != nullptr) {
        if (v.simulated)
            return fnfErr;
        // Unmounted since the walk began: the folder left is another volume's.
        if (!MountedAt(*v.mountPoint, v.mountId))
            return volOffLinErr;
        err = StoreRef(*v.mountPoint, &root);
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
        volumeName->length = static_cast<UInt16>(Utf8ToUtf16(*v.name, volumeName->unicode, 255));
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
    parms.vMDeviceID = const_cast<char*>(v.deviceId);
    size_t count = std::min(static_cast<size_t>(io.ioReqCount), sizeof parms);
    memcpy(io.ioBuffer, &parms, count);
    io.ioActCount = static_cast<SInt32>(count);
    return finish(noErr);
}
