// Master port, object handles, iterators, matching and notifications.
#include <IOKit/IOKitLib.h>

#include <CoreFoundation/CFString.h>

#include "IOKitHost_Internal.h"
#include "IOKitMatching_Internal.h"
#include "IOKitObjects_Internal.h"
#include "IONotificationPort_Internal.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace wire = tvb::wire;
using iokit::HandleTable;
using iokit::ObjectKind;

const mach_port_t kIOMasterPortDefault = MACH_PORT_NULL;

namespace {

io_object_t MasterPortHandle() {
    // One master port object per process, like the one send right a task holds.
    static std::mutex mutex;
    static io_object_t handle = 0;
    std::lock_guard<std::mutex> lock(mutex);
    if (handle == 0 || HandleTable::Shared().Retain(handle) != KERN_SUCCESS)
        handle = HandleTable::Shared().Add(std::make_shared<iokit::MasterPortObject>());
    return handle;
}

// The cache's key of a matching dictionary: class and BSD name, each marked present or not.
// Written into `key` straight from the dictionary's strings where they are plain ASCII (the
// walks' case: no parsing, no allocation once the buffer has grown); false sends the caller
// through ParseMatching.
bool QuickMatchKey(CFDictionaryRef matching, std::string& key) {
    if (matching == nullptr || CFGetTypeID(matching) != CFDictionaryGetTypeID())
        return false;
    const CFIndex count = CFDictionaryGetCount(matching);
    if (count < 1 || count > 2)
        return false;
    const void* keys[2];
    const void* values[2];
    CFDictionaryGetKeysAndValues(matching, keys, values);
    const char* providerClass = nullptr;
    const char* bsdName = nullptr;
    for (CFIndex i = 0; i < count; ++i) {
        if (CFGetTypeID(keys[i]) != CFStringGetTypeID() ||
            CFGetTypeID(values[i]) != CFStringGetTypeID())
            return false;
        const char* name =
            CFStringGetCStringPtr(static_cast<CFStringRef>(keys[i]), kCFStringEncodingUTF8);
        const char* value =
            CFStringGetCStringPtr(static_cast<CFStringRef>(values[i]), kCFStringEncodingUTF8);
        if (name == nullptr || value == nullptr)
            return false;
        if (std::strcmp(name, kIOProviderClassKey) == 0)
            providerClass = value;
        else if (std::strcmp(name, kIOBSDNameKey) == 0)
            bsdName = value;
        else
            return false;
    }
    key.clear();
    key.append(providerClass != nullptr ? "c" : "-").append(providerClass ? providerClass : "");
    key.push_back('\0');
    key.append(bsdName != nullptr ? "b" : "-").append(bsdName ? bsdName : "");
    return true;
}

void MatchKey(const iokit::MatchCriteria& criteria, std::string& key) {
    key.clear();
    key.append(criteria.providerClass ? "c" + *criteria.providerClass : "-");
    key.push_back('\0');
    key.append(criteria.bsdName ? "b" + *criteria.bsdName : "-");
}

// The entries a "match" request finds, in registry order, from the process's cache or the host.
IOReturn MatchEntriesOnce(CFDictionaryRef matching, uint64_t& instance, iokit::EntryIds& entries) {
    // Only the run loop's thread walks volumes; other threads build keys of their own.
    thread_local std::string key;
    iokit::RegistryCache& cache = iokit::RegistryCache::Shared();
    if (QuickMatchKey(matching, key) && cache.FindMatch(key, instance, entries))
        return kIOReturnSuccess;
    iokit::MatchCriteria criteria;
    IOReturn status = iokit::ParseMatching(matching, criteria);
    if (status != kIOReturnSuccess)
        return status;
    MatchKey(criteria, key);
    if (cache.FindMatch(key, instance, entries))
        return kIOReturnSuccess;
    wire::MatchRequest request;
    request.criteria = iokit::ToWire(criteria);
    wire::MatchAnswer answer;
    wire::HostSession::Seen seen;
    status = iokit::Host().Call(request, answer, iokit::kRequestTimeoutMs, {}, &seen);
    if (status != kIOReturnSuccess)
        return status;
    entries =
        std::make_shared<const std::vector<uint64_t>>(answer.entries.begin(), answer.entries.end());
    instance = seen.instance;
    cache.StoreMatch(key, {seen.instance, seen.generation}, entries);
    return kIOReturnSuccess;
}

// The last matches of this thread by the matching dictionary's one key and value objects.
// IOBSDNameMatching and IOServiceMatching hand out the same strings for the same names, so a
// walk finds its BSD names again by comparing two pointers. Only strings whose text cannot
// change are remembered (those with a C string pointer: this CoreFoundation gives none for a
// mutable string), and they are retained while remembered, so that an address never stands for
// another text; a match counts only at the registry stamp it was learnt at, and is kept only
// until the registry moves.
class RememberedMatches {
public:
    using Stamp = wire::HostSession::Stamp;
    ~RememberedMatches() { Clear(); }
    // The dictionary's one key and value, or false when it has another shape.
    static bool Pair(CFDictionaryRef matching, const void*& key, const void*& value) {
        if (matching == nullptr || CFGetTypeID(matching) != CFDictionaryGetTypeID() ||
            CFDictionaryGetCount(matching) != 1)
            return false;
        CFDictionaryGetKeysAndValues(matching, &key, &value);
        return CFGetTypeID(key) == CFStringGetTypeID() && CFGetTypeID(value) == CFStringGetTypeID();
    }
    bool Find(const void* key, const void* value, const Stamp& current, uint64_t& instance,
              iokit::EntryIds& entries) const {
        auto found = mSlots.find(value);
        if (found == mSlots.end())
            return false;
        const Slot& slot = found->second;
        if (!current.Valid() || slot.key != key || mStamp != current)
            return false;
        instance = current.instance;
        entries = slot.entries;
        return true;
    }
    void Remember(const void* key, const void* value, const Stamp& stamp, iokit::EntryIds entries) {
        if (!Fixed(key) || !Fixed(value))
            return;
        // A match counts only at its own stamp, and the registry never comes back to an
        // earlier one: once it has moved, the rest are dropped, or drives coming and going
        // under new BSD names would fill the table with names never asked for again.
        if (stamp != mStamp) {
            Clear();
            mStamp = stamp;
        }
        if (mSlots.size() >= kMaxSlots && mSlots.find(value) == mSlots.end())
            Clear();
        Slot& slot = mSlots[value];
        Forget(slot);
        slot.key = CFRetain(key);
        slot.value = CFRetain(value);
        slot.entries = std::move(entries);
    }

private:
    struct Slot {
        CFTypeRef key = nullptr;
        CFTypeRef value = nullptr;
        iokit::EntryIds entries;
    };
    static bool Fixed(const void* string) {
        return CFStringGetCStringPtr(static_cast<CFStringRef>(string), kCFStringEncodingUTF8) !=
               nullptr;
    }
    void Clear() {
        for (auto& [value, slot] : mSlots)
            Forget(slot);
        mSlots.clear();
    }
    static void Forget(Slot& slot) {
        if (slot.key != nullptr)
            CFRelease(slot.key);
        if (slot.value != nullptr)
            CFRelease(slot.value);
        slot = Slot{};
    }
    // By value string: more than the BSD names of 256 drives with 4 volumes each.
    static constexpr size_t kMaxSlots = 8192;
    std::unordered_map<const void*, Slot> mSlots;
    Stamp mStamp; // of every match remembered
};

// The entries a "match" request finds, in registry order.
IOReturn MatchEntries(CFDictionaryRef matching, uint64_t& instance, iokit::EntryIds& entries) {
    thread_local RememberedMatches remembered;
    const void* pairKey = nullptr;
    const void* pairValue = nullptr;
    if (!RememberedMatches::Pair(matching, pairKey, pairValue))
        return MatchEntriesOnce(matching, instance, entries);
    const wire::HostSession::Stamp before = iokit::Host().CurrentStamp();
    if (remembered.Find(pairKey, pairValue, before, instance, entries))
        return kIOReturnSuccess;
    IOReturn status = MatchEntriesOnce(matching, instance, entries);
    // Kept only when the registry did not move meanwhile: then the answer is of that stamp.
    if (status == kIOReturnSuccess && before.Valid() && before.instance == instance &&
        iokit::Host().CurrentStamp() == before)
        remembered.Remember(pairKey, pairValue, before, entries);
    return status;
}

void ReleaseMatching(CFDictionaryRef matching) {
    if (matching != nullptr)
        CFRelease(matching);
}

} // namespace

kern_return_t IOMasterPort(mach_port_t, mach_port_t* masterPort) {
    if (masterPort == nullptr)
        return kIOReturnBadArgument;
    // As the kernel on Mac OS X, the master port is always there: a missing host shows in
    // the requests that need one, and notification ports wait for it.
    *masterPort = MasterPortHandle();
    return KERN_SUCCESS;
}

// ---------------------------------------------------------------------------
// Objects.

kern_return_t IOObjectRetain(io_object_t object) {
    return HandleTable::Shared().Retain(object);
}

kern_return_t IOObjectRelease(io_object_t object) {
    return HandleTable::Shared().Release(object);
}

uint32_t IOObjectGetUserRetainCount(io_object_t object) {
    return HandleTable::Shared().UserReferences(object);
}

uint32_t IOObjectGetRetainCount(io_object_t object) {
    return HandleTable::Shared().UserReferences(object);
}

boolean_t IOObjectIsEqualTo(io_object_t object, io_object_t anObject) {
    // One handle per object: the same object has the same name.
    return object == anObject;
}

kern_return_t IOObjectGetClass(io_object_t object, io_name_t className) {
    if (className == nullptr)
        return kIOReturnBadArgument;
    std::shared_ptr<iokit::Object> found = HandleTable::Shared().Find(object);
    if (!found)
        return MACH_SEND_INVALID_DEST;
    if (found->Kind() == ObjectKind::RegistryEntry) {
        iokit::RegistryEntryObject::Identity identity;
        kern_return_t status = iokit::GetEntryIdentity(object, identity);
        if (status == KERN_SUCCESS)
            iokit::CopyName(identity.className, className);
        return status;
    }
    if (found->ClassName() == nullptr)
        return kIOReturnBadArgument;
    iokit::CopyName(found->ClassName(), className);
    return KERN_SUCCESS;
}

CFStringRef IOObjectCopyClass(io_object_t object) {
    io_name_t className;
    if (IOObjectGetClass(object, className) != KERN_SUCCESS)
        return nullptr;
    return CFStringCreateWithCString(nullptr, className, kCFStringEncodingUTF8);
}

boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className) {
    if (className == nullptr)
        return false;
    auto entry =
        HandleTable::Shared().FindAs<iokit::RegistryEntryObject>(object, ObjectKind::RegistryEntry);
    if (!entry) {
        io_name_t own;
        return IOObjectGetClass(object, own) == KERN_SUCCESS && std::strcmp(own, className) == 0;
    }
    iokit::RegistryEntryObject::Identity identity;
    if (iokit::GetEntryIdentity(object, identity) != KERN_SUCCESS)
        return false;
    if (!identity.classes.empty())
        return std::find(identity.classes.begin(), identity.classes.end(), className) !=
               identity.classes.end();
    // Without the chain, matching by class (which takes subclasses in) tells.
    wire::MatchRequest request;
    request.criteria.hasClass = true;
    request.criteria.className = className;
    wire::MatchAnswer answer;
    if (iokit::AskAbout(*entry, request, answer) != kIOReturnSuccess)
        return false;
    return std::find(answer.entries.begin(), answer.entries.end(), entry->Key().id) !=
           answer.entries.end();
}

// ---------------------------------------------------------------------------
// Iterators.

io_object_t IOIteratorNext(io_iterator_t iterator) {
    return HandleTable::Shared().IteratorNext(iterator);
}

void IOIteratorReset(io_iterator_t iterator) {
    auto found =
        HandleTable::Shared().FindAs<iokit::IteratorObject>(iterator, ObjectKind::Iterator);
    if (found)
        found->Reset();
}

boolean_t IOIteratorIsValid(io_iterator_t iterator) {
    auto found =
        HandleTable::Shared().FindAs<iokit::IteratorObject>(iterator, ObjectKind::Iterator);
    return found && found->IsValid();
}

// ---------------------------------------------------------------------------
// Matching.

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching,
                                           io_iterator_t* existing) {
    if (existing != nullptr)
        *existing = 0;
    uint64_t instance = 0;
    iokit::EntryIds entries;
    IOReturn status =
        existing == nullptr ? kIOReturnBadArgument : MatchEntries(matching, instance, entries);
    ReleaseMatching(matching);
    if (status != kIOReturnSuccess)
        return status;
    *existing = HandleTable::Shared().Add(iokit::MakeEntryList(instance, std::move(entries)));
    return KERN_SUCCESS;
}

io_service_t IOServiceGetMatchingService(mach_port_t, CFDictionaryRef matching) {
    uint64_t instance = 0;
    iokit::EntryIds entries;
    IOReturn status = MatchEntries(matching, instance, entries);
    ReleaseMatching(matching);
    if (status != kIOReturnSuccess || entries->empty())
        return 0;
    return HandleTable::Shared().RetainEntry(iokit::EntryKey{instance, entries->front()});
}

// ---------------------------------------------------------------------------
// Notifications.

IONotificationPortRef IONotificationPortCreate(mach_port_t) {
    return IONotificationPort::Create();
}

void IONotificationPortDestroy(IONotificationPortRef notify) {
    if (notify != nullptr)
        notify->Destroy();
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify) {
    return notify != nullptr ? notify->Source() : nullptr;
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                               const io_name_t notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void* refCon,
                                               io_iterator_t* notification) {
    if (notification != nullptr)
        *notification = 0;
    iokit::MatchCriteria criteria;
    IOReturn status = iokit::ParseMatching(matching, criteria);
    ReleaseMatching(matching);
    if (status != kIOReturnSuccess)
        return status;
    if (notifyPort == nullptr || notification == nullptr || notificationType == nullptr)
        return kIOReturnBadArgument;
    // The host publishes services once; first match is the only kind it can tell.
    if (std::strcmp(notificationType, kIOFirstMatchNotification) != 0)
        return kIOReturnUnsupported;
    return notifyPort->AddMatching(criteria, callback, refCon, notification);
}

kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort,
                                               io_service_t service, const io_name_t interestType,
                                               IOServiceInterestCallback callback, void* refCon,
                                               io_object_t* notification) {
    if (notification != nullptr)
        *notification = 0;
    if (notifyPort == nullptr || notification == nullptr || interestType == nullptr)
        return kIOReturnBadArgument;
    return notifyPort->AddInterest(service, interestType, callback, refCon, notification);
}
