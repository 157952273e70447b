// What the process learnt from the host, kept while the registry generation stands still.
#include "IOKitHost_Internal.h"

namespace iokit {

RegistryCache& RegistryCache::Shared() {
    // Never destroyed: handles may still be released by static destructors at exit.
    static RegistryCache* cache = new RegistryCache;
    return *cache;
}

bool RegistryCache::CurrentLocked(uint64_t current) {
    if (current != 0 && current == mGeneration)
        return true;
    mMatches.clear();
    mParents.clear();
    mGeneration = current;
    return false;
}

bool RegistryCache::FindMatch(const std::string& key, uint64_t& instance,
                              std::vector<uint64_t>& entries) {
    const uint64_t current = Host().CurrentGeneration();
    std::lock_guard<std::mutex> lock(mMutex);
    if (!CurrentLocked(current))
        return false;
    auto found = mMatches.find(key);
    if (found == mMatches.end())
        return false;
    instance = found->second.first;
    entries = found->second.second;
    return true;
}

bool RegistryCache::StorableLocked(uint64_t generation, uint64_t current) {
    // Only an answer given at the generation the host still publishes is kept.
    if (generation == 0 || generation != current)
        return false;
    CurrentLocked(current);
    return mMatches.size() + mParents.size() < kMaxItems;
}

void RegistryCache::StoreMatch(const std::string& key, uint64_t instance, uint64_t generation,
                               const std::vector<uint64_t>& entries) {
    const uint64_t current = Host().CurrentGeneration();
    std::lock_guard<std::mutex> lock(mMutex);
    if (StorableLocked(generation, current))
        mMatches[key] = {instance, entries};
}

bool RegistryCache::FindParents(const EntryKey& entry, std::vector<uint64_t>& parents) {
    const uint64_t current = Host().CurrentGeneration();
    std::lock_guard<std::mutex> lock(mMutex);
    if (!CurrentLocked(current))
        return false;
    auto found = mParents.find(entry);
    if (found == mParents.end())
        return false;
    parents = found->second;
    return true;
}

void RegistryCache::StoreParents(const EntryKey& entry, uint64_t generation,
                                 const std::vector<uint64_t>& parents) {
    const uint64_t current = Host().CurrentGeneration();
    std::lock_guard<std::mutex> lock(mMutex);
    if (StorableLocked(generation, current))
        mParents[entry] = parents;
}

} // namespace iokit
