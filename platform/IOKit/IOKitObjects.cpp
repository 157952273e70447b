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
    std::lock_guard<tvb::Lock> lock(mMutex);
    return mIdentity;
}

void RegistryEntryObject::CacheIdentity(Identity identity) {
    std::lock_guard<tvb::Lock> lock(mMutex);
    mIdentity = std::move(identity);
}

// Every volume visit asks; once known the list never changes, so it is read without a lock.
EntryIds RegistryEntryObject::CachedAncestors() const {
    if (mAncestorsKnown.load(std::memory_order_acquire))
        return mAncestors;
    return nullptr;
}

void RegistryEntryObject::CacheAncestors(EntryIds ancestors) const {
    if (!ancestors)
        return;
    std::lock_guard<tvb::Lock> lock(mMutex);
    if (mAncestorsKnown.load(std::memory_order_relaxed))
        return;
    mAncestors = std::move(ancestors);
    mAncestorsKnown.store(true, std::memory_order_release);
}

io_object_t EntryListIterator::Next() {
    return HandleTable::Shared().NextInList(*this);
}

void EntryListIterator::Reset() {
    std::lock_guard<TableLock> lock(HandleTable::Shared().mLock);
    mPosition = 0;
}

HandleTable::HandleTable() : mRecent(kFewestRecent) {
    mSlots.resize(kFirstIndex);
}

HandleTable::Slot* HandleTable::SlotLocked(io_object_t handle) {
    const uint32_t index = handle >> 8;
    if (index < kFirstIndex || index >= mSlots.size())
        return nullptr;
    Slot& slot = mSlots[index];
    return slot.object && slot.name == handle ? &slot : nullptr;
}

const HandleTable::Slot* HandleTable::SlotLocked(io_object_t handle) const {
    return const_cast<HandleTable*>(this)->SlotLocked(handle);
}

io_object_t HandleTable::AddLocked(std::shared_ptr<Object> object) {
    uint32_t index;
    if (!mFree.empty()) {
        index = mFree.back();
        mFree.pop_back();
    } else {
        if (mSlots.size() >= kIndexLimit)
            return 0;
        index = static_cast<uint32_t>(mSlots.size());
        mSlots.emplace_back();
    }
    Slot& slot = mSlots[index];
    // Generations 0x03, 0x07, ... 0xff, then round again; never 0, so no name is 0.
    const uint32_t generation = slot.name == 0 ? 0x03 : ((slot.name & 0xff) + 4) & 0xff;
    slot.name = (index << 8) | generation;
    slot.object = std::move(object);
    slot.userReferences = 1;
    ++mUsed;
    return slot.name;
}

void HandleTable::FreeLocked(Slot& slot) {
    slot.object.reset();
    slot.userReferences = 0;
    --mUsed;
    mFree.push_back(slot.name >> 8);
}

io_object_t HandleTable::Add(std::shared_ptr<Object> object) {
    if (!object)
        return 0;
    std::lock_guard<TableLock> lock(mLock);
    return AddLocked(std::move(object));
}

io_object_t HandleTable::RetainEntryLocked(const EntryKey& key) {
    RecentEntry* recent = &RecentFor(key);
    io_object_t handle = 0;
    // An entry's slot is freed only by ForgetParkedLocked, which forgets it here too.
    if (recent->handle != 0 && recent->key == key) {
        handle = recent->handle;
    } else {
        auto record = mEntries.find(key);
        if (record != mEntries.end())
            handle = record->second;
    }
    if (handle != 0) {
        Slot& slot = mSlots[handle >> 8];
        if (slot.userReferences++ == 0)
            --mParked;
    } else {
        handle = AddLocked(std::make_shared<RegistryEntryObject>(key));
        if (handle == 0)
            return 0;
        mEntries.emplace(key, handle);
        if (mEntries.size() > mRecent.size() / 2 && mRecent.size() < kMostRecent) {
            // Only a cache: a larger one starts empty.
            mRecent.assign(mRecent.size() * 2, RecentEntry{});
            recent = &RecentFor(key);
        }
    }
    *recent = RecentEntry{key, handle};
    return handle;
}

io_object_t HandleTable::RetainEntry(const EntryKey& key) {
    std::lock_guard<TableLock> lock(mLock);
    return RetainEntryLocked(key);
}

io_object_t HandleTable::NextInList(EntryListIterator& list) {
    std::lock_guard<TableLock> lock(mLock);
    if (list.mPosition >= list.mCount)
        return 0;
    return RetainEntryLocked(EntryKey{list.mInstance, (*list.mIds)[list.mPosition++]});
}

io_object_t HandleTable::IteratorNext(io_iterator_t handle) {
    std::shared_ptr<Object> other;
    {
        std::lock_guard<TableLock> lock(mLock);
        Slot* slot = SlotLocked(handle);
        if (slot == nullptr || slot->userReferences == 0 ||
            slot->object->Kind() != ObjectKind::Iterator)
            return 0;
        auto* iterator = static_cast<IteratorObject*>(slot->object.get());
        if (EntryListIterator* list = iterator->AsEntryList()) {
            if (list->mPosition >= list->mCount)
                return 0;
            return RetainEntryLocked(EntryKey{list->mInstance, (*list->mIds)[list->mPosition++]});
        }
        other = slot->object;
    }
    // Other iterators take locks of their own, outside the table's.
    return static_cast<IteratorObject*>(other.get())->Next();
}

std::shared_ptr<Object> HandleTable::Find(io_object_t handle) const {
    std::lock_guard<TableLock> lock(mLock);
    const Slot* slot = SlotLocked(handle);
    return slot == nullptr || slot->userReferences == 0 ? nullptr : slot->object;
}

kern_return_t HandleTable::Retain(io_object_t handle) {
    std::lock_guard<TableLock> lock(mLock);
    Slot* slot = SlotLocked(handle);
    if (slot == nullptr || slot->userReferences == 0)
        return kIOReturnBadArgument;
    ++slot->userReferences;
    return KERN_SUCCESS;
}

void HandleTable::ForgetParkedLocked() {
    for (auto it = mEntries.begin(); it != mEntries.end();) {
        Slot& slot = mSlots[it->second >> 8];
        if (slot.userReferences == 0) {
            RecentEntry& recent = RecentFor(it->first);
            if (recent.handle == it->second)
                recent = RecentEntry{};
            FreeLocked(slot);
            it = mEntries.erase(it);
        } else {
            ++it;
        }
    }
    mParked = 0;
}

kern_return_t HandleTable::Release(io_object_t handle) {
    std::shared_ptr<Object> dead;
    {
        std::lock_guard<TableLock> lock(mLock);
        Slot* slot = SlotLocked(handle);
        if (slot == nullptr || slot->userReferences == 0)
            return kIOReturnBadArgument;
        if (--slot->userReferences > 0)
            return KERN_SUCCESS;
        if (slot->object->Kind() == ObjectKind::RegistryEntry) {
            // Parked: dead for every call until the entry is named again. An entry has nothing
            // to do when it dies.
            if (++mParked > kMaxParked)
                ForgetParkedLocked();
            return KERN_SUCCESS;
        }
        dead = std::move(slot->object);
        FreeLocked(*slot);
    }
    dead->Died();
    return KERN_SUCCESS;
}

uint32_t HandleTable::UserReferences(io_object_t handle) const {
    std::lock_guard<TableLock> lock(mLock);
    const Slot* slot = SlotLocked(handle);
    return slot == nullptr ? 0 : slot->userReferences;
}

size_t HandleTable::LiveCount() const {
    std::lock_guard<TableLock> lock(mLock);
    return mUsed - mParked;
}

} // namespace iokit
