// The simulated I/O registry, IOService plane only: a tree of entries with class chains,
// names, property dictionaries and a busy-until time. Ids grow monotonically and are never
// reused during one run, so creation order is id order. Entries and BSD names are indexed;
// the generation moves on every change a client could have cached.
// Threading: used only from the host's loop thread.
// Ownership: the registry owns its entries and their property nodes; pointers from Find() live
// until the entry is removed.
#pragma once

#include "EventLoop.h"
#include "Plist.h"

#include <cstdint>
#include <map>
#include <unordered_map>
#include <optional>
#include <string>
#include <vector>

namespace tvb::host {

struct RegistryEntry {
    uint64_t id = 0;
    std::vector<std::string> classes; // most-derived first
    std::string name;
    PlistPtr properties = NewDict(); // change through Registry::SetProperty
    uint64_t provider = 0;           // 0 only for the root
    std::vector<uint64_t> children;
    Clock::time_point busyUntil{};
    uint64_t drive = 0;      // the simulated drive this entry belongs to, 0 for none
    bool userClient = false; // offers the bridge driver's user client
    std::string bsdName;     // the "BSD Name" property's text, if any
    // Property values already encoded for the wire, by key.
    mutable std::unordered_map<std::string, std::vector<uint8_t>> encoded;

    const std::string& ClassName() const { return classes.front(); }
    bool ConformsTo(const std::string& className) const;
};

// What a match request or subscription asks for; an absent field matches anything.
struct MatchCriteria {
    std::optional<std::string> className;
    std::optional<std::string> bsdName;
    bool Matches(const RegistryEntry& entry) const;
};

class Registry {
public:
    Registry();

    uint64_t Root() const { return mRoot; }
    // Adds an entry under `provider`, which must exist; returns its id.
    uint64_t Add(uint64_t provider, std::vector<std::string> classes, std::string name);
    RegistryEntry* Find(uint64_t id);
    const RegistryEntry* Find(uint64_t id) const;
    size_t Size() const { return mEntries.size(); }

    // Sets a property (taking `value`), keeping the BSD-name index and the generation.
    void SetProperty(uint64_t id, const char* key, plist_t value);
    // The property as a binary property list; null when the entry or key is missing.
    const std::vector<uint8_t>* EncodedProperty(uint64_t id, const std::string& key) const;
    // Moves on every attach, detach and property change.
    uint64_t Generation() const { return mGeneration; }

    // In id order.
    std::vector<uint64_t> Match(const MatchCriteria& criteria) const;
    // Provider first, up to and including the root.
    std::vector<uint64_t> Parents(uint64_t id) const;
    // The entry and all its descendants, parents before children.
    std::vector<uint64_t> Subtree(uint64_t id) const;
    // Removes the entry and its descendants (never the root).
    void RemoveSubtree(uint64_t id);

    // An entry is busy while it or anything below it has not settled.
    bool IsBusy(uint64_t id, Clock::time_point now) const;
    // When the entry and everything below it will have settled.
    Clock::time_point QuietAt(uint64_t id) const;

private:
    std::map<uint64_t, RegistryEntry> mEntries; // ordered: match answers come in id order
    std::unordered_map<uint64_t, RegistryEntry*> mById;
    std::unordered_map<std::string, std::vector<uint64_t>> mByBsdName;
    uint64_t mGeneration = 1;
    uint64_t mNextId = 1;
    uint64_t mRoot = 0;
};

} // namespace tvb::host
