// The process's IOKit handles: a table from 32-bit names to the objects behind them.
// As with Mach port names there is one handle per object; user references are counted on
// the handle, and when they reach zero the handle is dead and the object is told (Died).
// Registry entries are keyed by (host instance, entry id), so entries of a restarted host
// never share a handle with entries of the run before.
// Threading: the table is locked; objects guard their own mutable state.
// Ownership: the table holds one shared_ptr per live handle; callers borrow objects through
// the shared_ptr that Find returns, which keeps them alive after a concurrent release.
#pragma once

#include <IOKit/IOKitLib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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
    // Providers, nearest first; they never change while the entry lives.
    std::optional<std::vector<uint64_t>> CachedAncestors() const;
    void CacheAncestors(std::vector<uint64_t> ancestors) const;

private:
    const EntryKey mKey;
    mutable std::mutex mMutex;
    std::optional<Identity> mIdentity;
    mutable std::optional<std::vector<uint64_t>> mAncestors;
};

class IteratorObject : public Object {
public:
    IteratorObject() : Object(ObjectKind::Iterator) {}
    // The next object with one user reference added for the caller, or 0 at the end.
    virtual io_object_t Next() = 0;
    virtual void Reset() = 0;
    virtual bool IsValid() const { return true; }
};

// A snapshot of registry entries (matching results, ancestors).
class EntryListIterator final : public IteratorObject {
public:
    EntryListIterator(uint64_t instance, std::vector<uint64_t> ids)
        : mInstance(instance), mIds(std::move(ids)) {}
    const char* ClassName() const override { return "IOUserIterator"; }
    io_object_t Next() override;
    void Reset() override;

private:
    const uint64_t mInstance;
    const std::vector<uint64_t> mIds;
    std::mutex mMutex;
    size_t mPosition = 0;
};

class HandleTable {
public:
    static HandleTable& Shared();

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
    // kIOReturnBadArgument for a dead handle.
    kern_return_t Retain(io_object_t handle);
    kern_return_t Release(io_object_t handle);
    uint32_t UserReferences(io_object_t handle) const;
    // Live handles, for tests that look for leaks.
    size_t LiveCount() const;

private:
    HandleTable() = default;
    io_object_t AllocateLocked();

    struct Slot {
        std::shared_ptr<Object> object;
        uint32_t userReferences = 0;
    };
    mutable std::mutex mMutex;
    std::unordered_map<io_object_t, Slot> mSlots;
    std::map<EntryKey, io_object_t> mEntries;
    io_object_t mNext = 0x1003;
};

// The task port mach_task_self() hands out; never a handle of the table.
constexpr mach_port_t kTaskSelfPort = 0x103;

// Copies `text` into an io_name_t, cut short when too long; a null `out` is ignored.
void CopyName(const std::string& text, char* out);

} // namespace iokit
