// Registry entries: identity, ancestors, properties and busy state.
#include <IOKit/IOKitLib.h>

#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFPropertyList.h>

#include "IOKitHost_Internal.h"
#include "IOKitMatching_Internal.h"
#include "IOKitObjects_Internal.h"

#include <algorithm>
#include <cstring>

namespace wire = tvb::wire;
using iokit::HandleTable;
using iokit::ObjectKind;
using iokit::RegistryEntryObject;

namespace {

// Without a limit of the caller's, a wait still ends: the host answers after this long.
constexpr uint64_t kUnboundedWaitMs = 60 * 1000;
constexpr uint64_t kLongestWaitMs = 60 * 60 * 1000;

std::shared_ptr<RegistryEntryObject> FindEntry(io_object_t handle) {
    return HandleTable::Shared().FindAs<RegistryEntryObject>(handle, ObjectKind::RegistryEntry);
}

// A service-plane entry (the only plane the host has), or why `handle` is none.
IOReturn FindServiceEntry(io_registry_entry_t handle, const io_name_t plane,
                          std::shared_ptr<RegistryEntryObject>& out) {
    out = FindEntry(handle);
    if (!out)
        return MACH_SEND_INVALID_DEST;
    if (plane == nullptr || std::strcmp(plane, kIOServicePlane) != 0)
        return kIOReturnBadArgument;
    return kIOReturnSuccess;
}

} // namespace

namespace iokit {

kern_return_t GetEntryIdentity(io_object_t handle, RegistryEntryObject::Identity& identity) {
    auto entry = FindEntry(handle);
    if (!entry)
        return MACH_SEND_INVALID_DEST;
    std::optional<RegistryEntryObject::Identity> known = entry->CachedIdentity();
    if (!known) {
        wire::EntryRequest request;
        request.entry = entry->Key().id;
        wire::EntryAnswer answer;
        IOReturn status = AskAbout(*entry, request, answer);
        if (status != kIOReturnSuccess)
            return status;
        RegistryEntryObject::Identity read;
        read.className = std::move(answer.className);
        read.name = std::move(answer.name);
        read.classes.assign(answer.classes.begin(), answer.classes.end());
        entry->CacheIdentity(read);
        known = std::move(read);
    }
    identity = std::move(*known);
    return KERN_SUCCESS;
}

IOReturn GetAncestors(const RegistryEntryObject& entry, EntryIds& out) {
    if ((out = entry.CachedAncestors()))
        return kIOReturnSuccess;
    RegistryCache& cache = RegistryCache::Shared();
    if (cache.FindParents(entry.Key(), out)) {
        entry.CacheAncestors(out);
        return kIOReturnSuccess;
    }
    wire::ParentsRequest request;
    request.entry = entry.Key().id;
    wire::ParentsAnswer answer;
    wire::HostSession::Seen seen;
    IOReturn status =
        Host().Call(request, answer, kRequestTimeoutMs, {entry.Key().instance, 0}, &seen);
    if (status != kIOReturnSuccess)
        return status;
    out =
        std::make_shared<const std::vector<uint64_t>>(answer.entries.begin(), answer.entries.end());
    entry.CacheAncestors(out);
    cache.StoreParents(entry.Key(), {seen.instance, seen.generation}, out);
    return kIOReturnSuccess;
}

} // namespace iokit

kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name) {
    if (name == nullptr)
        return kIOReturnBadArgument;
    RegistryEntryObject::Identity identity;
    kern_return_t status = iokit::GetEntryIdentity(entry, identity);
    if (status == KERN_SUCCESS)
        iokit::CopyName(identity.name, name);
    return status;
}

kern_return_t IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry, uint64_t* entryID) {
    auto found = FindEntry(entry);
    if (!found)
        return MACH_SEND_INVALID_DEST;
    if (entryID == nullptr)
        return kIOReturnBadArgument;
    *entryID = found->Key().id;
    return KERN_SUCCESS;
}

kern_return_t IORegistryEntryCreateIterator(io_registry_entry_t entry, const io_name_t plane,
                                            IOOptionBits options, io_iterator_t* iterator) {
    if (iterator == nullptr)
        return kIOReturnBadArgument;
    *iterator = 0;
    std::shared_ptr<RegistryEntryObject> found;
    IOReturn status = FindServiceEntry(entry, plane, found);
    if (status != kIOReturnSuccess)
        return status;
    // The host keeps providers only; children cannot be walked.
    if ((options & kIORegistryIterateParents) == 0)
        return kIOReturnUnsupported;
    iokit::EntryIds ancestors;
    status = iokit::GetAncestors(*found, ancestors);
    if (status != kIOReturnSuccess)
        return status;
    const size_t count = (options & kIORegistryIterateRecursively) != 0 ? SIZE_MAX : 1;
    *iterator = HandleTable::Shared().Add(
        iokit::MakeEntryList(found->Key().instance, std::move(ancestors), count));
    return KERN_SUCCESS;
}

kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* parent) {
    if (parent == nullptr)
        return kIOReturnBadArgument;
    *parent = 0;
    std::shared_ptr<RegistryEntryObject> found;
    IOReturn status = FindServiceEntry(entry, plane, found);
    if (status != kIOReturnSuccess)
        return status;
    iokit::EntryIds ancestors;
    status = iokit::GetAncestors(*found, ancestors);
    if (status != kIOReturnSuccess)
        return status;
    if (ancestors->empty())
        return kIOReturnNoDevice;
    *parent = HandleTable::Shared().RetainEntry(
        iokit::EntryKey{found->Key().instance, ancestors->front()});
    return KERN_SUCCESS;
}

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef, IOOptionBits) {
    auto found = FindEntry(entry);
    std::optional<std::string> name = iokit::StringFromCF(key);
    if (!found || !name)
        return nullptr;
    wire::PropertyRequest request;
    request.entry = found->Key().id;
    request.key = *name;
    wire::PropertyAnswer answer;
    if (iokit::AskAbout(*found, request, answer) != kIOReturnSuccess || answer.value.bytes.empty())
        return nullptr;
    // The bytes were screened by the shared guard when they were decoded, and are again here.
    CFDataRef data = CFDataCreate(nullptr, answer.value.bytes.data(),
                                  static_cast<CFIndex>(answer.value.bytes.size()));
    if (data == nullptr)
        return nullptr;
    CFPropertyListRef value =
        CFPropertyListCreateFromXMLData(nullptr, data, kCFPropertyListImmutable, nullptr);
    CFRelease(data);
    return value;
}

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                CFMutableDictionaryRef* properties, CFAllocatorRef,
                                                IOOptionBits) {
    if (properties == nullptr)
        return kIOReturnBadArgument;
    *properties = nullptr;
    if (!FindEntry(entry))
        return MACH_SEND_INVALID_DEST;
    // The host answers for one named property at a time.
    return kIOReturnUnsupported;
}

kern_return_t IOServiceWaitQuiet(io_service_t service, mach_timespec_t* waitTime) {
    auto found = FindEntry(service);
    if (!found)
        return MACH_SEND_INVALID_DEST;
    uint64_t waitMs = kUnboundedWaitMs;
    if (waitTime != nullptr) {
        const uint64_t nanoseconds = waitTime->tv_nsec > 0 ? waitTime->tv_nsec : 0;
        waitMs = std::min<uint64_t>(uint64_t{waitTime->tv_sec} * 1000 + nanoseconds / 1000000,
                                    kLongestWaitMs);
    }
    wire::WaitQuietRequest request;
    request.entry = found->Key().id;
    request.timeoutMs = waitMs;
    wire::WaitQuietAnswer answer;
    return iokit::AskAbout(*found, request, answer,
                           static_cast<int>(waitMs) + iokit::kRequestTimeoutMs);
}
