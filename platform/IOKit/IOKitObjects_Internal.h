// The process's IOKit handles: a table from 32-bit names to the objects behind them.
// As with Mach port names there is one handle per object; user references are counted on
// the handle, and when they reach zero the handle is dead and the object is told (Died);
// a registry entry's dead handle is parked instead (see EntryRecord).
// Registry entries are keyed by (host instance, entry id), so entries of a restarted host
// never share a handle with entries of the run before.
// Threading: the table is locked; objects guard their own mutable state.
// Ownership: the table holds one shared_ptr per live handle; callers borrow objects through
// the shared_ptr that Find returns, which keeps them alive after a concurrent release.
#pragma once

#include <IOKit/IOKitLib.h>

#include "tvb/Lock.h"
#include "tvb/Recycler.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace iokit {

enum class ObjectKind {
    MasterPort,
    RegistryEntry,
    Iterator,
    InterestNotification,
    Connection,
};

struct EntryKey {
    uint64_t instance = 0; // the host run that named the entry
    uint64_t id = 0;

    bool operator<(const EntryKey& other) const {
        return std::tie(instance, id) < std::tie(other.instance, other.id);
    }
    bool operator==(const EntryKey& other) const {
        return instance == other.instance && id == other.id;
    }
};

struct EntryKeyHash {
    size_t operator()(const EntryKey& key) const {
        return std::hash<uint64_t>()(key.id * 0x9E3779B97F4A7C15ull ^ key.instance);
    }
};

// Registry entry ids as the host gave them, shared between the cache, entries and iterators
// rather than copied.
using EntryIds = std::shared_ptr<const std::vector<uint64_t>>;

class Object {
public:
    explicit Object(ObjectKind kind) : mKind(kind) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ObjectKind Kind() const { return mKind; }
    // The class IOObjectGetClass reports for objects that are not registry entries.
    virtual const char* ClassName() const = 0;
    // Runs once, outside the table lock, when the last user reference is dropped.
    virtual void Died() {}

private:
    const ObjectKind mKind;
};

class MasterPortObject final : public Object {
public:
    MasterPortObject() : Object(ObjectKind::MasterPort) {}
    const char* ClassName() const override { return nullptr; }
};

// A registry entry as this process knows it. Class, name and providers never change during an
// entry's life, so they are kept once read.
class RegistryEntryObject final : public Object {
public:
    explicit RegistryEntryObject(EntryKey key) : Object(ObjectKind::RegistryEntry), mKey(key) {}
    const char* ClassName() const override { return nullptr; }
    EntryKey Key() const { return mKey; }

    struct Identity {
        std::string className;
        std::string name;
        std::vector<std::string> classes; // most-derived first; empty when the host did not say
    };
    std::optional<Identity> CachedIdentity() const;
    void CacheIdentity(Identity identity);
    // Providers, nearest first; they never change while the entry lives. Null until known.
    EntryIds CachedAncestors() const;
    void CacheAncestors(EntryIds ancestors) const;

private:
    const EntryKey mKey;
    mutable tvb::Lock mMutex;
    std::optional<Identity> mIdentity;
    // Written once, under mMutex, before mAncestorsKnown is set; read without the lock after.
    mutable EntryIds mAncestors;
    mutable std::atomic<bool> mAncestorsKnown{false};
};

class EntryListIterator;

class IteratorObject : public Object {
public:
    IteratorObject() : Object(ObjectKind::Iterator) {}
    // An entry list, which the handle table steps itself.
    virtual EntryListIterator* AsEntryList() { return nullptr; }
    // The next object with one user reference added for the caller, or 0 at the end.
    virtual io_object_t Next() = 0;
    virtual void Reset() = 0;
    virtual bool IsValid() const { return true; }
};

// A snapshot of registry entries (matching results, ancestors). Its position is kept under
// the handle table's lock, so that a step is one look at the table.
class EntryListIterator final : public IteratorObject {
public:
    EntryListIterator(uint64_t instance, EntryIds ids, size_t count)
        : mInstance(instance), mIds(std::move(ids)), mCount(std::min(count, mIds->size())) {}
    EntryListIterator(uint64_t instance, std::vector<uint64_t> ids)
        : EntryListIterator(instance, std::make_shared<const std::vector<uint64_t>>(std::move(ids)),
                            SIZE_MAX) {}
    const char* ClassName() const override { return "IOUserIterator"; }
    EntryListIterator* AsEntryList() override { return this; }
    io_object_t Next() override;
    void Reset() override;

private:
    friend class HandleTable;
    const uint64_t mInstance;
    const EntryIds mIds;
    const size_t mCount; // the ids given out: a prefix of mIds
    size_t mPosition = 0;
};

// An entry list whose memory is reused: walks make two for every volume they visit.
inline std::shared_ptr<EntryListIterator> MakeEntryList(uint64_t instance, EntryIds ids,
                                                        size_t count = SIZE_MAX) {
    return std::allocate_shared<EntryListIterator>(tvb::RecyclingAllocator<EntryListIterator>(),
                                                   instance, std::move(ids), count);
}

// The handle table's lock: held only for a few table operations, never across a system call.
// A thread that finds it taken sleeps instead of spinning.
using TableLock = tvb::Lock;

class HandleTable {
public:
    static HandleTable& Shared() {
        // Never destroyed: static destructors elsewhere may still release handles at exit.
        static HandleTable* table = new HandleTable;
        return *table;
    }

    // A new handle for `object` holding one user reference.
    io_object_t Add(std::shared_ptr<Object> object);
    // The handle of the entry, created on first use, with one user reference added.
    io_object_t RetainEntry(const EntryKey& key);
    // The live object behind `handle`, or null.
    std::shared_ptr<Object> Find(io_object_t handle) const;
    template <typename T> std::shared_ptr<T> FindAs(io_object_t handle, ObjectKind kind) const {
        std::shared_ptr<Object> object = Find(handle);
        if (!object || object->Kind() != kind)
            return nullptr;
        return std::static_pointer_cast<T>(object);
    }
    // IOIteratorNext: the next object with a reference added, 0 at the end or for a handle
    // that is no iterator.
    io_object_t IteratorNext(io_iterator_t handle);
    // kIOReturnBadArgument for a dead handle.
    kern_return_t Retain(io_object_t handle);
    kern_return_t Release(io_object_t handle);
    uint32_t UserReferences(io_object_t handle) const;
    // Live handles, for tests that look for leaks.
    size_t LiveCount() const;

private:
    HandleTable();

    // A name is (index << 8) | generation, as Mach port names are: the index finds the slot
    // without hashing, and the generation changes each time a slot is used again, so a dead
    // name stays dead until its slot has been reused 64 times.
    struct Slot {
        std::shared_ptr<Object> object; // null: free
        uint32_t userReferences = 0;
        io_object_t name = 0;
    };
    Slot* SlotLocked(io_object_t handle);
    const Slot* SlotLocked(io_object_t handle) const;
    // A named slot holding `object` with one reference; 0 when the names have run out.
    io_object_t AddLocked(std::shared_ptr<Object> object);
    void FreeLocked(Slot& slot);
    io_object_t RetainEntryLocked(const EntryKey& key);
    void ForgetParkedLocked();
    friend class EntryListIterator;
    io_object_t NextInList(EntryListIterator& list);

    // An entry's handle is parked when its last reference goes (no references, dead for every
    // call) and comes back under the same name, with what was learnt about the entry, when the
    // entry is named again, as walks do over and over. Entry ids are never reused within a
    // host run, so a name never stands for another entry.
    static constexpr size_t kMaxParked = 4096;
    static constexpr uint32_t kFirstIndex = 0x10; // below: the task port's and other fixed names
    static constexpr uint32_t kIndexLimit = 1u << 24;

    mutable TableLock mLock;
    std::vector<Slot> mSlots;    // by index
    std::vector<uint32_t> mFree; // free indexes, the last freed first
    std::unordered_map<EntryKey, io_object_t, EntryKeyHash> mEntries;
    // The names entries were last seen under, by a hash of their key: most look-ups of a walk
    // end here without going through mEntries.
    struct RecentEntry {
        EntryKey key;
        io_object_t handle = 0;
    };
    // Grows with the entries known, up to more than 256 drives have, so that a few drives
    // cost a few pages. A power of two, indexed by the hash's low bits.
    static constexpr size_t kFewestRecent = 256;
    static constexpr size_t kMostRecent = 8192;
    std::vector<RecentEntry> mRecent;
    RecentEntry& RecentFor(const EntryKey& key) {
        return mRecent[EntryKeyHash()(key) & (mRecent.size() - 1)];
    }
    size_t mUsed = 0; // slots with an object, parked ones included
    size_t mParked = 0;
};

// The task port mach_task_self() hands out; never a handle of the table.
constexpr mach_port_t kTaskSelfPort = 0x103;

// Copies `text` into an io_name_t, cut short when too long; a null `out` is ignored.
void CopyName(const std::string& text, char* out);

} // namespace iokit
