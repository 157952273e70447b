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

EntryIds RegistryEntryObject::CachedAncestors() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mAncestors;
}

void RegistryEntryObject::CacheAncestors(EntryIds ancestors) const {
    std::lock_guard<std::mutex> lock(mMutex);
    mAncestors = std::move(ancestors);
}

io_object_t EntryListIterator::Next() {
    return HandleTable::Shared().NextInList(*this);
}

void EntryListIterator::Reset() {
    std::lock_guard<std::mutex> lock(HandleTable::Shared().mMutex);
    mPosition = 0;
}

HandleTable& HandleTable::Shared() {
    // Never destroyed: static destructors elsewhere may still release handles at exit.
    static HandleTable* table = new HandleTable;
    return *table;
}

HandleTable::HandleTable() {
    mSpareSlots.reserve(kSpareSlots);
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

HandleTable::Slot* HandleTable::InsertLocked(io_object_t handle, Slot slot) {
    if (mSpareSlots.empty())
        return &mSlots.emplace(handle, std::move(slot)).first->second;
    Slots::node_type node = std::move(mSpareSlots.back());
    mSpareSlots.pop_back();
    node.key() = handle;
    node.mapped() = std::move(slot);
    return &mSlots.insert(std::move(node)).position->second;
}

void HandleTable::EraseLocked(Slots::iterator slot) {
    Slots::node_type node = mSlots.extract(slot);
    node.mapped() = Slot{};
    if (mSpareSlots.size() < kSpareSlots)
        mSpareSlots.push_back(std::move(node));
}

io_object_t HandleTable::Add(std::shared_ptr<Object> object) {
    if (!object)
        return 0;
    std::lock_guard<std::mutex> lock(mMutex);
    io_object_t handle = AllocateLocked();
    InsertLocked(handle, Slot{std::move(object), 1});
    return handle;
}

io_object_t HandleTable::RetainEntryLocked(const EntryKey& key) {
    auto record = mEntries.find(key);
    if (record != mEntries.end()) {
        if (record->second.slot->userReferences++ == 0)
            --mParked;
        return record->second.handle;
    }
    const io_object_t handle = AllocateLocked();
    Slot* slot = InsertLocked(handle, Slot{std::make_shared<RegistryEntryObject>(key), 1});
    mEntries.emplace(key, EntryRecord{handle, slot});
    return handle;
}

io_object_t HandleTable::RetainEntry(const EntryKey& key) {
    std::lock_guard<std::mutex> lock(mMutex);
    return RetainEntryLocked(key);
}

io_object_t HandleTable::NextInList(EntryListIterator& list) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (list.mPosition >= list.mCount)
        return 0;
    return RetainEntryLocked(EntryKey{list.mInstance, (*list.mIds)[list.mPosition++]});
}

io_object_t HandleTable::IteratorNext(io_iterator_t handle) {
    std::shared_ptr<Object> other;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto slot = mSlots.find(handle);
        if (slot == mSlots.end() || slot->second.userReferences == 0 ||
            slot->second.object->Kind() != ObjectKind::Iterator)
            return 0;
        auto* iterator = static_cast<IteratorObject*>(slot->second.object.get());
        if (EntryListIterator* list = iterator->AsEntryList()) {
            if (list->mPosition >= list->mCount)
                return 0;
            return RetainEntryLocked(EntryKey{list->mInstance, (*list->mIds)[list->mPosition++]});
        }
        other = slot->second.object;
    }
    // Other iterators take locks of their own, outside the table's.
    return static_cast<IteratorObject*>(other.get())->Next();
}

std::shared_ptr<Object> HandleTable::Find(io_object_t handle) const {
    std::lock_guard<std::mutex> lock(mMutex);
    auto slot = mSlots.find(handle);
    return slot == mSlots.end() || slot->second.userReferences == 0 ? nullptr
                                                                     : slot->second.object;
}

kern_return_t HandleTable::Retain(io_object_t handle) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto slot = mSlots.find(handle);
    if (slot == mSlots.end() || slot->second.userReferences == 0)
        return kIOReturnBadArgument;
    ++slot->second.userReferences;
    return KERN_SUCCESS;
}

void HandleTable::ForgetParkedLocked() {
    for (auto it = mEntries.begin(); it != mEntries.end();) {
        if (it->second.slot->userReferences == 0) {
            EraseLocked(mSlots.find(it->second.handle));
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
        std::lock_guard<std::mutex> lock(mMutex);
        auto slot = mSlots.find(handle);
        if (slot == mSlots.end() || slot->second.userReferences == 0)
            return kIOReturnBadArgument;
        if (--slot->second.userReferences > 0)
            return KERN_SUCCESS;
        if (slot->second.object->Kind() == ObjectKind::RegistryEntry) {
            // Parked: dead for every call until the entry is named again. An entry has nothing
            // to do when it dies.
            if (++mParked > kMaxParked)
                ForgetParkedLocked();
            return KERN_SUCCESS;
        }
        dead = std::move(slot->second.object);
        EraseLocked(slot);
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
    return mSlots.size() - mParked;
}

} // namespace iokit
