#include "Registry.h"

#include <algorithm>

namespace tvb::host {

bool RegistryEntry::ConformsTo(const std::string& className) const {
    return std::find(classes.begin(), classes.end(), className) != classes.end();
}

bool MatchCriteria::Matches(const RegistryEntry& entry) const {
    if (className && !entry.ConformsTo(*className))
        return false;
    return !bsdName || (!entry.bsdName.empty() && entry.bsdName == *bsdName);
}

Registry::Registry() {
    RegistryEntry root;
    root.id = mNextId++;
    root.classes = {"IOPlatformExpertDevice", "IOPlatformDevice", "IOService", "IORegistryEntry",
                    "OSObject"};
    root.name = "Root";
    mRoot = root.id;
    auto [it, inserted] = mEntries.emplace(root.id, std::move(root));
    mById.emplace(it->first, &it->second);
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
    auto [it, inserted] = mEntries.emplace(id, std::move(entry));
    mById.emplace(id, &it->second);
    ++mGeneration;
    return id;
}

RegistryEntry* Registry::Find(uint64_t id) {
    auto it = mById.find(id);
    return it == mById.end() ? nullptr : it->second;
}

const RegistryEntry* Registry::Find(uint64_t id) const {
    auto it = mById.find(id);
    return it == mById.end() ? nullptr : it->second;
}

void Registry::SetProperty(uint64_t id, const char* key, plist_t value) {
    PlistPtr owned(value);
    RegistryEntry* entry = Find(id);
    if (entry == nullptr || value == nullptr)
        return;
    if (std::string(key) == "BSD Name") {
        if (!entry->bsdName.empty()) {
            auto& ids = mByBsdName[entry->bsdName];
            ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
        }
        entry->bsdName.clear();
        if (plist_get_node_type(value) == PLIST_STRING) {
            const char* text = plist_get_string_ptr(value, nullptr);
            entry->bsdName = text != nullptr ? text : "";
        }
        if (!entry->bsdName.empty()) {
            auto& ids = mByBsdName[entry->bsdName];
            ids.insert(std::upper_bound(ids.begin(), ids.end(), id), id);
        }
    }
    plist_dict_set_item(entry->properties.get(), key, owned.release());
    entry->encoded.erase(key);
    ++mGeneration;
}

const std::vector<uint8_t>* Registry::EncodedProperty(uint64_t id, const std::string& key) const {
    const RegistryEntry* entry = Find(id);
    if (entry == nullptr)
        return nullptr;
    auto known = entry->encoded.find(key);
    if (known != entry->encoded.end())
        return &known->second;
    plist_t value = GetItem(entry->properties.get(), key.c_str());
    std::vector<uint8_t> bytes;
    if (value == nullptr || !EncodeBinary(value, bytes))
        return nullptr;
    return &entry->encoded.emplace(key, std::move(bytes)).first->second;
}

std::vector<uint64_t> Registry::Match(const MatchCriteria& criteria) const {
    std::vector<uint64_t> ids;
    if (criteria.bsdName) {
        auto named = mByBsdName.find(*criteria.bsdName);
        if (named == mByBsdName.end())
            return ids;
        for (uint64_t id : named->second)
            if (const RegistryEntry* entry = Find(id); entry && criteria.Matches(*entry))
                ids.push_back(id);
        return ids;
    }
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
    for (uint64_t gone : Subtree(id)) {
        RegistryEntry* doomed = Find(gone);
        if (!doomed->bsdName.empty()) {
            auto named = mByBsdName.find(doomed->bsdName);
            auto& ids = named->second;
            ids.erase(std::remove(ids.begin(), ids.end(), gone), ids.end());
            if (ids.empty())
                mByBsdName.erase(named);
        }
        mById.erase(gone);
        mEntries.erase(gone);
    }
    ++mGeneration;
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
