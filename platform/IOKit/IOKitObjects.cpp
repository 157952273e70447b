#include "IOKitObjects_Internal.h"

#include <algorithm>
#include <cstring>

namespace iokit {

void CopyName(const std::string& text, char* out) {
    if (out == nullptr)
        return;
    const size_t length = std::min(text.size(), sizeof(io_name_t) - 1);
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

std::optional<RegistryEntryObject::Identity> RegistryEntryObject::CachedIdentity() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mIdentity;
}

void RegistryEntryObject::CacheIdentity(Identity identity) {
    std::lock_guard<std::mutex> lock(mMutex);
    mIdentity = std::move(identity);
}

std::optional<std::vector<uint64_t>> RegistryEntryObject::CachedAncestors() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mAncestors;
}

void RegistryEntryObject::CacheAncestors(std::vector<uint64_t> ancestors) const {
    std::lock_guard<std::mutex> lock(mMutex);
    mAncestors = std::move(ancestors);
}

io_object_t EntryListIterator::Next() {
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mPosition >= mIds.size())
            return 0;
        id = mIds[mPosition++];
    }
    return HandleTable::Shared().RetainEntry(EntryKey{mInstance, id});
}

void EntryListIterator::Reset() {
    std::lock_guard<std::mutex> lock(mMutex);
    mPosition = 0;
}

HandleTable& HandleTable::Shared() {
    // Never destroyed: static destructors elsewhere may still release handles at exit.
    static HandleTable* table = new HandleTable;
    return *table;
}

io_object_t HandleTable::AllocateLocked() {
    // Names step like Mach port names; after a wrap, live names and the task port are skipped.
    for (;;) {
        io_object_t candidate = mNext;
        mNext += 0x100;
        if (candidate == 0 || candidate == kTaskSelfPort)
            continue;
        if (mSlots.find(candidate) == mSlots.end())
            return candidate;
    }
}

io_object_t HandleTable::Add(std::shared_ptr<Object> object) {
    if (!object)
        return 0;
    std::lock_guard<std::mutex> lock(mMutex);
    io_object_t handle = AllocateLocked();
    mSlots[handle] = Slot{std::move(object), 1};
    return handle;
}

io_object_t HandleTable::RetainEntry(const EntryKey& key) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto known = mEntries.find(key);
    if (known != mEntries.end()) {
        ++mSlots[known->second].userReferences;
        return known->second;
    }
    io_object_t handle = AllocateLocked();
    mSlots[handle] = Slot{std::make_shared<RegistryEntryObject>(key), 1};
    mEntries[key] = handle;
    return handle;
}

std::shared_ptr<Object> HandleTable::Find(io_object_t handle) const {
    std::lock_guard<std::mutex> lock(mMutex);
    auto slot = mSlots.find(handle);
    return slot == mSlots.end() ? nullptr : slot->second.object;
}

kern_return_t HandleTable::Retain(io_object_t handle) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto slot = mSlots.find(handle);
    if (slot == mSlots.end())
        return kIOReturnBadArgument;
    ++slot->second.userReferences;
    return KERN_SUCCESS;
}

kern_return_t HandleTable::Release(io_object_t handle) {
    std::shared_ptr<Object> dead;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto slot = mSlots.find(handle);
        if (slot == mSlots.end())
            return kIOReturnBadArgument;
        if (--slot->second.userReferences > 0)
            return KERN_SUCCESS;
        dead = std::move(slot->second.object);
        mSlots.erase(slot);
        if (dead->Kind() == ObjectKind::RegistryEntry)
            mEntries.erase(std::static_pointer_cast<RegistryEntryObject>(dead)->Key());
    }
    dead->Died();
    return KERN_SUCCESS;
}

uint32_t HandleTable::UserReferences(io_object_t handle) const {
    std::lock_guard<std::mutex> lock(mMutex);
    auto slot = mSlots.find(handle);
    return slot == mSlots.end() ? 0 : slot->second.userReferences;
}

size_t HandleTable::LiveCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mSlots.size();
}

} // namespace iokit
