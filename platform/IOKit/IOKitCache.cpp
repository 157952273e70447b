// What the process learnt from the host, kept while the registry generation stands still.
#include "IOKitHost_Internal.h"

namespace iokit {

RegistryCache& RegistryCache::Shared() {
    // Never destroyed: handles may still be released by static destructors at exit.
    static RegistryCache* cache = new RegistryCache;
    return *cache;
}

bool RegistryCache::CurrentLocked(const Stamp& current) {
    if (current.Valid() && current == mStamp)
        return true;
    if (!mMatches.empty() || !mParents.empty()) {
        mMatches.clear();
        mParents.clear();
    }
    mStamp = current;
    return false;
}

bool RegistryCache::FindMatch(const std::string& key, uint64_t& instance, EntryIds& entries) {
    const Stamp current = Host().CurrentStamp();
    std::lock_guard<tvb::Lock> lock(mMutex);
    if (!CurrentLocked(current))
        return false;
    auto found = mMatches.find(key);
    if (found == mMatches.end())
        return false;
    instance = mStamp.instance;
    entries = found->second;
    return true;
}

bool RegistryCache::StorableLocked(const Stamp& stamp, const Stamp& current) {
    // Only an answer given by the run and at the generation the host still publishes is kept.
    if (!stamp.Valid() || stamp != current)
        return false;
    CurrentLocked(current);
    return mMatches.size() + mParents.size() < kMaxItems;
}

void RegistryCache::StoreMatch(const std::string& key, const Stamp& stamp, EntryIds entries) {
    const Stamp current = Host().CurrentStamp();
    std::lock_guard<tvb::Lock> lock(mMutex);
    if (StorableLocked(stamp, current))
        mMatches[key] = std::move(entries);
}

bool RegistryCache::FindParents(const EntryKey& entry, EntryIds& parents) {
    const Stamp current = Host().CurrentStamp();
    std::lock_guard<tvb::Lock> lock(mMutex);
    if (entry.instance != current.instance || !CurrentLocked(current))
        return false;
    auto found = mParents.find(entry);
    if (found == mParents.end())
        return false;
    parents = found->second;
    return true;
}

void RegistryCache::StoreParents(const EntryKey& entry, const Stamp& stamp, EntryIds parents) {
    const Stamp current = Host().CurrentStamp();
    std::lock_guard<tvb::Lock> lock(mMutex);
    if (entry.instance == stamp.instance && StorableLocked(stamp, current))
        mParents[entry] = std::move(parents);
}

} // namespace iokit
