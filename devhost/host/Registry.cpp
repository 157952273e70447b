#include "Registry.h"

#include <algorithm>

namespace tvb::host {

bool RegistryEntry::ConformsTo(const std::string& className) const {
    return std::find(classes.begin(), classes.end(), className) != classes.end();
}

bool MatchCriteria::Matches(const RegistryEntry& entry) const {
    if (className && !entry.ConformsTo(*className))
        return false;
    if (bsdName) {
        std::string value;
        if (!wire::GetString(entry.properties.get(), "BSD Name", value) || value != *bsdName)
            return false;
    }
    return true;
}

Registry::Registry() {
    RegistryEntry root;
    root.id = mNextId++;
    root.classes = {"IOPlatformExpertDevice", "IOPlatformDevice", "IOService", "IORegistryEntry",
                    "OSObject"};
    root.name = "Root";
    mRoot = root.id;
    mEntries.emplace(root.id, std::move(root));
}

uint64_t Registry::Add(uint64_t provider, std::vector<std::string> classes, std::string name) {
    RegistryEntry* parent = Find(provider);
    if (parent == nullptr || classes.empty())
        return 0;
    RegistryEntry entry;
    entry.id = mNextId++;
    entry.classes = std::move(classes);
    entry.name = std::move(name);
    entry.provider = provider;
    parent->children.push_back(entry.id);
    const uint64_t id = entry.id;
    mEntries.emplace(id, std::move(entry));
    return id;
}

RegistryEntry* Registry::Find(uint64_t id) {
    auto it = mEntries.find(id);
    return it == mEntries.end() ? nullptr : &it->second;
}

const RegistryEntry* Registry::Find(uint64_t id) const {
    auto it = mEntries.find(id);
    return it == mEntries.end() ? nullptr : &it->second;
}

std::vector<uint64_t> Registry::Match(const MatchCriteria& criteria) const {
    std::vector<uint64_t> ids;
    for (const auto& [id, entry] : mEntries)
        if (criteria.Matches(entry))
            ids.push_back(id);
    return ids;
}

std::vector<uint64_t> Registry::Parents(uint64_t id) const {
    std::vector<uint64_t> chain;
    const RegistryEntry* entry = Find(id);
    while (entry != nullptr && entry->provider != 0) {
        chain.push_back(entry->provider);
        entry = Find(entry->provider);
    }
    return chain;
}

std::vector<uint64_t> Registry::Subtree(uint64_t id) const {
    std::vector<uint64_t> out;
    if (Find(id) == nullptr)
        return out;
    out.push_back(id);
    for (size_t i = 0; i < out.size(); ++i)
        for (uint64_t child : Find(out[i])->children)
            out.push_back(child);
    return out;
}

void Registry::RemoveSubtree(uint64_t id) {
    RegistryEntry* entry = Find(id);
    if (entry == nullptr || id == mRoot)
        return;
    if (RegistryEntry* parent = Find(entry->provider)) {
        auto& siblings = parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), id), siblings.end());
    }
    for (uint64_t gone : Subtree(id))
        mEntries.erase(gone);
}

Clock::time_point Registry::QuietAt(uint64_t id) const {
    Clock::time_point latest{};
    for (uint64_t member : Subtree(id))
        latest = std::max(latest, Find(member)->busyUntil);
    return latest;
}

bool Registry::IsBusy(uint64_t id, Clock::time_point now) const {
    return QuietAt(id) > now;
}

} // namespace tvb::host
