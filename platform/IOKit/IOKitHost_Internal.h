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
#include "tvb/Lock.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
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
IOReturn GetAncestors(const RegistryEntryObject& entry, EntryIds& out);

// Answers learnt from one host run at one registry generation: matches by their criteria and
// providers by entry. Everything is forgotten as soon as the stamp the host publishes moves
// (or cannot be read), so nothing answered here is older than the registry. Checking costs a
// read of the host's page, no system call.
class RegistryCache {
public:
    using Stamp = tvb::wire::HostSession::Stamp;
    static RegistryCache& Shared();

    // `key` is the criteria as MatchKey() writes them.
    bool FindMatch(const std::string& key, uint64_t& instance, EntryIds& entries);
    void StoreMatch(const std::string& key, const Stamp& stamp, EntryIds entries);
    bool FindParents(const EntryKey& entry, EntryIds& parents);
    void StoreParents(const EntryKey& entry, const Stamp& stamp, EntryIds parents);

private:
    // Drops everything unless it was learnt at `current`. Locked.
    bool CurrentLocked(const Stamp& current);
    // Whether an answer at `stamp` may be kept, the host publishing `current`. Locked.
    bool StorableLocked(const Stamp& stamp, const Stamp& current);

    static constexpr size_t kMaxItems = 4096;
    tvb::Lock mMutex;
    Stamp mStamp;
    std::unordered_map<std::string, EntryIds> mMatches;
    std::unordered_map<EntryKey, EntryIds, EntryKeyHash> mParents;
};

} // namespace iokit
