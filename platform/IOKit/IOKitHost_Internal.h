// The process's requests to the device host go through the one shared session
// (tvb::wire::HostSession::Shared()), which the File Manager's volume queries use as well.
// What this process learnt about registry entries is kept with their handles: class, name,
// class chain and providers never change while an entry lives.
// Threading: the session serialises requests; a request blocks its caller for at most its
// time-out. Ownership: messages are the caller's.
#pragma once

#include <IOKit/IOKitLib.h>

#include "IOKitObjects_Internal.h"
#include "TvbSession.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace iokit {

using tvb::wire::kRequestTimeoutMs;

inline tvb::wire::HostSession& Host() {
    return tvb::wire::HostSession::Shared();
}

// Sends a request about `entry` to the host run that named it.
template <typename Request>
IOReturn AskAbout(const RegistryEntryObject& entry, const Request& request,
                  typename Request::Answer& answer, int timeoutMs = kRequestTimeoutMs) {
    return Host().Call(request, answer, timeoutMs, {entry.Key().instance, 0});
}

// Class, name and class chain of a registry entry handle. Read from the host once, then
// remembered.
kern_return_t GetEntryIdentity(io_object_t entry, RegistryEntryObject::Identity& identity);

// The entry's providers, nearest first, up to the root. Read once, then remembered.
IOReturn GetAncestors(const RegistryEntryObject& entry, std::vector<uint64_t>& out);

// Answers learnt at one registry generation of one host run: matches by their criteria and
// providers by entry. Everything is forgotten as soon as the generation the host publishes
// moves (or cannot be read), so nothing answered here is older than the registry.
class RegistryCache {
public:
    static RegistryCache& Shared();

    bool FindMatch(const std::string& key, uint64_t& instance, std::vector<uint64_t>& entries);
    void StoreMatch(const std::string& key, uint64_t instance, uint64_t generation,
                    const std::vector<uint64_t>& entries);
    bool FindParents(const EntryKey& entry, std::vector<uint64_t>& parents);
    void StoreParents(const EntryKey& entry, uint64_t generation,
                      const std::vector<uint64_t>& parents);

private:
    // Drops everything unless it was learnt at `current` (0: unknown). Locked.
    bool CurrentLocked(uint64_t current);
    // Whether an answer at `generation` may be kept, the host publishing `current`. Locked.
    bool StorableLocked(uint64_t generation, uint64_t current);

    static constexpr size_t kMaxItems = 4096;
    std::mutex mMutex;
    uint64_t mGeneration = 0;
    std::map<std::string, std::pair<uint64_t, std::vector<uint64_t>>> mMatches;
    std::map<EntryKey, std::vector<uint64_t>> mParents;
};

} // namespace iokit
